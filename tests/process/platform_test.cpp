#include "Child.h"
#include "process/ProcessExitWatch.h"
#include "process/StartClient.h"
#include "process/UpdateLock.h"
#include "process/modProcesses.h"

#include <QAbstractButton>
#include <QApplication>
#include <QDesktopServices>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QMessageBox>
#include <QProcess>
#include <QTemporaryDir>
#include <QThread>
#include <QTimer>
#include <QUrl>
#include <gtest/gtest.h>

namespace {

const QString kHelper = QStringLiteral(VORN_PROCESS_HELPER);

// Runs the event loop until the condition holds or a generous guard time has passed.
template <typename Condition> bool waitFor(Condition condition) {
    QElapsedTimer guard;
    guard.start();
    while (!condition() && guard.elapsed() < 30000) {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 50);
        QThread::msleep(5);
    }
    return condition();
}

} // namespace

TEST(ProcessExitWatch, ReportsTheEndOfAProcessByEitherMethod) {
    for (auto method : {ProcessExitWatch::Method::Best, ProcessExitWatch::Method::Polling}) {
        Child child("/bin/sleep", {"sleep", "30"});
        ProcessExitWatch watch(child.pid(), method);
        EXPECT_EQ(watch.isPolling(), method == ProcessExitWatch::Method::Polling);
        int fired = 0;
        QObject::connect(&watch, &ProcessExitWatch::exited, [&] { ++fired; });
        QTimer::singleShot(50, [&] { child.killAndLeaveZombie(); });
        EXPECT_TRUE(waitFor([&] { return fired > 0; }));
        QCoreApplication::processEvents();
        EXPECT_EQ(fired, 1);
    }
}

TEST(ProcessExitWatch, ProcessAlreadyGoneOrInvalid) {
    pid_t gone;
    {
        Child child("/bin/true", {"true"});
        gone = child.pid();
    }
    for (qint64 pid : {qint64(gone), qint64(0), qint64(-1)}) {
        ProcessExitWatch watch(pid);
        bool fired = false;
        QObject::connect(&watch, &ProcessExitWatch::exited, [&] { fired = true; });
        EXPECT_TRUE(waitFor([&] { return fired; })) << pid;
    }
}

TEST(ProcessExitWatch, WaitLoopEndsWhenTheClientExits) {
    QTemporaryDir dir;
    const QString program = dir.filePath("Vorn.exe");
    ASSERT_TRUE(QFile::copy("/bin/sleep", program));
    // The client ends on its own, so nothing but the watch can wake the waiting loop.
    Child client(QFile::encodeName(program), {"Vorn.exe", "0.3"});
    ProcessExitWatch watch(client.pid());
    int wakes = 0;
    while (Process_Running("Vorn.exe", client.pid())) {
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
        ++wakes;
    }
    // A loop that spun would have woken thousands of times.
    EXPECT_LT(wakes, 20);
    // The loop may end on the process's state before the watch's own event is handled.
    EXPECT_TRUE(waitFor([&] { return watch.hasExited(); }));
}

TEST(UpdateLock, OneHolderAtATimeUntilItEnds) {
    QTemporaryDir dir;
    QString error;
    UpdateLock::Failure failure;
    auto first = UpdateLock::acquire(dir.path(), &error);
    ASSERT_TRUE(first) << error.toStdString();
    EXPECT_FALSE(UpdateLock::acquire(dir.path(), &error, &failure));
    EXPECT_EQ(failure, UpdateLock::Failure::Busy);
    EXPECT_FALSE(error.isEmpty());

    // A program started while the lock is held does not inherit it.
    qint64 started = 0;
    ASSERT_TRUE(QProcess::startDetached("/bin/sleep", {"30"}, QString(), &started));
    first.reset();
    EXPECT_TRUE(UpdateLock::acquire(dir.path(), &error));
    ::kill(static_cast<pid_t>(started), SIGKILL);

    // Another process holds it until it is killed.
    QProcess holder;
    holder.start(kHelper, {"lock", dir.path()});
    ASSERT_TRUE(holder.waitForReadyRead(30000));
    EXPECT_EQ(holder.readAll(), "locked\n");
    EXPECT_FALSE(UpdateLock::acquire(dir.path(), &error, &failure));
    EXPECT_EQ(failure, UpdateLock::Failure::Busy);
    holder.kill();
    holder.waitForFinished(30000);
    EXPECT_TRUE(UpdateLock::acquire(dir.path(), &error));
    EXPECT_TRUE(QFile::exists(dir.filePath(UpdateLock::FileName)));

    EXPECT_FALSE(UpdateLock::acquire(dir.filePath("missing"), &error, &failure));
    EXPECT_EQ(failure, UpdateLock::Failure::CannotOpen);
}

