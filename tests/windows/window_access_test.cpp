// The updater window as assistive technology reaches it (the accessibility tree and its change
// events, at the start of a run and at each of its ends), and the corners of the keys that press
// the picture buttons. The keys themselves, on a real X server, are the end-to-end tests' part.
#include <gtest/gtest.h>

#include <QAccessible>
#include <QAccessibleValueInterface>
#include <QApplication>
#include <QKeyEvent>
#include <private/qguiapplication_p.h>
#include <qpa/qplatformaccessibility.h>
#include <qpa/qplatformintegration.h>
#include <vector>

#include "QtPrinters.h"
#include "windows/UpdaterWindow.h"

namespace {

enum class RunState { Running, Failed, SucceededWithNotes, SucceededWithoutNotes };

// The window driven through the run's view as the update run drives it, with the effects of the
// buttons' actions recorded: the close action as the run carries it out (the client started after
// a successful run with version notes, then the end), and the update-info action reading notes
// without a blank line into the notes window, which stays hidden.
class RunWindow : public UpdaterWindow {
public:
    RunWindow() {
        closeRequested = [this] {
            if (finished() && updateInfoAvailable())
                trace.push_back("start client");
            trace.push_back("end");
        };
        updateInfoRequested = [this] { showVersionNotes({"2.0", "new maps"}, false); };
        for (PictureButton* button : {picClose, picUpdateInfo}) {
            const std::string name = button == picClose ? "close" : "info";
            connect(button, &PictureButton::mouseDown, this,
                    [this, name] { trace.push_back(name + " down"); });
            connect(button, &PictureButton::mouseUp, this,
                    [this, name] { trace.push_back(name + " up"); });
        }
        show();
        activateWindow();
        QApplication::processEvents();
    }

    // The window appears as the run starts (Running); the run's ends set the close face, and a
    // success with version notes uncovers the update-info button.
    void enter(RunState state) {
        if (state == RunState::Running)
            return;
        setCloseFace(CloseFace::Close);
        if (state == RunState::SucceededWithNotes)
            uncoverUpdateInfo();
    }

    // Sends a key to the focused control, or to the window when none has the focus.
    void key(QEvent::Type type, int key, bool autoRepeat = false) {
        QWidget* target = QApplication::focusWidget() ? QApplication::focusWidget() : this;
        QKeyEvent event(type, key, Qt::NoModifier, QString(), autoRepeat);
        QApplication::sendEvent(target, &event);
    }
    void stroke(int key) {
        this->key(QEvent::KeyPress, key);
        this->key(QEvent::KeyRelease, key);
    }

    // The effects of the clicks: the close action's, and the notes read by the update-info
    // action (the notes window made, and left hidden).
    std::vector<std::string> trace;
    std::vector<std::string> effects() {
        std::vector<std::string> all = trace;
        if (versionInfoWindow())
            all.push_back("notes read");
        return all;
    }
};

QAccessibleInterface* Accessible(QObject* object) {
    QAccessibleInterface* iface = QAccessible::queryAccessibleInterface(object);
    EXPECT_NE(iface, nullptr);
    return iface;
}

// Records the accessibility events sent while it lives.
class EventRecorder {
public:
    struct Event {
        QObject* object;
        QAccessible::Event type;
        QString text; // the inserted text, or the new value
    };

    EventRecorder() {
        s_current = this;
        // Qt sends the events only while assistive technology listens.
        QGuiApplicationPrivate::platformIntegration()->accessibility()->setActive(true);
        m_previous = QAccessible::installUpdateHandler(&EventRecorder::handle);
    }
    ~EventRecorder() {
        QGuiApplicationPrivate::platformIntegration()->accessibility()->setActive(false);
        QAccessible::installUpdateHandler(m_previous);
        s_current = nullptr;
    }
    std::vector<Event> of(QObject* object, QAccessible::Event type) const {
        std::vector<Event> found;
        for (const Event& event : events)
            if (event.object == object && event.type == type)
                found.push_back(event);
        return found;
    }

    std::vector<Event> events;

private:
    static void handle(QAccessibleEvent* event) {
        QString text;
        if (event->type() == QAccessible::TextInserted)
            text = static_cast<QAccessibleTextInsertEvent*>(event)->textInserted();
        if (event->type() == QAccessible::ValueChanged)
            text = static_cast<QAccessibleValueChangeEvent*>(event)->value().toString();
        s_current->events.push_back({event->object(), event->type(), text});
    }

