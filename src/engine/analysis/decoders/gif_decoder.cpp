#include <algorithm>
#include <array>
#include <cstring>
#include <string>
#include <vector>

#include <gif_lib.h>

#include "engine/analysis/decoders/source_decoders.h"
#include "engine/analysis/raster.h"
#include "engine/engine_error.h"

// GIF through giflib, record by record up to the end of the first frame; what
// comes after it (further frames, trailing damage) is never read.

namespace ferrovin {

namespace {

int readFromMemory(GifFileType* gif, GifByteType* out, int length)
{
    auto* r = static_cast<MemoryReader*>(gif->UserData);
    if (length <= 0 || r->pos >= r->size)
        return 0; // also keeps an empty file's null data pointer out of memcpy
    const std::size_t n = std::min<std::size_t>(static_cast<std::size_t>(length), r->size - r->pos);
    std::memcpy(out, r->data + r->pos, n);
    r->pos += n;
    return static_cast<int>(n);
}

class GifHandle final {
public:
    explicit GifHandle(MemoryReader& reader)
    {
        int error = 0;
        m_gif = DGifOpen(&reader, readFromMemory, &error);
        if (!m_gif)
            fail(error);
    }
    ~GifHandle()
    {
        int error = 0;
        DGifCloseFile(m_gif, &error);
    }
    GifHandle(const GifHandle&) = delete;
    GifHandle& operator=(const GifHandle&) = delete;

    GifFileType* operator->() const { return m_gif; }
    GifFileType* get() const { return m_gif; }
    void check(int result) const
    {
        if (result != GIF_OK)
            fail(m_gif->Error);
    }

    [[noreturn]] static void fail(int error)
    {
        const char* text = GifErrorString(error);
        throw EngineError(text ? text : "Invalid GIF file");
    }

private:
    GifFileType* m_gif = nullptr;
};

RgbColor colorAt(const ColorMapObject* map, int index)
{
    if (!map || index < 0 || index >= map->ColorCount)
        return RgbColor{};
    const GifColorType& c = map->Colors[index];
    return RgbColor{c.Red, c.Green, c.Blue};
}

} // namespace

void decodeGif(ByteSpan file, Raster& out)
{
    MemoryReader reader{file.data(), file.size(), 0};
    GifHandle gif(reader);
    const int screenWidth = gif->SWidth;
    const int screenHeight = gif->SHeight;
    if (screenWidth <= 0 || screenHeight <= 0)
        throw EngineError("GIF has an empty logical screen");
    checkPictureSize(static_cast<std::uint64_t>(screenWidth), static_cast<std::uint64_t>(screenHeight), 3);

    // Transparency: the last graphic control extension before the first frame.
    int transparent = NO_TRANSPARENT_COLOR;
    for (;;) {
        GifRecordType record = UNDEFINED_RECORD_TYPE;
        gif.check(DGifGetRecordType(gif.get(), &record));
        if (record == IMAGE_DESC_RECORD_TYPE)
            break;
        if (record == TERMINATE_RECORD_TYPE)
            throw EngineError("GIF has no frame");
        if (record != EXTENSION_RECORD_TYPE)
            throw EngineError("Invalid GIF record");
        int code = 0;
        GifByteType* block = nullptr;
        gif.check(DGifGetExtension(gif.get(), &code, &block));
        if (code == GRAPHICS_EXT_FUNC_CODE && block) {
            GraphicsControlBlock gcb;
            if (DGifExtensionToGCB(block[0], block + 1, &gcb) == GIF_OK)
                transparent = gcb.TransparentColor;
        }
        while (block)
            gif.check(DGifGetExtensionNext(gif.get(), &block));
    }

    gif.check(DGifGetImageDesc(gif.get()));
    const GifImageDesc& desc = gif->Image;
    const ColorMapObject* globalMap = gif->SColorMap;
    const ColorMapObject* map = desc.ColorMap ? desc.ColorMap : globalMap;
    if (!map)
        throw EngineError("GIF has no colour table");
    // An empty frame draws nothing: the screen stays background.
    if (desc.Width > 0 && desc.Height > 0)
        checkPictureSize(static_cast<std::uint64_t>(desc.Width), static_cast<std::uint64_t>(desc.Height), 1);

    // Outside the frame and under transparent pixels: the background entry of
    // the global table, white without one or when the index lies beyond it.
    RgbColor background{255, 255, 255};
    if (globalMap && gif->SBackGroundColor < globalMap->ColorCount)
        background = colorAt(globalMap, gif->SBackGroundColor);

    out.setSize(screenWidth, screenHeight, PixelFormat::Pf24Bit);
    out.PaletteSize = 0;
    for (std::size_t i = 0; i < out.Pixels.size(); i += 3) {
        out.Pixels[i] = background.R;
        out.Pixels[i + 1] = background.G;
        out.Pixels[i + 2] = background.B;
    }

    std::array<RgbColor, 256> colors;
    for (int i = 0; i < 256; ++i)
        colors[i] = i == transparent ? background : colorAt(map, i);

    // Interlaced frames store rows in four passes: every 8th from 0, every 8th
    // from 4, every 4th from 2, every 2nd from 1.
    if (desc.Width <= 0 || desc.Height <= 0)
        return;
    std::vector<int> order;
    order.reserve(static_cast<std::size_t>(desc.Height));
    if (desc.Interlace) {
        static constexpr int kStart[] = {0, 4, 2, 1};
        static constexpr int kStep[] = {8, 8, 4, 2};
        for (int pass = 0; pass < 4; ++pass)
            for (int y = kStart[pass]; y < desc.Height; y += kStep[pass])
                order.push_back(y);
    } else {
        for (int y = 0; y < desc.Height; ++y)
            order.push_back(y);
    }

    std::vector<GifPixelType> line(static_cast<std::size_t>(desc.Width));
    for (const int frameRow : order) {
        gif.check(DGifGetLine(gif.get(), line.data(), desc.Width));
        const long long y = static_cast<long long>(desc.Top) + frameRow;
        if (y >= screenHeight)
            continue; // clipped, but still read so that damage in the frame is noticed
        std::uint8_t* dst = out.row(static_cast<int>(y));
        const int firstX = desc.Left;
        const int lastX = std::min(screenWidth, desc.Left + desc.Width);
        for (int x = firstX; x < lastX; ++x) {
            const RgbColor c = colors[line[static_cast<std::size_t>(x - firstX)]];
            dst[x * 3] = c.R;
            dst[x * 3 + 1] = c.G;
            dst[x * 3 + 2] = c.B;
        }
    }
}

} // namespace ferrovin
