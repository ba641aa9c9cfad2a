#include "BitmapConverter.h"

#include <QBuffer>
#include <QByteArray>
#include <QFile>
#include <QFileInfo>
#include <QImageReader>

#include <cstring>

namespace {

// What the converter needs of a bitmap file's headers.
struct TBmpInfo {
    qint64 fileSize = 0;
    std::uint32_t offBits = 0;     // bfOffBits: where the pixels start
    std::uint32_t infoSize = 0;    // 12 (BITMAPCOREHEADER) or 40 and more (BITMAPINFOHEADER and later)
    std::int64_t width = 0;
    std::int64_t height = 0;       // absolute value; topDown when the file's height is negative
    bool topDown = false;
    int bitCount = 0;
    std::uint32_t compression = 0; // 0 BI_RGB, 1 BI_RLE8, 2 BI_RLE4, 3 BI_BITFIELDS, 6 BI_ALPHABITFIELDS
};

constexpr int kFileHeader = 14;
constexpr std::uint32_t kCoreHeader = 12;
constexpr std::uint32_t kInfoHeader = 40;

std::uint32_t le16(const unsigned char* p) { return p[0] | (p[1] << 8); }
std::uint32_t le32(const unsigned char* p)
{
    return std::uint32_t(p[0]) | (std::uint32_t(p[1]) << 8) | (std::uint32_t(p[2]) << 16) | (std::uint32_t(p[3]) << 24);
}

std::string name(const QString& fileName) { return fileName.toStdString(); }

std::string bytes(qint64 n) { return std::to_string(n) + (n == 1 ? " byte" : " bytes"); }

// Opens the file; returns an empty text or the message for a missing or unreadable file.
std::string openFile(const QString& fileName, QFile& file)
{
    const QFileInfo info(fileName);
    if (fileName.isEmpty() || !info.exists())
        return name(fileName) + ": no such file";
    if (info.isDir())
        return name(fileName) + ": is a folder, not a bitmap file";
    file.setFileName(fileName);
    if (!file.open(QIODevice::ReadOnly))
        return name(fileName) + ": cannot be read (" + file.errorString().toStdString() + ")";
    return {};
}

// Reads and checks the file and info headers from the start of the file (head holds at least the
// first kFileHeader + kInfoHeader bytes that the file has).
std::string parseHeaders(const QString& fileName, const QByteArray& head, qint64 fileSize, TBmpInfo& info)
{
    const auto* p = reinterpret_cast<const unsigned char*>(head.constData());
    const qint64 n = head.size();
    if (fileSize == 0)
        return name(fileName) + ": the file is empty, not a bitmap";
    if (n < 2 || p[0] != 'B' || p[1] != 'M')
        return name(fileName) + ": not a bitmap file (it does not start with \"BM\")";
    if (n < kFileHeader + 4)
        return name(fileName) + ": the bitmap header is truncated (the file has " + bytes(fileSize) + ")";
    info.fileSize = fileSize;
    info.offBits = le32(p + 10);
    info.infoSize = le32(p + 14);
    if (info.infoSize != kCoreHeader && info.infoSize < kInfoHeader)
        return name(fileName) + ": unsupported bitmap info header of " + bytes(info.infoSize);
    const qint64 needed = kFileHeader + (info.infoSize == kCoreHeader ? kCoreHeader : kInfoHeader);
    if (n < needed)
        return name(fileName) + ": the bitmap header is truncated (the file has " + bytes(fileSize) + ", its header needs " +
               std::to_string(needed) + ")";
    if (info.infoSize == kCoreHeader) {
        info.width = le16(p + 18);
        info.height = le16(p + 20);
        info.bitCount = int(le16(p + 24));
    } else {
        const auto w = std::int32_t(le32(p + 18));
        const auto h = std::int32_t(le32(p + 22));
        info.width = w;
        info.topDown = h < 0;
        info.height = h < 0 ? -std::int64_t(h) : std::int64_t(h);
        info.bitCount = int(le16(p + 28));
        info.compression = le32(p + 30);
    }
    switch (info.bitCount) {
    case 1: case 4: case 8: case 16: case 24: case 32: break;
    default:
        return name(fileName) + ": unsupported colour depth of " + std::to_string(info.bitCount) + " bits per pixel";
    }
    if (info.width <= 0 || info.height <= 0)
        return name(fileName) + ": the picture has no pixels (" + std::to_string(info.width) + " x " +
               std::to_string(info.height) + ")";
    if (info.width > 0xFFFF || info.height > 0xFFFF)
        return name(fileName) + ": the picture is " + std::to_string(info.width) + " x " + std::to_string(info.height) +
               ", larger than 65535 pixels in a direction";
    return {};
}

std::string readHeaders(const QString& fileName, QFile& file, TBmpInfo& info)
{
    if (std::string why = openFile(fileName, file); !why.empty())
        return why;
    const QByteArray head = file.read(kFileHeader + kInfoHeader);
    if (file.error() != QFileDevice::NoError)
        return name(fileName) + ": cannot be read (" + file.errorString().toStdString() + ")";
    return parseHeaders(fileName, head, file.size(), info);
}

} // namespace

