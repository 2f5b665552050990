// The Qt window's design and the faces of its picture buttons, as the update run drives them
// through its view.
#include <gtest/gtest.h>

#include <QApplication>
#include <QMouseEvent>

#include "windows/UpdaterWindow.h"

namespace {

void Click(QWidget* widget, Qt::MouseButton button = Qt::LeftButton) {
    const QPointF at(5, 5);
    QMouseEvent press(QEvent::MouseButtonPress, at, widget->mapToGlobal(at), button, button,
                      Qt::NoModifier);
    QCoreApplication::sendEvent(widget, &press);
    QMouseEvent release(QEvent::MouseButtonRelease, at, widget->mapToGlobal(at), button,
                        Qt::NoButton, Qt::NoModifier);
    QCoreApplication::sendEvent(widget, &release);
}

bool SamePicture(const QPixmap& a, const QPixmap& b) {
    return a.cacheKey() == b.cacheKey();
}

} // namespace

TEST(UpdaterWindow, DesignAndStateAtTheStartOfTheRun) {
    UpdaterWindow w;
    EXPECT_EQ(w.size(), QSize(386, 311));
    EXPECT_TRUE(w.windowFlags() & Qt::FramelessWindowHint);
    EXPECT_EQ(w.windowTitle(), QStringLiteral("Vorn (Updater)"));
    EXPECT_TRUE(SamePicture(w.picClose->picture(), w.picCancel_up));
    EXPECT_TRUE(SamePicture(w.picUpdateInfo->picture(), w.picUpdateInfo_down));
    EXPECT_FALSE(w.shapeUpdateinfo->isHidden());
    EXPECT_TRUE(w.txtInfo->text().isEmpty());
    EXPECT_FALSE(w.finished());
    EXPECT_EQ(w.txtInfo->geometry(), QRect(16, 133, 352, 126));
    EXPECT_EQ(w.picClose->geometry(), QRect(308, 274, 62, 28));
    EXPECT_EQ(w.picUpdateInfo->geometry(), QRect(212, 274, 86, 28));
    for (const QPixmap* face : {&w.picCancel_up, &w.picCancel_down, &w.picClose_up,
                                &w.picClose_down, &w.picUpdateInfo_up, &w.picUpdateInfo_down})
        EXPECT_FALSE(face->isNull()) << "every face image is compiled in";
}

TEST(UpdaterWindow, StatusLinesEndWithCrLfAndTheCaretSitsBeforeTheLastLf) {
    UpdaterWindow w;
    w.appendStatusLine("one");
    EXPECT_EQ(w.txtInfo->text(), QStringLiteral("one\r\n"));
    EXPECT_EQ(w.txtInfo->selStart(), 4);
    w.appendStatusLine("");
    w.appendStatusLine("two\r\nthree");
    EXPECT_EQ(w.txtInfo->text(), QStringLiteral("one\r\n\r\ntwo\r\nthree\r\n"));
    EXPECT_EQ(w.txtInfo->selStart(), w.txtInfo->text().size() - 1);
}

TEST(Buttons, FacesFollowPressAndReleaseForAnyMouseButton) {
    UpdaterWindow w;
    int closes = 0, infos = 0;
    w.closeRequested = [&] { ++closes; };
    w.updateInfoRequested = [&] { ++infos; };
    QMouseEvent press(QEvent::MouseButtonPress, QPointF(3, 3), QPointF(3, 3), Qt::RightButton,
                      Qt::RightButton, Qt::NoModifier);
    QCoreApplication::sendEvent(w.picClose, &press);
    EXPECT_TRUE(SamePicture(w.picClose->picture(), w.picCancel_down));
    QMouseEvent release(QEvent::MouseButtonRelease, QPointF(3, 3), QPointF(3, 3), Qt::RightButton,
                        Qt::NoButton, Qt::NoModifier);
    QCoreApplication::sendEvent(w.picClose, &release);
    EXPECT_TRUE(SamePicture(w.picClose->picture(), w.picCancel_up));
    EXPECT_EQ(closes, 0) << "only a left click is a click";

    // The update-info button is inert while covered.
    Click(w.picUpdateInfo);
    EXPECT_TRUE(SamePicture(w.picUpdateInfo->picture(), w.picUpdateInfo_down));
    EXPECT_EQ(infos, 0);

    w.setCloseFace(UpdaterView::CloseFace::Close);
    w.uncoverUpdateInfo();
    EXPECT_TRUE(w.finished());
    EXPECT_TRUE(SamePicture(w.picUpdateInfo->picture(), w.picUpdateInfo_up));
    QCoreApplication::sendEvent(w.picClose, &press);
    EXPECT_TRUE(SamePicture(w.picClose->picture(), w.picClose_down));
    QCoreApplication::sendEvent(w.picClose, &release);
    EXPECT_TRUE(SamePicture(w.picClose->picture(), w.picClose_up));
    Click(w.picUpdateInfo);
    EXPECT_EQ(infos, 1);
    Click(w.picClose);
    EXPECT_EQ(closes, 1);
}

TEST(UpdaterWindow, ProgressDisplayStartsEmptyWhenShown) {
    UpdaterWindow w;
    w.setProgressValue(40);
    w.setProgressText("1,5 KB");
    w.showProgress(true);
    EXPECT_EQ(w.pgBar->value(), 0);
    EXPECT_TRUE(w.lblFileProg->text().isEmpty());
    EXPECT_FALSE(w.pgBar->isHidden());
    w.showProgress(false);
    EXPECT_TRUE(w.pgBar->isHidden());
    EXPECT_TRUE(w.lblFileProg->isHidden());
}
