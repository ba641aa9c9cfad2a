#include "FontConverter.h"

#include "AtomicFile.h"

#include <QFileInfo>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>

namespace {

// BFF file layout (all numbers little-endian), see docs/formats.md.
constexpr std::size_t kBffHeader = 276;
constexpr std::size_t kWidthTable = 20;

std::uint32_t le32(const std::string& s, std::size_t at)
{
    const auto b = [&](std::size_t i) { return std::uint32_t(static_cast<unsigned char>(s[at + i])); };
    return b(0) | (b(1) << 8) | (b(2) << 16) | (b(3) << 24);
}

std::string name(const QString& fileName) { return fileName.toStdString(); }

std::string dims(std::uint64_t w, std::uint64_t h) { return std::to_string(w) + " x " + std::to_string(h); }

// Whether the pixel at p (bytesPerPixel bytes) is ink: 8 bits its value, 24 bits its brightness
// (the mean of the three bytes), 32 bits its alpha (the fourth byte), each from 128 on.
bool isInk(const unsigned char* p, int bytesPerPixel)
{
    switch (bytesPerPixel) {
    case 1: return p[0] >= 128;
    case 3: return (unsigned(p[0]) + p[1] + p[2]) / 3 >= 128;
    default: return p[3] >= 128;
    }
}

std::string convert(const QString& fileName, const std::string& s, TFontData& font)
{
    if (s.empty())
        return name(fileName) + ": the file is empty, not a BFF font";
    if (s.size() < 2 || static_cast<unsigned char>(s[0]) != 0xBF || static_cast<unsigned char>(s[1]) != 0xF2)
        return name(fileName) + ": not a BFF font file (it does not start with BF F2)";
    if (s.size() < kBffHeader)
        return name(fileName) + ": the BFF header is truncated (the file has " + std::to_string(s.size()) +
               " bytes, the header " + std::to_string(kBffHeader) + ")";
    const std::uint64_t imageW = le32(s, 2), imageH = le32(s, 6), cellW = le32(s, 10), cellH = le32(s, 14);
    const int bpp = static_cast<unsigned char>(s[18]);
    const int base = static_cast<unsigned char>(s[19]);
    if (bpp != 8 && bpp != 24 && bpp != 32)
        return name(fileName) + ": unsupported depth of " + std::to_string(bpp) +
               " bits per pixel (8, 24 and 32 are read)";
    const int bytesPerPixel = bpp / 8;
    // imageW x imageH < 2^64; times 4 could overflow, and no file is that long anyway.
    const std::uint64_t pixels = imageW * imageH;
    const std::uint64_t needed = pixels > (UINT64_MAX - kBffHeader) / 4 ? UINT64_MAX
                                                                          : kBffHeader + pixels * bytesPerPixel;
    if (s.size() < needed)
        return name(fileName) + ": the pixel data is truncated (the file has " + std::to_string(s.size()) +
               " bytes, its " + dims(imageW, imageH) + " image at " + std::to_string(bpp) + " bits needs " +
               (needed == UINT64_MAX ? std::string("more") : std::to_string(needed)) + ")";
    if (cellW == 0 || cellH == 0 || cellW > 255 || cellH > 255)
        return name(fileName) + ": the cell of " + dims(cellW, cellH) + " pixels is not 1 to 255 pixels a side";
    if (cellW > imageW || cellH > imageH)
        return name(fileName) + ": the cell of " + dims(cellW, cellH) + " pixels does not fit the " +
               dims(imageW, imageH) + " image";

    int last = -1;
    for (int c = 255; c >= base && last < 0; --c)
        if (s[kWidthTable + std::size_t(c)] != 0)
            last = c;
    if (last < 0)
        return name(fileName) + ": no characters (every width from the base character " + std::to_string(base) +
               " on is 0)";
    const int count = last - base + 1;
    const std::uint64_t perRow = imageW / cellW;
    const std::uint64_t cells = perRow * (imageH / cellH);
    if (cells < std::uint64_t(count))
        return name(fileName) + ": the " + dims(imageW, imageH) + " image holds " + std::to_string(cells) +
               " cells of " + dims(cellW, cellH) + ", the characters " + std::to_string(base) + " to " +
               std::to_string(last) + " need " + std::to_string(count);
    const std::size_t rowBytes = (cellW + 7) / 8;
    const std::size_t glyphBytes = rowBytes * cellH;
    const std::size_t length = std::size_t(count) + std::size_t(count) * glyphBytes;
    if (length > 0xFFFF)
        return name(fileName) + ": the font data of " + std::to_string(length) +
               " bytes exceeds the 65535 bytes its header can announce";

    std::vector<std::uint8_t> data(length, 0);
    for (int i = 0; i < count; ++i)
        data[std::size_t(i)] = std::uint8_t(std::min<std::uint64_t>(static_cast<unsigned char>(s[kWidthTable + base + i]), cellW));
    const auto* pixelsAt = reinterpret_cast<const unsigned char*>(s.data()) + kBffHeader;
    const std::size_t imageStride = std::size_t(imageW) * bytesPerPixel;
    for (int i = 0; i < count; ++i) {
        const std::size_t x0 = std::size_t(i % perRow) * cellW, y0 = std::size_t(i / perRow) * cellH;
        std::uint8_t* glyph = data.data() + count + std::size_t(i) * glyphBytes;
        for (std::size_t y = 0; y < cellH; ++y) {
            const unsigned char* row = pixelsAt + (y0 + y) * imageStride + x0 * bytesPerPixel;
            for (std::size_t x = 0; x < cellW; ++x)
                if (isInk(row + x * bytesPerPixel, bytesPerPixel))
                    glyph[y * rowBytes + x / 8] |= std::uint8_t(0x80u >> (x % 8));
        }
    }

    unsigned sum = 0;
    for (std::uint8_t b : data)
        sum += b;
    font.header = {std::uint8_t(cellW), std::uint8_t(cellH), 1, std::uint8_t(base), std::uint8_t(count & 0xFF),
                   std::uint8_t(length >> 8), std::uint8_t(length & 0xFF), std::uint8_t(sum & 0xFF)};
    font.data = std::move(data);
    return {};
}

// The font file's name with `suffix` in place of a ".bff" ending (any letter case), else appended.
QString besideFont(const QString& fileName, const char* suffix)
{
    QString base = fileName;
    if (base.endsWith(QStringLiteral(".bff"), Qt::CaseInsensitive))
        base.chop(4);
    return base + QLatin1String(suffix);
}

// The font file's base name as a C identifier: letters, digits and '_', lower case, never starting
// with a digit and never a C keyword.
std::string cIdentifier(const QString& fileName)
{
    QString base = QFileInfo(fileName).fileName();
    if (base.endsWith(QStringLiteral(".bff"), Qt::CaseInsensitive))
        base.chop(4);
    std::string id;
    for (const char c : base.toUtf8().toStdString())
        id += std::isalnum(static_cast<unsigned char>(c)) && static_cast<unsigned char>(c) < 0x80
                  ? char(std::tolower(static_cast<unsigned char>(c)))
                  : '_';
    if (id.empty() || std::all_of(id.begin(), id.end(), [](char c) { return c == '_'; }))
        id = "font";
    if (std::isdigit(static_cast<unsigned char>(id[0])))
        id = "font_" + id;
    static const char* const keywords[] = {
        "auto", "break", "case", "char", "const", "continue", "default", "do", "double", "else", "enum", "extern",
        "float", "for", "goto", "if", "inline", "int", "long", "register", "restrict", "return", "short", "signed",
        "sizeof", "static", "struct", "switch", "typedef", "union", "unsigned", "void", "volatile", "while", "bool",
        "true", "false", "main"};
    for (const char* k : keywords)
        if (id == k)
            id += "_font";
    return id;
}

std::string upper(std::string s)
{
    for (char& c : s)
        c = char(std::toupper(static_cast<unsigned char>(c)));
    return s;
}

std::string writeFile(const QString& path, const std::string& data, QString* written)
{
    if (written)
        *written = path;
    if (!writeFileAtomically(path.toStdString(), data))
        return name(path) + ": cannot be written (" + std::strerror(errno) + ")";
    return {};
}

} // namespace

