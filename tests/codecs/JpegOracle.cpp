#include "codecs/JpegOracle.h"

#include <csetjmp>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <jpeglib.h>

namespace jpeg_oracle {

namespace {

struct Errors {
    jpeg_error_mgr pub;
    std::jmp_buf jump;
};

void ExitToCaller(j_common_ptr cinfo) { std::longjmp(reinterpret_cast<Errors*>(cinfo->err)->jump, 1); }
void CountWarnings(j_common_ptr cinfo, int level) {
    if (level < 0) ++cinfo->err->num_warnings;
}

uint8_t Scaled(int x, int y) { return static_cast<uint8_t>(std::lround(x * y / 255.0)); }

const int NaturalOrder[64] = {0,  1,  8,  16, 9,  2,  3,  10, 17, 24, 32, 25, 18, 11, 4,  5,
                              12, 19, 26, 33, 40, 48, 41, 34, 27, 20, 13, 6,  7,  14, 21, 28,
                              35, 42, 49, 56, 57, 50, 43, 36, 29, 22, 15, 23, 30, 37, 44, 51,
                              58, 59, 52, 45, 38, 31, 39, 46, 53, 60, 61, 54, 47, 55, 62, 63};

}  // namespace

Decoded Decode(const Bytes& file, const Options& options) {
    Decoded result;
    jpeg_decompress_struct cinfo{};
    Errors errors{};
    cinfo.err = jpeg_std_error(&errors.pub);
    errors.pub.error_exit = ExitToCaller;
    errors.pub.emit_message = CountWarnings;
    Bytes cmykRow;
    if (setjmp(errors.jump)) {
        result.ok = false;
        result.errorCode = errors.pub.msg_code;
        result.pixels.clear();
        jpeg_destroy_decompress(&cinfo);
        return result;
    }
    jpeg_create_decompress(&cinfo);
    jpeg_mem_src(&cinfo, file.data(), static_cast<unsigned long>(file.size()));
    jpeg_read_header(&cinfo, TRUE);
    cinfo.dct_method = options.fast ? JDCT_IFAST : JDCT_ISLOW;
    cinfo.do_fancy_upsampling = !options.fast;
    cinfo.do_block_smoothing = options.smoothing;
    cinfo.scale_num = 1;
    cinfo.scale_denom = options.scaleDenom;
    const bool cmyk = cinfo.jpeg_color_space == JCS_CMYK || cinfo.jpeg_color_space == JCS_YCCK;
    cinfo.out_color_space = cinfo.jpeg_color_space == JCS_GRAYSCALE ? JCS_GRAYSCALE : cmyk ? JCS_CMYK : JCS_RGB;
    jpeg_start_decompress(&cinfo);
    result.adobe = cinfo.saw_Adobe_marker;
    result.width = static_cast<int>(cinfo.output_width);
    result.height = static_cast<int>(cinfo.output_height);
    result.components = cmyk ? 3 : cinfo.output_components;
    const size_t stride = static_cast<size_t>(result.width) * static_cast<size_t>(result.components);
    result.pixels.resize(stride * static_cast<size_t>(result.height));
    cmykRow.resize(static_cast<size_t>(result.width) * 4);
    while (cinfo.output_scanline < cinfo.output_height) {
        uint8_t* out = result.pixels.data() + stride * cinfo.output_scanline;
        JSAMPROW row = cmyk ? cmykRow.data() : out;
        jpeg_read_scanlines(&cinfo, &row, 1);
        if (!cmyk) continue;
        for (int x = 0; x < result.width; ++x) {
            int c = cmykRow[4 * x], m = cmykRow[4 * x + 1], y = cmykRow[4 * x + 2], k = cmykRow[4 * x + 3];
            if (!result.adobe) c = 255 - c, m = 255 - m, y = 255 - y, k = 255 - k;
            out[3 * x] = Scaled(c, k);
            out[3 * x + 1] = Scaled(m, k);
            out[3 * x + 2] = Scaled(y, k);
        }
    }
    jpeg_finish_decompress(&cinfo);
    result.warnings = errors.pub.num_warnings;
    jpeg_destroy_decompress(&cinfo);
    result.ok = true;
    return result;
}

Bytes Encode(int width, int height, int components, const Bytes& pixels, const Encoding& encoding) {
    jpeg_compress_struct cinfo{};
    Errors errors{};
    cinfo.err = jpeg_std_error(&errors.pub);
    errors.pub.error_exit = ExitToCaller;
    unsigned char* buffer = nullptr;
    unsigned long size = 0;
    if (setjmp(errors.jump)) {
        jpeg_destroy_compress(&cinfo);
        std::free(buffer);
        return {};
    }
    jpeg_create_compress(&cinfo);
    jpeg_mem_dest(&cinfo, &buffer, &size);
    cinfo.image_width = static_cast<JDIMENSION>(width);
    cinfo.image_height = static_cast<JDIMENSION>(height);
    cinfo.input_components = components;
    cinfo.in_color_space = components == 1 ? JCS_GRAYSCALE : components == 3 ? JCS_RGB : JCS_CMYK;
    jpeg_set_defaults(&cinfo);
    jpeg_set_quality(&cinfo, encoding.quality, TRUE);
    if (components == 4) {
        jpeg_set_colorspace(&cinfo, encoding.ycck ? JCS_YCCK : JCS_CMYK);
        cinfo.write_Adobe_marker = encoding.adobeMarker;
    }
    cinfo.comp_info[0].h_samp_factor = encoding.hSample;
    cinfo.comp_info[0].v_samp_factor = encoding.vSample;
    cinfo.restart_in_rows = encoding.restartRows;
    cinfo.arith_code = encoding.arithmetic;
    if (encoding.progressive) jpeg_simple_progression(&cinfo);
    jpeg_start_compress(&cinfo, TRUE);
    const size_t stride = static_cast<size_t>(width) * static_cast<size_t>(components);
    while (cinfo.next_scanline < cinfo.image_height) {
        JSAMPROW row = const_cast<JSAMPROW>(pixels.data() + stride * cinfo.next_scanline);
        jpeg_write_scanlines(&cinfo, &row, 1);
    }
    jpeg_finish_compress(&cinfo);
    Bytes file(buffer, buffer + size);
    jpeg_destroy_compress(&cinfo);
    std::free(buffer);
    if (encoding.repeatLastScan > 0) {
        // Entropy-coded data never holds FF DA (an FF there is followed by 00), so the last
        // FF DA starts the last scan, which runs up to the end-of-image marker.
        size_t last = 0;
        for (size_t p = 0; p + 1 < file.size(); ++p)
            if (file[p] == 0xFF && file[p + 1] == 0xDA) last = p;
        const Bytes scan(file.begin() + static_cast<long>(last), file.end() - 2);
        Bytes repeated(file.begin(), file.end() - 2);
        for (int i = 0; i < encoding.repeatLastScan; ++i) repeated.insert(repeated.end(), scan.begin(), scan.end());
        repeated.push_back(0xFF);
        repeated.push_back(0xD9);
        file = repeated;
    }
    return file;
}

Bytes IccProfile(const Bytes& file) {
    jpeg_decompress_struct cinfo{};
    Errors errors{};
    cinfo.err = jpeg_std_error(&errors.pub);
    errors.pub.error_exit = ExitToCaller;
    errors.pub.emit_message = CountWarnings;
    JOCTET* profile = nullptr;
    unsigned int length = 0;
    if (setjmp(errors.jump)) {
        jpeg_destroy_decompress(&cinfo);
        return {};
    }
    jpeg_create_decompress(&cinfo);
    jpeg_mem_src(&cinfo, file.data(), static_cast<unsigned long>(file.size()));
    jpeg_save_markers(&cinfo, JPEG_APP0 + 2, 0xFFFF);
    jpeg_read_header(&cinfo, TRUE);
    Bytes result;
    if (jpeg_read_icc_profile(&cinfo, &profile, &length)) {
        result.assign(profile, profile + length);
        std::free(profile);
    }
    jpeg_destroy_decompress(&cinfo);
    return result;
}

std::vector<Segment> HeaderSegments(const Bytes& file) {
    std::vector<Segment> segments;
    size_t p = 2;
    while (p + 4 <= file.size() && file[p] == 0xFF) {
        const uint8_t marker = file[p + 1];
        const size_t length = static_cast<size_t>(file[p + 2]) << 8 | file[p + 3];
        if (length < 2 || p + 2 + length > file.size()) break;
        segments.push_back({marker, Bytes(file.begin() + static_cast<long>(p + 4),
                                          file.begin() + static_cast<long>(p + 2 + length))});
        if (marker == 0xDA) break;
        p += 2 + length;
    }
    return segments;
}

std::vector<int> ScaledTable(bool chrominance, int quality) {
    static const int luminance[64] = {16, 11, 10, 16, 24,  40,  51,  61,  12, 12, 14, 19, 26,  58,  60,  55,
                                      14, 13, 16, 24, 40,  57,  69,  56,  14, 17, 22, 29, 51,  87,  80,  62,
                                      18, 22, 37, 56, 68,  109, 103, 77,  24, 35, 55, 64, 81,  104, 113, 92,
                                      49, 64, 78, 87, 103, 121, 120, 101, 72, 92, 95, 98, 112, 100, 103, 99};
    static const int chroma[64] = {17, 18, 24, 47, 99, 99, 99, 99, 18, 21, 26, 66, 99, 99, 99, 99,
                                   24, 26, 56, 99, 99, 99, 99, 99, 47, 66, 99, 99, 99, 99, 99, 99,
                                   99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99,
                                   99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99};
    const int scale = quality < 50 ? 5000 / quality : 200 - quality * 2;
    std::vector<int> table(64);
    for (int i = 0; i < 64; ++i) {
        const int value = ((chrominance ? chroma : luminance)[i] * scale + 50) / 100;
        table[static_cast<size_t>(i)] = value < 1 ? 1 : value > 255 ? 255 : value;
    }
    return table;
}

std::vector<int> NaturalOrderTable(const uint8_t* zigzag) {
    std::vector<int> table(64);
    for (int k = 0; k < 64; ++k) table[static_cast<size_t>(NaturalOrder[k])] = zigzag[k];
    return table;
}

double Psnr(const Bytes& a, const Bytes& b) {
    if (a.size() != b.size() || a.empty()) return 0;
    double sum = 0;
    for (size_t i = 0; i < a.size(); ++i) {
        const double d = double(a[i]) - double(b[i]);
        sum += d * d;
    }
    if (sum == 0) return 99;
    return 10 * std::log10(255.0 * 255.0 / (sum / double(a.size())));
}

}  // namespace jpeg_oracle
