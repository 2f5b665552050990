#include "windows/SkinPicture_windows.h"

#include <wincodec.h>

#include <cstring>
#include <utility>

#include "windows/SkinResources_windows.h"

namespace {

// Releases a COM interface pointer when it goes out of scope.
template <typename T> class ComPtr {
public:
    ComPtr() = default;
    ~ComPtr() {
        if (m_p)
            m_p->Release();
    }
    ComPtr(const ComPtr&) = delete;
    ComPtr& operator=(const ComPtr&) = delete;
    T* operator->() const { return m_p; }
    T* get() const { return m_p; }
    T** put() { return &m_p; }

private:
    T* m_p = nullptr;
};

// The bytes of resource `id` (RCDATA) of the program; empty when there is none.
std::pair<const BYTE*, DWORD> ResourceBytes(int id) {
    HMODULE module = GetModuleHandleW(nullptr);
    HRSRC found = FindResourceW(module, MAKEINTRESOURCEW(id), MAKEINTRESOURCEW(10)); // RT_RCDATA
    if (!found)
        return {nullptr, 0};
    HGLOBAL loaded = LoadResource(module, found);
    const void* bytes = loaded ? LockResource(loaded) : nullptr;
    if (!bytes)
        return {nullptr, 0};
    return {static_cast<const BYTE*>(bytes), SizeofResource(module, found)};
}

// A 32-bit top-down bitmap (rows from the top, as WIC copies them) whose pixels are at *bits.
HBITMAP NewPixelBitmap(UINT width, UINT height, void** bits) {
    BITMAPINFO info{};
    info.bmiHeader.biSize = sizeof info.bmiHeader;
    info.bmiHeader.biWidth = static_cast<LONG>(width);
    info.bmiHeader.biHeight = -static_cast<LONG>(height);
    info.bmiHeader.biPlanes = 1;
    info.bmiHeader.biBitCount = 32;
    info.bmiHeader.biCompression = BI_RGB;
    return CreateDIBSection(nullptr, &info, DIB_RGB_COLORS, bits, nullptr, 0);
}

} // namespace

SkinPicture::~SkinPicture() {
    if (m_bitmap)
        DeleteObject(m_bitmap);
}

SkinPicture::SkinPicture(SkinPicture&& other) noexcept
    : m_bitmap(std::exchange(other.m_bitmap, nullptr)),
      m_bits(std::exchange(other.m_bits, nullptr)), m_width(std::exchange(other.m_width, 0)),
      m_height(std::exchange(other.m_height, 0)) {}

SkinPicture& SkinPicture::operator=(SkinPicture&& other) noexcept {
    if (this != &other) {
        if (m_bitmap)
            DeleteObject(m_bitmap);
        m_bitmap = std::exchange(other.m_bitmap, nullptr);
        m_bits = std::exchange(other.m_bits, nullptr);
        m_width = std::exchange(other.m_width, 0);
        m_height = std::exchange(other.m_height, 0);
    }
    return *this;
}

