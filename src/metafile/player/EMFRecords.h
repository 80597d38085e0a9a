#pragma once

#include <cstdint>

#include "metafile/player/MetafilePlayer.h"
#include "metafile/player/MetafileReader.h"
#include "metafile/player/Painter.h"
#include "metafile/player/RecordTable.h"

// Plays the records of an enhanced metafile: each record type has one handler, grouped
// below by family (state, objects, paths, clipping, drawing, bitmaps, text).
namespace host {

class EMFRecords {
public:
    explicit EMFRecords(Painter& painter) : painter_(painter), dc_(painter.dc()), cairo_(Cairo()) {}

    // The whole file, header record first; its frame goes onto dest.
    void play(const MetafileReader& data, const PlayRect& dest);

private:
    using Handler = void (EMFRecords::*)(uint32_t type, const MetafileReader& r);
    static const RecordTable<Handler>& handlers();
    // The playback of the header's frame onto dest; false when the frame is empty.
    bool mapFrame(const MetafileReader& header, const PlayRect& dest);

    // state
    void setWindowExt(uint32_t type, const MetafileReader& r);
    void setWindowOrg(uint32_t type, const MetafileReader& r);
    void setViewportExt(uint32_t type, const MetafileReader& r);
    void setViewportOrg(uint32_t type, const MetafileReader& r);
    void scaleExtents(uint32_t type, const MetafileReader& r);
    void setMapMode(uint32_t type, const MetafileReader& r);
    void setBkMode(uint32_t type, const MetafileReader& r);
    void setPolyFillMode(uint32_t type, const MetafileReader& r);
    void setRop2(uint32_t type, const MetafileReader& r);
    void setTextAlign(uint32_t type, const MetafileReader& r);
    void setTextColor(uint32_t type, const MetafileReader& r);
    void setBkColor(uint32_t type, const MetafileReader& r);
    void setArcDirection(uint32_t type, const MetafileReader& r);
    void setMiterLimit(uint32_t type, const MetafileReader& r);
    void saveDC(uint32_t type, const MetafileReader& r);
    void restoreDC(uint32_t type, const MetafileReader& r);
    void worldTransform(uint32_t type, const MetafileReader& r);
    void moveTo(uint32_t type, const MetafileReader& r);

    // objects
    void selectObject(uint32_t type, const MetafileReader& r);
    void deleteObject(uint32_t type, const MetafileReader& r);
    void createPen(uint32_t type, const MetafileReader& r);
    void extCreatePen(uint32_t type, const MetafileReader& r);
    void createBrush(uint32_t type, const MetafileReader& r);
    void createPatternBrush(uint32_t type, const MetafileReader& r);
    void createFont(uint32_t type, const MetafileReader& r);
    void createPalette(uint32_t type, const MetafileReader& r);

    // paths
    void beginPath(uint32_t type, const MetafileReader& r);
    void endPath(uint32_t type, const MetafileReader& r);
    void closeFigure(uint32_t type, const MetafileReader& r);
    void abortPath(uint32_t type, const MetafileReader& r);
    void fillPath(uint32_t type, const MetafileReader& r);
    void strokeAndFillPath(uint32_t type, const MetafileReader& r);
    void strokePath(uint32_t type, const MetafileReader& r);
    void selectClipPath(uint32_t type, const MetafileReader& r);

    // clipping and regions
    void offsetClip(uint32_t type, const MetafileReader& r);
    void clipRect(uint32_t type, const MetafileReader& r);
    void selectClipRegion(uint32_t type, const MetafileReader& r);
    void fillRegion(uint32_t type, const MetafileReader& r);

    // drawing
    void polyPoints(uint32_t type, const MetafileReader& r);
    void polyPolyPoints(uint32_t type, const MetafileReader& r);
    void polyDraw(uint32_t type, const MetafileReader& r);
    void setPixel(uint32_t type, const MetafileReader& r);
    void ellipse(uint32_t type, const MetafileReader& r);
    void rectangle(uint32_t type, const MetafileReader& r);
    void roundRect(uint32_t type, const MetafileReader& r);
    void arc(uint32_t type, const MetafileReader& r);
    void angleArc(uint32_t type, const MetafileReader& r);
    void lineTo(uint32_t type, const MetafileReader& r);
    void gradientFill(uint32_t type, const MetafileReader& r);

    // bitmaps and text
    void bitmap(uint32_t type, const MetafileReader& r);
    void extTextOut(uint32_t type, const MetafileReader& r);
    void polyTextOut(uint32_t type, const MetafileReader& r);
    void playText(uint32_t type, const MetafileReader& r, size_t emrText);

    Painter& painter_;
    DeviceContext& dc_;
    const CairoLibrary& cairo_;
};

}  // namespace host
