#include "metafile/player/DeviceContext.h"

#include <algorithm>

namespace host {

namespace {

constexpr size_t LogFontFaceChars = 32;
constexpr uint32_t MaxHatch = 5;

enum StockObject : uint32_t {
    WHITE_BRUSH = 0, BLACK_BRUSH = 4, NULL_BRUSH = 5, WHITE_PEN = 6, BLACK_PEN = 7, NULL_PEN = 8,
    OEM_FIXED_FONT = 10, DEFAULT_PALETTE = 15, DEFAULT_GUI_FONT = 17,
};

Pen makePen(uint32_t style, double width, uint32_t colorRef) {
    Pen pen;
    pen.style = static_cast<int>(style & 0xF);
    pen.width = width;
    pen.cosmetic = (style & PS_GEOMETRIC_MASK) == 0 && width <= 1;
    pen.color = ColorRefToRGB(colorRef);
    pen.endCap = static_cast<int>(style >> 8 & 0xF);
    pen.join = static_cast<int>(style >> 12 & 0xF);
    if (pen.style > PS_INSIDEFRAME) pen.style = PS_SOLID;
    return pen;
}

template <class T>
Object objectOf(Object::Kind kind, T Object::*member, T value) {
    Object o;
    o.kind = kind;
    o.*member = std::move(value);
    return o;
}

}  // namespace

uint32_t ColorRefToRGB(uint32_t colorRef) {
    return (colorRef & 0xFF) << 16 | (colorRef & 0xFF00) | (colorRef >> 16 & 0xFF);
}

void SelectStockObject(DeviceContext& dc, uint32_t stock) {
    static const uint32_t brushGreys[] = {0xFFFFFF, 0xC0C0C0, 0x808080, 0x404040, 0x000000};
    if (stock <= BLACK_BRUSH) dc.brush = Brush{BS_SOLID, brushGreys[stock], 0, nullptr};
    else if (stock == NULL_BRUSH) dc.brush = Brush{BS_NULL, 0, 0, nullptr};
    else if (stock == WHITE_PEN) dc.pen = Pen{PS_SOLID, 0, true, White};
    else if (stock == BLACK_PEN) dc.pen = Pen{};
    else if (stock == NULL_PEN) dc.pen = Pen{PS_NULL, 0, true, 0};
    else if (stock >= OEM_FIXED_FONT && stock <= DEFAULT_GUI_FONT && stock != DEFAULT_PALETTE) dc.font = Font{};
}

Object Object::Of(Pen pen) { return objectOf(PenKind, &Object::pen, std::move(pen)); }
Object Object::Of(Brush brush) { return objectOf(BrushKind, &Object::brush, std::move(brush)); }
Object Object::Of(Font font) { return objectOf(FontKind, &Object::font, std::move(font)); }
Object Object::Of(Region region) { return objectOf(RegionKind, &Object::region, std::move(region)); }
Object Object::OfPalette(std::vector<uint32_t> palette) {
    return objectOf(PaletteKind, &Object::palette, std::move(palette));
}

const Object* ObjectTable::find(size_t index, Object::Kind kind) const {
    const Object* object = at(index);
    return object && object->kind == kind ? object : nullptr;
}

void ObjectTable::store(size_t index, Object object) {
    if (index < objects_.size()) objects_[index] = std::move(object);
}

void ObjectTable::add(Object object) {
    for (Object& slot : objects_)
        if (slot.kind == Object::None) {
            slot = std::move(object);
            return;
        }
}

void ObjectTable::remove(size_t index) {
    if (index < objects_.size()) objects_[index] = Object{};
}

void SavedStates::save(const DeviceContext& dc) {
    if (saved_.size() < MaxSavedStates) saved_.push_back(dc);
}

bool SavedStates::restore(int32_t level, DeviceContext& dc) {
    if (level >= 0) {
        if (level == 0 || static_cast<size_t>(level) > saved_.size()) return false;
        level = level - static_cast<int32_t>(saved_.size()) - 1;
    }
    const int64_t keep = static_cast<int64_t>(saved_.size()) + level;
    if (keep < 0) return false;
    dc = saved_[static_cast<size_t>(keep)];
    saved_.resize(static_cast<size_t>(keep));
    return true;
}

int64_t ReadField(const MetafileReader& record, FieldAt field) {
    if (field.bytes == 4) return field.isSigned ? int64_t{record.i32(field.offset)} : int64_t{record.u32(field.offset)};
    return field.isSigned ? int64_t{record.i16(field.offset)} : int64_t{record.u16(field.offset)};
}

Pen ReadLogPen(const MetafileReader& record, const LogPenLayout& layout) {
    return makePen(static_cast<uint32_t>(ReadField(record, layout.style)),
                   static_cast<double>(ReadField(record, layout.width)),
                   static_cast<uint32_t>(ReadField(record, layout.color)));
}

Brush ReadLogBrush(const MetafileReader& record, const LogBrushLayout& layout) {
    const auto style = static_cast<uint32_t>(ReadField(record, layout.style));
    const auto hatch = static_cast<uint32_t>(ReadField(record, layout.hatch));
    Brush brush;
    brush.style = style == BS_NULL || style == BS_HATCHED ? static_cast<int>(style) : BS_SOLID;
    brush.color = ColorRefToRGB(static_cast<uint32_t>(ReadField(record, layout.color)));
    brush.hatch = static_cast<int>(std::min(hatch, MaxHatch));
    return brush;
}

Font ReadLogFont(const MetafileReader& record, const LogFontLayout& layout) {
    Font font;
    font.height = static_cast<double>(ReadField(record, layout.height));
    font.escapement = static_cast<double>(ReadField(record, layout.escapement));
    font.weight = static_cast<int>(ReadField(record, layout.weight));
    font.italic = record.u8(layout.italic) != 0;
    font.underline = record.u8(layout.italic + 1) != 0;
    font.strikeOut = record.u8(layout.italic + 2) != 0;
    font.charset = record.u8(layout.italic + 3);
    const size_t step = static_cast<size_t>(layout.faceCharBytes);
    for (size_t i = 0; i < LogFontFaceChars && record.has(layout.face + step * i, step); ++i) {
        const size_t at = layout.face + step * i;
        const uint16_t c = step == 2 ? record.u16(at) : record.u8(at);
        if (!c) break;
        // Only ASCII matters for finding the family; a wide character stands as '?'.
        font.face += step == 1 || c < 0x80 ? static_cast<char>(c) : '?';
    }
    return font;
}

bool ReadPaletteEntries(const MetafileReader& record, uint32_t count, size_t entriesAt,
                        std::vector<uint32_t>& palette) {
    if (!record.hasArray(entriesAt, count, 4)) return false;
    for (uint32_t i = 0; i < count; ++i) {
        const size_t at = entriesAt + 4 * size_t{i};
        palette.push_back(uint32_t{record.u8(at)} << 16 | uint32_t{record.u8(at + 1)} << 8 | record.u8(at + 2));
    }
    return true;
}

}  // namespace host