    static inline EventRecorder* s_current = nullptr;
    QAccessible::UpdateHandler m_previous = nullptr;
};

struct StateCase {
    RunState state;
    const char* closeName;
    bool updateInfoAvailable;
};

class WindowInState : public ::testing::TestWithParam<StateCase> {};

} // namespace

TEST_P(WindowInState, AccessibilityTree) {
    const StateCase& expected = GetParam();
    RunWindow window;
    window.enter(expected.state);

    QAccessibleInterface* root = Accessible(&window);
    EXPECT_EQ(root->role(), QAccessible::Window);
    EXPECT_EQ(root->text(QAccessible::Name), QStringLiteral("Vorn (Updater)"));
    EXPECT_EQ(window.windowIcon().availableSizes(), (QList<QSize>{{16, 16}, {32, 32}}));
    std::vector<QObject*> children;
    for (int i = 0; i < root->childCount(); ++i)
        children.push_back(root->child(i)->object());
    for (QObject* control :
         std::initializer_list<QObject*>{window.txtInfo, window.lblFileProg, window.pgBar,
                                         window.picUpdateInfo, window.picClose})
        EXPECT_NE(std::find(children.begin(), children.end(), control), children.end());

    QAccessibleInterface* close = Accessible(window.picClose);
    EXPECT_EQ(close->role(), QAccessible::Button);
    EXPECT_EQ(close->text(QAccessible::Name), QString::fromLatin1(expected.closeName));
    EXPECT_FALSE(close->state().disabled);
    EXPECT_TRUE(close->state().focusable);

    QAccessibleInterface* info = Accessible(window.picUpdateInfo);
    EXPECT_EQ(info->role(), QAccessible::Button);
    EXPECT_EQ(info->text(QAccessible::Name), QStringLiteral("Update Info"));
    EXPECT_EQ(info->state().disabled, !expected.updateInfoAvailable);
    EXPECT_EQ(info->state().focusable, expected.updateInfoAvailable);
    EXPECT_EQ(
        info->actionInterface()->actionNames().contains(QAccessibleActionInterface::pressAction()),
        expected.updateInfoAvailable);
    EXPECT_EQ(info->childCount(), 0) << "the cover is no control of its own";

    QAccessibleInterface* log = Accessible(window.txtInfo);
    EXPECT_EQ(log->role(), QAccessible::EditableText);
    EXPECT_EQ(log->text(QAccessible::Name), QStringLiteral("Update status"));
    EXPECT_TRUE(log->state().readOnly);
    EXPECT_TRUE(log->state().multiLine);

    QAccessibleInterface* progress = Accessible(window.pgBar);
    EXPECT_EQ(progress->role(), QAccessible::ProgressBar);
    EXPECT_EQ(progress->text(QAccessible::Name), QStringLiteral("Download progress"));
    ASSERT_NE(progress->valueInterface(), nullptr);
    EXPECT_EQ(progress->valueInterface()->maximumValue().toDouble(), 100.0);
}

INSTANTIATE_TEST_SUITE_P(RunStates, WindowInState,
                         ::testing::Values(StateCase{RunState::Running, "Cancel", false},
                                           StateCase{RunState::Failed, "Close", false},
                                           StateCase{RunState::SucceededWithoutNotes, "Close",
                                                     false},
                                           StateCase{RunState::SucceededWithNotes, "Close", true}));

namespace {
struct KeyCase {
    const char* what;
    std::function<void(RunWindow&)> keys;
    std::vector<std::string> effects;
};
class ButtonKeys : public ::testing::TestWithParam<KeyCase> {};
} // namespace

TEST_P(ButtonKeys, PressAsAClickDoes) {
    RunWindow window;
    window.enter(RunState::SucceededWithNotes);
    window.picClose->setFocus(Qt::TabFocusReason);
    window.trace.clear();
    GetParam().keys(window);
    EXPECT_EQ(window.effects(), GetParam().effects);
}

