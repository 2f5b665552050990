// The progress bar of the Windows front-end: the common controls' progress bar (so that assistive
// technology reads its value in percent), over the range 0 to 100 in hundredths, painted in the
// skin's colours: a dark trough in a thin frame, filled from the left with a blue gradient. Its
// name is given as an annotation of its accessible object, as the text box's is: otherwise the
// system would name it by the label before it (the progress text).
#pragma once

#include <windows.h>

class ProgressBar {
public:
    ProgressBar(HWND parent, int id, const wchar_t* name);
    ~ProgressBar();
    ProgressBar(const ProgressBar&) = delete;
    ProgressBar& operator=(const ProgressBar&) = delete;

    HWND hwnd() const { return m_hwnd; }

    // Values outside 0..100 are clamped; NaN reads as 0.
    void setValue(double percent);
    double value() const;

private:
    static constexpr int kSteps = 10000;
    static LRESULT CALLBACK Procedure(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam,
                                      UINT_PTR id, DWORD_PTR self);
    void paint(HDC dc) const;

    HWND m_hwnd = nullptr;
    bool m_named = false;
};
