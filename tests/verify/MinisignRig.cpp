#include "MinisignRig.h"

#include <QFile>
#include <QProcess>
#include <QRegularExpression>
#include <stdexcept>

namespace fixtures {

QString minisignProgram() {
    return QStringLiteral(VORN_MINISIGN);
}

QByteArray runMinisign(const QStringList& arguments) {
    const QString program = minisignProgram();
    if (program.isEmpty())
        throw std::runtime_error("minisign is not installed (scripts/install-deps installs it)");
    QProcess minisign;
    minisign.start(program, arguments);
    minisign.closeWriteChannel();
    if (!minisign.waitForFinished(120000) || minisign.exitStatus() != QProcess::NormalExit ||
        minisign.exitCode() != 0)
        throw std::runtime_error(("minisign " + arguments.join(QLatin1Char(' ')) + " failed: " +
                                  minisign.readAllStandardError() + minisign.errorString())
                                     .toStdString());
    return minisign.readAllStandardOutput();
}

MinisignKey generateKey(const QString& folder, const QString& name) {
    MinisignKey key{folder + QLatin1Char('/') + name + QStringLiteral(".pub"),
                    folder + QLatin1Char('/') + name + QStringLiteral(".key"), QString()};
    runMinisign({QStringLiteral("-G"), QStringLiteral("-W"), QStringLiteral("-f"),
                 QStringLiteral("-p"), key.publicKeyFile, QStringLiteral("-s"), key.secretKeyFile});
    QFile file(key.publicKeyFile);
    file.open(QIODevice::ReadOnly);
    const auto match = QRegularExpression(QStringLiteral("minisign public key ([0-9A-F]{1,16})"))
                           .match(QString::fromLatin1(file.readLine()));
    if (!match.hasMatch())
        throw std::runtime_error("no key id in " + key.publicKeyFile.toStdString());
    key.id = match.captured(1);
    return key;
}

void sign(const MinisignKey& key, const QString& file, const QStringList& extra) {
    runMinisign(QStringList{QStringLiteral("-S"), QStringLiteral("-s"), key.secretKeyFile,
                            QStringLiteral("-m"), file} +
                extra);
}

} // namespace fixtures
