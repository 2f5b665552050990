// Keys and signatures made by the minisign tool itself, never by the code under test.
#pragma once

#include <QString>
#include <QStringList>

namespace fixtures {

// A key pair without a password (`minisign -G -W`).
struct MinisignKey {
    QString publicKeyFile;
    QString secretKeyFile;
    QString id; // as minisign prints it: "7BB599447A1FC963", no leading zeros
};

// The minisign program found when the build was configured; empty when there was none.
QString minisignProgram();

// Runs minisign with `arguments` and returns its standard output. Throws std::runtime_error, with
// minisign's messages, when it cannot be started or fails.
QByteArray runMinisign(const QStringList& arguments);

// Makes the key pair `<folder>/<name>.pub` and `<folder>/<name>.key`.
MinisignKey generateKey(const QString& folder, const QString& name);

// Signs `file` with `key` (`minisign -S -m file`), the signature at `file`.minisig unless `extra`
// arguments say otherwise (-x), in the hashed format unless they hold -l.
void sign(const MinisignKey& key, const QString& file, const QStringList& extra = {});

} // namespace fixtures
