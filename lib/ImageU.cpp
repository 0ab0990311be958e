#include "ImageU.h"

#include "ComU.h"
#include "WindowU.h"

#include <wincodec.h>

TUniqueGdiObject LoadImageResource(HMODULE aModule, const wchar_t* aName, const wchar_t* aType, SIZE& aSize) noexcept {
    TComScope com;
    HRSRC info = FindResourceW(aModule, aName, aType);
    HGLOBAL data = info ? LoadResource(aModule, info) : nullptr;
    auto* bytes = data ? static_cast<BYTE*>(LockResource(data)) : nullptr;
    const DWORD size = info ? SizeofResource(aModule, info) : 0;
    if (!bytes || size == 0)
        return TUniqueGdiObject();

    TComPtr<IWICImagingFactory> factory;
    TComPtr<IWICStream> stream;
    TComPtr<IWICBitmapDecoder> decoder;
    TComPtr<IWICBitmapFrameDecode> frame;
    TComPtr<IWICBitmapSource> converted;
    UINT width = 0, height = 0;
    if (FAILED(CoCreateInstance(CLSID_WICImagingFactory, nullptr, CLSCTX_INPROC_SERVER, IID_IWICImagingFactory,
                                reinterpret_cast<void**>(factory.put()))) ||
        FAILED(factory.get()->CreateStream(stream.put())) || FAILED(stream.get()->InitializeFromMemory(bytes, size)) ||
        FAILED(factory.get()->CreateDecoderFromStream(stream.get(), nullptr, WICDecodeMetadataCacheOnDemand,
                                                      decoder.put())) ||
        FAILED(decoder.get()->GetFrame(0, frame.put())) ||
        FAILED(WICConvertBitmapSource(GUID_WICPixelFormat32bppPBGRA, frame.get(), converted.put())) ||
        FAILED(converted.get()->GetSize(&width, &height)) || width == 0 || height == 0 || width > 4096 || height > 4096)
        return TUniqueGdiObject();

    BITMAPINFO bi{};
    bi.bmiHeader.biSize = sizeof(bi.bmiHeader);
    bi.bmiHeader.biWidth = static_cast<LONG>(width);
    bi.bmiHeader.biHeight = -static_cast<LONG>(height); // top-down, as WIC delivers the rows
    bi.bmiHeader.biPlanes = 1;
    bi.bmiHeader.biBitCount = 32;
    bi.bmiHeader.biCompression = BI_RGB;
    void* bits = nullptr;
    TUniqueGdiObject bitmap(CreateDIBSection(nullptr, &bi, DIB_RGB_COLORS, &bits, nullptr, 0));
    if (!bitmap || !bits)
        return TUniqueGdiObject();
    const UINT stride = width * 4;
    if (FAILED(converted.get()->CopyPixels(nullptr, stride, stride * height, static_cast<BYTE*>(bits))))
        return TUniqueGdiObject();
    aSize = SIZE{static_cast<LONG>(width), static_cast<LONG>(height)};
    return bitmap;
}

void DrawAlphaBitmap(HDC aDC, HBITMAP aBitmap, SIZE aSize, const RECT& aDest) noexcept {
    if (!aBitmap)
        return;
    const TUniqueMemoryDC memory(CreateCompatibleDC(aDC));
    if (!memory)
        return;
    // Declared after the DC: the bitmap is put back out before the DC is deleted.
    const TSelectObject selected(memory.get(), aBitmap);
    const BLENDFUNCTION blend{AC_SRC_OVER, 0, 255, AC_SRC_ALPHA};
    SetStretchBltMode(aDC, HALFTONE);
    AlphaBlend(aDC, aDest.left, aDest.top, aDest.right - aDest.left, aDest.bottom - aDest.top, memory.get(), 0, 0,
               aSize.cx, aSize.cy, blend);
}

void TResourceImage::Draw(HDC aDC, const RECT& aDest) noexcept {
    if (!FDecoded) {
        FDecoded = true;
        FBitmap = LoadImageResource(FModule, FName, FType, FSize);
    }
    DrawAlphaBitmap(aDC, static_cast<HBITMAP>(FBitmap.get()), FSize, aDest);
}
