// engine-call extract|update FOLDER ARCHIVE...: one call of the engine library as the program
// makes it, in a process of its own that a test may kill at any moment: extracts the archive into
// FOLDER, or stages every archive as one update of FOLDER and commits it. Exit status 0 when the
// engine succeeded, 1 when it failed, 2 for a wrong command line.
#include "EngineHarness.h"

#include <string>

int main(int argc, char** argv) {
    if (argc < 4)
        return 2;
    const std::string mode = argv[1];
    const std::string folder = argv[2];
    fixtures::Engine engine;
    if (mode == "extract") {
        fixtures::EngineRun run;
        run.archive = argv[3];
        run.folder = folder;
        return engine.run(run) == UZ_OK ? 0 : 1;
    }
    if (mode != "update")
        return 2;
    UnzipUpdate* update = nullptr;
    int32_t result = engine.begin(folder, &update);
    for (int i = 3; i < argc && result == UZ_OK; ++i) {
        fixtures::EngineRun run;
        run.archive = argv[i];
        result = engine.stage(update, run);
    }
    if (result == UZ_OK)
        result = engine.commit(update);
    return result == UZ_OK ? 0 : 1;
}
