#include "picture/Palettes.h"

namespace host {

namespace {

const TLogPalette& SystemPalette() {
    static const TLogPalette palette{0x300,
                                     {{0, 0, 0, 0},       {128, 0, 0, 0},     {0, 128, 0, 0},
                                      {128, 128, 0, 0},   {0, 0, 128, 0},     {128, 0, 128, 0},
                                      {0, 128, 128, 0},   {192, 192, 192, 0}, {192, 220, 192, 0},
                                      {166, 202, 240, 0}, {255, 251, 240, 0}, {160, 160, 164, 0},
                                      {128, 128, 128, 0}, {255, 0, 0, 0},     {0, 255, 0, 0},
                                      {255, 255, 0, 0},   {0, 0, 255, 0},     {255, 0, 255, 0},
                                      {0, 255, 255, 0},   {255, 255, 255, 0}}};
    return palette;
}

}  // namespace

HPALETTE DefaultSystemPalette() { return &SystemPalette(); }

TPaletteHandle CreateHalftonePalette() {
    const auto& system = SystemPalette().Entries;
    auto palette = std::make_unique<TLogPalette>();
    auto& entries = palette->Entries;
    entries.reserve(256);
    entries.insert(entries.end(), system.begin(), system.begin() + 10);
    for (int r = 0; r < 6; ++r)
        for (int g = 0; g < 6; ++g)
            for (int b = 0; b < 6; ++b)
                entries.push_back({static_cast<uint8_t>(51 * r), static_cast<uint8_t>(51 * g),
                                   static_cast<uint8_t>(51 * b), 0});
    // Twenty greys spread evenly between black and white; none falls on a cube level.
    for (int i = 1; i <= 20; ++i) {
        const auto v = static_cast<uint8_t>((i * 255 + 10) / 21);
        entries.push_back({v, v, v, 0});
    }
    entries.insert(entries.end(), system.begin() + 10, system.end());
    return palette;
}

}  // namespace host
