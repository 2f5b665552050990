// The Win32 window of the Windows front-end as the update run and the user drive it: its design,
// the faces of its picture buttons, its keys, what assistive technology reads, and the modal
// version-notes window. Run on wine's null display driver (scripts/wine-run-gui).
#include <gtest/gtest.h>

#include <windows.h>

#include <oleacc.h>

#include <cmath>
#include <functional>
#include <string>
#include <vector>

#include "windows/SkinResources_windows.h"
#include "windows/UpdaterWindow_windows.h"

namespace {

std::wstring TextOf(HWND hwnd) {
    std::wstring text(static_cast<std::size_t>(GetWindowTextLengthW(hwnd)) + 1, L'\0');
    text.resize(static_cast<std::size_t>(GetWindowTextW(hwnd, text.data(), int(text.size()))));
    return text;
}

SIZE ClientSize(HWND hwnd) {
    RECT client;
    GetClientRect(hwnd, &client);
    return {client.right, client.bottom};
}

// A key as the message loop hands it to the focused control (lParam bit 30: a repeat).
void Key(UINT message, WPARAM key, bool repeat = false) {
    SendMessageW(GetFocus(), message, key, repeat ? (1 << 30) : 0);
}
void Stroke(WPARAM key) {
    Key(WM_KEYDOWN, key);
    Key(WM_KEYUP, key);
}
void HoldShift(bool down) {
    BYTE state[256];
    GetKeyboardState(state);
    state[VK_SHIFT] = down ? 0x80 : 0;
    SetKeyboardState(state);
}

// The window in a state of the run, with what its buttons do traced.
struct TracedWindow : UpdaterWindow {
    std::vector<std::string> trace;
    TracedWindow() {
        closeRequested = [this] { trace.push_back("close"); };
        updateInfoRequested = [this] { trace.push_back("info"); };
        for (auto [button, name] :
             {std::pair{picClose.get(), "close"}, std::pair{picUpdateInfo.get(), "info"}}) {
            auto down = button->mouseDown, up = button->mouseUp;
            button->mouseDown = [this, down, name](int mouse) {
                trace.push_back(std::string(name) + " down");
                down(mouse);
            };
            button->mouseUp = [this, up, name](int mouse) {
                trace.push_back(std::string(name) + " up");
                up(mouse);
            };
        }
        show();
    }
    void finish() {
        setCloseFace(CloseFace::Close);
        uncoverUpdateInfo();
        trace.clear();
    }
};

} // namespace

TEST(Win32UpdaterWindow, DesignAndStateAtTheStartOfTheRun) {
    UpdaterWindow w;
    ASSERT_TRUE(w.isOpen());
    EXPECT_EQ(TextOf(w.hwnd()), L"Vorn (Updater)");
    const LONG_PTR style = GetWindowLongPtrW(w.hwnd(), GWL_STYLE);
    EXPECT_FALSE(style & (WS_CAPTION | WS_THICKFRAME)) << "borderless and of fixed size";
    const SIZE client = ClientSize(w.hwnd());
    EXPECT_EQ(client.cx, MulDiv(386, int(w.dpi()), 96));
    EXPECT_EQ(client.cy, MulDiv(311, int(w.dpi()), 96));
    EXPECT_EQ(TextOf(w.picClose->hwnd()), L"Cancel");
    EXPECT_EQ(w.picClose->picture(), &w.picCancel_up);
    EXPECT_EQ(w.picUpdateInfo->picture(), &w.picUpdateInfo_down);
    EXPECT_TRUE(w.updateInfoCovered());
    EXPECT_FALSE(IsWindowEnabled(w.picUpdateInfo->hwnd()));
    EXPECT_TRUE(w.txtInfo->text().empty());
    w.show();
    EXPECT_EQ(GetFocus(), w.hwnd()) << "no button has the focus as the window appears";
}

