#include "mng/NGJPEG.h"

#include <dlfcn.h>

#include <csetjmp>
#include <cstdio>
#include <cstring>
#include <exception>
#include <memory>

#include <jpeglib.h>

#include "mng/NGConst.h"
#include "mng/NGImages.h"
#include "platform/Exceptions.h"

namespace ngjpeg {

namespace {

const std::vector<const char*> JpegNames = {
    "jpeg_CreateDecompress", "jpeg_stdio_src", "jpeg_read_header", "jpeg_calc_output_dimensions",
    "jpeg_start_decompress", "jpeg_read_scanlines", "jpeg_finish_decompress", "jpeg_destroy_decompress",
    "jpeg_has_multiple_scans", "jpeg_consume_input", "jpeg_start_output", "jpeg_finish_output", "jpeg_destroy",
    "jpeg_CreateCompress", "jpeg_stdio_dest", "jpeg_set_defaults", "jpeg_set_quality", "jpeg_set_colorspace",
    "jpeg_simple_progression", "jpeg_start_compress", "jpeg_write_scanlines", "jpeg_finish_compress",
    "jpeg_resync_to_restart",
};

// A load of its own, made on first use and kept until the program ends; the libjpeg names
// are found through libmng's dependencies.
struct JpegEntries {
    void* handle = nullptr;
    std::vector<void*> addresses = std::vector<void*>(JpegNames.size(), nullptr);

    JpegEntries() {
        handle = ::dlopen(ng::LibmngName, RTLD_NOW | RTLD_LOCAL);
        if (!handle) return;
        for (size_t i = 0; i < JpegNames.size(); ++i) addresses[i] = ::dlsym(handle, JpegNames[i]);
    }
    ~JpegEntries() {
        if (handle) ::dlclose(handle);
    }
    JpegEntries(const JpegEntries&) = delete;
    JpegEntries& operator=(const JpegEntries&) = delete;
};

JpegEntries& Entries() {
    static JpegEntries entries;
    return entries;
}

size_t IndexOf(const char* name) {
    for (size_t i = 0; i < JpegNames.size(); ++i)
        if (std::strcmp(JpegNames[i], name) == 0) return i;
    return SIZE_MAX;
}

// A missing entry point fails the save up front: calling nothing in its place would
// leave the compressor waiting for rows that never get written.
template <class F>
F Need(const char* name) {
    JpegEntries& entries = Entries();
    if (!entries.handle) throw ng::ENGDLLNotLoaded(ng::SDLLNotLoaded);
    const size_t index = IndexOf(name);
    void* address = index == SIZE_MAX ? nullptr : entries.addresses[index];
    if (!address) throw ng::ENGFuncUnknown(ng::SFuncUnknown);
    return reinterpret_cast<F>(address);
}

constexpr size_t OutputBufferSize = 4000;
constexpr int RowsPerCall = 16;

struct Job {
    // Entry points, resolved before any C code runs.
    void (*createCompress)(j_compress_ptr, int, size_t) = nullptr;
    void (*setDefaults)(j_compress_ptr) = nullptr;
    void (*setQuality)(j_compress_ptr, int, boolean) = nullptr;
    void (*setColorspace)(j_compress_ptr, J_COLOR_SPACE) = nullptr;
    void (*simpleProgression)(j_compress_ptr) = nullptr;
    void (*startCompress)(j_compress_ptr, boolean) = nullptr;
    JDIMENSION (*writeScanlines)(j_compress_ptr, JSAMPARRAY, JDIMENSION) = nullptr;
    void (*finishCompress)(j_compress_ptr) = nullptr;
    void (*destroy)(j_common_ptr) = nullptr;

    jpeg_compress_struct cinfo{};
    jpeg_error_mgr error{};
    jpeg_destination_mgr destination{};
    std::jmp_buf jump{};
    JOCTET buffer[OutputBufferSize]{};
    JSAMPROW rowPointers[RowsPerCall]{};

