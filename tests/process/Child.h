// The child-program rig of the process tests (support/ChildProcess.h), and the program that
// sleeps for them, and how it is asked to.
#pragma once

#include "ChildProcess.h"

#ifdef _WIN32
// Windows has no sleep(1): the process tests' helper sleeps as well.
inline const std::string kSleepProgram = VORN_PROCESS_HELPER;
inline std::vector<std::string> SleepArgs(const std::string& name, const std::string& seconds) {
    return {name, "sleep", seconds};
}

#else
inline const std::string kSleepProgram = "/bin/sleep";
inline std::vector<std::string> SleepArgs(const std::string& name, const std::string& seconds) {
    return {name, seconds};
}
#endif
