// Shared pieces of the signature tests: a program folder with updates/, and two key pairs made by
// minisign once per test program (the publisher's and another one).
#pragma once

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <gtest/gtest.h>
#include <memory>
#include <string>

#include "MinisignRig.h"
#include "QtPrinters.h"
#include "verify/UpdateVerifier.h"

// Names the tests of a table of cases after each case's `name`.
struct CaseName {
    template <class Case> std::string operator()(const ::testing::TestParamInfo<Case>& info) const {
        return info.param.name;
    }
};

class VerifyFixture : public ::testing::Test {
public:
    static void SetUpTestSuite() {
        if (keyFolder)
            return;
        keyFolder = std::make_unique<QTemporaryDir>();
        publisher = fixtures::generateKey(keyFolder->path(), QStringLiteral("publisher"));
        other = fixtures::generateKey(keyFolder->path(), QStringLiteral("other"));
        successor = fixtures::generateKey(keyFolder->path(), QStringLiteral("successor"));
    }

    void SetUp() override { ASSERT_TRUE(QDir(program()).mkpath(QStringLiteral("updates"))); }

    QString program() const { return m_program.path(); }
    QString path(const QString& relative) const { return program() + QLatin1Char('/') + relative; }
    QString update(const QString& name) const { return path(QStringLiteral("updates/") + name); }

    static QByteArray contents(const QString& file) {
        QFile in(file);
        return in.open(QIODevice::ReadOnly) ? in.readAll() : QByteArray();
    }
    static void write(const QString& file, const QByteArray& bytes) {
        QFile out(file);
        ASSERT_TRUE(out.open(QIODevice::WriteOnly)) << file.toStdString();
        ASSERT_EQ(out.write(bytes), bytes.size());
    }
    static QByteArray publicKeyText(const fixtures::MinisignKey& key) {
        return contents(key.publicKeyFile);
    }

    // The key file of the program folder: the public keys given, one after another.
    void installKeys(std::initializer_list<const fixtures::MinisignKey*> installed) {
        QByteArray text;
        for (const fixtures::MinisignKey* key : installed)
            text += publicKeyText(*key);
        write(path(UpdateVerifier::KeyFileName), text);
    }

    // A package in updates/ of `size` bytes, and its signature by `key`.
    void signedPackage(const QString& name, qsizetype size,
                       const fixtures::MinisignKey& key = publisher,
                       const QStringList& extra = {}) {
        QByteArray bytes(size, '\0');
        for (qsizetype i = 0; i < size; ++i)
            bytes[i] = char((i * 7919 + name.size()) >> 3);
        write(update(name), bytes);
        fixtures::sign(key, update(name), extra);
    }

    static inline std::unique_ptr<QTemporaryDir> keyFolder; // the keys of the whole program
    static inline fixtures::MinisignKey publisher, other, successor;

private:
    QTemporaryDir m_program;
};