SkinPicture SkinPicture::FromResource(int id) {
    SkinPicture picture;
    const auto [bytes, size] = ResourceBytes(id);
    if (!bytes || size == 0)
        return picture;
    ComPtr<IWICImagingFactory> factory;
    if (FAILED(CoCreateInstance(CLSID_WICImagingFactory, nullptr, CLSCTX_INPROC_SERVER,
                                IID_IWICImagingFactory, reinterpret_cast<void**>(factory.put()))))
        return picture;
    ComPtr<IWICStream> stream;
    ComPtr<IWICBitmapDecoder> decoder;
    ComPtr<IWICBitmapFrameDecode> frame;
    ComPtr<IWICFormatConverter> converter;
    UINT width = 0, height = 0;
    if (FAILED(factory->CreateStream(stream.put())) ||
        FAILED(stream->InitializeFromMemory(const_cast<BYTE*>(bytes), size)) ||
        FAILED(factory->CreateDecoderFromStream(stream.get(), nullptr,
                                                WICDecodeMetadataCacheOnDemand, decoder.put())) ||
        FAILED(decoder->GetFrame(0, frame.put())) ||
        FAILED(factory->CreateFormatConverter(converter.put())) ||
        FAILED(converter->Initialize(frame.get(), GUID_WICPixelFormat32bppPBGRA,
                                     WICBitmapDitherTypeNone, nullptr, 0.0,
                                     WICBitmapPaletteTypeCustom)) ||
        FAILED(converter->GetSize(&width, &height)) || width == 0 || height == 0 || width > 16384 ||
        height > 16384)
        return picture;

    void* bits = nullptr;
    HBITMAP bitmap = NewPixelBitmap(width, height, &bits);
    if (!bitmap)
        return picture;
    const UINT stride = width * 4;
    if (FAILED(converter->CopyPixels(nullptr, stride, stride * height, static_cast<BYTE*>(bits)))) {
        DeleteObject(bitmap);
        return picture;
    }
    GdiFlush();
    picture.m_bitmap = bitmap;
    picture.m_bits = bits;
    picture.m_width = static_cast<int>(width);
    picture.m_height = static_cast<int>(height);
    return picture;
}

DWORD SkinPicture::pixel(int x, int y) const {
    if (!m_bits || x < 0 || y < 0 || x >= m_width || y >= m_height)
        return 0;
    DWORD value = 0;
    std::memcpy(&value, static_cast<const BYTE*>(m_bits) + (y * m_width + x) * 4, 4);
    return value;
}

void SkinPicture::draw(HDC dc, const RECT& target) const {
    if (!m_bitmap)
        return;
    HDC source = CreateCompatibleDC(dc);
    HGDIOBJ previous = SelectObject(source, m_bitmap);
    const int width = target.right - target.left, height = target.bottom - target.top;
    if (width == m_width && height == m_height) {
        BitBlt(dc, target.left, target.top, width, height, source, 0, 0, SRCCOPY);
    } else {
        const int mode = SetStretchBltMode(dc, HALFTONE);
        POINT origin;
        SetBrushOrgEx(dc, 0, 0, &origin);
        StretchBlt(dc, target.left, target.top, width, height, source, 0, 0, m_width, m_height,
                   SRCCOPY);
        SetBrushOrgEx(dc, origin.x, origin.y, nullptr);
        SetStretchBltMode(dc, mode);
    }
    SelectObject(source, previous);
    DeleteDC(source);
}

void SkinPicture::blend(HDC dc, const RECT& target) const {
    if (!m_bitmap)
        return;
    HDC source = CreateCompatibleDC(dc);
    HGDIOBJ previous = SelectObject(source, m_bitmap);
    const BLENDFUNCTION function{AC_SRC_OVER, 0, 255, AC_SRC_ALPHA};
    GdiAlphaBlend(dc, target.left, target.top, target.right - target.left,
                  target.bottom - target.top, source, 0, 0, m_width, m_height, function);
    SelectObject(source, previous);
    DeleteDC(source);
}

SkinPicture LoadSkinPicture(int id, UINT dpi) {
    if (dpi > 96) {
        SkinPicture sharp = SkinPicture::FromResource(id + kSkinSharpOffset);
        if (!sharp.isNull())
            return sharp;
    }
    return SkinPicture::FromResource(id);
}

void DimRect(HDC dc, const RECT& target, BYTE opacity) {
    // One black pixel, stretched and blended at a constant opacity.
    void* bits = nullptr;
    HBITMAP black = NewPixelBitmap(1, 1, &bits);
    if (!black)
        return;
    std::memset(bits, 0, 4);
    HDC source = CreateCompatibleDC(dc);
    HGDIOBJ previous = SelectObject(source, black);
    const BLENDFUNCTION function{AC_SRC_OVER, 0, opacity, 0};
    GdiAlphaBlend(dc, target.left, target.top, target.right - target.left,
                  target.bottom - target.top, source, 0, 0, 1, 1, function);
    SelectObject(source, previous);
    DeleteDC(source);
    DeleteObject(black);
}