    const host::TBitmap* bitmap = nullptr;
    uint8_t* rows = nullptr;  // RowsPerCall rows of red, green, blue
    std::vector<uint8_t>* output = nullptr;
    std::exception_ptr pending;
    int quality = 90;
    bool progressive = false;
    bool grayscale = false;
    bool stalled = false;
};

Job& JobOf(j_common_ptr cinfo) { return *static_cast<Job*>(cinfo->client_data); }

[[noreturn]] void ErrorExit(j_common_ptr cinfo) { std::longjmp(JobOf(cinfo).jump, 1); }
void EmitMessage(j_common_ptr, int) {}
void OutputMessage(j_common_ptr) {}
void FormatMessage(j_common_ptr cinfo, char* buffer) {
    std::snprintf(buffer, JMSG_LENGTH_MAX, ng::SJPEGError, cinfo->err->msg_code);
}
void ResetErrorManager(j_common_ptr cinfo) {
    cinfo->err->num_warnings = 0;
    cinfo->err->msg_code = 0;
}

// Appends bytes of the buffer to the output; a failure is recorded and leaves libjpeg at once.
void Append(Job& job, size_t count) {
    bool failed = false;
    try {
        job.output->insert(job.output->end(), job.buffer, job.buffer + count);
    } catch (...) {
        job.pending = std::current_exception();
        failed = true;
    }
    if (failed) std::longjmp(job.jump, 2);
}

void InitDestination(j_compress_ptr cinfo) {
    Job& job = JobOf(reinterpret_cast<j_common_ptr>(cinfo));
    cinfo->dest->next_output_byte = job.buffer;
    cinfo->dest->free_in_buffer = OutputBufferSize;
}

boolean EmptyOutputBuffer(j_compress_ptr cinfo) {
    Job& job = JobOf(reinterpret_cast<j_common_ptr>(cinfo));
    Append(job, OutputBufferSize);
    cinfo->dest->next_output_byte = job.buffer;
    cinfo->dest->free_in_buffer = OutputBufferSize;
    return TRUE;
}

void TermDestination(j_compress_ptr cinfo) {
    Job& job = JobOf(reinterpret_cast<j_common_ptr>(cinfo));
    Append(job, OutputBufferSize - cinfo->dest->free_in_buffer);
}

// All libjpeg calls, with setjmp only here. 0: done; 1: a libjpeg error; 2: a recorded
// exception; 3: the compressor stopped taking rows.
int RunCompression(Job& job) {
    job.cinfo.err = &job.error;
    job.cinfo.client_data = &job;
    if (setjmp(job.jump)) {
        job.destroy(reinterpret_cast<j_common_ptr>(&job.cinfo));
        return job.pending ? 2 : 1;
    }
    job.createCompress(&job.cinfo, JPEG_LIB_VERSION, sizeof(jpeg_compress_struct));
    job.cinfo.client_data = &job;
    job.cinfo.dest = &job.destination;
    const host::TBitmap& bitmap = *job.bitmap;
    job.cinfo.image_width = static_cast<JDIMENSION>(bitmap.Width());
    job.cinfo.image_height = static_cast<JDIMENSION>(bitmap.Height());
    job.cinfo.input_components = 3;
    job.cinfo.in_color_space = JCS_RGB;
    job.setDefaults(&job.cinfo);
    job.setQuality(&job.cinfo, job.quality, TRUE);
    if (job.grayscale) job.setColorspace(&job.cinfo, JCS_GRAYSCALE);
    if (job.progressive) job.simpleProgression(&job.cinfo);
    job.startCompress(&job.cinfo, TRUE);
    const int32_t width = bitmap.Width(), height = bitmap.Height();
    for (int32_t y = 0; y < height;) {
        const int count = height - y < RowsPerCall ? height - y : RowsPerCall;
        for (int i = 0; i < count; ++i) {
            // Blue, green, red rows become red, green, blue.
            const uint8_t* in = bitmap.ScanLine(y + i);
            uint8_t* out = job.rows + static_cast<size_t>(i) * static_cast<size_t>(width) * 3;
            for (int32_t x = 0; x < width; ++x, in += 3, out += 3) {
                out[0] = in[2];
                out[1] = in[1];
                out[2] = in[0];
            }
        }
        int done = 0;
        while (done < count) {
            const JDIMENSION written = job.writeScanlines(&job.cinfo, job.rowPointers + done,
                                                         static_cast<JDIMENSION>(count - done));
            if (written == 0) {
                job.destroy(reinterpret_cast<j_common_ptr>(&job.cinfo));
                return 3;
            }
            done += static_cast<int>(written);
        }
        y += count;
    }
    job.finishCompress(&job.cinfo);
    job.destroy(reinterpret_cast<j_common_ptr>(&job.cinfo));
    return 0;
}

}  // namespace

const std::vector<const char*>& JpegEntryNames() { return JpegNames; }

void* JpegEntryAddress(const char* name) {
    const size_t index = IndexOf(name);
    return index == SIZE_MAX ? nullptr : Entries().addresses[index];
}

void* ReplaceJpegEntryForTesting(const char* name, void* address) {
    const size_t index = IndexOf(name);
    if (index == SIZE_MAX) return nullptr;
    std::swap(Entries().addresses[index], address);
    return address;
}

std::vector<uint8_t> TJPEGImage::Compress(const host::TBitmap& source) const {
    // The compressor reads blue, green, red rows of 24 bits.
    std::unique_ptr<host::TBitmap> converted;
    const host::TBitmap* bitmap = &source;
    if (source.PixelFormat() != host::pf24bit) {
        converted = std::make_unique<host::TBitmap>();
        converted->Assign(const_cast<host::TBitmap&>(source));
        converted->SetPixelFormat(host::pf24bit);
        bitmap = converted.get();
    }

    auto job = std::make_unique<Job>();
    job->createCompress = Need<decltype(job->createCompress)>("jpeg_CreateCompress");
    job->setDefaults = Need<decltype(job->setDefaults)>("jpeg_set_defaults");
    job->setQuality = Need<decltype(job->setQuality)>("jpeg_set_quality");
    job->setColorspace = Need<decltype(job->setColorspace)>("jpeg_set_colorspace");
    job->simpleProgression = Need<decltype(job->simpleProgression)>("jpeg_simple_progression");
    job->startCompress = Need<decltype(job->startCompress)>("jpeg_start_compress");
    job->writeScanlines = Need<decltype(job->writeScanlines)>("jpeg_write_scanlines");
    job->finishCompress = Need<decltype(job->finishCompress)>("jpeg_finish_compress");
    job->destroy = Need<decltype(job->destroy)>("jpeg_destroy");

    job->error.error_exit = ErrorExit;
    job->error.emit_message = EmitMessage;
    job->error.output_message = OutputMessage;
    job->error.format_message = FormatMessage;
    job->error.reset_error_mgr = ResetErrorManager;
    job->destination.init_destination = InitDestination;
    job->destination.empty_output_buffer = EmptyOutputBuffer;
    job->destination.term_destination = TermDestination;

    std::vector<uint8_t> rows(static_cast<size_t>(std::max(bitmap->Width(), 1)) * 3 * RowsPerCall);
    for (int i = 0; i < RowsPerCall; ++i)
        job->rowPointers[i] = rows.data() + static_cast<size_t>(i) * static_cast<size_t>(bitmap->Width()) * 3;
    std::vector<uint8_t> output;
    job->bitmap = bitmap;
    job->rows = rows.data();
    job->output = &output;
    job->quality = CompressionQuality;
    job->progressive = ProgressiveEncoding;
    job->grayscale = Grayscale;

    switch (RunCompression(*job)) {
        case 0:
            return output;
        case 2:
            std::rethrow_exception(job->pending);
        case 3:
            throw EJPEG(Format(ng::SJPEGError, 0));
        default:
            throw EJPEG(Format(ng::SJPEGError, job->error.msg_code));
    }
}

}  // namespace ngjpeg