std::string head_bmp(const QString& fileName, TBmpHeader& header)
{
    QFile file;
    TBmpInfo info;
    if (std::string why = readHeaders(fileName, file, info); !why.empty())
        return why;
    header[0] = std::uint8_t(info.bitCount);
    header[1] = std::uint8_t(info.height >> 8);
    header[2] = std::uint8_t(info.height);
    header[3] = std::uint8_t(info.width >> 8);
    header[4] = std::uint8_t(info.width);
    return {};
}

std::string fill_bmp(const QString& fileName, std::vector<std::uint8_t>& stream)
{
    stream.clear();
    QFile file;
    TBmpInfo info;
    if (std::string why = readHeaders(fileName, file, info); !why.empty())
        return why;

    // The size is known from the header: refuse a picture too large before its pixels are read.
    const std::uint64_t w = std::uint64_t(info.width), h = std::uint64_t(info.height);
    const std::uint64_t total = w * h * 3 + 4;
    const std::string size = std::to_string(w) + " x " + std::to_string(h);
    if (total > kPictureBufferSize)
        return name(fileName) + ": the picture is " + size + ", its stream of " + std::to_string(total) +
               " bytes exceeds the " + std::to_string(kPictureBufferSize) + "-byte picture buffer";

    // Uncompressed pixels have a known length; Qt's reader fills a short pixel area in silently.
    if (info.offBits > info.fileSize)
        return name(fileName) + ": the pixel data is truncated (the file has " + bytes(info.fileSize) +
               ", its pixels start at byte " + std::to_string(info.offBits) + ")";
    if (info.compression == 0 || info.compression == 3 || info.compression == 6) {
        const std::uint64_t stride = (w * std::uint64_t(info.bitCount) + 31) / 32 * 4;
        const std::uint64_t needed = std::uint64_t(info.offBits) + stride * h;
        if (needed > std::uint64_t(info.fileSize))
            return name(fileName) + ": the pixel data is truncated (the file has " + bytes(info.fileSize) + ", its " +
                   size + " pixels at " + std::to_string(info.bitCount) + " bits need " + std::to_string(needed) + ")";
    }

    // Decode what was checked: the same bytes, not a second opening of the file.
    file.seek(0);
    QByteArray data = file.readAll();
    if (file.error() != QFileDevice::NoError)
        return name(fileName) + ": cannot be read (" + file.errorString().toStdString() + ")";
    QBuffer buffer(&data);
    buffer.open(QIODevice::ReadOnly);
    QImageReader reader(&buffer, "BMP");
    QImage image = reader.read();
    if (image.isNull())
        return name(fileName) + ": the picture cannot be decoded (" + reader.errorString().toStdString() + ")";
    if (image.width() != int(w) || image.height() != int(h))
        return name(fileName) + ": the decoded picture is " + std::to_string(image.width()) + " x " +
               std::to_string(image.height()) + ", its header says " + size;
    image = image.convertToFormat(QImage::Format_RGB888);

    stream.resize(std::size_t(total));
    stream[0] = std::uint8_t(w >> 8);
    stream[1] = std::uint8_t(w);
    stream[2] = std::uint8_t(h >> 8);
    stream[3] = std::uint8_t(h);
    const std::size_t rowBytes = std::size_t(w) * 3;
    for (int y = 0; y < int(h); ++y)
        std::memcpy(stream.data() + 4 + std::size_t(y) * rowBytes, image.constScanLine(y), rowBytes);
    return {};
}

QImage pictureFromStream(const std::vector<std::uint8_t>& stream)
{
    if (stream.size() < 4)
        return {};
    const int w = (stream[0] << 8) | stream[1];
    const int h = (stream[2] << 8) | stream[3];
    const std::size_t rowBytes = std::size_t(w) * 3;
    // The display takes exactly width x height x 3 pixel bytes after the size; more is not its picture.
    if (w == 0 || h == 0 || stream.size() < 4 + rowBytes * std::size_t(h))
        return {};
    QImage image(w, h, QImage::Format_RGB888);
    if (image.isNull())
        return {};
    for (int y = 0; y < h; ++y)
        std::memcpy(image.scanLine(y), stream.data() + 4 + std::size_t(y) * rowBytes, rowBytes);
    return image;
}
