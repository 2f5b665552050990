// Immediate termination of the program.
#pragma once

// Flushes standard output and standard error, then ends the process at once with the given exit
// code: no destructors, no atexit handlers, no event-loop shutdown; nothing else is cleaned up.
[[noreturn]] void TerminateNow(int code = 0);
