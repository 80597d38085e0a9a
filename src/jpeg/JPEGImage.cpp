#include "jpeg/JPEGImage.h"

#include <algorithm>
#include <limits>
#include <cstring>
#include <vector>

#include "jpeg/JPEGBoundary.h"
#include "platform/CheckedSize.h"
#include "platform/DamageReport.h"
#include "platform/Exceptions.h"

namespace host {

namespace {

constexpr int64_t TransferBlock = 64 * 1024;
constexpr int MaxScans = MaxJPEGScans;
// libjpeg's own progression goes over the image's blocks about four times (its ten scans
// each take one component or only the first); real files stay far below this.
constexpr int64_t ImagePassesOfScans = 16;
constexpr int64_t ScannedBlocksAllowance = int64_t{1} << 22;
// Room for libjpeg's row buffers and tables besides the whole-image coefficient buffers.
constexpr int64_t WorkingMemory = int64_t{64} << 20;
// The whole-image coefficient buffer that a file of several scans whose first scan ends
// early may still have filled with made-up blocks: a damaged photograph stays readable,
// a crafted header cannot claim a gigabyte beside the image.
constexpr int64_t MadeUpCoefficientBytes = int64_t{128} << 20;
// A file of several scans has libjpeg hold every coefficient of the image from its first
// scan on, whatever its scans carry (arithmetic-coded scans may carry nothing at all). Up to
// this size the buffer is free; beyond it the file has to hold a byte of data for every so
// many bytes of it. A photograph holds one for every 10 or so, a blank page for a few
// hundred.
constexpr int64_t FreeCoefficientBytes = int64_t{64} << 20;
constexpr int64_t CoefficientBytesPerFileByte = 1024;
// One coefficient block: 64 coefficients of two bytes.
constexpr int64_t BlockBytes = 64 * 2;
// A first scan whose data ends before one row of blocks in this many delivered nothing
// worth showing: the file is refused rather than made up of filled rows.
constexpr JDIMENSION MeaningfulRowShare = 100;
// Rows that hold no data come out alike once this many rows of blocks lie between them
// and the last data: the smoothing of colour rows reaches one row of blocks away.
constexpr JDIMENSION SettlingRows = 3;

// ---------------------------------------------------------------- source

struct StreamSource {
    jpeg_source_mgr pub;
    TStream* stream;
    JOCTET* buffer;
    bool startOfFile;
    // Bytes handed to libjpeg so far.
    int64_t delivered;
    // Set once the header is read: from then on the end of the data is watched. The first
    // scan's data starts at scanStart; firstScanRanOut tells that it ended early.
    bool decoding;
    int64_t scanStart;
    bool firstScanRanOut;
    // The row of blocks at which the data of a single-scan file ended: every later block
    // is left empty by libjpeg. -1 while the data lasts.
    int64_t dataEndRow;
    // The scan last seen, and the blocks the scans so far have gone over.
    int lastScan;
    int64_t scannedBlocks;

