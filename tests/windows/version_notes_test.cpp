#include <gtest/gtest.h>

#include <QApplication>
#include <QTimer>

#include "windows/frmVersionInfo.h"

namespace {
const std::vector<std::string> kFirstBlock = {"2.0", "New map"};
} // namespace

TEST(UpdateInfoAction, ShowsTheFirstBlockModallyAndDiscardsTheWindowOnClose) {
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
    ShowVersionNotes(window, nullptr, kFirstBlock, true);
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
    ShowVersionNotes(window, nullptr, kFirstBlock, true);
    EXPECT_EQ(shownText, QStringLiteral("2.0\r\nNew map\r\n"));
}

TEST(UpdateInfoAction, WithoutBlankLineTheHiddenWindowKeepsAndAppends) {
    const std::vector<std::string> block = {"2.0", "no blank line"};
    QPointer<frmVersionInfo> window;
    ShowVersionNotes(window, nullptr, block, false);
    ASSERT_FALSE(window.isNull());
    EXPECT_FALSE(window->isVisible());
    ShowVersionNotes(window, nullptr, block, false);
    EXPECT_EQ(window->txtVersionInfo->text(),
              QStringLiteral("2.0\r\nno blank line\r\n2.0\r\nno blank line\r\n"));
    EXPECT_FALSE(window->isVisible());
    delete window.data();
}
