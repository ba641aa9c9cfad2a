// The picture converter: a Windows bitmap file into the byte stream the display takes after a
// picture command (layout in docs/formats.md), and that stream back into a picture for the
// preview, by the same rules the display uses. No widgets; decoding goes through QImage.
#pragma once

#include <QImage>
#include <QString>

#include <array>
#include <cstdint>
#include <string>
#include <vector>

// The program's picture buffer: a stream may be at most this long (width x height x 3 + 4).
inline constexpr size_t kPictureBufferSize = 300001;

// The header record of a bitmap file: byte 0 the colour depth in bits per pixel (the file's own,
// from its info header), bytes 1-2 the height and 3-4 the width, most significant byte first.
using TBmpHeader = std::array<std::uint8_t, 5>;

inline int bmpDepth(const TBmpHeader& h) { return h[0]; }
inline int bmpHeight(const TBmpHeader& h) { return (h[1] << 8) | h[2]; }
inline int bmpWidth(const TBmpHeader& h) { return (h[3] << 8) | h[4]; }

// Fills header from the named bitmap file. Returns an empty text on success, otherwise a message
// that names the file and says what is wrong (missing, unreadable, not a bitmap, truncated).
std::string head_bmp(const QString& fileName, TBmpHeader& header);

// Fills stream with the whole picture stream of the named file: width and height, then the pixels
// as RGB rows from the top down, width x height x 3 + 4 bytes. Refuses a picture whose stream
// would not fit the picture buffer (the message gives its size and the limit). Returns an empty
// text on success, otherwise the message; stream is then empty.
std::string fill_bmp(const QString& fileName, std::vector<std::uint8_t>& stream);

// The picture a stream describes (Format_RGB888), decoded as the display decodes it: bytes past
// width x height x 3 + 4 are ignored; a null image when the stream is shorter than its own size
// fields say or a size is 0.
QImage pictureFromStream(const std::vector<std::uint8_t>& stream);
