#pragma once

#include <cstdint>

#include "metafile/player/Blit.h"
#include "metafile/player/MetafilePlayer.h"
#include "metafile/player/MetafileReader.h"
#include "metafile/player/Painter.h"
#include "metafile/player/RecordTable.h"

// Plays the records of a Windows metafile: each record function has one handler,
// grouped below by family (state, objects, clipping and regions, drawing, bitmaps,
// text). A record's parameters are 16-bit words after its size and function, stored
// last first.
namespace host {

class WMFRecords {
public:
    explicit WMFRecords(Painter& painter) : painter_(painter), dc_(painter.dc()), cairo_(Cairo()) {}

    // The standard records (the 18-byte header first); the window starts as the
    // bounding box and the viewport is dest.
    void play(const MetafileReader& data, int16_t left, int16_t top, int16_t right, int16_t bottom,
              const PlayRect& dest);

private:
    using Handler = void (WMFRecords::*)(uint16_t function, const MetafileReader& r);
    static const RecordTable<Handler>& handlers();

    // state
    void setBkColor(uint16_t function, const MetafileReader& r);
    void setTextColor(uint16_t function, const MetafileReader& r);
    void setBkMode(uint16_t function, const MetafileReader& r);
    void setRop2(uint16_t function, const MetafileReader& r);
    void setPolyFillMode(uint16_t function, const MetafileReader& r);
    void setTextAlign(uint16_t function, const MetafileReader& r);
    void setWindowOrg(uint16_t function, const MetafileReader& r);
    void setWindowExt(uint16_t function, const MetafileReader& r);
    void offsetWindowOrg(uint16_t function, const MetafileReader& r);
    void scaleWindowExt(uint16_t function, const MetafileReader& r);
    void saveDC(uint16_t function, const MetafileReader& r);
    void restoreDC(uint16_t function, const MetafileReader& r);
    void moveTo(uint16_t function, const MetafileReader& r);

    // objects
    void selectObject(uint16_t function, const MetafileReader& r);
    void deleteObject(uint16_t function, const MetafileReader& r);
    void createPen(uint16_t function, const MetafileReader& r);
    void createBrush(uint16_t function, const MetafileReader& r);
    void createDIBPatternBrush(uint16_t function, const MetafileReader& r);
    void createPatternBrush(uint16_t function, const MetafileReader& r);
    void createFont(uint16_t function, const MetafileReader& r);
    void createPalette(uint16_t function, const MetafileReader& r);
    void createRegion(uint16_t function, const MetafileReader& r);

    // clipping and regions
    void clipRect(uint16_t function, const MetafileReader& r);
    void offsetClip(uint16_t function, const MetafileReader& r);
    void selectClipRegion(uint16_t function, const MetafileReader& r);
    void fillRegion(uint16_t function, const MetafileReader& r);

    // drawing
    void lineTo(uint16_t function, const MetafileReader& r);
    void ellipse(uint16_t function, const MetafileReader& r);
    void rectangle(uint16_t function, const MetafileReader& r);
    void roundRect(uint16_t function, const MetafileReader& r);
    void arc(uint16_t function, const MetafileReader& r);
    void setPixel(uint16_t function, const MetafileReader& r);
    void patBlt(uint16_t function, const MetafileReader& r);
    void polyPoints(uint16_t function, const MetafileReader& r);
    void polyPolygon(uint16_t function, const MetafileReader& r);

    // bitmaps and text
    void stretchDIB(uint16_t function, const MetafileReader& r);
    void dibStretchBlt(uint16_t function, const MetafileReader& r);
    void dibBitBlt(uint16_t function, const MetafileReader& r);
    void setDIBitsToDevice(uint16_t function, const MetafileReader& r);
    // The packed bitmap at dibAt; no surface when it does not fit or cannot be decoded.
    DIBSource packedBitmap(const MetafileReader& r, size_t dibAt, uint32_t usage) const;
    void blitPacked(const MetafileReader& r, size_t dibAt, const BlitArea& area, uint32_t rop);
    void textOut(uint16_t function, const MetafileReader& r);
    void extTextOut(uint16_t function, const MetafileReader& r);
    void drawText(const MetafileReader& r, double x, double y, uint32_t count, size_t stringAt, uint32_t options,
                  const double* rect, bool withAdvances);

    Painter& painter_;
    DeviceContext& dc_;
    const CairoLibrary& cairo_;
};

}  // namespace host