    // Called with the header read, where the first scan's data starts.
    void WatchFromHere() {
        decoding = true;
        scanStart = delivered - static_cast<int64_t>(pub.bytes_in_buffer);
    }
};

StreamSource& SourceOf(j_decompress_ptr cinfo) { return *reinterpret_cast<StreamSource*>(cinfo->src); }

void InitSource(j_decompress_ptr cinfo) { SourceOf(cinfo).startOfFile = true; }

boolean FillInputBuffer(j_decompress_ptr cinfo) {
    StreamSource* source = &SourceOf(cinfo);
    int64_t count = 0;
    TransferOrExit(reinterpret_cast<j_common_ptr>(cinfo), JERR_FILE_READ,
                   [&] { count = source->stream->Read(source->buffer, TransferBlock); });
    if (count <= 0) {
        if (source->startOfFile) ERREXIT(cinfo, JERR_INPUT_EMPTY);
        // The data ends early: a made-up end-of-image marker lets libjpeg finish with what
        // it has, filling the rest of the image as it does for missing data.
        WARNMS(cinfo, JWRN_JPEG_EOF);
        source->buffer[0] = 0xFF;
        source->buffer[1] = JPEG_EOI;
        count = 2;
    }
    source->pub.next_input_byte = source->buffer;
    source->pub.bytes_in_buffer = static_cast<size_t>(count);
    source->delivered += count;
    source->startOfFile = false;
    return TRUE;
}

void SkipInputData(j_decompress_ptr cinfo, long count) {
    jpeg_source_mgr* source = cinfo->src;
    if (count <= 0) return;
    while (count > static_cast<long>(source->bytes_in_buffer)) {
        count -= static_cast<long>(source->bytes_in_buffer);
        FillInputBuffer(cinfo);
    }
    source->next_input_byte += count;
    source->bytes_in_buffer -= static_cast<size_t>(count);
}

void TermSource(j_decompress_ptr) {}

bool IsRestartMarker(int marker) { return marker >= JPEG_RST0 && marker <= JPEG_RST0 + 7; }

// The end of a scan's data: the file ends, or the entropy decoder meets a marker that is
// not a restart. A first scan that ends before a meaningful share of its rows is refused
// with that warning's code; a single scan that reached the end of the image data has its
// end row kept, so that the rows behind it are filled without libjpeg.
int64_t CoefficientBytes(j_decompress_ptr cinfo);

void NoteDataEnd(j_decompress_ptr cinfo, int code) {
    StreamSource& source = SourceOf(cinfo);
    const bool scanEnded = code == JWRN_HIT_MARKER && !IsRestartMarker(cinfo->unread_marker);
    if (!source.decoding || (code != JWRN_JPEG_EOF && !scanEnded)) return;
    if (cinfo->input_scan_number > 1) return;
    if (cinfo->input_iMCU_row < cinfo->total_iMCU_rows / MeaningfulRowShare) ERREXIT(cinfo, code);
    // A file of several scans keeps every coefficient of the image until its last scan:
    // behind the end of its first scan's data there is nothing to keep, yet libjpeg would
    // fill the whole buffer with made-up blocks. A buffer of a size any real picture may
    // have is filled, and the damage shown; a larger one is refused.
    if (jpeg_has_multiple_scans(cinfo) && cinfo->input_iMCU_row < cinfo->total_iMCU_rows &&
        CoefficientBytes(cinfo) > MadeUpCoefficientBytes)
        ERREXIT(cinfo, code);
    source.firstScanRanOut = true;
    if (scanEnded && cinfo->unread_marker == JPEG_EOI && source.dataEndRow < 0 && !jpeg_has_multiple_scans(cinfo))
        source.dataEndRow = cinfo->input_iMCU_row;
}

// Every block of a Huffman-coded scan that starts with DC values takes at least one bit.
// A first scan that has made more blocks than its data has bits made them up (from empty
// restart intervals, say) and delivered nothing.
bool FirstScanOutrunsItsData(j_decompress_ptr cinfo) {
    const StreamSource& source = SourceOf(cinfo);
    if (!source.decoding || source.firstScanRanOut || cinfo->arith_code || cinfo->input_scan_number != 1) return false;
    const int64_t blockRows = cinfo->comps_in_scan == 1 ? cinfo->cur_comp_info[0]->v_samp_factor : 1;
    const int64_t rowBlocks = int64_t{cinfo->MCUs_per_row} * cinfo->blocks_in_MCU * blockRows;
    const int64_t read = source.delivered - static_cast<int64_t>(cinfo->src->bytes_in_buffer) - source.scanStart;
    return cinfo->input_iMCU_row * rowBlocks > read * 8;
}

// An arithmetic-coded scan may legally meet a marker before its last block: the decoder
// then makes every later block from zero data, without a warning. A first scan that met
// one before a meaningful share of its rows delivered nothing and is refused as a
// Huffman-coded one is; past that share, its data ended where a real encoder's may.
bool ArithmeticFirstScanEndedEarly(j_decompress_ptr cinfo) {
    const StreamSource& source = SourceOf(cinfo);
    if (!source.decoding || source.firstScanRanOut || !cinfo->arith_code || cinfo->input_scan_number != 1) return false;
    return cinfo->unread_marker != 0 && cinfo->input_iMCU_row < cinfo->total_iMCU_rows / MeaningfulRowShare;
}

// Every scan goes over all the blocks of its components, whatever its data holds (an
// arithmetic-coded scan may hold none at all); over all scans, that may come to so many
// times the blocks of the image, plus a fixed allowance for small images.
bool ScansOutrunTheirBound(j_decompress_ptr cinfo) {
    StreamSource& source = SourceOf(cinfo);
    if (!source.decoding || cinfo->input_scan_number == source.lastScan) return false;
    source.lastScan = cinfo->input_scan_number;
    int64_t all = 0, scan = 0;
    for (int c = 0; c < cinfo->num_components; ++c)
        all += int64_t{cinfo->comp_info[c].width_in_blocks} * cinfo->comp_info[c].height_in_blocks;
    for (int c = 0; c < cinfo->comps_in_scan; ++c)
        scan += int64_t{cinfo->cur_comp_info[c]->width_in_blocks} * cinfo->cur_comp_info[c]->height_in_blocks;
    source.scannedBlocks += scan;
    return source.scannedBlocks > all * ImagePassesOfScans + ScannedBlocksAllowance;
}

void WatchProgress(j_common_ptr cinfo) {
    if (!cinfo->is_decompressor) return;
    auto* decompression = reinterpret_cast<j_decompress_ptr>(cinfo);
    if (decompression->input_scan_number > MaxScans || ScansOutrunTheirBound(decompression))
        ERREXIT(cinfo, JERR_BAD_PROGRESSION);
    if (FirstScanOutrunsItsData(decompression) || ArithmeticFirstScanEndedEarly(decompression))
        ERREXIT(cinfo, JWRN_HIT_MARKER);
}

// Warnings are counted as everywhere; a scan that sends again what earlier ones sent
// adds nothing and fails.
// libjpeg warns of damage it decodes past (a premature end, corrupt data): reported, never hidden.
void ReportWarningAsDamage(j_common_ptr cinfo) {
    char text[JMSG_LENGTH_MAX];
    jpeg_error_mgr standard;
    jpeg_std_error(&standard)->format_message(cinfo, text);
    ReportDamage(text);
}

void WatchWarnings(j_common_ptr cinfo, int level) {
    if (level >= 0) return;
    ++cinfo->err->num_warnings;
    if (cinfo->is_decompressor) {
        if (cinfo->err->msg_code == JWRN_BOGUS_PROGRESSION) ERREXIT(cinfo, JERR_BAD_PROGRESSION);
        NoteDataEnd(reinterpret_cast<j_decompress_ptr>(cinfo), cinfo->err->msg_code);
    }
    ReportWarningAsDamage(cinfo);
}

// ---------------------------------------------------------------- sessions

// One decoding: libjpeg's object with its managers, destroyed on every path. It stays
// where it was made, since libjpeg keeps pointers to its parts.
class Decompression {
public:
    explicit Decompression(TStream& stream) : buffer_(static_cast<size_t>(TransferBlock)) {
        InstallJPEGErrorManager(errors_, jpeg_std_error);
        errors_.pub.emit_message = WatchWarnings;
        cinfo_.err = &errors_.pub;
        // Destroying a zeroed object that libjpeg never set up is harmless.
        Run([this] { jpeg_create_decompress(&cinfo_); });
        source_.pub.init_source = InitSource;
        source_.pub.fill_input_buffer = FillInputBuffer;
        source_.pub.skip_input_data = SkipInputData;
        source_.pub.resync_to_restart = jpeg_resync_to_restart;
        source_.pub.term_source = TermSource;
        source_.pub.bytes_in_buffer = 0;
        source_.pub.next_input_byte = nullptr;
        source_.stream = &stream;
        source_.buffer = buffer_.data();
        source_.dataEndRow = -1;
        cinfo_.src = &source_.pub;
        progress_.progress_monitor = WatchProgress;
        cinfo_.progress = &progress_;
    }
    ~Decompression() { jpeg_destroy_decompress(&cinfo_); }
    Decompression(const Decompression&) = delete;
    Decompression& operator=(const Decompression&) = delete;

