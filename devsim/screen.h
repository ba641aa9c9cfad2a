// The display's screen: an RGB frame buffer that text and pictures are drawn
// into, plus the text lines as plain characters for the log and for tests.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace devsim {

class Screen {
public:
    static constexpr int kCellW = 6;
    static constexpr int kCellH = 8;

    Screen(int width, int height);

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