TEST(Win32UpdaterWindow, EveryPictureIsCompiledInAtBothResolutions) {
    UpdaterWindow w; // initialises what the decoder needs
    for (int id = IDR_SKIN_BACKGROUND; id <= IDR_SKIN_UPDATEINFO_FOCUS; ++id) {
        const SkinPicture single = LoadSkinPicture(id, 96), sharp = LoadSkinPicture(id, 192);
        ASSERT_FALSE(single.isNull()) << id;
        EXPECT_EQ(sharp.width(), 2 * single.width()) << id;
        EXPECT_EQ(sharp.height(), 2 * single.height()) << id;
    }
    EXPECT_EQ(w.background().width(), MulDiv(386, int(w.dpi()) > 96 ? 192 : 96, 96));
}

TEST(Win32UpdaterWindow, StatusLinesEndWithCrLfAndTheCaretSitsAtTheEnd) {
    UpdaterWindow w;
    w.appendStatusLine("one");
    w.appendStatusLine("");
    w.appendStatusLine("two\nthree \xc3\xa9");
    EXPECT_EQ(w.txtInfo->text(), "one\r\n\r\ntwo\r\nthree \xc3\xa9\r\n");
    EXPECT_EQ(w.txtInfo->caret(), GetWindowTextLengthW(w.txtInfo->hwnd()));
    const LONG_PTR style = GetWindowLongPtrW(w.txtInfo->hwnd(), GWL_STYLE);
    EXPECT_TRUE((style & ES_READONLY) && (style & ES_MULTILINE) && (style & WS_VSCROLL));
}

TEST(Win32UpdaterWindow, ProgressDisplayStartsEmptyWhenShownAndClampsItsValue) {
    UpdaterWindow w;
    w.show();
    w.setProgressValue(40);
    w.setProgressText("1,5 KB");
    w.showProgress(true);
    EXPECT_EQ(w.pgBar->value(), 0);
    EXPECT_EQ(TextOf(w.lblFileProg), L"");
    EXPECT_TRUE(IsWindowVisible(w.pgBar->hwnd()) && IsWindowVisible(w.lblFileProg));
    const std::pair<double, double> values[] = {{42.5, 42.5}, {-3, 0}, {250, 100}, {NAN, 0}};
    for (const auto& [given, shown] : values) {
        w.setProgressValue(given);
        EXPECT_DOUBLE_EQ(w.pgBar->value(), shown) << given;
    }
    w.setProgressText("2 KB / 4 KB");
    EXPECT_EQ(TextOf(w.lblFileProg), L"2 KB / 4 KB");
    w.showProgress(false);
    EXPECT_FALSE(IsWindowVisible(w.pgBar->hwnd()) || IsWindowVisible(w.lblFileProg));
}

TEST(Win32UpdaterWindow, FacesFollowPressAndReleaseForAnyMouseButton) {
    TracedWindow w;
    const HWND close = w.picClose->hwnd(), info = w.picUpdateInfo->hwnd();
    SendMessageW(close, WM_RBUTTONDOWN, MK_RBUTTON, MAKELPARAM(3, 3));
    EXPECT_EQ(w.picClose->picture(), &w.picCancel_down);
    SendMessageW(close, WM_RBUTTONUP, 0, MAKELPARAM(3, 3));
    EXPECT_EQ(w.picClose->picture(), &w.picCancel_up);
    // Covered, the update-info button keeps its face and does nothing.
    SendMessageW(info, WM_LBUTTONDOWN, MK_LBUTTON, MAKELPARAM(3, 3));
    SendMessageW(info, WM_LBUTTONUP, 0, MAKELPARAM(3, 3));
    EXPECT_EQ(w.picUpdateInfo->picture(), &w.picUpdateInfo_down);
    EXPECT_EQ(w.trace, (std::vector<std::string>{"close down", "close up", "info down", "info up"}))
        << "only a left click is a click";

    w.finish();
    EXPECT_EQ(TextOf(close), L"Close");
    EXPECT_TRUE(IsWindowEnabled(info));
    SendMessageW(close, WM_LBUTTONDOWN, MK_LBUTTON, MAKELPARAM(3, 3));
    EXPECT_EQ(w.picClose->picture(), &w.picClose_down);
    // Released away from the button: no click.
    SendMessageW(close, WM_LBUTTONUP, 0, MAKELPARAM(-20, 3));
    EXPECT_EQ(w.picClose->picture(), &w.picClose_up);
    SendMessageW(info, WM_LBUTTONDOWN, MK_LBUTTON, MAKELPARAM(3, 3));
    SendMessageW(info, WM_LBUTTONUP, 0, MAKELPARAM(3, 3));
    EXPECT_EQ(w.trace,
              (std::vector<std::string>{"close down", "close up", "info down", "info up", "info"}));
}