INSTANTIATE_TEST_SUITE_P(
    Keys, ButtonKeys,
    ::testing::Values(KeyCase{"return held: repeats press nothing more, the release clicks",
                              [](RunWindow& w) {
                                  w.key(QEvent::KeyPress, Qt::Key_Return);
                                  w.key(QEvent::KeyPress, Qt::Key_Return, true);
                                  w.key(QEvent::KeyRelease, Qt::Key_Return, true);
                                  w.key(QEvent::KeyPress, Qt::Key_Return, true);
                                  ASSERT_EQ(w.trace, std::vector<std::string>{"close down"});
                                  w.key(QEvent::KeyRelease, Qt::Key_Return);
                              },
                              {"close down", "close up", "start client", "end"}},
                      KeyCase{"escape, whichever control has the focus",
                              [](RunWindow& w) {
                                  w.txtInfo->setFocus(Qt::MouseFocusReason);
                                  w.stroke(Qt::Key_Escape);
                              },
                              {"close down", "close up", "start client", "end"}},
                      KeyCase{"focus leaving a held button lets it up without a click",
                              [](RunWindow& w) {
                                  w.key(QEvent::KeyPress, Qt::Key_Enter);
                                  w.stroke(Qt::Key_Tab);
                                  w.key(QEvent::KeyRelease, Qt::Key_Enter);
                              },
                              {"close down", "close up"}},
                      KeyCase{"a release without its press, and other keys, do nothing",
                              [](RunWindow& w) {
                                  w.key(QEvent::KeyRelease, Qt::Key_Space);
                                  w.stroke(Qt::Key_A);
                                  w.stroke(Qt::Key_Down);
                              },
                              {}}),
    [](const ::testing::TestParamInfo<KeyCase>& info) { return std::to_string(info.index); });

TEST(WindowAccessibility, ChangesAreAnnounced) {
    RunWindow window;
    EventRecorder recorder;

    // Each new line of the log is inserted text, the first one too.
    window.txtInfo->setText(QStringLiteral("Preparing to update...\r\n"));
    window.txtInfo->setText(window.txtInfo->text() +
                            QStringLiteral("Downloading file a.zip...\r\n"));
    std::vector<QString> inserted;
    for (const auto& event : recorder.of(window.txtInfo, QAccessible::TextInserted))
        inserted.push_back(event.text);
    const QChar paragraph = QChar::ParagraphSeparator;
    EXPECT_EQ(inserted,
              (std::vector<QString>{QStringLiteral("Preparing to update...") + paragraph,
                                    QStringLiteral("Downloading file a.zip...") + paragraph}));

    window.pgBar->setValue(42.5);
    window.pgBar->setValue(42.5);
    const auto values = recorder.of(window.pgBar, QAccessible::ValueChanged);
    ASSERT_EQ(values.size(), 1u);
    EXPECT_EQ(values[0].text, QStringLiteral("42.5"));
    EXPECT_EQ(Accessible(window.pgBar)->text(QAccessible::Value), QStringLiteral("43%"));

    // The end of the run renames the close button and makes the update-info button available.
    window.enter(RunState::SucceededWithNotes);
    EXPECT_FALSE(recorder.of(window.picClose, QAccessible::NameChanged).empty());
    EXPECT_FALSE(recorder.of(window.picUpdateInfo, QAccessible::StateChanged).empty());
}

TEST(WindowAccessibility, PressActionIsTheClickOfAnAvailableButton) {
    RunWindow window;
    const QString press = QAccessibleActionInterface::pressAction();
    Accessible(window.picUpdateInfo)->actionInterface()->doAction(press);
    EXPECT_EQ(window.effects(), std::vector<std::string>{}) << "covered: no press";
    Accessible(window.picClose)->actionInterface()->doAction(press);
    EXPECT_EQ(window.effects(), (std::vector<std::string>{"close down", "close up", "end"}))
        << "during the run: Cancel";

    window.enter(RunState::SucceededWithNotes);
    window.trace.clear();
    Accessible(window.picUpdateInfo)->actionInterface()->doAction(press);
    EXPECT_EQ(window.effects(), (std::vector<std::string>{"info down", "info up", "notes read"}));
}

TEST(WindowAccessibility, VersionNotesWindow) {
    frmVersionInfo notes;
    QAccessibleInterface* dialog = Accessible(&notes);
    EXPECT_EQ(dialog->role(), QAccessible::Dialog);
    EXPECT_EQ(dialog->text(QAccessible::Name), QStringLiteral("Vorn (Version Info)"));
    QAccessibleInterface* text = Accessible(notes.txtVersionInfo);
    EXPECT_EQ(text->role(), QAccessible::EditableText);
    EXPECT_EQ(text->text(QAccessible::Name), QStringLiteral("Version notes"));
    EXPECT_TRUE(text->state().readOnly);
    QAccessibleInterface* button = Accessible(notes.cmdClose);
    EXPECT_EQ(button->role(), QAccessible::Button);
    EXPECT_EQ(button->text(QAccessible::Name), QStringLiteral("Close"));
}
