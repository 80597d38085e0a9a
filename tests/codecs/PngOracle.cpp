#include "codecs/PngOracle.h"

#include <png.h>
#include <zlib.h>

#include <csetjmp>
#include <cstring>

namespace png_oracle {

namespace {

struct Source {
    const std::vector<uint8_t>* bytes;
    size_t pos;
};

void ReadFromMemory(png_structp png, png_bytep out, png_size_t n) {
    auto* s = static_cast<Source*>(png_get_io_ptr(png));
    if (s->pos + n > s->bytes->size()) png_error(png, "read past end");
    std::memcpy(out, s->bytes->data() + s->pos, n);
    s->pos += n;
}

void OnError(png_structp png, png_const_charp message) {
    auto* d = static_cast<Decoded*>(png_get_error_ptr(png));
    d->error = message;
    longjmp(png_jmpbuf(png), 1);
}

void OnWarning(png_structp, png_const_charp) {}

uint32_t Be32(const uint8_t* p) { return (uint32_t{p[0]} << 24) | (uint32_t{p[1]} << 16) | (uint32_t{p[2]} << 8) | p[3]; }

void PutBe32(std::vector<uint8_t>& v, uint32_t x) {
    v.push_back(static_cast<uint8_t>(x >> 24));
    v.push_back(static_cast<uint8_t>(x >> 16));
    v.push_back(static_cast<uint8_t>(x >> 8));
    v.push_back(static_cast<uint8_t>(x));
}

}  // namespace

Decoded Decode(const std::vector<uint8_t>& file, bool allowMng) {
    Decoded d;
    png_structp png = png_create_read_struct(PNG_LIBPNG_VER_STRING, &d, OnError, OnWarning);
    png_infop info = png_create_info_struct(png);
    Source src{&file, 0};
    std::vector<png_bytep> pointers;
    if (setjmp(png_jmpbuf(png))) {
        png_destroy_read_struct(&png, &info, nullptr);
        d.ok = false;
        return d;
    }
    png_set_read_fn(png, &src, ReadFromMemory);
    if (allowMng) {
        // MNG features are allowed only in datastreams without a PNG signature check.
        if (file.size() < 8) png_error(png, "short");
        src.pos = 8;
        png_set_sig_bytes(png, 8);
        png_permit_mng_features(png, PNG_ALL_MNG_FEATURES);
    }
    png_set_crc_action(png, PNG_CRC_ERROR_QUIT, PNG_CRC_ERROR_QUIT);
    png_read_info(png, info);
    d.width = png_get_image_width(png, info);
    d.height = png_get_image_height(png, info);
    d.bitDepth = png_get_bit_depth(png, info);
    d.colorType = png_get_color_type(png, info);
    d.filterMethod = png_get_filter_type(png, info);
    d.channels = png_get_channels(png, info);
    png_colorp palette = nullptr;
    int numPalette = 0;
    if (png_get_PLTE(png, info, &palette, &numPalette) & PNG_INFO_PLTE)
        for (int i = 0; i < numPalette; ++i) {
            d.paletteRGB.push_back(palette[i].red);
            d.paletteRGB.push_back(palette[i].green);
            d.paletteRGB.push_back(palette[i].blue);
        }
    png_bytep trans = nullptr;
    int numTrans = 0;
    png_color_16p transColor = nullptr;
    if (png_get_tRNS(png, info, &trans, &numTrans, &transColor) & PNG_INFO_tRNS) {
        d.hasTRNS = true;
        if (d.colorType == PNG_COLOR_TYPE_PALETTE) {
            d.trnsAlpha.assign(trans, trans + numTrans);
        } else if (transColor) {
            d.trnsGray = transColor->gray;
            d.trnsRed = transColor->red;
            d.trnsGreen = transColor->green;
            d.trnsBlue = transColor->blue;
        }
    }
    png_fixed_point gamma = 0;
    if (png_get_gAMA_fixed(png, info, &gamma) & PNG_INFO_gAMA) {
        d.hasGamma = true;
        d.gammaFixed = static_cast<uint32_t>(gamma);
    }
    png_charp iccName = nullptr;
    int iccCompression = 0;
    png_bytep iccData = nullptr;
    png_uint_32 iccLength = 0;
    if (png_get_iCCP(png, info, &iccName, &iccCompression, &iccData, &iccLength) & PNG_INFO_iCCP) {
        d.hasICCP = true;
        d.iccProfile.assign(iccData, iccData + iccLength);
    }
    png_bytep exif = nullptr;
    png_uint_32 exifLength = 0;
    if (png_get_eXIf_1(png, info, &exifLength, &exif) & PNG_INFO_eXIf) {
        d.hasEXIF = true;
        d.exif.assign(exif, exif + exifLength);
    }
    if (d.bitDepth < 8) png_set_packing(png);
    png_set_interlace_handling(png);
    png_read_update_info(png, info);
    const size_t rowBytes = png_get_rowbytes(png, info);
    d.rows.assign(d.height, std::vector<uint8_t>(rowBytes));
    pointers.resize(d.height);
    for (uint32_t y = 0; y < d.height; ++y) pointers[y] = d.rows[y].data();
    png_read_image(png, pointers.data());
    png_read_end(png, nullptr);
    png_destroy_read_struct(&png, &info, nullptr);
    d.ok = true;
    return d;
}

std::vector<ChunkInfo> Chunks(const std::vector<uint8_t>& file) {
    std::vector<ChunkInfo> out;
    size_t p = 8;
    while (p + 12 <= file.size()) {
        ChunkInfo c;
        c.length = Be32(&file[p]);
        c.type.assign(reinterpret_cast<const char*>(&file[p + 4]), 4);
        if (p + 12 + c.length > file.size()) break;
        c.data.assign(file.begin() + p + 8, file.begin() + p + 8 + c.length);
        c.crc = Be32(&file[p + 8 + c.length]);
        out.push_back(c);
        p += 12 + c.length;
    }
    return out;
}

std::vector<uint8_t> Chunk(const std::string& type, const std::vector<uint8_t>& data) {
    std::vector<uint8_t> out;
    PutBe32(out, static_cast<uint32_t>(data.size()));
    out.insert(out.end(), type.begin(), type.end());
    out.insert(out.end(), data.begin(), data.end());
    uLong crc = crc32(0, reinterpret_cast<const Bytef*>(type.data()), 4);
    if (!data.empty()) crc = crc32(crc, data.data(), static_cast<uInt>(data.size()));
    PutBe32(out, static_cast<uint32_t>(crc));
    return out;
}

std::vector<uint8_t> Ihdr(uint32_t w, uint32_t h, int depth, int colorType, int interlace, int filter) {
    std::vector<uint8_t> d;
    PutBe32(d, w);
    PutBe32(d, h);
    d.push_back(static_cast<uint8_t>(depth));
    d.push_back(static_cast<uint8_t>(colorType));
    d.push_back(0);
    d.push_back(static_cast<uint8_t>(filter));
    d.push_back(static_cast<uint8_t>(interlace));
    return Chunk("IHDR", d);
}

std::vector<uint8_t> PngSignature() { return {0x89, 0x50, 0x4E, 0x47, 0x0D, 0x0A, 0x1A, 0x0A}; }
std::vector<uint8_t> MngSignature() { return {0x8A, 0x4D, 0x4E, 0x47, 0x0D, 0x0A, 0x1A, 0x0A}; }

std::vector<uint8_t> Zlib(const std::vector<uint8_t>& raw, int level) {
    uLongf n = compressBound(static_cast<uLong>(raw.size()));
    std::vector<uint8_t> out(n);
    compress2(out.data(), &n, raw.data(), static_cast<uLong>(raw.size()), level);
    out.resize(n);
    return out;
}

std::vector<uint8_t> FirstEmbeddedPng(const std::vector<uint8_t>& mng) {
    std::vector<uint8_t> out = PngSignature();
    bool inImage = false;
    for (const auto& c : Chunks(mng)) {
        if (c.type == "IHDR") inImage = true;
        if (!inImage) continue;
        auto bytes = Chunk(c.type, c.data);
        out.insert(out.end(), bytes.begin(), bytes.end());
        if (c.type == "IEND") break;
    }
    return out;
}

}  // namespace png_oracle
