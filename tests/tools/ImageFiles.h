// Bitmap and BFF font files written byte by byte, so that a test knows their exact layout (row
// padding, bottom-up or top-down rows, palettes, header sizes) instead of trusting an image writer.
// Used by the converter tests and by the sample generator.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace imagefiles {

inline void put16(std::string& s, std::uint32_t v)
{
    s += char(v & 0xFF);
    s += char((v >> 8) & 0xFF);
}

inline void put32(std::string& s, std::uint32_t v)
{
    put16(s, v & 0xFFFF);
    put16(s, v >> 16);
}

struct TBmpShape {
    int width = 1;
    int height = 1;
    int bpp = 24;          // 1, 4, 8, 16, 24 or 32
    bool topDown = false;  // a negative height in the info header (not with core)
    bool core = false;     // a 12-byte BITMAPCOREHEADER instead of the 40-byte BITMAPINFOHEADER
};

// A whole uncompressed bitmap file. pixel(x, y), y counted from the top, gives 0xRRGGBB for 24
// and 32 bits (32 bits store the fourth byte as 0), the raw 5-5-5 value for 16 bits and the
// palette index for 1, 4 and 8 bits; palette entries are 0xRRGGBB.
inline std::string makeBmp(const TBmpShape& shape, const std::function<std::uint32_t(int x, int y)>& pixel,
                           const std::vector<std::uint32_t>& palette = {})
{
    const int w = shape.width, h = shape.height, bpp = shape.bpp;
    const std::uint32_t stride = (std::uint32_t(w) * bpp + 31) / 32 * 4;
    const std::uint32_t infoSize = shape.core ? 12 : 40;
    const std::uint32_t paletteBytes = std::uint32_t(palette.size()) * (shape.core ? 3 : 4);
    const std::uint32_t offBits = 14 + infoSize + paletteBytes;
    std::string s = "BM";
    put32(s, offBits + stride * std::uint32_t(h));
    put32(s, 0);
    put32(s, offBits);
    put32(s, infoSize);
    if (shape.core) {
        put16(s, std::uint32_t(w));
        put16(s, std::uint32_t(h));
        put16(s, 1);
        put16(s, std::uint32_t(bpp));
    } else {
        put32(s, std::uint32_t(w));
        put32(s, std::uint32_t(shape.topDown ? -h : h));
        put16(s, 1);
        put16(s, std::uint32_t(bpp));
        put32(s, 0);                        // BI_RGB
        put32(s, stride * std::uint32_t(h));
        put32(s, 2835);                     // 72 dpi
        put32(s, 2835);
        put32(s, std::uint32_t(palette.size()));
        put32(s, 0);
    }
    for (std::uint32_t c : palette) {
        s += char(c & 0xFF);
        s += char((c >> 8) & 0xFF);
        s += char((c >> 16) & 0xFF);
        if (!shape.core)
            s += '\0';
    }
    for (int row = 0; row < h; ++row) {
        const int y = shape.topDown ? row : h - 1 - row;
        std::string line(stride, '\0');
        for (int x = 0; x < w; ++x) {
            const std::uint32_t v = pixel(x, y);
            switch (bpp) {
            case 1: case 4: case 8: {
                const int bit = x * bpp;
                const int shift = 8 - bpp - bit % 8;
                line[std::size_t(bit / 8)] = char(static_cast<unsigned char>(line[std::size_t(bit / 8)]) | (v << shift));
                break;
            }
            case 16:
                line[std::size_t(x) * 2] = char(v & 0xFF);
                line[std::size_t(x) * 2 + 1] = char((v >> 8) & 0xFF);
                break;
            default: {
                const std::size_t at = std::size_t(x) * (bpp / 8);
                line[at] = char(v & 0xFF);
                line[at + 1] = char((v >> 8) & 0xFF);
                line[at + 2] = char((v >> 16) & 0xFF);
            }
            }
        }
        s += line;
    }
    return s;
}

struct TBffShape {
    int imageWidth = 0;
    int imageHeight = 0;
    int cellWidth = 0;
    int cellHeight = 0;
    int bpp = 24;  // 8, 24 or 32
    int base = 0;
    std::array<std::uint8_t, 256> widths{};
};

// A whole BFF font file: ink(x, y) over the image's pixels; ink is written as 255 (8 bits), a light
// colour (24 bits) or alpha 255 (32 bits), paper as 0, a dark colour or alpha 0. The 32-bit colours
// are the other way round (ink black, paper white), so a reader that looks at them fails.
inline std::string makeBff(const TBffShape& f, const std::function<bool(int x, int y)>& ink)
{
    std::string s = "\xBF\xF2";
    put32(s, std::uint32_t(f.imageWidth));
    put32(s, std::uint32_t(f.imageHeight));
    put32(s, std::uint32_t(f.cellWidth));
    put32(s, std::uint32_t(f.cellHeight));
    s += char(f.bpp);
    s += char(f.base);
    for (std::uint8_t w : f.widths)
        s += char(w);
    for (int y = 0; y < f.imageHeight; ++y) {
        for (int x = 0; x < f.imageWidth; ++x) {
            const bool on = ink(x, y);
            switch (f.bpp) {
            case 8: s += char(on ? 255 : 0); break;
            case 24: s += on ? std::string("\xF0\xE0\x90", 3) : std::string("\xC0\x20\x20", 3); break;
            default: s += on ? std::string("\0\0\0\xFF", 4) : std::string("\xFF\xFF\xFF\0", 4); break;
            }
        }
    }
    return s;
}

} // namespace imagefiles
