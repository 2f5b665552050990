// Loading the engine library: the folder search, a file that does not load, a missing entry point,
// and a later call finding the library once it is there. One test, since a loaded engine stays.
#include <QFile>
#include <QTemporaryDir>
#include <gtest/gtest.h>
#include <memory>

#include "AppError.h"
#include "cUnzip.h"
#include "mUnzip.h"

namespace {

int ErrorOf(const std::function<void()>& call, QString* description = nullptr) {
    try {
        call();
    } catch (const AppError& error) {
        if (description)
            *description = error.description();
        return error.number();
    }
    return 0;
}

TEST(EngineLoading, SearchOrderLoadFailuresAndEntryPoints) {
    QTemporaryDir empty, garbage;
    QFile junk(garbage.filePath(QStringLiteral("vbuzip10.dll")));
    ASSERT_TRUE(junk.open(QIODevice::WriteOnly));
    junk.write("not a library");
    junk.close();

    auto zip = std::make_shared<cUnzip>();
    zip->setZipFile(QStringLiteral("/tmp/x.zip"));
    QString description;

    SetEngineFolders({empty.path()});
    EXPECT_EQ(ErrorOf([&] { zip->Unzip(); }, &description), AppError::DllNotFound);
    EXPECT_EQ(description, QStringLiteral("File not found: vbuzip10.dll"));

    // The first folder holding the file is the one loaded, even when it does not load.
    SetEngineFolders({empty.path(), garbage.path(), QStringLiteral(VORN_BROKEN_ENGINE_DIR)});
    EXPECT_EQ(ErrorOf([&] { zip->Unzip(); }, &description), AppError::DllNotFound);
    EXPECT_TRUE(description.contains(QStringLiteral("vbuzip10.dll"))) << description.toStdString();

    // A failed load is tried again on the next call.
    SetEngineFolders({empty.path(), QStringLiteral(VORN_BROKEN_ENGINE_DIR),
                      QStringLiteral(VORN_FAKE_ENGINE_DIR)});
    EXPECT_TRUE(zip->Unzip()); // the broken engine answers 77

    qint32 major = 0, minor = 0, revision = 0;
    double date = 0;
    QString info;
    EXPECT_EQ(ErrorOf([&] { zip->GetVersion(major, minor, revision, date, info); }, &description),
              AppError::EntryPointNotFound);
    EXPECT_TRUE(description.contains(QStringLiteral("UzpVersion2")));

    // Once loaded, the engine stays.
    SetEngineFolders({empty.path()});
    EXPECT_EQ(zip->Directory(), 77);
}

} // namespace
