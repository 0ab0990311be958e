// Pictures embedded as resources (PNG or any other format the Windows Imaging Component reads),
// decoded into bitmaps that GDI can draw with their alpha channel.
#pragma once

#include "HandleU.h"

#include <windows.h>

// Decodes the resource aName of type aType in aModule into a 32-bit top-down DIB section with
// premultiplied alpha, as AlphaBlend wants it. The caller owns the bitmap; aSize receives its
// size. An empty owner (and aSize untouched) when the resource is missing or cannot be decoded.
// Initialises COM on the calling thread for the call if it is not initialised yet.
TUniqueGdiObject LoadImageResource(HMODULE aModule, const wchar_t* aName, const wchar_t* aType, SIZE& aSize) noexcept;

// Draws aBitmap (from LoadImageResource, aSize pixels) into aDest, stretched, blending its alpha.
void DrawAlphaBitmap(HDC aDC, HBITMAP aBitmap, SIZE aSize, const RECT& aDest) noexcept;

// A picture resource decoded on its first draw, so that a window that is never shown never loads
// the imaging component. aName and aType are kept as given: literals or MAKEINTRESOURCE values.
class TResourceImage {
public:
    // aModule null: the executable's own resources.
    TResourceImage(HMODULE aModule, const wchar_t* aName, const wchar_t* aType) noexcept
        : FModule(aModule), FName(aName), FType(aType) {}

    // Draws the picture into aDest as DrawAlphaBitmap does, decoding it first on the first call.
    // A picture that cannot be decoded draws nothing, and is not tried again.
    void Draw(HDC aDC, const RECT& aDest) noexcept;

private:
    HMODULE FModule;
    const wchar_t* FName;
    const wchar_t* FType;
    bool FDecoded = false;
    TUniqueGdiObject FBitmap;
    SIZE FSize{};
};
