// Fuzzes the version-notes reader with the input as the contents of versions.txt.
//
// Checked on every input: no line holds a CR and none is blank; every line is the decoding of the
// bytes between two line ends (found here by a split of its own; a byte-order mark counts as one
// only at the start of the file); a blank line was found exactly
// when the reader says so, and without one the lines cover the whole file; for valid UTF-8 the
// lines joined by CR are a prefix of the decoded file with its CR LF pairs taken as CR.
#include "windows/frmVersionInfo.h"

#include <QByteArray>
#include <QString>
#include <QStringDecoder>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <utility>
#include <vector>

namespace {

void fail(const char* what, const QByteArray& input) {
    std::fprintf(stderr, "invariant broken: %s\ninput (hex): %s\n", what,
                 input.toHex().constData());
    std::abort();
}

#define CHECK(condition)                                                                           \
    do {                                                                                           \
        if (!(condition))                                                                          \
            fail(#condition, bytes);                                                               \
    } while (0)

bool onlySpaces(const QString& text) {
    for (const QChar c : text) {
        if (c != u' ')
            return false;
    }
    return true;
}

// Decodes the bytes of one line. A byte-order mark is dropped only at the start of the file: later
// lines keep theirs as a character.
QString decodeLine(const QByteArray& bytes, bool first) {
    QStringDecoder decoder(QStringDecoder::System,
                           first ? QStringDecoder::Flag::Stateless
                                 : QStringDecoder::Flag::Stateless |
                                       QStringDecoder::Flag::ConvertInitialBom);
    return decoder.decode(bytes);
}

// The lines of a file up to and including its first blank one. blank tells whether the last
// element is that blank line.
struct Segments {
    std::vector<QString> lines;
    bool blank = false;
};

Segments split(const QByteArray& bytes) {
    Segments result;
    QByteArray current;
    const qsizetype size = bytes.size();
    for (qsizetype i = 0; i <= size; ++i) {
        if (i < size && bytes[i] != '\r') {
            current += bytes[i];
            continue;
        }
        QString line = decodeLine(current, result.lines.empty());
        if (i == size && line.isEmpty())
            break; // the file ended with a line end, or is empty (a byte-order mark alone is)
        result.lines.push_back(std::move(line));
        if (onlySpaces(result.lines.back())) {
            result.blank = true;
            break;
        }
        current.clear();
        if (i + 1 < size && bytes[i + 1] == '\n')
            ++i;
    }
    return result;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const QByteArray bytes(reinterpret_cast<const char*>(data), static_cast<qsizetype>(size));
    const VersionNotesBlock block = ReadVersionNotesBlock(bytes);

    for (const QString& line : block.lines) {
        CHECK(!line.contains(u'\r'));
        CHECK(!onlySpaces(line));
    }

    const Segments reference = split(bytes);
    CHECK(block.blankFound == reference.blank);
    const size_t expectedLines = reference.lines.size() - (reference.blank ? 1 : 0);
    CHECK(static_cast<size_t>(block.lines.size()) == expectedLines);
    for (size_t i = 0; i < expectedLines; ++i)
        CHECK(block.lines[static_cast<qsizetype>(i)] == reference.lines[i]);

    // For valid UTF-8 the lines rebuild the start of the decoded file.
    QStringDecoder decoder(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless);
    QString decoded = decoder.decode(bytes);
    if (!decoder.hasError()) {
        decoded.replace(QStringLiteral("\r\n"), QStringLiteral("\r"));
        const QString joined = block.lines.join(u'\r');
        CHECK(decoded.startsWith(joined));
        if (block.blankFound) {
            // What follows the block is its line end and then a blank line.
            const QString rest = decoded.mid(joined.size());
            const qsizetype blankStart = block.lines.isEmpty() ? 0 : 1;
            CHECK(block.lines.isEmpty() || rest.startsWith(u'\r'));
            const QString blankLine = rest.mid(blankStart).section(u'\r', 0, 0);
            CHECK(onlySpaces(blankLine));
        } else {
            // Without a blank line the block is the whole file, perhaps less a final line end.
            CHECK(decoded == joined || decoded == joined + u'\r');
        }
    }
    return 0;
}
