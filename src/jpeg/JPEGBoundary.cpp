#include "jpeg/JPEGBoundary.h"

namespace host {

namespace {

// ---------------------------------------------------------------- errors

void ErrorExit(j_common_ptr cinfo) { std::longjmp(reinterpret_cast<JPEGErrorManager*>(cinfo->err)->jump, 1); }

void EmitMessage(j_common_ptr cinfo, int level) {
    if (level < 0) ++cinfo->err->num_warnings;
}

void OutputMessage(j_common_ptr) {}

void FormatMessage(j_common_ptr cinfo, char* buffer) {
    std::snprintf(buffer, JMSG_LENGTH_MAX, SJPEGError, cinfo->err->msg_code);
}

void ResetErrorManager(j_common_ptr cinfo) {
    cinfo->err->num_warnings = 0;
    cinfo->err->msg_code = 0;
}

// ---------------------------------------------------------------- destination

// The first room libjpeg gets; every refill doubles what the vector holds.
constexpr size_t FirstOutputBlock = 64 * 1024;

JPEGMemoryDestination& DestinationOf(j_compress_ptr cinfo) {
    return *reinterpret_cast<JPEGMemoryDestination*>(cinfo->dest);
}

// Hands libjpeg the part of the vector behind the used bytes.
void OfferRoom(JPEGMemoryDestination& destination, size_t used) {
    std::vector<uint8_t>& output = *destination.output;
    destination.pub.next_output_byte = output.data() + used;
    destination.pub.free_in_buffer = output.size() - used;
}

void InitDestination(j_compress_ptr cinfo) {
    JPEGMemoryDestination& destination = DestinationOf(cinfo);
    TransferOrExit(reinterpret_cast<j_common_ptr>(cinfo), JERR_FILE_WRITE, [&] {
        destination.output->clear();
        destination.output->resize(FirstOutputBlock);
    });
    OfferRoom(destination, 0);
}

// Called when every byte of the vector holds data.
boolean EmptyOutputBuffer(j_compress_ptr cinfo) {
    JPEGMemoryDestination& destination = DestinationOf(cinfo);
    const size_t used = destination.output->size();
    TransferOrExit(reinterpret_cast<j_common_ptr>(cinfo), JERR_FILE_WRITE,
                   [&] { destination.output->resize(2 * used); });
    OfferRoom(destination, used);
    return TRUE;
}

void TermDestination(j_compress_ptr cinfo) {
    JPEGMemoryDestination& destination = DestinationOf(cinfo);
    destination.output->resize(destination.output->size() - destination.pub.free_in_buffer);
}

}  // namespace

void InstallJPEGErrorManager(JPEGErrorManager& errors, JPEGStdError stdError) {
    if (stdError) stdError(&errors.pub);
    errors.pub.error_exit = ErrorExit;
    errors.pub.emit_message = EmitMessage;
    errors.pub.output_message = OutputMessage;
    errors.pub.format_message = FormatMessage;
    errors.pub.reset_error_mgr = ResetErrorManager;
}

void InstallJPEGMemoryDestination(j_compress_ptr cinfo, JPEGMemoryDestination& destination,
                                  std::vector<uint8_t>& output) {
    destination.pub.init_destination = InitDestination;
    destination.pub.empty_output_buffer = EmptyOutputBuffer;
    destination.pub.term_destination = TermDestination;
    destination.output = &output;
    cinfo->dest = &destination.pub;
}

}  // namespace host