std::string fo_getFontData(const QString& fileName, TFontData& font)
{
    font = TFontData{};
    const QFileInfo info(fileName);
    if (fileName.isEmpty() || !info.exists())
        return name(fileName) + ": no such file";
    if (info.isDir())
        return name(fileName) + ": is a folder, not a BFF font file";
    std::string s;
    if (!readWholeFile(fileName.toStdString(), s))
        return name(fileName) + ": cannot be read (" + std::strerror(errno) + ")";
    return convert(fileName, s, font);
}

int fo_getFontSize(const QString& fileName)
{
    TFontData font;
    return fo_getFontData(fileName, font).empty() ? font.size() : -1;
}

std::vector<std::uint8_t> fontStream(const TFontData& font)
{
    std::vector<std::uint8_t> stream;
    if (font.data.empty())
        return stream;
    stream.reserve(10 + font.data.size());
    stream.push_back(font.header[5]);
    stream.push_back(font.header[6]);
    stream.insert(stream.end(), font.header.begin(), font.header.end());
    stream.insert(stream.end(), font.data.begin(), font.data.end());
    return stream;
}

std::string fo_head(const QString& fileName, QString* written)
{
    TFontData font;
    if (std::string why = fo_getFontData(fileName, font); !why.empty())
        return why;
    const QString path = besideFont(fileName, ".h");
    const std::vector<std::uint8_t> stream = fontStream(font);
    const std::string id = cIdentifier(fileName), ID = upper(id);
    const std::string fontFile = QFileInfo(fileName).fileName().toStdString();
    const std::string headerFile = QFileInfo(path).fileName().toStdString();

    std::string out;
    out.reserve(200 + stream.size() * 6);
    out += "/* " + headerFile + ": the font " + fontFile + " for the QX display module, made by QX-Com.\n";
    out += " * " + id + "[] is the whole stream sent after the font command (ESC \"(0\", or ESC \"{\" n \"F\"\n";
    out += " * for flash block n): the data length (2 bytes, most significant first), the 8-byte header\n";
    out += " * (cell width, cell height, bits per pixel, first character, count, length, check byte) and\n";
    out += " * the data (one width per character, then the 1-bit glyphs, rows of whole bytes). */\n";
    out += "#ifndef QX_FONT_" + ID + "_H\n";
    out += "#define QX_FONT_" + ID + "_H\n\n";
    out += "#include <stdint.h>\n\n";
    const auto define = [&](const char* what, int value) {
        out += "#define " + ID + what + " " + std::to_string(value) + "\n";
    };
    define("_CELL_WIDTH", font.cellWidth());
    define("_CELL_HEIGHT", font.cellHeight());
    define("_FIRST_CHAR", font.firstChar());
    define("_CHAR_COUNT", font.count());
    define("_DATA_LENGTH", font.size() + 1);
    define("_STREAM_LENGTH", int(stream.size()));
    out += "\nstatic const uint8_t " + id + "[" + ID + "_STREAM_LENGTH] = {\n";
    char hex[8];
    for (std::size_t i = 0; i < stream.size(); ++i) {
        if (i % 16 == 0)
            out += "   ";
        std::snprintf(hex, sizeof hex, " 0x%02X", stream[i]);
        out += hex;
        if (i + 1 < stream.size())
            out += ',';
        if (i % 16 == 15 || i + 1 == stream.size())
            out += '\n';
    }
    out += "};\n\n#endif\n";
    return writeFile(path, out, written);
}

