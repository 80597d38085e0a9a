#pragma once

// The crossing into libjpeg that both of its users share: the platform's JPEG picture,
// which links libjpeg, and the JNG writer, which calls the copy that libmng's library
// brings along through entry points of its own. Nothing here calls a libjpeg function,
// so each user keeps calling the library it resolved.
#include <csetjmp>
#include <cstdint>
#include <exception>
#include <vector>

// jpeglib.h needs FILE and size_t declared first.
#include <cstdio>
#include <jpeglib.h>
#include <jerror.h>

#include "jpeg/JPEGError.h"
#include "platform/Exceptions.h"

namespace host {

inline constexpr const char* SJPEGError = "JPEG error #%d";

// Real encoders write a few dozen scans at most (libjpeg's own progression has ten); a
// crafted file repeats scans without end, each sending the whole image through the
// decoder again. Files of more scans fail with JERR_BAD_PROGRESSION, whichever library
// decodes them.
inline constexpr int MaxJPEGScans = 100;

// libjpeg reports errors through error_exit, which must not return: it jumps back to the
// guard of the call in progress. Warnings are only counted, and nothing is ever printed.
struct JPEGErrorManager {
    // First: libjpeg's pointer to it is a pointer to the whole.
    jpeg_error_mgr pub;
    std::jmp_buf jump;
    // A failure of our own code under a libjpeg call, raised again after it returns.
    std::exception_ptr pending;
};

// libjpeg's jpeg_std_error, of whichever copy of the library the caller uses.
using JPEGStdError = jpeg_error_mgr* (*)(jpeg_error_mgr*);

// Makes errors jump back to the guard. stdError, when given, fills libjpeg's defaults
// first; the fields that any libjpeg call may use are set either way.
void InstallJPEGErrorManager(JPEGErrorManager& errors, JPEGStdError stdError);

// The only function that catches libjpeg's jumps. step holds nothing that needs a
// destructor and throws nothing: it is libjpeg calls and plain loops over memory.
template <class Step>
bool JPEGGuarded(JPEGErrorManager& errors, Step& step) {
    if (setjmp(errors.jump)) return false;
    step();
    return true;
}

// Runs step under the guard and turns a libjpeg error into the C++ exception (the
// recorded failure, else EJPEG with libjpeg's message code), once libjpeg is no longer
// on the stack.
template <class Step>
void RunJPEGCalls(JPEGErrorManager& errors, Step&& step) {
    if (JPEGGuarded(errors, step)) return;
    if (errors.pending) std::rethrow_exception(errors.pending);
    throw EJPEG(Format(SJPEGError, errors.pub.msg_code));
}

// For callbacks that libjpeg calls: runs transfer, and when it throws, records the
// exception and leaves through libjpeg's error exit with code.
template <class Transfer>
void TransferOrExit(j_common_ptr cinfo, int code, Transfer&& transfer) {
    bool failed = false;
    try {
        transfer();
    } catch (...) {
        reinterpret_cast<JPEGErrorManager*>(cinfo->err)->pending = std::current_exception();
        failed = true;
    }
    if (failed) ERREXIT(cinfo, code);
}

// Collects the compressed data in memory: libjpeg writes straight into the end of the
// vector, which grows as it fills.
struct JPEGMemoryDestination {
    // First: libjpeg's pointer to it is a pointer to the whole.
    jpeg_destination_mgr pub;
    std::vector<uint8_t>* output;
};

// The vector is emptied when compression starts and holds exactly the data when it ends.
void InstallJPEGMemoryDestination(j_compress_ptr cinfo, JPEGMemoryDestination& destination,
                                  std::vector<uint8_t>& output);

}  // namespace host
