#pragma once

#include <exception>
#include <string>

// printf-style formatting for the system's messages ("Cannot open file \"%s\". %s").
std::string Format(const char* fmt, ...) __attribute__((format(printf, 1, 2)));

// The system's text for an errno value (the platform's "last error" text).
std::string SysErrorMessage(int error);
// The system's text for the calling thread's current errno.
std::string LastErrorText();

class Exception : public std::exception {
public:
    explicit Exception(std::string message) : message_(std::move(message)) {}
    // A failure that is a write the system refused carries the system's reason (an errno
    // value: ENOSPC, EIO, EFBIG...), so that whoever owns the file being written can name it
    // with that reason, however deep in an encoder the write failed.
    Exception(std::string message, int writeError) : message_(std::move(message)), writeError_(writeError) {}
    const char* what() const noexcept override { return message_.c_str(); }
    const std::string& Message() const { return message_; }
    virtual const char* ClassName() const { return "Exception"; }
    // The errno of the refused write; 0 when the failure was no refused write.
    int WriteError() const { return writeError_; }

private:
    std::string message_;
    int writeError_ = 0;
};

#define PIXMORPH_EXCEPTION(name, base)                                  \
    class name : public base {                                          \
    public:                                                             \
        using base::base;                                               \
        const char* ClassName() const override { return #name; }        \
    }

PIXMORPH_EXCEPTION(EInOutError, Exception);
// A failed system call: the system's message, and the errno that the call reported, taken
// where it failed (by the time a handler runs, errno may have been changed by other calls).
class EOSError : public Exception {
public:
    EOSError(std::string message, int errorCode) : Exception(std::move(message)), errorCode_(errorCode) {}
    const char* ClassName() const override { return "EOSError"; }
    int ErrorCode() const { return errorCode_; }

private:
    int errorCode_;
};

PIXMORPH_EXCEPTION(EStreamError, Exception);
PIXMORPH_EXCEPTION(EStreamCreate, EStreamError);
PIXMORPH_EXCEPTION(EConvertError, Exception);
PIXMORPH_EXCEPTION(EAbort, Exception);  // silent: the front end reports nothing for it
PIXMORPH_EXCEPTION(EAssertionFailed, Exception);
PIXMORPH_EXCEPTION(EOutOfMemory, Exception);
PIXMORPH_EXCEPTION(EAbstractError, Exception);
// The size error of every image buffer ("Invalid bitmap size"), raised by the checked sizes
// below every layer. A format's own exception class lives in that format's layer.
PIXMORPH_EXCEPTION(ELinearBitmap, Exception);

// An EOSError for an errno value, with the system's text and the value as its ErrorCode.
[[noreturn]] void RaiseLastOSError(int error);

// Internal consistency checks: "<text> (<unit>, line <n>)".
[[noreturn]] void AssertionFailed(const char* text, const char* unit, int line);

#define PIXMORPH_ASSERT(condition, text, unit) \
    do { if (!(condition)) AssertionFailed(text, unit, __LINE__); } while (0)

// The platform stream family's own errors.
PIXMORPH_EXCEPTION(EFOpenError, EStreamError);
PIXMORPH_EXCEPTION(EFCreateError, EStreamError);
PIXMORPH_EXCEPTION(EReadError, EStreamError);
PIXMORPH_EXCEPTION(EWriteError, EStreamError);