namespace {
struct KeyCase {
    const char* what;
    std::function<void(TracedWindow&)> keys;
    std::vector<std::string> trace;
};
void PrintTo(const KeyCase& keys, std::ostream* out) {
    *out << keys.what;
}
class Win32ButtonKeys : public ::testing::TestWithParam<KeyCase> {};
} // namespace

TEST_P(Win32ButtonKeys, PressAsAClickDoes) {
    TracedWindow w;
    w.finish();
    SetFocus(w.picClose->hwnd());
    GetParam().keys(w);
    HoldShift(false);
    EXPECT_EQ(w.trace, GetParam().trace) << GetParam().what;
}

INSTANTIATE_TEST_SUITE_P(
    Keys, Win32ButtonKeys,
    ::testing::Values(KeyCase{"return held: repeats press nothing more, the release clicks",
                              [](TracedWindow& w) {
                                  Key(WM_KEYDOWN, VK_RETURN);
                                  Key(WM_KEYDOWN, VK_RETURN, true);
                                  Key(WM_KEYDOWN, VK_SPACE);
                                  ASSERT_EQ(w.trace, std::vector<std::string>{"close down"});
                                  Key(WM_KEYUP, VK_RETURN);
                              },
                              {"close down", "close up", "close"}},
                      KeyCase{"escape, whichever control has the focus",
                              [](TracedWindow& w) {
                                  SetFocus(w.txtInfo->hwnd());
                                  Stroke(VK_ESCAPE);
                              },
                              {"close down", "close up", "close"}},
                      KeyCase{"focus leaving a held button lets it up without a click",
                              [](TracedWindow&) {
                                  Key(WM_KEYDOWN, VK_SPACE);
                                  Stroke(VK_TAB);
                                  Key(WM_KEYUP, VK_SPACE);
                              },
                              {"close down", "close up"}},
                      KeyCase{
                          "tab and shift+tab go round the buttons; space presses the focused one",
                          [](TracedWindow& w) {
                              Stroke(VK_TAB);
                              ASSERT_EQ(GetFocus(), w.picUpdateInfo->hwnd());
                              Stroke(VK_TAB);
                              ASSERT_EQ(GetFocus(), w.picClose->hwnd());
                              HoldShift(true);
                              Stroke(VK_TAB);
                              HoldShift(false);
                              ASSERT_EQ(GetFocus(), w.picUpdateInfo->hwnd());
                              Stroke(VK_SPACE);
                          },
                          {"info down", "info up", "info"}},
                      KeyCase{"a release without its press, and other keys, do nothing",
                              [](TracedWindow&) {
                                  Key(WM_KEYUP, VK_SPACE);
                                  Stroke('A');
                                  Stroke(VK_DOWN);
                              },
                              {}}),
    [](const ::testing::TestParamInfo<KeyCase>& info) { return std::to_string(info.index); });

TEST(Win32UpdaterWindow, TabPassesTheCoveredButtonBy) {
    TracedWindow w;
    for (int i = 0; i < 2; ++i) {
        SendMessageW(w.hwnd(), WM_KEYDOWN, VK_TAB, 0);
        EXPECT_EQ(GetFocus(), w.picClose->hwnd());
    }
}

