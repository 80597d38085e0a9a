#pragma once

#include <cstdint>

// What drawing one picture may cost, counted over all its bands together. Each bound lies
// far beyond what a real picture asks for; a picture past one is refused with the
// platform's invalid-metafile message (EInvalidGraphic "Metafile is not valid"), so that
// a small file can neither hold the player for minutes nor make it fill gigapixels.
namespace host {

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

private:
    [[noreturn]] static void exceeded();

    int64_t records_ = 0;
    int64_t pathWork_ = 0;
    int64_t area_ = 0;
    int64_t maxArea_;
};

// Points of one path beyond which the picture is refused.
inline constexpr int64_t MaxPathPoints = int64_t{1} << 15;

}  // namespace host
