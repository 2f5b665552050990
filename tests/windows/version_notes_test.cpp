#include <gtest/gtest.h>

#include <QApplication>
#include <QFile>
#include <QTemporaryDir>
#include <QTimer>

#include "windows/frmVersionInfo.h"

TEST(VersionNotesBlock, FirstBlockEndsAtTheFirstBlankLine) {
    const VersionNotesBlock block =
        ReadVersionNotesBlock("1.2\r\n  fixed the map\r\n \r\n1.1\r\nolder notes\r\n");
    EXPECT_EQ(block.lines, (QStringList{"1.2", "  fixed the map"}));
    EXPECT_TRUE(block.blankFound);
}

TEST(VersionNotesBlock, LineEnds) {
    // CR alone ends a line; LF alone is an ordinary character.
    EXPECT_EQ(ReadVersionNotesBlock("a\rb\r\rc").lines, (QStringList{"a", "b"}));
    const VersionNotesBlock lfOnly = ReadVersionNotesBlock("a\nb\n\nc\n");
    EXPECT_EQ(lfOnly.lines, QStringList{"a\nb\n\nc\n"});
    EXPECT_FALSE(lfOnly.blankFound);
    // CR LF CR LF: an empty line.
    EXPECT_TRUE(ReadVersionNotesBlock("a\r\n\r\n").blankFound);
    // A last line without a line end is still read.
    EXPECT_EQ(ReadVersionNotesBlock("a\r\nb").lines, (QStringList{"a", "b"}));
}

TEST(VersionNotesBlock, BlankMeansOnlySpaces) {
    const VersionNotesBlock tab = ReadVersionNotesBlock("\t\r\nx\r\n");
    EXPECT_EQ(tab.lines, (QStringList{"\t", "x"}));
    EXPECT_FALSE(tab.blankFound);
    const VersionNotesBlock first = ReadVersionNotesBlock("   \r\nx\r\n");
    EXPECT_TRUE(first.lines.isEmpty());
    EXPECT_TRUE(first.blankFound);
    const VersionNotesBlock empty = ReadVersionNotesBlock("");
    EXPECT_TRUE(empty.lines.isEmpty());
    EXPECT_FALSE(empty.blankFound);
}

TEST(VersionNotesBlock, ByteOrderMarkIsDroppedOnlyAtTheStartOfTheFile) {
    const VersionNotesBlock block =
        ReadVersionNotesBlock("\xEF\xBB\xBFv2\r\xEF\xBB\xBFnotes\r\n\r\n");
    EXPECT_EQ(block.lines, (QStringList{"v2", QChar(0xFEFF) + QStringLiteral("notes")}));
    // A byte-order mark alone is an empty file; followed by a line end, a blank first line.
    const VersionNotesBlock markOnly = ReadVersionNotesBlock("\xEF\xBB\xBF");
    EXPECT_TRUE(markOnly.lines.isEmpty());
    EXPECT_FALSE(markOnly.blankFound);
    const VersionNotesBlock markThenBlank = ReadVersionNotesBlock("\xEF\xBB\xBF\r\nv2\r\n");
    EXPECT_TRUE(markThenBlank.lines.isEmpty());
    EXPECT_TRUE(markThenBlank.blankFound);
}

namespace {
struct NotesFile {
    QTemporaryDir dir;
    QString path() const { return dir.path() + "/versions.txt"; }
    void write(const QByteArray& content) const {
        QFile file(path());
        file.open(QIODevice::WriteOnly);
        file.write(content);
    }
};

} // namespace

TEST(UpdateInfoAction, ShowsTheFirstBlockModallyAndDiscardsTheWindowOnClose) {
    NotesFile notes;
    notes.write("2.0\r\nNew map\r\n\r\n1.9\r\nOld\r\n");
    QPointer<frmVersionInfo> window;
    QString shownText;
    bool shownModal = false;
    QTimer::singleShot(0, [&] {
        auto* modal = qobject_cast<frmVersionInfo*>(QApplication::activeModalWidget());
        ASSERT_NE(modal, nullptr);
        shownModal = modal->isModal() && modal->isVisible();
        shownText = modal->txtVersionInfo->text();
        EXPECT_EQ(modal->windowTitle(), QStringLiteral("Vorn (Version Info)"));
        EXPECT_EQ(modal->size(), QSize(571, 377));
        modal->cmdClose->click();
    });
    ShowVersionNotes(window, nullptr, notes.path());
    EXPECT_TRUE(shownModal);
    EXPECT_EQ(shownText, QStringLiteral("2.0\r\nNew map\r\n"));
    QApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    EXPECT_TRUE(window.isNull()) << "closing discards the window and its text";

    // The next action starts from an empty text box.
    QTimer::singleShot(0, [&] {
        auto* modal = qobject_cast<frmVersionInfo*>(QApplication::activeModalWidget());
        ASSERT_NE(modal, nullptr);
        shownText = modal->txtVersionInfo->text();
        modal->close();
    });
    ShowVersionNotes(window, nullptr, notes.path());
    EXPECT_EQ(shownText, QStringLiteral("2.0\r\nNew map\r\n"));
}

TEST(UpdateInfoAction, WithoutBlankLineTheHiddenWindowKeepsAndAppends) {
    NotesFile notes;
    notes.write("2.0\r\nno blank line");
    QPointer<frmVersionInfo> window;
    ShowVersionNotes(window, nullptr, notes.path());
    ASSERT_FALSE(window.isNull());
    EXPECT_FALSE(window->isVisible());
    ShowVersionNotes(window, nullptr, notes.path());
    EXPECT_EQ(window->txtVersionInfo->text(),
              QStringLiteral("2.0\r\nno blank line\r\n2.0\r\nno blank line\r\n"));
    EXPECT_FALSE(window->isVisible());
    delete window.data();
}

TEST(UpdateInfoAction, MissingOrEmptyFileDoesNothing) {
    NotesFile notes;
    QPointer<frmVersionInfo> window;
    ShowVersionNotes(window, nullptr, notes.path());
    EXPECT_TRUE(window.isNull());
    notes.write("");
    ShowVersionNotes(window, nullptr, notes.path());
    EXPECT_TRUE(window.isNull());
}
