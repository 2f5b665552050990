// The core's text helpers, and test folders whose names are not ASCII, on every platform.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "TestFiles.h"
#include "core/Paths.h"
#include "core/Text.h"

namespace {

TEST(Text, CaseIsFoldedForAsciiLettersOnly) {
    EXPECT_EQ(AsciiLower("Vorn-Setup_2.EXE"), "vorn-setup_2.exe");
    EXPECT_EQ(AsciiLower("ÉTÉ"), "ÉtÉ");
    struct Case {
        const char* a;
        const char* b;
        bool equal;
    };
    // '[' '{' and '@' '`' are a case bit apart without being letters.
    for (const Case& c :
         {Case{"Client.exe", "CLIENT.EXE", true}, Case{"", "", true}, Case{"a", "ab", false},
          Case{"é", "É", false}, Case{"[", "{", false}, Case{"@", "`", false}})
        EXPECT_EQ(EqualsNoCase(c.a, c.b), c.equal) << c.a << " / " << c.b;
}

TEST(Text, SplitAndJoinKeepEveryPart) {
    struct Case {
        std::string text;
        std::vector<std::string> parts;
    };
    for (const Case& c : {Case{"", {""}}, Case{"a", {"a"}}, Case{"a|b", {"a", "b"}},
                          Case{"|a||", {"", "a", "", ""}}, Case{"日本|語", {"日本", "語"}}}) {
        EXPECT_EQ(Split(c.text, '|'), c.parts) << c.text;
        EXPECT_EQ(Join(c.parts, "|"), c.text) << c.text;
    }
    EXPECT_EQ(Join({"a", "b", "c"}, ", "), "a, b, c");
    EXPECT_EQ(Join({}, ", "), "");
}

TEST(Text, FormatReplacesNumberedArgumentsInOnePass) {
    struct Case {
        const char* pattern;
        std::vector<std::string> arguments;
        const char* expected;
    };
    for (const Case& c :
         {Case{"%1 of %2", {"3", "7"}, "3 of 7"}, Case{"%2 %1 %2", {"a", "b"}, "b a b"},
          Case{"%1", {"%2"}, "%2"}, Case{"%3 and %", {"a"}, "%3 and %"}, Case{"100%", {}, "100%"},
          Case{"%10 %0", {"x"}, "x0 %0"},
          Case{"%9", {"1", "2", "3", "4", "5", "6", "7", "8", "nine"}, "nine"}})
        EXPECT_EQ(Format(c.pattern, c.arguments), c.expected) << c.pattern;
}

TEST(TestFiles, NamesOutsideAsciiRoundTrip) {
    std::string folder;
    {
        const fixtures::TempDir dir("vorn-tëst");
        folder = dir.path();
        EXPECT_EQ(folder.find('\\'), std::string::npos) << folder;
        fixtures::makeFolders(dir / "données");
        fixtures::writeFile(dir / "données/日本語.txt", "contenu\n");
        EXPECT_EQ(fixtures::readFile(dir / "données/日本語.txt"), "contenu\n");
        std::vector<std::string> listed;
        for (const auto& entry : std::filesystem::directory_iterator(FsPath(dir / "données")))
            listed.push_back(Utf8Path(entry.path().filename()));
        EXPECT_EQ(listed, std::vector<std::string>{"日本語.txt"});
    }
    EXPECT_FALSE(fixtures::exists(folder));
}

} // namespace
