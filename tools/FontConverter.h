// The font converter: BFF bitmap font files (magic 0xBF 0xF2, image and cell size, bits per
// pixel, base character, 256 widths, pixels) into the font data the display takes (layout in
// docs/formats.md), the ".h" and binary files made from it, and a preview drawn from the data as
// the display draws it. No widgets.
#pragma once

#include <QImage>
#include <QString>

#include <array>
#include <cstdint>
#include <string>
#include <vector>

// A converted font: the 8-byte header and the data bytes 0 to S (S = data.size() - 1).
struct TFontData {
    std::array<std::uint8_t, 8> header{};
    std::vector<std::uint8_t> data;

    int cellWidth() const { return header[0]; }
    int cellHeight() const { return header[1]; }
    int firstChar() const { return header[3]; }
    int count() const { return header[4] == 0 ? 256 : header[4]; }
    int size() const { return int(data.size()) - 1; }
};

// Reads and converts the named BFF file. Returns an empty text on success, otherwise a message
// that names the file and says what is wrong (missing, not a BFF font, truncated, an unsupported
// depth, a cell that does not fit the image); font is then left empty.
std::string fo_getFontData(const QString& fileName, TFontData& font);

// S of the named font (its data length less one), or -1 when the file is not a readable BFF font.
int fo_getFontSize(const QString& fileName);

// Writes the ".h" file (a C array of the font stream with its sizes named) and the binary file
// (the stream as it is sent: length, header, data) beside the font file, each atomically: the
// font file's name with ".h" and with ".bin" in place of ".bff" (any letter case; without that
// ending they are appended). Return an empty text on success, otherwise a message: the font's own
// message, or "<path>: cannot be written (<system reason>)". written, when given, gets the target
// path once the font has converted (so also when only the writing failed).
std::string fo_head(const QString& fileName, QString* written = nullptr);
std::string fo_binary(const QString& fileName, QString* written = nullptr);

// The whole stream as sent after the font command: data length (header bytes 5 and 6), the header,
// the data.
std::vector<std::uint8_t> fontStream(const TFontData& font);

// The font's characters drawn from its data as the display draws them: black ink on white, in
// rows of `columns` cells, one pixel a font pixel.
QImage fontPreview(const TFontData& font, int columns = 16);
