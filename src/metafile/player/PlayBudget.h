#pragma once

#include <cstdint>

// What drawing one picture may cost, counted over all its bands together. Each bound lies
// far beyond what a real picture asks for, and the three share one budget: each use is
// charged as its share of its own bound, so a file that goes near every bound at once
// costs no more time than one that reaches a single bound. A picture past the budget is
// refused with the
// platform's invalid-metafile message (EInvalidGraphic "Metafile is not valid"), so that
// a small file can neither hold the player for minutes nor make it fill gigapixels.
namespace host {

// The bounds. Records played over all bands: a large file played in many bands replays
// every record in each of them.
inline constexpr int64_t MaxRecordsPlayed = int64_t{1} << 22;
// Points of one path, and the sum of the squares of the paths' points.
inline constexpr int64_t MaxPathPoints = int64_t{1} << 15;
inline constexpr int64_t MaxPathWork = int64_t{1} << 31;
// Records one glyph weighs, whatever its size.
inline constexpr int64_t GlyphRecordShare = 4;
// Pixels covered: so many times the picture, plus a fixed allowance for small pictures.
inline constexpr int64_t CoveragePerPicturePixel = 16;
inline constexpr int64_t CoverageAllowance = int64_t{1} << 30;

class PlayBudget {
public:
    // picturePixels: the size of the whole picture being drawn.
    explicit PlayBudget(int64_t picturePixels);

    // One record played, in any band.
    void record();
    // A path about to be filled, stroked or clipped to: the renderer's work grows with
    // the square of its points (every edge may cross every other).
    void path(int64_t points);
    // Target pixels an operation covers; weight: passes the renderer makes over them.
    void area(int64_t pixels, int64_t weight = 1);
    // Glyphs about to be measured or drawn: every glyph costs the renderer a lookup and a
    // composite however small it is, so each counts as GlyphRecordShare records (the
    // pixels they cover are charged through area).
    void glyphs(int64_t count);

private:
    // Refused when the shares of the three bounds add up to more than the whole budget.
    void check() const;

    int64_t records_ = 0;
    int64_t pathWork_ = 0;
    int64_t area_ = 0;
    int64_t maxArea_;
};

}  // namespace host