// Their names and states as the system's own objects report them (the annotations of the role,
// the log's and the bar's names are the system's to apply: wine has none).
TEST(Win32UpdaterWindow, AssistiveTechnologySeesButtonsNamedByTheirFaces) {
    TracedWindow w;
    struct Seen {
        std::wstring name;
        bool unavailable = false;
    };
    const auto read = [](HWND hwnd) {
        Seen seen;
        IAccessible* object = nullptr;
        if (FAILED(AccessibleObjectFromWindow(hwnd, static_cast<DWORD>(OBJID_CLIENT),
                                              IID_IAccessible, reinterpret_cast<void**>(&object))))
            return Seen{L"(no object)"};
        VARIANT self{};
        self.vt = VT_I4;
        self.lVal = CHILDID_SELF;
        BSTR text = nullptr;
        if (SUCCEEDED(object->get_accName(self, &text)) && text)
            seen.name = text;
        SysFreeString(text);
        VARIANT state{};
        seen.unavailable = SUCCEEDED(object->get_accState(self, &state)) && state.vt == VT_I4 &&
                           (state.lVal & STATE_SYSTEM_UNAVAILABLE);
        object->Release();
        return seen;
    };
    EXPECT_EQ(read(w.picClose->hwnd()).name, L"Cancel");
    EXPECT_EQ(read(w.picUpdateInfo->hwnd()).name, L"Update Info");
    EXPECT_TRUE(read(w.picUpdateInfo->hwnd()).unavailable);
    w.finish();
    EXPECT_EQ(read(w.picClose->hwnd()).name, L"Close");
    EXPECT_FALSE(read(w.picUpdateInfo->hwnd()).unavailable);
    EXPECT_FALSE(read(w.picClose->hwnd()).unavailable);
}

namespace {
class Win32VersionNotesKeys : public ::testing::TestWithParam<WPARAM> {};

struct {
    HWND text;
    WPARAM key;
    bool ownerDisabledTextFocused;
    bool gaveUp;
} g_probe;

// Should the key not close the window, the test fails rather than hangs.
void CALLBACK GiveUp(HWND owner, UINT, UINT_PTR id, DWORD) {
    KillTimer(owner, id);
    g_probe.gaveUp = true;
    PostMessageW(GetAncestor(g_probe.text, GA_ROOT), WM_CLOSE, 0, 0);
}

void CALLBACK ProbeModalWindow(HWND owner, UINT, UINT_PTR id, DWORD) {
    KillTimer(owner, id);
    g_probe.ownerDisabledTextFocused = !IsWindowEnabled(owner) && GetFocus() == g_probe.text;
    PostMessageW(g_probe.text, WM_KEYDOWN, g_probe.key, 0);
    SetTimer(owner, 2, 20000, &GiveUp);
}
} // namespace

// The window is modal: it runs its own message loop, which the key posted first closes.
TEST_P(Win32VersionNotesKeys, ShowModallyAndCloseAndDiscard) {
    UpdaterWindow w;
    w.show();
    w.showVersionNotes({"2.0"}, false);
    ASSERT_NE(w.versionInfoWindow(), nullptr);
    const HWND notes = w.versionInfoWindow()->hwnd(),
               text = w.versionInfoWindow()->txtVersionInfo().hwnd();
    EXPECT_EQ(TextOf(notes), L"Vorn (Version Info)");
    EXPECT_TRUE(GetWindowLongPtrW(notes, GWL_EXSTYLE) & WS_EX_TOOLWINDOW);
    EXPECT_EQ(GetWindow(notes, GW_OWNER), w.hwnd());
    EXPECT_EQ(ClientSize(notes).cx, MulDiv(571, int(w.dpi()), 96));
    EXPECT_FALSE(IsWindowVisible(notes)) << "shown only when opened";
    w.showVersionNotes({"New map"}, false);
    EXPECT_EQ(w.versionInfoWindow()->txtVersionInfo().text(), "2.0\r\nNew map\r\n");
    // Once the modal loop runs: the state seen, and the key.
    g_probe = {text, GetParam(), false, false};
    SetTimer(w.hwnd(), 1, 0, &ProbeModalWindow);
    w.showVersionNotes({}, true);
    KillTimer(w.hwnd(), 2);
    EXPECT_FALSE(g_probe.gaveUp) << "the key did not close the window";
    EXPECT_TRUE(g_probe.ownerDisabledTextFocused);
    EXPECT_TRUE(IsWindowEnabled(w.hwnd()));
    EXPECT_EQ(w.versionInfoWindow(), nullptr) << "closing discards the window and its text";
}

INSTANTIATE_TEST_SUITE_P(Keys, Win32VersionNotesKeys, ::testing::Values(VK_ESCAPE, VK_RETURN));
