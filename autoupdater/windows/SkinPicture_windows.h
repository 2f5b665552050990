// The skin's pictures in the Windows front-end: decoded from the program's resources (PNG or JPEG,
// by the Windows Imaging Component) into 32-bit bitmaps with premultiplied alpha, and drawn
// scaled to a rectangle, opaque or blended.
#pragma once

#include <windows.h>

class SkinPicture {
public:
    SkinPicture() = default;
    ~SkinPicture();
    SkinPicture(SkinPicture&& other) noexcept;
    SkinPicture& operator=(SkinPicture&& other) noexcept;
    SkinPicture(const SkinPicture&) = delete;
    SkinPicture& operator=(const SkinPicture&) = delete;

    // The picture of resource `id` (RCDATA) of this program; a null picture when there is none or
    // it cannot be decoded. COM must be initialised on the calling thread.
    static SkinPicture FromResource(int id);

    bool isNull() const { return m_bitmap == nullptr; }
    int width() const { return m_width; }
    int height() const { return m_height; }
    HBITMAP bitmap() const { return m_bitmap; }
    // The colour of a pixel as 0xAARRGGBB (premultiplied); 0 outside the picture.
    DWORD pixel(int x, int y) const;

    // Draws the picture stretched over `target`, ignoring its alpha (opaque pictures), or blended
    // by its alpha over what is there.
    void draw(HDC dc, const RECT& target) const;
    void blend(HDC dc, const RECT& target) const;

private:
    HBITMAP m_bitmap = nullptr;
    void* m_bits = nullptr; // top-down rows of m_width premultiplied BGRA pixels
    int m_width = 0;
    int m_height = 0;
};

// A picture of the skin for a display of `dpi` dots per inch: above 96, the @2x variant (resource
// id + kSkinSharpOffset) when the program has it, else the 1x picture.
SkinPicture LoadSkinPicture(int id, UINT dpi);

// Covers `target` with black of the given opacity (0..255), as the cover over a button that
// cannot be pressed.
void DimRect(HDC dc, const RECT& target, BYTE opacity);
