#include "CommandLine.h"

#include <QFile>

#include <charconv>
#include <cmath>
#include <limits>
#include <string>

qint32 LeadingNumberAsProcessId(const QString& token) {
    // Collect the longest prefix of the form [+-]digits[.digits][(e|E)[+-]digits].
    std::string number;
    qsizetype i = 0;
    const qsizetype n = token.size();
    auto isDigit = [&](qsizetype at) {
        return at < n && token.at(at) >= QLatin1Char('0') && token.at(at) <= QLatin1Char('9');
    };
    if (i < n && (token.at(i) == QLatin1Char('+') || token.at(i) == QLatin1Char('-'))) {
        if (token.at(i) == QLatin1Char('-'))
            number += '-';
        ++i;
    }
    bool digits = false;
    while (isDigit(i)) {
        number += static_cast<char>(token.at(i++).unicode());
        digits = true;
    }
    if (i < n && token.at(i) == QLatin1Char('.')) {
        number += '.';
        ++i;
        while (isDigit(i)) {
            number += static_cast<char>(token.at(i++).unicode());
            digits = true;
        }
    }
    if (!digits)
        return 0;
    if (i < n && (token.at(i) == QLatin1Char('e') || token.at(i) == QLatin1Char('E'))) {
        qsizetype j = i + 1;
        std::string exponent = "e";
        if (j < n && (token.at(j) == QLatin1Char('+') || token.at(j) == QLatin1Char('-')))
            exponent += static_cast<char>(token.at(j++).unicode());
        if (isDigit(j)) {
            while (isDigit(j))
                exponent += static_cast<char>(token.at(j++).unicode());
            number += exponent;
        }
    }
    double value = 0.0;
    const auto result = std::from_chars(number.data(), number.data() + number.size(), value);
    if (result.ec == std::errc::result_out_of_range)
        return 0; // far outside any process id (or a value too small to matter: rounds to 0)
    if (result.ec != std::errc())
        return 0;
    const double rounded = std::nearbyint(value); // default rounding: halves to even
    if (!(rounded >= std::numeric_limits<qint32>::min() &&
          rounded <= std::numeric_limits<qint32>::max()))
        return 0;
    return static_cast<qint32>(rounded);
}

CommandLine ParseCommandLine(const QString& commandLine) {
    CommandLine parsed;
    const QStringList tokens = TrimSpaces(commandLine).split(QLatin1Char(' '), Qt::KeepEmptyParts);
    parsed.baseURL = tokens.value(0);
    parsed.files = tokens.mid(1);
    if (!parsed.files.isEmpty())
        parsed.clientPID = LeadingNumberAsProcessId(parsed.files.last());
    return parsed;
}

namespace {
// The longest file name the file systems of the program folder take, in bytes.
constexpr qsizetype kMaxFileNameBytes = 255;

bool IsControl(QChar c) {
    return c.category() == QChar::Other_Control;
}
} // namespace

bool IsPlainFileName(const QString& name) {
    if (name.isEmpty() || name == QLatin1String(".") || name == QLatin1String(".."))
        return false;
    for (const QChar c : name) {
        if (c == QLatin1Char('/') || c == QLatin1Char('\\') || IsControl(c))
            return false;
    }
    return QFile::encodeName(name).size() <= kMaxFileNameBytes;
}

QString ShownName(const QString& name) {
    QString shown;
    for (const QChar c : name) {
        if (!IsControl(c))
            shown += c;
        else if (c == QLatin1Char('\t'))
            shown += QLatin1String("\\t");
        else if (c == QLatin1Char('\n'))
            shown += QLatin1String("\\n");
        else if (c == QLatin1Char('\r'))
            shown += QLatin1String("\\r");
        else
            shown += QStringLiteral("\\x%1").arg(c.unicode(), 2, 16, QLatin1Char('0'));
    }
    return shown;
}

QString JoinArguments(int argc, const char* const* argv) {
    QStringList arguments;
    for (int i = 1; i < argc; ++i)
        arguments.append(QString::fromLocal8Bit(argv[i]));
    return arguments.join(QLatin1Char(' '));
}