std::string fo_binary(const QString& fileName, QString* written)
{
    TFontData font;
    if (std::string why = fo_getFontData(fileName, font); !why.empty())
        return why;
    const std::vector<std::uint8_t> stream = fontStream(font);
    return writeFile(besideFont(fileName, ".bin"), std::string(stream.begin(), stream.end()), written);
}

QImage fontPreview(const TFontData& font, int columns)
{
    if (font.data.empty() || font.cellWidth() == 0 || font.cellHeight() == 0)
        return {};
    const int count = font.count(), cw = font.cellWidth(), ch = font.cellHeight();
    const std::size_t rowBytes = std::size_t(cw + 7) / 8, glyphBytes = rowBytes * ch;
    if (font.data.size() < std::size_t(count) + std::size_t(count) * glyphBytes)
        return {};
    const int cols = std::clamp(columns, 1, count);
    const int rows = (count + cols - 1) / cols;
    QImage image(cols * (cw + 1) - 1, rows * (ch + 1) - 1, QImage::Format_RGB32);
    if (image.isNull())
        return {};
    image.fill(Qt::white);
    const QRgb ink = qRgb(0, 0, 0);
    for (int i = 0; i < count; ++i) {
        const std::uint8_t* glyph = font.data.data() + count + std::size_t(i) * glyphBytes;
        const int x0 = (i % cols) * (cw + 1), y0 = (i / cols) * (ch + 1);
        for (int y = 0; y < ch; ++y) {
            auto* line = reinterpret_cast<QRgb*>(image.scanLine(y0 + y));
            for (int x = 0; x < cw; ++x)
                if ((glyph[std::size_t(y) * rowBytes + std::size_t(x) / 8] >> (7 - x % 8)) & 1)
                    line[x0 + x] = ink;
        }
    }
    return image;
}
