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
