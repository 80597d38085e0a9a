#pragma once

// The small types that the GIF object model and its encoders share: file versions,
// warnings and progress reports, the encoder kinds and the defaults of a new image.
#include <cstdint>
#include <functional>
#include <string>

#include "platform/Exceptions.h"
#include "platform/Object.h"

// Every failure of the GIF unit.
PIXMORPH_EXCEPTION(GIFException, Exception);

// File versions, in the order that one needs more of the format than the other.
enum TGIFVersion : int { gvUnknown = 0, gv87a = 1, gv89a = 2 };

// Severity of a warning handed to TGIFImage::WarningHandler.
enum TGIFSeverity : int { gsInfo = 0, gsWarning = 1, gsError = 2 };

// (sender, severity, message). With no handler set a warning is dropped.
using TGIFWarning = std::function<void(TObject* sender, TGIFSeverity severity, const std::string& message)>;

enum TProgressStage : int { psStarting = 0, psRunning = 1, psEnding = 2 };
// (sender, stage, percent, message) as the picture framework reports progress of a graphic.
using TGIFProgressEvent =
    std::function<void(TObject* sender, TProgressStage stage, int percent, const std::string& message)>;

// Defaults of a new image; nothing changes them during a conversion.
inline constexpr uint8_t GIFDefaultReductionMethod = 6;  // the 216-colour cube
inline constexpr int32_t GIFDefaultReductionDepth = 8;
inline constexpr uint8_t GIFDefaultDitherMethod = 0;  // no error diffusion
inline constexpr uint8_t GIFDefaultEncoderKind = 0;   // 0 LZW, 1 RLE
inline constexpr uint16_t GIFDefaultDrawOptions = 0x060F;
inline constexpr int GIFDefaultThreadPriority = 3;
inline constexpr int GIFDefaultAnimationSpeed = 100;

inline constexpr uint8_t GIFEncoderLZW = 0;
inline constexpr uint8_t GIFEncoderRLE = 1;

// Pixels of a file that no image data pays for (a frame's data gives at most a few
// thousand pixels per byte): enough for small truncated files and for the background of
// a screen around its first frame, never for a huge picture made of a few bytes.
inline constexpr int64_t GIFPixelAllowance = int64_t{1} << 24;
