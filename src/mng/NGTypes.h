#pragma once

// The C types of libmng's entry points as the library's public interface defines them
// (x86-64: 32-bit integers are int, the boolean is a signed byte), and the signatures of
// the entry points and callbacks this program uses. Nothing here calls into the library.
#include <cstddef>
#include <cstdint>

namespace ng {

using mng_int8 = int8_t;
using mng_uint8 = uint8_t;
using mng_uint16 = uint16_t;
using mng_int32 = int32_t;
using mng_uint32 = uint32_t;
using mng_bool = mng_int8;
using mng_retcode = mng_int32;
using mng_chunkid = mng_int32;
using mng_size_t = size_t;
using mng_ptr = void*;
using mng_pchar = char*;
struct mng_data_struct;
using mng_handle = mng_data_struct*;

struct mng_palette8e {
    mng_uint8 iRed, iGreen, iBlue;
};
using mng_palette8 = mng_palette8e[256];
using mng_uint8arr = mng_uint8[256];

inline constexpr mng_bool MNG_FALSE = 0;
inline constexpr mng_bool MNG_TRUE = 1;

// Callbacks.
using mng_memalloc = mng_ptr (*)(mng_size_t len);
using mng_memfree = void (*)(mng_ptr ptr, mng_size_t len);
using mng_traceproc = mng_bool (*)(mng_handle, mng_int32, mng_int32, mng_pchar);
using mng_openstream = mng_bool (*)(mng_handle);
using mng_closestream = mng_bool (*)(mng_handle);
using mng_readdata = mng_bool (*)(mng_handle, mng_ptr buf, mng_uint32 len, mng_uint32* read);
using mng_writedata = mng_bool (*)(mng_handle, mng_ptr buf, mng_uint32 len, mng_uint32* written);
using mng_errorproc = mng_bool (*)(mng_handle, mng_int32 code, mng_int8 severity, mng_chunkid chunk,
                                   mng_uint32 chunkseq, mng_int32 extra1, mng_int32 extra2, mng_pchar text);
using mng_processheader = mng_bool (*)(mng_handle, mng_uint32 width, mng_uint32 height);
using mng_processtext = mng_bool (*)(mng_handle, mng_uint8 type, mng_pchar keyword, mng_pchar text,
                                     mng_pchar language, mng_pchar translation);
using mng_processsave = mng_bool (*)(mng_handle);
using mng_processseek = mng_bool (*)(mng_handle, mng_pchar name);
using mng_processneed = mng_bool (*)(mng_handle, mng_pchar keyword);
using mng_processmend = mng_bool (*)(mng_handle, mng_uint32 iterations, mng_uint32 id);
using mng_processunknown = mng_bool (*)(mng_handle, mng_chunkid chunk, mng_uint32 len, mng_ptr data);
using mng_processterm = mng_bool (*)(mng_handle, mng_uint8 termaction, mng_uint8 iteraction, mng_uint32 delay,
                                     mng_uint32 itermax);
using mng_getcanvasline = mng_ptr (*)(mng_handle, mng_uint32 line);
using mng_refresh = mng_bool (*)(mng_handle, mng_uint32 x, mng_uint32 y, mng_uint32 width, mng_uint32 height);
using mng_gettickcount = mng_uint32 (*)(mng_handle);
using mng_settimer = mng_bool (*)(mng_handle, mng_uint32 msecs);

// Entry points.
using fn_version_int = mng_uint8 (*)();
using fn_initialize = mng_handle (*)(mng_ptr userdata, mng_memalloc, mng_memfree, mng_traceproc);
using fn_handle = mng_retcode (*)(mng_handle);
using fn_cleanup = mng_retcode (*)(mng_handle*);
using fn_getlasterror = mng_retcode (*)(mng_handle, mng_int8* severity, mng_chunkid* chunk, mng_uint32* chunkseq,
                                        mng_int32* extra1, mng_int32* extra2, mng_pchar* text);
using fn_set_bool = mng_retcode (*)(mng_handle, mng_bool);
using fn_set_uint32 = mng_retcode (*)(mng_handle, mng_uint32);
using fn_get_userdata = mng_ptr (*)(mng_handle);
using fn_status = mng_bool (*)(mng_handle);
using fn_putchunk_ihdr = mng_retcode (*)(mng_handle, mng_uint32 width, mng_uint32 height, mng_uint8 bitdepth,
                                         mng_uint8 colortype, mng_uint8 compression, mng_uint8 filter,
                                         mng_uint8 interlace);
using fn_putchunk_plte = mng_retcode (*)(mng_handle, mng_uint32 count, mng_palette8e* palette);
using fn_putchunk_data = mng_retcode (*)(mng_handle, mng_uint32 len, mng_ptr data);
using fn_putchunk_trns = mng_retcode (*)(mng_handle, mng_bool empty, mng_bool global, mng_uint8 type,
                                         mng_uint32 count, mng_uint8* alphas, mng_uint16 gray, mng_uint16 red,
                                         mng_uint16 green, mng_uint16 blue, mng_uint32 rawlen, mng_uint8* raw);
using fn_putchunk_srgb = mng_retcode (*)(mng_handle, mng_bool empty, mng_uint8 intent);
using fn_putchunk_jhdr = mng_retcode (*)(mng_handle, mng_uint32 width, mng_uint32 height, mng_uint8 colortype,
                                         mng_uint8 imagesampledepth, mng_uint8 imagecompression,
                                         mng_uint8 imageinterlace, mng_uint8 alphasampledepth,
                                         mng_uint8 alphacompression, mng_uint8 alphafilter,
                                         mng_uint8 alphainterlace);

}  // namespace ng
