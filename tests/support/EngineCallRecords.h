// The records of one engine call filled the way the program fills them, shared by the engine's
// test harness and its fuzzer. Run is any record with the option switches by these names.
#pragma once

#include "vbuzip10.h"

#include <cstring>
#include <memory>
#include <string>
#include <vector>

namespace engine_call {

template <typename Run> UnzipOptions optionsOf(const Run& r, char* archive, char* folder) {
    UnzipOptions options{};
    options.ExtractOnlyNewer = r.onlyNewer;
    options.SpaceToUnderscore = r.spaceToUnderscore;
    options.PromptToOverwrite = r.promptToOverwrite;
    options.MessageLevel = r.messageLevel;
    options.TestOnly = r.testOnly;
    options.ListOnly = r.listOnly;
    options.UseFolderNames = r.useFolderNames;
    options.OverwriteExisting = r.overwriteExisting;
    options.ConvertLineEnds = r.convertLineEnds;
    options.CaseSensitiveNames = r.caseSensitive;
    options.ArchivePath = archive;
    options.ExtractFolder = folder;
    return options;
}

// A name list as the program fills it: the names, then an empty text, then nulls. The names must
// outlive the list.
inline std::unique_ptr<UnzipNameList> nameListOf(std::vector<std::string>& names) {
    static char empty[1] = {0};
    auto list = std::make_unique<UnzipNameList>();
    std::memset(list.get(), 0, sizeof *list);
    for (size_t i = 0; i < names.size(); ++i)
        list->Names[i] = names[i].data();
    list->Names[names.size()] = empty;
    return list;
}

} // namespace engine_call
