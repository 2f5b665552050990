#include "process/TerminateNow.h"

#include <cstdio>
#include <windows.h>

void TerminateNow(int code) {
    std::fflush(stdout);
    std::fflush(stderr);
    // Not ExitProcess (nor _Exit, which calls it): that would still run the loaded libraries'
    // detach handlers, and with them their static destructors, after killing the other threads.
    ::TerminateProcess(::GetCurrentProcess(), static_cast<UINT>(code));
    // Not reached: a process that terminates itself does not return from the call.
    ::ExitProcess(static_cast<UINT>(code));
}
