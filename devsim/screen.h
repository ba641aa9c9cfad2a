// The display's screen: an RGB frame buffer that text and pictures are drawn
// into, plus the text lines as plain characters for the log and for tests.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace devsim {

// A 1-bit font loaded into the display (layout in docs/formats.md).
struct DisplayFont {
    int cellW = 0;
    int cellH = 0;
    int first = 0;
    int count = 0;
    std::string widths;  // one byte per character
    std::string glyphs;  // count x cellH rows of rowBytes() bytes, leftmost pixel in the top bit
    int rowBytes() const { return (cellW + 7) / 8; }
};

// Reads a font stream (length, header, data); false if it is not a 1-bit font
// whose data length agrees with its header.
bool parseDisplayFont(std::string_view stream, DisplayFont& font);

class Screen {
public:
    static constexpr int kCellW = 6;  // the built-in font's cell
    static constexpr int kCellH = 8;

    Screen(int width, int height);

    // Text from now on uses this font (nullptr: the built-in one). The text
    // grid takes the font's cell size and starts empty at the top left; the
    // pixels already drawn stay.
    void setFont(const DisplayFont* font);

    void clear();
    void home() { col_ = row_ = 0; }
    void moveTo(int row, int col);  // 0-based, clipped
    void putText(std::string_view text);
    // Draws a picture of w x h RGB pixels (rows top to bottom) at x, y; clipped.
    void drawPicture(int x, int y, int w, int h, std::string_view rgb);

    int width() const { return width_; }
    int height() const { return height_; }
    int columns() const { return cols_; }
    int rows() const { return rowsCount_; }
    const std::vector<std::uint8_t>& pixels() const { return rgb_; }
    // The character screen, one line per text row, trailing blanks removed.
    std::string text() const;

private:
    void putChar(unsigned char c);
    void newline();
    void drawGlyph(int row, int col, unsigned char c);

    int cellW() const { return font_ ? font_->cellW : kCellW; }
    int cellH() const { return font_ ? font_->cellH : kCellH; }
    void resetGrid();

    std::unique_ptr<DisplayFont> font_;
    int width_;
    int height_;
    int cols_;
    int rowsCount_;
    int col_ = 0;
    int row_ = 0;
    std::vector<std::uint8_t> rgb_;
    std::vector<std::string> lines_;
};

// Encodes an 8-bit RGB image as PNG (uncompressed deflate blocks).
std::string encodePng(int width, int height, const std::vector<std::uint8_t>& rgb);

}  // namespace devsim
