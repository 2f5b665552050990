// The rules for entry names, from the engine's sources: with the Windows rules on, every name
// Windows cannot hold, or would take for another file or a device, is refused; off (as on Linux),
// only what is unsafe everywhere.
#include "EntryNames.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

using vbuzip::NameRules;
using vbuzip::TargetPath;

namespace {

TEST(EntryNames, WindowsRulesRefuseWhatWindowsCannotHold) {
    struct {
        std::string onWindows; // part of the reason for the refusal with the Windows rules on
        std::string elsewhere; // the same with them off; empty: written as a file
        std::vector<std::string> names;
    } cases[] = {
        // Refused everywhere, with a more precise reason on Windows.
        {"drive letter", "drive letter", {"C:\\Windows\\evil.dll", "c:evil.txt"}},
        {"network path", "absolute path", {"\\\\server\\share\\x", "//server/share/x"}},
        {"Windows device path", "absolute path", {"\\\\?\\C:\\x", "\\\\.\\PhysicalDrive0"}},
        // Refused on Windows only.
        {"alternate data stream", "", {"file.txt:hidden", "a/b::$DATA"}},
        {"name of a device",
         "",
         {"nul.txt", "Com1.log", "lpt9.tar.gz", "sub/CON/x.txt", "aux", "prn.x", "COM\xC2\xB9",
          "lpt\xC2\xB3.txt", "conin$", "CONOUT$.log", "nul .txt"}},
        {"ends in a dot", "", {"dir./file.txt", "..."}},
        {"ends in a space", "", {"file.txt ", "dir /x"}},
        {"which Windows does not allow",
         "",
         {"a<b", "a>b", "say\"hi\"", "a|b", "what?", "dir/*.txt"}},
        {"control character 0x07", "", {"bell\x07"}},
        {"control character 0x1f", "", {"x/\x1f"}},
        // Names that merely look like the above.
        {"",
         "",
         {"console", "com10", "nulx.txt", "COM0", "con-fig/lpt.txt", ".hidden/a.b",
          "two words/\xC3\xBC.txt"}},
    };
    for (const auto& c : cases) {
        for (const std::string& name : c.names) {
            for (bool windows : {true, false}) {
                NameRules rules;
                rules.windowsNames = windows;
                const TargetPath target = vbuzip::targetPathOf(name, false, rules);
                const std::string& refusal = windows ? c.onWindows : c.elsewhere;
                EXPECT_EQ(target.kind,
                          refusal.empty() ? TargetPath::Kind::File : TargetPath::Kind::Unsafe)
                    << name << " " << windows << ": " << target.reason;
                EXPECT_NE(target.reason.find(refusal), std::string::npos)
                    << name << ": " << target.reason;
            }
        }
    }
    // Spaces turned to underscores no longer end a part.
    NameRules rules;
    rules.windowsNames = rules.spaceToUnderscore = true;
    EXPECT_EQ(vbuzip::targetPathOf("dir /file ", false, rules).path, "dir_/file_");
}

TEST(EntryNames, PathsThatDifferOnlyInCaseAreOneFileOnWindows) {
    struct {
        std::string a, b;
        bool same;
    } cases[] = {
        {"Readme.TXT", "README.txt", true},
        {"\xC3\x84rger/\xC3\x96l.txt", "\xC3\xA4RGER/\xC3\xB6L.TXT", true}, // Ärger/Öl, äRGER/öL
        {"\xC5\x81\xC3\xB3\x64\xC5\xBA", "\xC5\x81\xC3\x93\x44\xC5\xB9", true}, // Łódź, ŁÓDŹ
        {"\xC3\xBF", "\xC5\xB8", true},                                         // ÿ, Ÿ
        {"stra\xC3\x9F\x65", "STRASSE", false},                                 // ß has no partner
        {"\xC3\xB7", "\xC3\x97", false}, // ÷ and × are no letters
        {"a.txt", "b.txt", false},
    };
    for (const auto& c : cases) {
        for (bool fold : {true, false}) {
            const vbuzip::PathOrder order{fold};
            EXPECT_EQ(!order(c.a, c.b) && !order(c.b, c.a), fold && c.same) << c.a << " " << c.b;
        }
    }
}

} // namespace
