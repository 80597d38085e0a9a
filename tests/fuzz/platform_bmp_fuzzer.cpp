// Arbitrary bytes into the platform bitmap's Windows-bitmap reader, then through the
// pixel paths that every decoded image takes: conversion to 24 bits, the writer, and a
// stretched draw.
#include <cstdint>

#include "platform/Exceptions.h"
#include "picture/Graphics.h"
#include "platform/Stream.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    host::TMemoryStream stream;
    stream.Write(data, static_cast<int64_t>(size));
    stream.SetPosition(0);
    host::TBitmap bitmap;
    try {
        bitmap.LoadFromStream(stream);
    } catch (const EInvalidGraphic&) {
        return 0;
    } catch (const EOutOfMemory&) {
        return 0;
    }
    // Keep the follow-up work small for huge (but valid) images.
    if (int64_t{bitmap.Width()} * bitmap.Height() > 4'000'000) return 0;
    host::TMemoryStream out;
    bitmap.SaveToStream(out);
    host::TBitmap small;
    small.SetPixelFormat(host::pf8bit);
    small.SetSize(7, 5);
    small.Canvas().SetStretchBltMode(host::HALFTONE);
    small.Canvas().StretchDraw(host::Rect(-1, -1, 6, 4), bitmap);
    bitmap.SetPixelFormat(host::pf24bit);
    return 0;
}
