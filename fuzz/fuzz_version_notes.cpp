// Fuzzes the version-notes reader with the input as the contents of versions.txt. Qt's UTF-8
// decoder is the independent reading the reader's lines are compared with.
//
// Checked on every input: no line holds a CR and none is blank; every line is well-formed UTF-8
// and the decoding of the bytes between two line ends (found here by a split of its own, decoded
// by Qt, each byte that is not UTF-8 as U+FFFD; a byte-order mark is dropped only at the start of
// the file); a blank line was found exactly when the reader says so, and without one the lines
// cover the whole file; for valid UTF-8 the lines joined by CR are a prefix of the decoded file
// with its CR LF pairs taken as CR.
#include "driver/VersionNotes.h"

#include <QByteArray>
#include <QString>
#include <QStringDecoder>
#include <QStringList>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
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
    QStringDecoder::Flags flags = QStringDecoder::Flag::Stateless;
    if (!first)
        flags |= QStringDecoder::Flag::ConvertInitialBom;
    QStringDecoder decoder(QStringDecoder::Utf8, flags);
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
    const VersionNotesBlock block =
        ReadVersionNotesBlock(std::string(bytes.constData(), static_cast<size_t>(bytes.size())));
    // The lines as Qt reads their bytes (a byte-order mark kept as a character, as the reader keeps
    // one after the start of the file): the same bytes again when they are well-formed UTF-8.
    QStringList lines;
    for (const std::string& line : block.lines) {
        lines.append(decodeLine(QByteArray(line.data(), static_cast<qsizetype>(line.size())),
                                /*first=*/false));
        CHECK(lines.back().toStdString() == line);
        CHECK(!lines.back().contains(u'\r'));
        CHECK(!onlySpaces(lines.back()));
    }

    const Segments reference = split(bytes);
    CHECK(block.blankFound == reference.blank);
    const size_t expectedLines = reference.lines.size() - (reference.blank ? 1 : 0);
    CHECK(block.lines.size() == expectedLines);
    for (size_t i = 0; i < expectedLines; ++i)
        CHECK(lines[static_cast<qsizetype>(i)] == reference.lines[i]);

    // For valid UTF-8 the lines rebuild the start of the decoded file.
    QStringDecoder decoder(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless);
    QString decoded = decoder.decode(bytes);
    if (!decoder.hasError()) {
        decoded.replace(QStringLiteral("\r\n"), QStringLiteral("\r"));
        const QString joined = lines.join(u'\r');
        CHECK(decoded.startsWith(joined));
        if (block.blankFound) {
            // What follows the block is its line end and then a blank line.
            const QString rest = decoded.mid(joined.size());
            const qsizetype blankStart = lines.isEmpty() ? 0 : 1;
            CHECK(lines.isEmpty() || rest.startsWith(u'\r'));
            const QString blankLine = rest.mid(blankStart).section(u'\r', 0, 0);
            CHECK(onlySpaces(blankLine));
        } else {
            // Without a blank line the block is the whole file, perhaps less a final line end.
            CHECK(decoded == joined || decoded == joined + u'\r');
        }
    }
    return 0;
}
