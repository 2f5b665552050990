// How the Windows front-end's message loops (the event loop's and the modal loop of the
// version-notes window) hand a message on: a window that is a dialog (its top-level window has the
// WS_EX_CONTROLPARENT style) gets the dialog keys (Tab between its controls, Escape and Enter
// close it), every other message is translated (characters of keys) and dispatched.
#pragma once

#include <windows.h>

inline void DispatchWindowMessage(MSG& message) {
    if (message.hwnd) {
        HWND root = GetAncestor(message.hwnd, GA_ROOT);
        if (root && (GetWindowLongPtrW(root, GWL_EXSTYLE) & WS_EX_CONTROLPARENT) &&
            IsDialogMessageW(root, &message))
            return;
    }
    TranslateMessage(&message);
    DispatchMessageW(&message);
}
