#include "gif/GifOracle.h"

#ifdef PIXMORPH_HAVE_GIFLIB
#include <gif_lib.h>

#include <cstring>

namespace gif_oracle {

namespace {

struct Source {
    const std::vector<uint8_t>* data;
    size_t at = 0;
};

int ReadFromMemory(GifFileType* file, GifByteType* buffer, int count) {
    auto* source = static_cast<Source*>(file->UserData);
    const size_t n = std::min<size_t>(static_cast<size_t>(count), source->data->size() - source->at);
    std::memcpy(buffer, source->data->data() + source->at, n);
    source->at += n;
    return static_cast<int>(n);
}

std::vector<uint8_t> MapBytes(const ColorMapObject* map) {
    std::vector<uint8_t> bytes;
    if (!map) return bytes;
    for (int i = 0; i < map->ColorCount; ++i) {
        bytes.push_back(map->Colors[i].Red);
        bytes.push_back(map->Colors[i].Green);
        bytes.push_back(map->Colors[i].Blue);
    }
    return bytes;
}

}  // namespace

Decoded Decode(const std::vector<uint8_t>& file) {
    Decoded result;
    Source source{&file};
    int error = 0;
    GifFileType* gif = DGifOpen(&source, ReadFromMemory, &error);
    if (!gif) {
        result.error = GifErrorString(error);
        return result;
    }
    if (DGifSlurp(gif) != GIF_OK) {
        result.error = GifErrorString(gif->Error);
        DGifCloseFile(gif, &error);
        return result;
    }
    if (file.size() >= 6) result.version.assign(file.begin() + 3, file.begin() + 6);
    result.screenWidth = gif->SWidth;
    result.screenHeight = gif->SHeight;
    result.globalMap = MapBytes(gif->SColorMap);
    for (int i = 0; i < gif->ImageCount; ++i) {
        const SavedImage& image = gif->SavedImages[i];
        Frame frame;
        frame.left = image.ImageDesc.Left;
        frame.top = image.ImageDesc.Top;
        frame.width = image.ImageDesc.Width;
        frame.height = image.ImageDesc.Height;
        frame.interlaced = image.ImageDesc.Interlace;
        frame.localMap = MapBytes(image.ImageDesc.ColorMap);
        frame.pixels.assign(image.RasterBits, image.RasterBits + static_cast<size_t>(frame.width) * frame.height);
        GraphicsControlBlock control;
        if (DGifSavedExtensionToGCB(gif, i, &control) == GIF_OK) frame.transparentIndex = control.TransparentColor;
        for (int e = 0; e < image.ExtensionBlockCount; ++e) {
            const ExtensionBlock& block = image.ExtensionBlocks[e];
            if (block.Function == COMMENT_EXT_FUNC_CODE || (block.Function == CONTINUE_EXT_FUNC_CODE && e > 0 &&
                                                            !frame.comments.empty()))
                frame.comments.emplace_back(reinterpret_cast<const char*>(block.Bytes), block.ByteCount);
        }
        result.frames.push_back(std::move(frame));
    }
    DGifCloseFile(gif, &error);
    result.ok = true;
    return result;
}

}  // namespace gif_oracle
#endif

namespace gif_oracle {

std::vector<int> SubBlockLengths(const std::vector<uint8_t>& file, size_t& offset) {
    std::vector<int> lengths;
    ++offset;  // minimum code size
    while (offset < file.size()) {
        const int n = file[offset];
        lengths.push_back(n);
        offset += 1 + static_cast<size_t>(n);
        if (n == 0) break;
    }
    return lengths;
}

}  // namespace gif_oracle
