#include "download/PackageCheck.h"

#include <QString>

namespace PackageCheck {

bool startsLikeZip(const QByteArray& head) {
    return head.startsWith(QByteArrayLiteral("PK\x03\x04")) ||
           head.startsWith(QByteArrayLiteral("PK\x05\x06"));
}

bool endsLikeZip(const QByteArray& tail) {
    constexpr qsizetype recordBytes = 22;
    for (qsizetype at = tail.lastIndexOf(QByteArrayLiteral("PK\x05\x06")); at >= 0;
         at = at > 0 ? tail.lastIndexOf(QByteArrayLiteral("PK\x05\x06"), at - 1) : -1) {
        if (at + recordBytes > tail.size())
            continue;
        const auto commentBytes = qsizetype(quint8(tail[at + 20]) | quint8(tail[at + 21]) << 8);
        if (at + recordBytes + commentBytes == tail.size())
            return true;
    }
    return false;
}

QString describe(const QByteArray& head, const QByteArray& contentType) {
    QString text;
    for (const char c : head.left(48)) {
        const auto byte = quint8(c);
        if (byte >= 0x20 && byte < 0x7F)
            text += QLatin1Char(c);
        else
            text += QStringLiteral("\\x%1").arg(byte, 2, 16, QLatin1Char('0'));
    }
    QString description = head.isEmpty() ? QStringLiteral("nothing")
                                         : QStringLiteral("bytes beginning \"%1\"").arg(text);
    if (!contentType.isEmpty())
        description += QStringLiteral(" of type %1").arg(QString::fromLatin1(contentType));
    return description;
}

} // namespace PackageCheck
