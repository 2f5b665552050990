// The client process check: is a process with a given executable name and process id running?
//
// Every call takes a fresh snapshot of the system's process list and walks it; nothing is kept
// from one call to the next. A process matches when its id equals the requested id and one of the
// names under which the system reports its executable ends with the requested name, compared
// without regard to case ("vorn.exe", "/opt/games/VORN.EXE", "C:\Games\Vorn.exe" and "xvorn.exe"
// all end with "Vorn.exe").
#pragma once

#include "process/ProcessSnapshot.h"

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

// True when a process with the id lProcessID whose executable name ends with sExeName (without
// regard to case) is running at the moment of the call. False when there is none, or when no
// snapshot of the process list can be taken. A walk that faults (the requested process is listed
// but cannot be read; ProcessSnapshot_linux.h lists the cases) shows the
// message "A process error has occurred." and then terminates the program at once.
bool Process_Running(const std::string& sExeName, std::int32_t lProcessID);

// The name rule: true when the last n bytes of name (the whole of name when it is shorter),
// lower-cased, equal sExeName lower-cased, where n is the length of sExeName. The texts are UTF-8
// and the fold is ASCII (AsciiLower: only A-Z are lowered; the client's name is ASCII). An empty
// sExeName therefore matches every name.
bool ExeNameMatches(const std::string& name, const std::string& sExeName);

// True when an entry's names satisfy the name rule. An entry that reports no name at all is
// treated as reporting the empty name, which only the empty sExeName matches.
bool EntryNameMatches(const std::vector<std::string>& names, const std::string& sExeName);

enum class ProcessCheck {
    NotRunning, // no matching process, or no snapshot (pSnapshot is null)
    Running,    // a matching process is running
    WalkFault,  // the walk hit an entry that cannot be read
};

// The walk behind Process_Running over a given snapshot, which may be null (no snapshot could be
// taken). Only the entry whose id equals lProcessID is read in depth. Entries that vanished during
// the walk are skipped; entries of processes that have ended (not yet reaped) do not count.
ProcessCheck CheckProcess(const std::string& sExeName, std::int32_t lProcessID,
                          ProcessSnapshot* pSnapshot);

// Reports a faulted process walk through the front-end's notice (see SetProcessFaultNotice): the
// message "A process error has occurred." titled "Vorn (Auto-Updater)", then terminates the
// program at once with exit code 1.
[[noreturn]] void ReportProcessFault();

// How the front-end shows the fault's message; the call returns once the user has seen it (the
// Linux front-end: a warning message box with an OK button). Without one (an empty function, the
// default), the message goes to standard error as "Vorn (Auto-Updater): A process error has
// occurred.". Set before the run starts.
void SetProcessFaultNotice(
    std::function<void(const std::string& title, const std::string& text)> notice);
