// Fuzzes the command-line parser: the input is the argument text in UTF-8; NUL bytes split it into
// separate arguments for a second pass through the join of the program's arguments.
//
// Checked on every input: trimming removes exactly the outer spaces, the tokens rebuild the trimmed
// text, the package names are the files but the last, and the process id agrees with a reading
// made here independently (for tokens short enough to read quickly).
#include "driver/CommandLine.h"

#include <QRegularExpression>
#include <QString>
#include <QStringList>

#include <cerrno>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <limits>
#include <string>
#include <vector>

namespace {

void fail(const char* what, const QString& input) {
    std::fprintf(stderr, "invariant broken: %s\ninput: \"%s\"\n", what, input.toUtf8().constData());
    std::abort();
}

#define CHECK(condition, input)                                                                    \
    do {                                                                                           \
        if (!(condition))                                                                          \
            fail(#condition, input);                                                               \
    } while (0)

// Longest process-id token read independently; longer ones are only checked for stability.
constexpr qsizetype ShortToken = 64;

// The process id of a token, read by a regular expression and the C library's strtod.
qint32 referenceProcessId(const QString& token) {
    static const QRegularExpression number(
        QStringLiteral("^[+-]?(?:[0-9]+(?:\\.[0-9]*)?|\\.[0-9]+)(?:[eE][+-]?[0-9]+)?"));
    const QRegularExpressionMatch match = number.match(token);
    if (!match.hasMatch())
        return 0;
    const std::string text = match.captured(0).toStdString();
    errno = 0;
    const double value = std::strtod(text.c_str(), nullptr);
    if (!std::isfinite(value))
        return 0;
    const double rounded = std::nearbyint(value);
    if (rounded < std::numeric_limits<qint32>::min() ||
        rounded > std::numeric_limits<qint32>::max())
        return 0;
    return static_cast<qint32>(rounded);
}

void checkParse(const QString& line) {
    // Trimming: only U+0020, only at the ends.
    qsizetype first = 0, last = line.size();
    while (first < last && line[first] == u' ')
        ++first;
    while (last > first && line[last - 1] == u' ')
        --last;
    const QString trimmed = line.sliced(first, last - first);
    CHECK(TrimSpaces(line) == trimmed, line);
    CHECK(TrimSpaces(trimmed) == trimmed, line);

    const CommandLine parsed = ParseCommandLine(line);
    if (trimmed.isEmpty()) {
        CHECK(parsed.baseURL.isEmpty(), line);
        CHECK(parsed.files.isEmpty(), line);
        CHECK(parsed.packages().isEmpty(), line);
        CHECK(parsed.clientPID == 0, line);
        return;
    }

    // Tokens: one more than the spaces left inside; none holds a space; together they rebuild
    // the trimmed text.
    const qsizetype tokens = trimmed.count(u' ') + 1;
    CHECK(parsed.files.size() == tokens - 1, line);
    CHECK(!parsed.baseURL.contains(u' '), line);
    QString rebuilt = parsed.baseURL;
    for (const QString& file : parsed.files) {
        CHECK(!file.contains(u' '), line);
        rebuilt += u' ';
        rebuilt += file;
    }
    CHECK(rebuilt == trimmed, line);
    CHECK(!parsed.baseURL.isEmpty(), line); // the trimmed text starts with something else

    // Packages: every file but the last (the process-id token), in order.
    const QStringList packages = parsed.packages();
    if (parsed.files.isEmpty()) {
        CHECK(packages.isEmpty(), line);
        CHECK(parsed.clientPID == 0, line);
        return;
    }
    CHECK(packages.size() == parsed.files.size() - 1, line);
    for (qsizetype i = 0; i < packages.size(); ++i)
        CHECK(packages[i] == parsed.files[i], line);

    // Process id: from the last token only.
    const QString& pidToken = parsed.files.last();
    CHECK(parsed.clientPID == LeadingNumberAsProcessId(pidToken), line);
    if (pidToken.size() <= ShortToken)
        CHECK(parsed.clientPID == referenceProcessId(pidToken), line);
    bool anyDigit = false;
    for (const QChar c : pidToken)
        anyDigit = anyDigit || (c >= u'0' && c <= u'9');
    if (!anyDigit)
        CHECK(parsed.clientPID == 0, line);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const QByteArray bytes(reinterpret_cast<const char*>(data), static_cast<qsizetype>(size));
    checkParse(QString::fromUtf8(bytes));

    // The same text as separate program arguments, joined as the program joins them.
    const QList<QByteArray> pieces = bytes.split('\0');
    std::vector<const char*> argv{"vorn-updater"};
    for (const QByteArray& piece : pieces)
        argv.push_back(piece.constData()); // each piece is NUL-terminated and has no NUL inside
    const QString joined = JoinArguments(static_cast<int>(argv.size()), argv.data());
    QStringList expected;
    for (const QByteArray& piece : pieces)
        expected.append(QString::fromLocal8Bit(piece));
    CHECK(joined == expected.join(u' '), joined);
    checkParse(joined);
    return 0;
}
