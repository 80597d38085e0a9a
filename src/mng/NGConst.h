#pragma once

// The fixed texts and numbers of the libmng binding.
namespace ng {

// The library by the name the system loads it with; the messages keep the name users know.
inline constexpr const char* LibmngName = "libmng.so.1";

inline constexpr const char* SNGImageVersion = "1.2.0";
inline constexpr const char* SLibmngRequired = "1.0.5";
inline constexpr const char* SVersionTooOld = "NGImage %s requires libmng %s or later";
inline constexpr const char* SDLLNotLoaded = "libmng.dll was not loaded correctly";
inline constexpr const char* SFuncUnknown = "Function not available in this version";
inline constexpr const char* SMngError =
    "PNG/JNG/MNG error %s \r\nin function %s\r\nCode=%d; Severity=%d; Chunknr=%d; Extra=%d/%d";
inline constexpr const char* SClipboard = "PNG/JNG/MNG clipboard not yet supported";
inline constexpr const char* SSeriousZlib = "Serious ZLIB error...";
inline constexpr const char* SPNGSaveState = "PNG save not supported in this state";
inline constexpr const char* SJNGSaveState = "JNG save not supported in this state";

// zlib as the writers call it: the version text only has to agree in its first digit.
inline constexpr const char* ZlibVersionText = "1.1.4";

// libmng's canvas and background style for blue-green-red rows of 8-bit samples.
inline constexpr unsigned MNG_CANVAS_BGR8 = 1;
// mng_display's result asking to be woken later: an animation, not a failure.
inline constexpr int MNG_NEEDTIMERWAIT = 15;

// Save settings' defaults.
inline constexpr int DefaultZLibLevel = 9;
inline constexpr int DefaultZLibMethod = 8;
inline constexpr int DefaultZLibWindowBits = 15;
inline constexpr int DefaultZLibMemLevel = 9;
inline constexpr int DefaultZLibStrategy = 0;
inline constexpr int DefaultIDATSize = 65536;
inline constexpr int DefaultJPEGQuality = 90;
inline constexpr int DefaultJDATSize = 65536;

// How often a compression is started again, each time with more room, when zlib reports
// that it ran out of output space.
inline constexpr int MaxCompressAttempts = 4;

}  // namespace ng
