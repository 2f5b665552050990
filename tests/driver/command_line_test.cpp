#include <gtest/gtest.h>

#include <clocale>
#include <string>
#include <vector>

#include "driver/CommandLine.h"

using Names = std::vector<std::string>;

TEST(CommandLine, SplitsAtEverySingleSpaceKeepingEmptyTokens) {
    const CommandLine parsed = ParseCommandLine(std::string("  http://h/u/ a.zip  1234  "));
    EXPECT_EQ(parsed.baseURL, std::string("http://h/u/"));
    EXPECT_EQ(parsed.files, (Names{"a.zip", "", "1234"}));
    EXPECT_EQ(parsed.packages(), (Names{"a.zip", ""}));
    EXPECT_EQ(parsed.clientPID, 1234);
}

TEST(CommandLine, TabsAreNotSeparatorsAndOnlySpacesAreTrimmed) {
    const CommandLine parsed = ParseCommandLine(std::string("\thttp://h/ a\tb.zip 7\t"));
    EXPECT_EQ(parsed.baseURL, std::string("\thttp://h/"));
    EXPECT_EQ(parsed.packages(), (Names{"a\tb.zip"}));
    EXPECT_EQ(parsed.files.back(), std::string("7\t"));
    EXPECT_EQ(parsed.clientPID, 7);
}

TEST(CommandLine, TwoTokensHaveNoPackages) {
    const CommandLine parsed = ParseCommandLine(std::string("http://h/ 99"));
    EXPECT_EQ(parsed.files, Names{"99"});
    EXPECT_TRUE(parsed.packages().empty());
    EXPECT_EQ(parsed.clientPID, 99);
}

TEST(CommandLine, SingleTokenHasNoPackagesAndNoProcessId) {
    const CommandLine parsed = ParseCommandLine(std::string("http://h/"));
    EXPECT_EQ(parsed.baseURL, std::string("http://h/"));
    EXPECT_TRUE(parsed.files.empty());
    EXPECT_TRUE(parsed.packages().empty());
    EXPECT_EQ(parsed.clientPID, 0);
}

TEST(CommandLine, EmptyAndSpaceOnlyTrimToNothing) {
    EXPECT_TRUE(TrimSpaces("").empty());
    EXPECT_TRUE(TrimSpaces(std::string("     ")).empty());
    EXPECT_EQ(TrimSpaces(std::string("\t ")), std::string("\t"));
}

TEST(CommandLine, ProcessIdReadsTheLeadingNumber) {
    struct Case {
        const char* token;
        std::int32_t pid;
    } cases[] = {
        {"1234", 1234},
        {"1234x", 1234},
        {"x", 0},
        {"", 0},
        {"0", 0},
        {"+42", 42},
        {"-42", -42},
        {"12.5", 12},
        {"13.5", 14},
        {"-2.5", -2},
        {"0.5", 0},
        {"1.5", 2},
        {".75", 1},
        {"5.", 5},
        {"1e3", 1000},
        {"1E+2x", 100},
        {"25e-1", 2},
        {"35e-1", 4},
        {"7e", 7},
        {"7e+", 7},
        {"1.2.3", 1},
        {"--1", 0},
        {"+", 0},
        {".", 0},
        {"12 34", 12},
        {"1,234", 1},
        {"٣", 0},
        {"0x10", 0},
        {"2147483647", 2147483647},
        {"2147483647.4", 2147483647},
        {"2147483647.5", 0},
        {"2147483648", 0},
        {"-2147483648", -2147483647 - 1},
        {"-2147483649", 0},
        {"99999999999999999999999", 0},
        {"1e400", 0},
        {"1e-400", 0},
    };
    for (const Case& c : cases)
        EXPECT_EQ(LeadingNumberAsProcessId(c.token), c.pid) << c.token;
}

TEST(CommandLine, NumberReadingIgnoresTheLocale) {
    setlocale(LC_NUMERIC, "de_DE.UTF-8");
    EXPECT_EQ(LeadingNumberAsProcessId(std::string("13.5")), 14);
    EXPECT_EQ(LeadingNumberAsProcessId(std::string("13,5")), 13);
    setlocale(LC_NUMERIC, "C");
}

TEST(CommandLine, PackageNamesArePlainFileNames) {
    const std::string longest(255, 'a');
    std::string accents;
    for (int i = 0; i < 128; ++i)
        accents += "\u00e9"; // 256 bytes in UTF-8
    const struct {
        std::string name;
        bool plain;
        std::string shown;
    } cases[] = {
        {"a.zip", true, "a.zip"},
        {".patch.zip", true, ".patch.zip"},
        {"...", true, "..."},
        {"a%00.zip", true, "a%00.zip"}, // only the server decodes the percent sign
        {"*.zip", true, "*.zip"},
        {longest, true, longest},
        {longest + "a", false, longest + "a"},
        {accents, false, accents},
        {"", false, ""},
        {".", false, "."},
        {"..", false, ".."},
        {"../x.zip", false, "../x.zip"},
        {"a/../../x.zip", false, "a/../../x.zip"},
        {"/etc/passwd", false, "/etc/passwd"},
        {"updates/", false, "updates/"},
        {"a\\b.zip", false, "a\\b.zip"},
        {"a\tb\nc\r", false, "a\\tb\\nc\\r"},
        {std::string("a\0b", 3), false, "a\\x00b"},
        {"\x1b[31m\x7f", false, "\\x1b[31m\\x7f"},
        {"\u0085", false, "\\x85"},
        {"a\xff\xc3.zip", false, "a\\xff\\xc3.zip"}, // not UTF-8
        {"\xed\xa0\x80", false, "\\xed\\xa0\\x80"},  // a surrogate
    };
    for (const auto& c : cases) {
        EXPECT_EQ(IsPlainFileName(c.name), c.plain) << c.shown;
        EXPECT_EQ(ShownName(c.name), c.shown);
    }
}

TEST(CommandLine, JoinsArgumentsWithSingleSpaces) {
    const char* argv[] = {"/opt/vorn/vorn-updater", "http://h/", "", "a.zip", "12"};
    EXPECT_EQ(JoinArguments(5, argv), std::string("http://h/  a.zip 12"));
    EXPECT_TRUE(JoinArguments(1, argv).empty());
}