TEST(StartClient, ExecutableOutlivesTheUpdatersImmediateEnd) {
    QTemporaryDir dir;
    QFile script(dir.filePath("Vorn.exe"));
    ASSERT_TRUE(script.open(QIODevice::WriteOnly));
    script.write("#!/bin/sh\nsleep 0.3\npwd > started.tmp && mv started.tmp started.txt\n");
    script.close();
    script.setPermissions(script.permissions() | QFileDevice::ExeOwner);

    QProcess updater;
    updater.start(kHelper, {"start-client", dir.path(), "Vorn.exe"});
    ASSERT_TRUE(updater.waitForFinished(30000));
    EXPECT_EQ(updater.exitCode(), 0);
    EXPECT_TRUE(waitFor([&] { return QFile::exists(dir.filePath("started.txt")); }));
    QFile started(dir.filePath("started.txt"));
    ASSERT_TRUE(started.open(QIODevice::ReadOnly));
    EXPECT_EQ(QDir(QString::fromLocal8Bit(started.readAll().trimmed())).canonicalPath(),
              QDir(dir.path()).canonicalPath());
}

class UrlRecorder : public QObject {
    Q_OBJECT
public slots:
    void open(const QUrl& url) {
        this->url = url;
        currentDir = QDir::currentPath();
    }

public:
    QUrl url;
    QString currentDir;
};

TEST(StartClient, OtherFilesGoToTheDesktopHandler) {
    QTemporaryDir dir;
    QFile client(dir.filePath("Vorn.exe"));
    ASSERT_TRUE(client.open(QIODevice::WriteOnly));
    client.close();
    UrlRecorder recorder;
    QDesktopServices::setUrlHandler("file", &recorder, "open");
    const QString before = QDir::currentPath();
    StartClient(dir.path(), "Vorn.exe");
    QDesktopServices::unsetUrlHandler("file");
    EXPECT_EQ(recorder.url, QUrl::fromLocalFile(dir.filePath("Vorn.exe")));
    EXPECT_EQ(QDir(recorder.currentDir).canonicalPath(), QDir(dir.path()).canonicalPath());
    EXPECT_EQ(QDir::currentPath(), before);
}

TEST(Termination, FlushesOutputAndSkipsCleanup) {
    QProcess helper;
    helper.start(kHelper, {"terminate"});
    ASSERT_TRUE(helper.waitForFinished(30000));
    EXPECT_EQ(helper.exitCode(), 3);
    EXPECT_EQ(helper.readAllStandardOutput(), "unflushed");
    EXPECT_EQ(helper.readAllStandardError(), "to stderr");
}

TEST(ProcessFaultDeathTest, ShowsTheMessageThenTerminates) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(
        {
            QTimer closer;
            QObject::connect(&closer, &QTimer::timeout, [] {
                auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
                if (!box)
                    return;
                std::fprintf(stderr, "[%s|%s|%d|%d]", qPrintable(box->windowTitle()),
                             qPrintable(box->text()), int(box->icon()),
                             int(box->standardButtons()));
                box->button(QMessageBox::Ok)->click();
            });
            closer.start(10);
            ReportProcessFault();
        },
        ::testing::ExitedWithCode(1),
        "\\[Vorn \\(Auto-Updater\\)\\|A process error has occurred\\.\\|2\\|1024\\]");
}

#include "platform_test.moc"
