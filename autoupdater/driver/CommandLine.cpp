#include "CommandLine.h"

#include <QFile>

#include <charconv>
#include <cmath>
#include <limits>

qint32 LeadingNumberAsProcessId(const QString& token) {
    const QByteArray text = token.toLatin1(); // other characters end the number anyway
    const char* first = text.constData();
    const char* const last = first + text.size();
    // from_chars takes no '+' and reads words ("inf", "nan") that the grammar does not: the sign is
    // taken here, and a digit or a point must follow it.
    const bool negative = first != last && *first == '-';
    if (first != last && (*first == '+' || *first == '-'))
        ++first;
    if (first == last || !(*first == '.' || (*first >= '0' && *first <= '9')))
        return 0;
    double value = 0.0;
    if (std::from_chars(first, last, value).ec != std::errc())
        return 0; // no digits, or far outside any process id (or too small to matter: 0)
    const double rounded = std::nearbyint(negative ? -value : value); // halves to even
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
