#include "MinisignRig.h"

namespace fixtures {

// The minisign tool of the tests is a Linux program: here the rig makes keys and signatures itself
// (minisignProgram() is empty), and nothing is run.
ProgramRun runProgram(const std::string& program, const std::vector<std::string>&, int) {
    ProgramRun run;
    run.problem = program + ": programs are not run by the tests on Windows";
    return run;
}

} // namespace fixtures
