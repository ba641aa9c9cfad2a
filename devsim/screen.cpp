#include "screen.h"

#include <algorithm>
#include <array>
#include <cstring>

#include "glyphs.h"

namespace devsim {

namespace {
constexpr std::uint8_t kBg[3] = {0x00, 0x00, 0x40};
constexpr std::uint8_t kFg[3] = {0xFF, 0xFF, 0x60};
}  // namespace

bool parseDisplayFont(std::string_view s, DisplayFont& font)
{
    if (s.size() < 10) return false;
    const auto u = [&](std::size_t i) { return static_cast<int>(static_cast<unsigned char>(s[i])); };
    font.cellW = u(2);
    font.cellH = u(3);
    font.first = u(5);
    font.count = u(6) ? u(6) : 256;
    const std::size_t len = (static_cast<std::size_t>(u(0)) << 8) | static_cast<std::size_t>(u(1));
    if (u(4) != 1 || font.cellW == 0 || font.cellH == 0 || s.size() != 10 + len) return false;
    const std::size_t glyphBytes = static_cast<std::size_t>(font.count) * font.cellH * font.rowBytes();
    if (len != static_cast<std::size_t>(font.count) + glyphBytes) return false;
    font.widths = std::string(s.substr(10, static_cast<std::size_t>(font.count)));
    font.glyphs = std::string(s.substr(10 + static_cast<std::size_t>(font.count)));
    return true;
}

Screen::Screen(int width, int height) : width_(width), height_(height), rgb_(static_cast<std::size_t>(width) * height * 3)
{
    clear();
}

void Screen::resetGrid()
{
    cols_ = std::max(1, width_ / cellW());
    rowsCount_ = std::max(1, height_ / cellH());
    lines_.assign(static_cast<std::size_t>(rowsCount_), std::string(static_cast<std::size_t>(cols_), ' '));
    col_ = row_ = 0;
}

void Screen::setFont(const DisplayFont* font)
{
    font_ = font ? std::make_unique<DisplayFont>(*font) : nullptr;
    resetGrid();
}

void Screen::clear()
{
    for (std::size_t i = 0; i < rgb_.size(); i += 3) std::memcpy(&rgb_[i], kBg, 3);
    resetGrid();
}

void Screen::moveTo(int row, int col)
{
    row_ = std::clamp(row, 0, rowsCount_ - 1);
    col_ = std::clamp(col, 0, cols_ - 1);
}

void Screen::putText(std::string_view text)
{
    for (unsigned char c : text) putChar(c);
}

void Screen::newline()
{
    col_ = 0;
    if (++row_ < rowsCount_) return;
    // Scroll one text row up, pixels and characters alike.
    row_ = rowsCount_ - 1;
    const std::size_t rowBytes = static_cast<std::size_t>(width_) * 3;
    const std::size_t shift = std::min(rgb_.size(), rowBytes * static_cast<std::size_t>(cellH()));
    std::memmove(rgb_.data(), rgb_.data() + shift, rgb_.size() - shift);
    for (std::size_t i = rgb_.size() - shift; i < rgb_.size(); i += 3) std::memcpy(&rgb_[i], kBg, 3);
    lines_.erase(lines_.begin());
    lines_.emplace_back(static_cast<std::size_t>(cols_), ' ');
}

void Screen::putChar(unsigned char c)
{
    switch (c) {
    case '\r': col_ = 0; return;
    case '\n': newline(); return;
    case '\b': if (col_ > 0) --col_; return;
    case '\t': col_ = std::min(cols_ - 1, (col_ / 8 + 1) * 8); return;
    default: break;
    }
    if (c < 32) return;  // other control characters do nothing on this display
    if (col_ >= cols_) newline();
    lines_[static_cast<std::size_t>(row_)][static_cast<std::size_t>(col_)] = static_cast<char>(c);
    drawGlyph(row_, col_, c);
    ++col_;
}

void Screen::drawGlyph(int row, int col, unsigned char c)
{
    const std::uint8_t* glyph = (c >= 32 && c <= 126) ? kGlyphs5x7[c - 32] : kGlyphs5x7['?' - 32];
    const int index = font_ ? c - font_->first : -1;
    const bool fromFont = font_ && index >= 0 && index < font_->count;
    const std::size_t glyphAt = fromFont ? static_cast<std::size_t>(index) * font_->cellH * font_->rowBytes() : 0;
    for (int y = 0; y < cellH(); ++y) {
        for (int x = 0; x < cellW(); ++x) {
            bool on = false;
            if (fromFont) {
                const auto byte = static_cast<unsigned char>(font_->glyphs[glyphAt + y * font_->rowBytes() + x / 8]);
                on = (byte >> (7 - x % 8)) & 1;
            } else {
                on = x < 5 && y < 7 && ((glyph[x] >> y) & 1);
            }
            const int px = col * cellW() + x;
            const int py = row * cellH() + y;
            if (px >= width_ || py >= height_) continue;
            std::memcpy(&rgb_[(static_cast<std::size_t>(py) * width_ + px) * 3], on ? kFg : kBg, 3);
        }
    }
}

void Screen::drawPicture(int x, int y, int w, int h, std::string_view rgb)
{
    for (int row = 0; row < h; ++row) {
        const int py = y + row;
        if (py < 0 || py >= height_) continue;
        for (int col = 0; col < w; ++col) {
            const int px = x + col;
            if (px < 0 || px >= width_) continue;
            const std::size_t src = (static_cast<std::size_t>(row) * w + col) * 3;
            if (src + 3 > rgb.size()) return;
            std::memcpy(&rgb_[(static_cast<std::size_t>(py) * width_ + px) * 3], rgb.data() + src, 3);
        }
    }
}

std::string Screen::text() const
{
    std::string out;
    for (const auto& line : lines_) {
        const auto end = line.find_last_not_of(' ');
        out += end == std::string::npos ? std::string() : line.substr(0, end + 1);
        out += '\n';
    }
    return out;
}

namespace {

std::uint32_t crc32(const std::string& data, std::size_t from)
{
    static const auto table = [] {
        std::array<std::uint32_t, 256> t{};
        for (std::uint32_t n = 0; n < 256; ++n) {
            std::uint32_t c = n;
            for (int k = 0; k < 8; ++k) c = (c & 1) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
            t[n] = c;
        }
        return t;
    }();
    std::uint32_t c = 0xFFFFFFFFu;
    for (std::size_t i = from; i < data.size(); ++i) c = table[(c ^ static_cast<std::uint8_t>(data[i])) & 0xFF] ^ (c >> 8);
    return c ^ 0xFFFFFFFFu;
}

void put32(std::string& s, std::uint32_t v)
{
    for (int shift = 24; shift >= 0; shift -= 8) s += static_cast<char>((v >> shift) & 0xFF);
}

void chunk(std::string& png, const char* type, const std::string& body)
{
    put32(png, static_cast<std::uint32_t>(body.size()));
    const std::size_t start = png.size();
    png += type;
    png += body;
    put32(png, crc32(png, start));
}

}  // namespace

std::string encodePng(int width, int height, const std::vector<std::uint8_t>& rgb)
{
    std::string png("\x89PNG\r\n\x1a\n", 8);
    std::string ihdr;
    put32(ihdr, static_cast<std::uint32_t>(width));
    put32(ihdr, static_cast<std::uint32_t>(height));
    ihdr += std::string("\x08\x02\x00\x00\x00", 5);  // 8 bits, RGB, deflate, no filter set, no interlace
    chunk(png, "IHDR", ihdr);

    std::string raw;
    const std::size_t rowBytes = static_cast<std::size_t>(width) * 3;
    raw.reserve((rowBytes + 1) * height);
    for (int y = 0; y < height; ++y) {
        raw += '\0';  // filter type: none
        raw.append(reinterpret_cast<const char*>(rgb.data()) + y * rowBytes, rowBytes);
    }
    // A zlib stream of stored (uncompressed) blocks: simple and needs no library.
    std::string z("\x78\x01", 2);
    std::uint32_t a = 1;
    std::uint32_t b = 0;
    for (unsigned char c : raw) {
        a = (a + c) % 65521;
        b = (b + a) % 65521;
    }
    std::size_t pos = 0;
    do {
        const std::size_t len = std::min<std::size_t>(65535, raw.size() - pos);
        const bool last = pos + len == raw.size();
        z += static_cast<char>(last ? 1 : 0);
        z += static_cast<char>(len & 0xFF);
        z += static_cast<char>(len >> 8);
        z += static_cast<char>(~len & 0xFF);
        z += static_cast<char>((~len >> 8) & 0xFF);
        z.append(raw, pos, len);
        pos += len;
    } while (pos < raw.size());
    put32(z, (b << 16) | a);
    chunk(png, "IDAT", z);
    chunk(png, "IEND", "");
    return png;
}

}  // namespace devsim