    template <class Step>
    void Run(Step&& step) {
        RunJPEGCalls(errors_, step);
    }
    jpeg_decompress_struct* operator->() { return &cinfo_; }
    j_decompress_ptr get() { return &cinfo_; }
    StreamSource& Source() { return source_; }

private:
    JPEGErrorManager errors_{};
    jpeg_decompress_struct cinfo_{};
    StreamSource source_{};
    jpeg_progress_mgr progress_{};
    std::vector<JOCTET> buffer_;
};

class Compression {
public:
    explicit Compression(std::vector<uint8_t>& output) {
        InstallJPEGErrorManager(errors_, jpeg_std_error);
        cinfo_.err = &errors_.pub;
        Run([this] { jpeg_create_compress(&cinfo_); });
        InstallJPEGMemoryDestination(&cinfo_, destination_, output);
    }
    ~Compression() { jpeg_destroy_compress(&cinfo_); }
    Compression(const Compression&) = delete;
    Compression& operator=(const Compression&) = delete;

    template <class Step>
    void Run(Step&& step) {
        RunJPEGCalls(errors_, step);
    }
    j_compress_ptr get() { return &cinfo_; }

private:
    JPEGErrorManager errors_{};
    jpeg_compress_struct cinfo_{};
    JPEGMemoryDestination destination_{};
};

// ---------------------------------------------------------------- pixels

// x * y / 255, rounded, for bytes.
inline uint8_t ScaleByte(unsigned x, unsigned y) {
    const unsigned t = x * y + 128;
    return static_cast<uint8_t>((t + (t >> 8)) >> 8);
}

// CMYK to blue, green, red. Adobe's files (the ones with its marker, which every CMYK
// and YCCK file from Adobe's software carries) store inverted values, where 255 means
// no ink; the others store the amount of ink.
void CmykRowToBgr(const JSAMPLE* cmyk, uint8_t* bgr, JDIMENSION width, bool inverted) {
    const unsigned flip = inverted ? 0 : 255;
    for (JDIMENSION x = 0; x < width; ++x, cmyk += 4, bgr += 3) {
        const unsigned k = cmyk[3] ^ flip;
        bgr[0] = ScaleByte(cmyk[2] ^ flip, k);
        bgr[1] = ScaleByte(cmyk[1] ^ flip, k);
        bgr[2] = ScaleByte(cmyk[0] ^ flip, k);
    }
}

void SetGreyPalette(TBitmap& bitmap) {
    TPaletteEntry grey[256];
    for (int i = 0; i < 256; ++i) grey[i] = {static_cast<uint8_t>(i), static_cast<uint8_t>(i), static_cast<uint8_t>(i), 0};
    const TPaletteHandle palette = CreatePalette(grey, 256);
    bitmap.SetPalette(palette.get());
}

// ---------------------------------------------------------------- decoding

// The bytes of the file behind the source; as many as a coefficient buffer may want when the
// stream cannot tell (a pipe), since such a file cannot be told from a large one.
int64_t SourceBytes(const StreamSource& source) {
    try {
        const int64_t size = source.stream->GetSize();
        return size > 0 ? size : std::numeric_limits<int64_t>::max();
    } catch (const Exception&) {
        return std::numeric_limits<int64_t>::max();
    }
}

// libjpeg's whole-image coefficient buffers, which only files of several scans need: the
// blocks of each component, rounded up to its sampling factors. Held to the image limit.
int64_t CoefficientBytes(j_decompress_ptr cinfo) {
    int64_t blocks = 0;
    for (int c = 0; c < cinfo->num_components; ++c) {
        const jpeg_component_info& component = cinfo->comp_info[c];
        const int64_t h = component.h_samp_factor, v = component.v_samp_factor;
        blocks += (component.width_in_blocks + h - 1) / h * h * ((component.height_in_blocks + v - 1) / v * v);
    }
    return checkedSize({blocks, BlockBytes});
}

// The first output row from which every row repeats the one before: behind the end of a
// single scan's data libjpeg decodes nothing but empty blocks. The output height while
// the data lasts.
JDIMENSION SettledRow(j_decompress_ptr cinfo) {
    const int64_t end = SourceOf(cinfo).dataEndRow;
    if (end < 0) return cinfo->output_height;
    const int64_t rowsPerBlockRow = int64_t{cinfo->max_v_samp_factor} * cinfo->min_DCT_scaled_size;
    return static_cast<JDIMENSION>(std::min<int64_t>((end + SettlingRows) * rowsPerBlockRow, cinfo->output_height));
}

// Decodes into rows (blue, green, red or grey), through cmykRow for four-component files.
// Rows behind the end of the data are copies of the last decoded one, made without asking
// libjpeg for them; false then, since libjpeg was not given every row.
bool ReadRows(j_decompress_ptr cinfo, JSAMPROW* rows, size_t rowBytes, JSAMPROW cmykRow, bool inverted) {
    while (cinfo->output_scanline < cinfo->output_height) {
        const JDIMENSION y = cinfo->output_scanline;
        if (y > 0 && y >= SettledRow(cinfo)) {
            for (JDIMENSION row = y; row < cinfo->output_height; ++row) std::memcpy(rows[row], rows[y - 1], rowBytes);
            return false;
        }
        if (cmykRow) {
            if (jpeg_read_scanlines(cinfo, &cmykRow, 1) != 1) break;
            CmykRowToBgr(cmykRow, rows[y], cinfo->output_width, inverted);
        } else if (jpeg_read_scanlines(cinfo, rows + y, cinfo->output_height - y) == 0) {
            break;
        }
    }
    return true;
}

const char* const JPEGDescription = "JPEG Image File";

}  // namespace

// ---------------------------------------------------------------- TJPEGImage

TJPEGImage::TJPEGImage() = default;
TJPEGImage::~TJPEGImage() = default;

int32_t TJPEGImage::Width() const {
    const int32_t d = 1 << Scale;
    return (imageWidth_ + d - 1) / d;
}

int32_t TJPEGImage::Height() const {
    const int32_t d = 1 << Scale;
    return (imageHeight_ + d - 1) / d;
}

void TJPEGImage::LoadFromStream(TStream& stream) {
    // Whatever fails on the way, the picture is left empty rather than half read.
    data_.Data().clear();
    imageWidth_ = imageHeight_ = 0;
    std::vector<uint8_t> bytes;
    for (;;) {
        const size_t used = bytes.size();
        bytes.resize(used + static_cast<size_t>(TransferBlock));
        const int64_t count = stream.Read(bytes.data() + used, TransferBlock);
        bytes.resize(used + static_cast<size_t>(count > 0 ? count : 0));
        if (count <= 0) break;
    }
    data_.Data().swap(bytes);
    try {
        ReadHeader();
    } catch (...) {
        std::vector<uint8_t>().swap(data_.Data());
        imageWidth_ = imageHeight_ = 0;
        throw;
    }
}

void TJPEGImage::ReadHeader() {
    data_.SetPosition(0);
    Decompression jpeg(data_);
    jpeg.Run([&] { jpeg_read_header(jpeg.get(), TRUE); });
    imageWidth_ = static_cast<int32_t>(jpeg->image_width);
    imageHeight_ = static_cast<int32_t>(jpeg->image_height);
    Grayscale = jpeg->jpeg_color_space == JCS_GRAYSCALE;
}

void TJPEGImage::SaveToStream(TStream& stream) {
    const std::vector<uint8_t>& bytes = data_.Data();
    stream.WriteBuffer(bytes.data(), static_cast<int64_t>(bytes.size()));
}

void TJPEGImage::Draw(TCanvas& canvas, const TRect& rect) {
    TBitmap bitmap;
    AssignTo(bitmap);
    bitmap.Draw(canvas, rect);
}

void TJPEGImage::Assign(TPersistent& Source) {
    if (auto* jpeg = dynamic_cast<TJPEGImage*>(&Source)) {
        if (jpeg == this) return;
        data_.Data() = jpeg->data_.Data();
        data_.SetPosition(0);
        imageWidth_ = jpeg->imageWidth_;
        imageHeight_ = jpeg->imageHeight_;
        Performance = jpeg->Performance;
        Scale = jpeg->Scale;
        Smoothing = jpeg->Smoothing;
        Grayscale = jpeg->Grayscale;
        CompressionQuality = jpeg->CompressionQuality;
        ProgressiveEncoding = jpeg->ProgressiveEncoding;
        return;
    }
    if (auto* bitmap = dynamic_cast<TBitmap*>(&Source)) {
        CompressBitmap(*bitmap);
        return;
    }
    TGraphic::Assign(Source);
}

void TJPEGImage::AssignTo(TPersistent& Dest) {
    auto* dest = dynamic_cast<TBitmap*>(&Dest);
    if (!dest) {
        TGraphic::AssignTo(Dest);
        return;
    }
    TBitmap decoded;
    if (Empty()) {
        dest->TakeOver(decoded);
        return;
    }
    data_.SetPosition(0);
    Decompression jpeg(data_);
    bool multipleScans = false;
    jpeg.Run([&] {
        j_decompress_ptr cinfo = jpeg.get();
        jpeg_read_header(cinfo, TRUE);
        cinfo->dct_method = Performance == jpBestQuality ? JDCT_ISLOW : JDCT_IFAST;
        cinfo->do_fancy_upsampling = Performance == jpBestQuality;
        cinfo->do_block_smoothing = Smoothing;
        cinfo->scale_num = 1;
        cinfo->scale_denom = 1u << Scale;
        switch (cinfo->jpeg_color_space) {
            case JCS_GRAYSCALE: cinfo->out_color_space = JCS_GRAYSCALE; break;
            case JCS_CMYK:
            case JCS_YCCK: cinfo->out_color_space = JCS_CMYK; break;
            default: cinfo->out_color_space = JCS_EXT_BGR; break;
        }
        jpeg_calc_output_dimensions(cinfo);
        multipleScans = jpeg_has_multiple_scans(cinfo);
    });
    const bool grey = jpeg->out_color_space == JCS_GRAYSCALE;
    const bool cmyk = jpeg->out_color_space == JCS_CMYK;
    const bool inverted = cmyk && jpeg->saw_Adobe_marker;
    PIXMORPH_ASSERT(jpeg->output_components == (grey ? 1 : cmyk ? 4 : 3), "Unexpected JPEG output", "JPEGImage");
    const int64_t width = jpeg->output_width, height = jpeg->output_height;
    // The image is made before libjpeg sets up anything, so a size that no buffer may have
    // is refused first; its pages are only touched as rows arrive.
    const int64_t coefficients = multipleScans ? CoefficientBytes(jpeg.get()) : 0;
    if (coefficients > FreeCoefficientBytes && coefficients / CoefficientBytesPerFileByte > SourceBytes(jpeg.Source()))
        throw EJPEG(Format(SJPEGError, JERR_INPUT_EOF));
    jpeg->mem->max_memory_to_use = static_cast<long>(coefficients + WorkingMemory);
    decoded.NewImage(grey ? pf8bit : pf24bit, static_cast<int32_t>(width), static_cast<int32_t>(height));
    if (grey) SetGreyPalette(decoded);
    std::vector<JSAMPROW> rows(static_cast<size_t>(height));
    for (int32_t y = 0; y < height; ++y) rows[static_cast<size_t>(y)] = decoded.ScanLine(y);
    std::vector<JSAMPLE> cmykRow(cmyk ? static_cast<size_t>(width) * 4 : 0);
    const size_t rowBytes = static_cast<size_t>(width) * (grey ? 1 : 3);
    jpeg.Source().WatchFromHere();
    jpeg.Run([&] {
        j_decompress_ptr cinfo = jpeg.get();
        jpeg_start_decompress(cinfo);
        if (ReadRows(cinfo, rows.data(), rowBytes, cmyk ? cmykRow.data() : nullptr, inverted))
            jpeg_finish_decompress(cinfo);
    });
    dest->TakeOver(decoded);
}

void TJPEGImage::Compress(const TJPEGRows& rows) {
    std::vector<uint8_t> out;
    {
        Compression jpeg(out);
        j_compress_ptr cinfo = jpeg.get();
        jpeg.Run([&] {
            cinfo->image_width = static_cast<JDIMENSION>(rows.Width > 0 ? rows.Width : 0);
            cinfo->image_height = static_cast<JDIMENSION>(rows.Height > 0 ? rows.Height : 0);
            cinfo->input_components = rows.Components == 1 ? 1 : 3;
            cinfo->in_color_space = rows.Components == 1 ? JCS_GRAYSCALE : JCS_EXT_BGR;
            jpeg_set_defaults(cinfo);
            cinfo->dct_method = JDCT_ISLOW;
            jpeg_set_quality(cinfo, CompressionQuality, TRUE);
            if (Grayscale && rows.Components != 1) jpeg_set_colorspace(cinfo, JCS_GRAYSCALE);
            if (ProgressiveEncoding) jpeg_simple_progression(cinfo);
            jpeg_start_compress(cinfo, TRUE);
            for (const TJPEGRows::TMarker& marker : rows.Markers)
                jpeg_write_marker(cinfo, marker.Code, marker.Payload.data(),
                                  static_cast<unsigned>(marker.Payload.size()));
        });
        for (int32_t y = 0; y < rows.Height; ++y) {
            JSAMPROW row = const_cast<JSAMPROW>(rows.Row(y));
            jpeg.Run([&] { jpeg_write_scanlines(cinfo, &row, 1); });
        }
        jpeg.Run([&] { jpeg_finish_compress(cinfo); });
    }
    data_.Data().swap(out);
    data_.SetPosition(0);
    imageWidth_ = rows.Width;
    imageHeight_ = rows.Height;
}

void TJPEGImage::CompressBitmap(const TBitmap& bitmap) {
    TJPEGRows rows;
    rows.Width = bitmap.Width();
    rows.Height = bitmap.Height();
    rows.Components = 3;
    std::vector<uint32_t> colours;
    std::vector<uint8_t> line;
    if (bitmap.PixelFormat() == pf24bit) {
        rows.Row = [&](int32_t y) { return bitmap.ScanLine(y); };
    } else {
        // Every other depth is taken as 24 bits, a row at a time.
        colours.resize(static_cast<size_t>(rows.Width));
        line.resize(static_cast<size_t>(rows.Width) * 3);
        rows.Row = [&](int32_t y) -> const uint8_t* {
            bitmap.ReadRowRGB(y, 0, rows.Width, colours.data());
            uint8_t* d = line.data();
            for (uint32_t c : colours) {
                *d++ = static_cast<uint8_t>(c);
                *d++ = static_cast<uint8_t>(c >> 8);
                *d++ = static_cast<uint8_t>(c >> 16);
            }
            return line.data();
        };
    }
    Compress(rows);
}

void InitializeJPEGImage() {
    static bool registered = false;
    if (registered) return;
    registered = true;
    for (const char* extension : {"jpeg", "jpg", "jpe", "jfif"})
        TPicture::RegisterFileFormat<TJPEGImage>(extension, JPEGDescription);
}

void FinalizeJPEGImage() { TPicture::UnregisterGraphicClass<TJPEGImage>(); }

}  // namespace host
