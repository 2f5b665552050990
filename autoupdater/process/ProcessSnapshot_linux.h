// The Linux process snapshot, over a given proc file system root (normally "/proc").
//
// The snapshot is the list of numeric entries of the root at the moment it is taken (the thread
// group leaders, i.e. the processes; threads are not listed). Reading an entry in depth looks at
// <root>/<pid>/stat (the state and the short command name), <root>/<pid>/cmdline (argv[0], up to
// its first NUL) and the link <root>/<pid>/exe (the executable's path), all through one handle on
// the process's directory so that the reads cannot mix two processes that share an id.
//
// An entry reads as Vanished when the process has been reaped since the list was taken, and as
// Fault when it exists but cannot be read for any other reason than access rules: its stat
// cannot be read or parsed, or one of its names runs longer than ProcNameLimit bytes without a
// terminator (so it cannot be cut to a name). A name that access rules hide is left out. Names
// are the bytes the system reports (UTF-8 on a UTF-8 system); bytes that are not UTF-8 are kept
// as they are, which is not a fault.
#pragma once

#include "process/ProcessSnapshot.h"

#include <cstddef>
#include <string>

inline constexpr std::size_t ProcNameLimit = 4096;

std::unique_ptr<ProcessSnapshot> TakeProcSnapshot(const std::string& procRoot);
