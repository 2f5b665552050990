#include <gtest/gtest.h>

#include <QLocale>
#include <clocale>

#include "QtPrinters.h"
#include "driver/CommandLine.h"

TEST(CommandLine, SplitsAtEverySingleSpaceKeepingEmptyTokens) {
    const CommandLine parsed = ParseCommandLine(QStringLiteral("  http://h/u/ a.zip  1234  "));
    EXPECT_EQ(parsed.baseURL, QStringLiteral("http://h/u/"));
    EXPECT_EQ(parsed.files, (QStringList{"a.zip", "", "1234"}));
    EXPECT_EQ(parsed.packages(), (QStringList{"a.zip", ""}));
    EXPECT_EQ(parsed.clientPID, 1234);
}

TEST(CommandLine, TabsAreNotSeparatorsAndOnlySpacesAreTrimmed) {
    const CommandLine parsed = ParseCommandLine(QStringLiteral("\thttp://h/ a\tb.zip 7\t"));
    EXPECT_EQ(parsed.baseURL, QStringLiteral("\thttp://h/"));
    EXPECT_EQ(parsed.packages(), (QStringList{"a\tb.zip"}));
    EXPECT_EQ(parsed.files.last(), QStringLiteral("7\t"));
    EXPECT_EQ(parsed.clientPID, 7);
}

TEST(CommandLine, TwoTokensHaveNoPackages) {
    const CommandLine parsed = ParseCommandLine(QStringLiteral("http://h/ 99"));
    EXPECT_EQ(parsed.files, QStringList{"99"});
    EXPECT_TRUE(parsed.packages().isEmpty());
    EXPECT_EQ(parsed.clientPID, 99);
}

TEST(CommandLine, SingleTokenHasNoPackagesAndNoProcessId) {
    const CommandLine parsed = ParseCommandLine(QStringLiteral("http://h/"));
    EXPECT_EQ(parsed.baseURL, QStringLiteral("http://h/"));
    EXPECT_TRUE(parsed.files.isEmpty());
    EXPECT_TRUE(parsed.packages().isEmpty());
    EXPECT_EQ(parsed.clientPID, 0);
}

TEST(CommandLine, EmptyAndSpaceOnlyTrimToNothing) {
    EXPECT_TRUE(TrimSpaces(QString()).isEmpty());
    EXPECT_TRUE(TrimSpaces(QStringLiteral("     ")).isEmpty());
    EXPECT_EQ(TrimSpaces(QStringLiteral("\t ")), QStringLiteral("\t"));
}

TEST(CommandLine, ProcessIdReadsTheLeadingNumber) {
    struct Case {
        const char* token;
        qint32 pid;
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
        EXPECT_EQ(LeadingNumberAsProcessId(QString::fromUtf8(c.token)), c.pid) << c.token;
}

TEST(CommandLine, NumberReadingIgnoresTheLocale) {
    const QLocale saved;
    QLocale::setDefault(QLocale(QLocale::German));
    setlocale(LC_NUMERIC, "de_DE.UTF-8");
    EXPECT_EQ(LeadingNumberAsProcessId(QStringLiteral("13.5")), 14);
    EXPECT_EQ(LeadingNumberAsProcessId(QStringLiteral("13,5")), 13);
    setlocale(LC_NUMERIC, "C");
    QLocale::setDefault(saved);
}

TEST(CommandLine, PackageNamesArePlainFileNames) {
    const QString longest(255, QLatin1Char('a'));
    const struct {
        QString name;
        bool plain;
        QString shown;
    } cases[] = {
        {"a.zip", true, "a.zip"},
        {".patch.zip", true, ".patch.zip"},
        {"...", true, "..."},
        {"a%00.zip", true, "a%00.zip"}, // only the server decodes the percent sign
        {"*.zip", true, "*.zip"},
        {longest, true, longest},
        {longest + "a", false, longest + "a"},
        {QString(128, QChar(0xE9)), false, QString(128, QChar(0xE9))}, // 256 bytes in UTF-8
        {"", false, ""},
        {".", false, "."},
        {"..", false, ".."},
        {"../x.zip", false, "../x.zip"},
        {"a/../../x.zip", false, "a/../../x.zip"},
        {"/etc/passwd", false, "/etc/passwd"},
        {"updates/", false, "updates/"},
        {"a\\b.zip", false, "a\\b.zip"},
        {"a\tb\nc\r", false, "a\\tb\\nc\\r"},
        {QStringLiteral("a%1b").arg(QChar(0)), false, "a\\x00b"},
        {"\x1b[31m\x7f", false, "\\x1b[31m\\x7f"},
        {QString(QChar(0x85)), false, "\\x85"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(IsPlainFileName(c.name), c.plain) << c.shown.toStdString();
        EXPECT_EQ(ShownName(c.name), c.shown);
    }
}

TEST(CommandLine, JoinsArgumentsWithSingleSpaces) {
    const char* argv[] = {"/opt/vorn/vorn-updater", "http://h/", "", "a.zip", "12"};
    EXPECT_EQ(JoinArguments(5, argv), QStringLiteral("http://h/  a.zip 12"));
    EXPECT_TRUE(JoinArguments(1, argv).isEmpty());
}
