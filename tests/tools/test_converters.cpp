// The picture and font converters against files written byte by byte (ImageFiles.h), the
// simulated display's own parsing of the streams, the system C compiler for the ".h" files, and
// the sample files shipped in qxtools/samples.
#include "AtomicFile.h"
#include "BitmapConverter.h"
#include "FontConverter.h"
#include "ImageFiles.h"
#include "TestSupport.h"

#include "screen.h"  // devsim: parseDisplayFont, Screen

#include <gtest/gtest.h>

#include <QString>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>
#include <sys/stat.h>
#include <vector>

using namespace imagefiles;

namespace {

using Bytes = std::vector<std::uint8_t>;

QString q(const std::string& s) { return QString::fromStdString(s); }

std::string write(const TTempDir& dir, const std::string& name, const std::string& data)
{
    const std::string path = dir / name;
    EXPECT_TRUE(writeFileAtomically(path, data)) << path;
    return path;
}

std::string readAll(const std::string& path)
{
    std::string data;
    readWholeFile(path, data);
    return data;
}

std::uint32_t colourAt(int x, int y) { return (std::uint32_t(x * 37 + 11) & 0xFF) << 16 | (std::uint32_t(y * 53 + 7) & 0xFF) << 8 | std::uint32_t((x ^ y) * 29 & 0xFF); }

// The stream a picture of colour(x, y) must give: the size, then RGB rows from the top.
Bytes expectedStream(int w, int h, const std::function<std::uint32_t(int, int)>& colour)
{
    Bytes s = {Bytes::value_type(w >> 8), Bytes::value_type(w), Bytes::value_type(h >> 8), Bytes::value_type(h)};
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) {
            const std::uint32_t c = colour(x, y);
            s.push_back(Bytes::value_type(c >> 16));
            s.push_back(Bytes::value_type(c >> 8));
            s.push_back(Bytes::value_type(c));
        }
    return s;
}

bool contains(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

} // namespace

TEST(BitmapConverter, RowOrderPaddingAndHeaderKinds)
{
    TTempDir dir;
    for (const int w : {1, 2, 3, 5}) {
        for (const int h : {1, 3}) {
            for (const int kind : {0, 1, 2}) {  // bottom-up, top-down, core header
                TBmpShape shape{w, h, 24, kind == 1, kind == 2};
                const std::string path = write(dir, "p.bmp", makeBmp(shape, colourAt));
                SCOPED_TRACE(std::to_string(w) + " x " + std::to_string(h) + " kind " + std::to_string(kind));
                TBmpHeader header{};
                EXPECT_EQ(head_bmp(q(path), header), "");
                EXPECT_EQ(bmpDepth(header), 24);
                EXPECT_EQ(bmpWidth(header), w);
                EXPECT_EQ(bmpHeight(header), h);
                Bytes stream;
                EXPECT_EQ(fill_bmp(q(path), stream), "");
                EXPECT_EQ(stream, expectedStream(w, h, colourAt));
            }
        }
    }

    // The example of docs/formats.md: 2 x 1, red then blue.
    const std::string path = write(dir, "ex.bmp", makeBmp({2, 1}, [](int x, int) { return x ? 0x0000FFu : 0xFF0000u; }));
    Bytes stream;
    EXPECT_EQ(fill_bmp(q(path), stream), "");
    EXPECT_EQ(stream, (Bytes{0x00, 0x02, 0x00, 0x01, 0xFF, 0x00, 0x00, 0x00, 0x00, 0xFF}));
}

TEST(BitmapConverter, FullScreenPictureAndItsPreview)
{
    TTempDir dir;
    const std::string path = write(dir, "screen.bmp", makeBmp({240, 320}, colourAt));
    Bytes stream;
    ASSERT_EQ(fill_bmp(q(path), stream), "");
    ASSERT_EQ(stream.size(), 230404u);
    EXPECT_EQ(stream, expectedStream(240, 320, colourAt));

    // The preview and the simulated display draw the same pixels from the stream.
    const QImage image = pictureFromStream(stream);
    ASSERT_FALSE(image.isNull());
    EXPECT_EQ(image.size(), QSize(240, 320));
    EXPECT_EQ(image.format(), QImage::Format_RGB888);
    devsim::Screen screen(240, 320);
    screen.drawPicture(0, 0, 240, 320, std::string_view(reinterpret_cast<const char*>(stream.data()) + 4, stream.size() - 4));
    bool same = true;
    for (int y = 0; y < 320 && same; ++y)
        same = std::memcmp(image.constScanLine(y), screen.pixels().data() + std::size_t(y) * 240 * 3, 240 * 3) == 0;
    EXPECT_TRUE(same);
    EXPECT_EQ(image.pixel(7, 9), qRgb(int(colourAt(7, 9) >> 16), int(colourAt(7, 9) >> 8 & 0xFF), int(colourAt(7, 9) & 0xFF)));

    // Extra bytes are not the display's; too few, or a size of 0, is no picture.
    Bytes longer = stream;
    longer.push_back(1);
    EXPECT_EQ(pictureFromStream(longer), image);
    EXPECT_TRUE(pictureFromStream(Bytes(stream.begin(), stream.end() - 1)).isNull());
    EXPECT_TRUE(pictureFromStream(Bytes{0, 2, 0}).isNull());
    EXPECT_TRUE(pictureFromStream(Bytes{0, 0, 0, 1}).isNull());
    EXPECT_TRUE(pictureFromStream(Bytes{0, 1, 0, 0}).isNull());
    EXPECT_FALSE(pictureFromStream(Bytes{0, 1, 0, 1, 1, 2, 3}).isNull());
}

TEST(BitmapConverter, OtherDepthsKeepTheirDepthAndStillConvert)
{
    TTempDir dir;
    std::vector<std::uint32_t> palette;
    for (std::uint32_t i = 0; i < 256; ++i)
        palette.push_back(i << 16 | (255 - i) << 8 | ((i * 3) & 0xFF));
    const auto index = [](int x, int y) { return std::uint32_t(x * 7 + y * 13) & 0xFF; };
    const auto viaPalette = [&](std::uint32_t mask) {
        return [&, mask](int x, int y) { return palette[index(x, y) & mask]; };
    };
    struct Case {
        int bpp;
        std::function<std::uint32_t(int, int)> raw;
        std::function<std::uint32_t(int, int)> colour;
        std::vector<std::uint32_t> palette;
    };
    // 16 bits: 5-5-5 with full and empty channels only.
    const auto raw16 = [](int x, int y) { return std::uint32_t((x & 1 ? 0x7C00 : 0) | (y & 1 ? 0x03E0 : 0) | ((x + y) % 3 ? 0x1F : 0)); };
    const auto colour16 = [](int x, int y) { return std::uint32_t((x & 1 ? 0xFF0000 : 0) | (y & 1 ? 0xFF00 : 0) | ((x + y) % 3 ? 0xFF : 0)); };
    const std::vector<Case> cases = {
        {1, [&](int x, int y) { return index(x, y) & 1; }, viaPalette(1), {palette[0], palette[1]}},
        {4, [&](int x, int y) { return index(x, y) & 15; }, viaPalette(15), std::vector<std::uint32_t>(palette.begin(), palette.begin() + 16)},
        {8, index, viaPalette(255), palette},
        {16, raw16, colour16, {}},
        {32, colourAt, colourAt, {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.bpp);
        for (const bool topDown : {false, true}) {
            const std::string path = write(dir, "d.bmp", makeBmp({5, 3, c.bpp, topDown}, c.raw, c.palette));
            TBmpHeader header{};
            EXPECT_EQ(head_bmp(q(path), header), "");
            EXPECT_EQ(bmpDepth(header), c.bpp);
            EXPECT_EQ(bmpWidth(header), 5);
            EXPECT_EQ(bmpHeight(header), 3);
            Bytes stream;
            EXPECT_EQ(fill_bmp(q(path), stream), "");
            const Bytes expected = expectedStream(5, 3, c.colour);
            if (c.bpp != 16) {
                EXPECT_EQ(stream, expected);
                continue;
            }
            // Qt widens 5 bits by shifting (31 becomes 248, not 255): near enough.
            ASSERT_EQ(stream.size(), expected.size());
            for (std::size_t i = 0; i < stream.size(); ++i)
                EXPECT_NEAR(stream[i], expected[i], 7) << i;
        }
    }
}

TEST(BitmapConverter, BrokenFilesGiveMessagesNamingThem)
{
    TTempDir dir;
    const std::string good = makeBmp({5, 4}, colourAt);
    struct Case {
        std::string name, data, part;
        bool headerOk;  // the header alone is intact
    };
    const std::vector<Case> cases = {
        {"empty.bmp", "", "empty", false},
        {"text.bmp", "hello, world, this is not a picture at all\n", "not a bitmap", false},
        {"short.bmp", good.substr(0, 20), "header is truncated", false},
        {"shorter.bmp", "BM", "header is truncated", false},
        {"cut.bmp", good.substr(0, good.size() - 3), "pixel data is truncated", true},
        {"nopixels.bmp", good.substr(0, 54), "pixel data is truncated", true},
        {"depth.bmp", good.substr(0, 28) + '\x07' + good.substr(29), "colour depth of 7", false},
        {"zero.bmp", good.substr(0, 18) + std::string(4, '\0') + good.substr(22), "no pixels", false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string path = write(dir, c.name, c.data);
        TBmpHeader header{};
        const std::string headMessage = head_bmp(q(path), header);
        EXPECT_EQ(headMessage.empty(), c.headerOk) << headMessage;
        Bytes stream{1, 2, 3};
        const std::string message = fill_bmp(q(path), stream);
        EXPECT_TRUE(contains(message, path)) << message;
        EXPECT_TRUE(contains(message, c.part)) << message;
        EXPECT_TRUE(stream.empty());
    }
    const std::string missing = dir / "missing.bmp";
    TBmpHeader header{};
    EXPECT_EQ(head_bmp(q(missing), header), missing + ": no such file");
    Bytes stream;
    EXPECT_EQ(fill_bmp(q(missing), stream), missing + ": no such file");
    EXPECT_TRUE(contains(fill_bmp(q(dir.path()), stream), "folder"));
    EXPECT_TRUE(contains(fill_bmp(QString(), stream), "no such file"));
}

TEST(BitmapConverter, PicturesBeyondTheBufferAreRefused)
{
    TTempDir dir;
    const std::string big = write(dir, "big.bmp", makeBmp({400, 300}, colourAt));
    TBmpHeader header{};
    EXPECT_EQ(head_bmp(q(big), header), "");
    EXPECT_EQ(bmpWidth(header), 400);
    EXPECT_EQ(bmpHeight(header), 300);
    Bytes stream;
    EXPECT_EQ(fill_bmp(q(big), stream),
              big + ": the picture is 400 x 300, its stream of 360004 bytes exceeds the 300001-byte picture buffer");
    EXPECT_TRUE(stream.empty());

    // The size is refused from the header, before any pixel is looked at.
    const std::string huge = write(dir, "huge.bmp", makeBmp({4000, 3000}, colourAt).substr(0, 54));
    EXPECT_TRUE(contains(fill_bmp(q(huge), stream), "exceeds the 300001-byte picture buffer"));

    // 271 x 369 = 99999 pixels, exactly a full buffer; one row more is too much.
    const std::string full = write(dir, "full.bmp", makeBmp({271, 369}, colourAt));
    EXPECT_EQ(fill_bmp(q(full), stream), "");
    EXPECT_EQ(stream.size(), kPictureBufferSize);
    const std::string over = write(dir, "over.bmp", makeBmp({271, 370}, colourAt));
    EXPECT_TRUE(contains(fill_bmp(q(over), stream), "300814 bytes"));
    EXPECT_TRUE(stream.empty());
}

namespace {

// A font of characters 32 to 40 in 10 x 5 cells (two bytes a glyph row), 4 cells a row.
TBffShape testFont(int bpp)
{
    TBffShape f{40, 15, 10, 5, bpp, 32, {}};
    for (int c = 32; c <= 40; ++c)
        f.widths[std::size_t(c)] = std::uint8_t(c - 28);
    f.widths[20] = 9;    // below the base character: not in the font
    f.widths[33] = 200;  // clamped to the cell width
    f.widths[35] = 0;    // inside the range: kept, with width 0
    return f;
}

bool testInk(int x, int y) { return (x * 3 + y * 5) % 7 < 3 || x == y; }

// The data the test font must give, from the docs' layout.
Bytes testFontData()
{
    const TBffShape f = testFont(8);
    Bytes data;
    for (int c = 32; c <= 40; ++c)
        data.push_back(std::min<std::uint8_t>(f.widths[std::size_t(c)], 10));
    for (int i = 0; i < 9; ++i)
        for (int y = 0; y < 5; ++y) {
            std::uint8_t bytes[2] = {0, 0};
            for (int x = 0; x < 10; ++x)
                if (testInk(i % 4 * 10 + x, i / 4 * 5 + y))
                    bytes[x / 8] |= std::uint8_t(0x80 >> (x % 8));
            data.push_back(bytes[0]);
            data.push_back(bytes[1]);
        }
    return data;
}

std::string streamText(const Bytes& s) { return std::string(s.begin(), s.end()); }

} // namespace

TEST(FontConverter, DocsExample)
{
    TTempDir dir;
    TBffShape f{3, 2, 3, 2, 24, 65, {}};
    f.widths[65] = 3;
    const std::string path = write(dir, "a.bff", makeBff(f, [](int x, int y) { return y == 1 || x != 1; }));
    TFontData font;
    ASSERT_EQ(fo_getFontData(q(path), font), "");
    EXPECT_EQ(fontStream(font), (Bytes{0x00, 0x03, 0x03, 0x02, 0x01, 0x41, 0x01, 0x00, 0x03, 0x83, 0x03, 0xA0, 0xE0}));
    EXPECT_EQ(font.size(), 2);
    EXPECT_EQ(fo_getFontSize(q(path)), 2);
    devsim::DisplayFont shown;
    EXPECT_TRUE(devsim::parseDisplayFont(streamText(fontStream(font)), shown));
}

TEST(FontConverter, DepthsWidthsAndRange)
{
    TTempDir dir;
    const Bytes expected = testFontData();
    for (const int bpp : {8, 24, 32}) {
        SCOPED_TRACE(bpp);
        const std::string path = write(dir, "f" + std::to_string(bpp) + ".bff", makeBff(testFont(bpp), testInk));
        TFontData font;
        ASSERT_EQ(fo_getFontData(q(path), font), "");
        EXPECT_EQ(font.data, expected);
        EXPECT_EQ(font.cellWidth(), 10);
        EXPECT_EQ(font.cellHeight(), 5);
        EXPECT_EQ(font.header[2], 1);
        EXPECT_EQ(font.firstChar(), 32);
        EXPECT_EQ(font.count(), 9);
        EXPECT_EQ(font.size(), 9 + 9 * 5 * 2 - 1);
        EXPECT_EQ(fo_getFontSize(q(path)), font.size());
        EXPECT_EQ((font.header[5] << 8) | font.header[6], int(expected.size()));
        unsigned sum = 0;
        for (std::uint8_t b : expected)
            sum += b;
        EXPECT_EQ(font.header[7], sum & 0xFF);

        const Bytes stream = fontStream(font);
        devsim::DisplayFont shown;
        ASSERT_TRUE(devsim::parseDisplayFont(streamText(stream), shown));
        EXPECT_EQ(shown.first, 32);
        EXPECT_EQ(shown.count, 9);
        EXPECT_EQ(shown.widths, std::string(expected.begin(), expected.begin() + 9));
    }

    // A full font of 256 characters announces its count as 0.
    TBffShape all{16 * 4, 16 * 3, 4, 3, 8, 0, {}};
    all.widths.fill(4);
    const std::string path = write(dir, "all.bff", makeBff(all, testInk));
    TFontData font;
    ASSERT_EQ(fo_getFontData(q(path), font), "");
    EXPECT_EQ(font.header[4], 0);
    EXPECT_EQ(font.count(), 256);
    devsim::DisplayFont shown;
    EXPECT_TRUE(devsim::parseDisplayFont(streamText(fontStream(font)), shown));
    EXPECT_EQ(shown.count, 256);
}

TEST(FontConverter, PreviewDrawsTheGlyphs)
{
    TTempDir dir;
    const std::string path = write(dir, "f.bff", makeBff(testFont(24), testInk));
    TFontData font;
    ASSERT_EQ(fo_getFontData(q(path), font), "");
    const QImage image = fontPreview(font, 4);
    ASSERT_EQ(image.size(), QSize(4 * 11 - 1, 3 * 6 - 1));
    for (int i = 0; i < 9; ++i)
        for (int y = 0; y < 5; ++y)
            for (int x = 0; x < 10; ++x)
                ASSERT_EQ(image.pixel(i % 4 * 11 + x, i / 4 * 6 + y),
                          testInk(i % 4 * 10 + x, i / 4 * 5 + y) ? qRgb(0, 0, 0) : qRgb(255, 255, 255))
                    << i << " " << x << "," << y;
    EXPECT_EQ(image.pixel(10, 0), qRgb(255, 255, 255));  // the gap
    EXPECT_EQ(fontPreview(font, 16).size(), QSize(9 * 11 - 1, 5));  // fewer characters than columns
    EXPECT_TRUE(fontPreview(TFontData{}).isNull());
}

TEST(FontConverter, BrokenFontsGiveMessagesNamingThem)
{
    TTempDir dir;
    const std::string good = makeBff(testFont(24), testInk);
    const auto with = [](TBffShape f, auto change) {
        change(f);
        return makeBff(f, testInk);
    };
    struct Case {
        std::string name, data, part;
    };
    const std::vector<Case> cases = {
        {"empty.bff", "", "empty"},
        {"text.bff", "BFF? no, a text file, long enough to hold a header of 276 bytes" + std::string(300, '.'), "not a BFF font"},
        {"short.bff", good.substr(0, 100), "header is truncated"},
        {"cut.bff", good.substr(0, good.size() - 1), "pixel data is truncated"},
        {"depth.bff", good.substr(0, 18) + '\x10' + good.substr(19), "unsupported depth of 16"},
        {"cell0.bff", with(testFont(8), [](TBffShape& f) { f.cellWidth = 0; }), "not 1 to 255"},
        {"cell256.bff", with(testFont(8), [](TBffShape& f) { f.imageWidth = f.cellWidth = 256; }), "not 1 to 255"},
        {"wide.bff", with(testFont(8), [](TBffShape& f) { f.cellHeight = 16; }), "does not fit"},
        {"few.bff", with(testFont(8), [](TBffShape& f) { f.widths[44] = 1; }), "need 13"},
        {"none.bff", with(testFont(8), [](TBffShape& f) { f.widths.fill(0); f.widths[31] = 5; }), "no characters"},
        {"huge.bff", with(TBffShape{765, 765, 255, 255, 8, 0, {}}, [](TBffShape& f) { f.widths[8] = 1; }),
         "73449 bytes exceeds"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string path = write(dir, c.name, c.data);
        TFontData font;
        const std::string message = fo_getFontData(q(path), font);
        EXPECT_TRUE(contains(message, path)) << message;
        EXPECT_TRUE(contains(message, c.part)) << message;
        EXPECT_TRUE(font.data.empty());
        EXPECT_EQ(fo_getFontSize(q(path)), -1);
        EXPECT_EQ(fo_head(q(path)), message);
        EXPECT_EQ(fo_binary(q(path)), message);
    }
    const std::string missing = dir / "missing.bff";
    TFontData font;
    EXPECT_EQ(fo_getFontData(q(missing), font), missing + ": no such file");
    EXPECT_EQ(fo_getFontSize(q(missing)), -1);
    EXPECT_EQ(fo_head(q(missing)), missing + ": no such file");
    struct stat st {};
    EXPECT_NE(::stat((dir / "missing.h").c_str(), &st), 0);
}

TEST(FontConverter, HeaderFileCompilesToTheBinaryFile)
{
    if (std::system("command -v cc >/dev/null 2>&1") != 0)
        GTEST_SKIP() << "no C compiler (cc)";
    TTempDir dir;
    const std::string path = write(dir, "My Font-8x5.BFF", makeBff(testFont(32), testInk));
    QString header, binary;
    ASSERT_EQ(fo_head(q(path), &header), "");
    ASSERT_EQ(fo_binary(q(path), &binary), "");
    EXPECT_EQ(header.toStdString(), dir / "My Font-8x5.h");
    EXPECT_EQ(binary.toStdString(), dir / "My Font-8x5.bin");
    TFontData font;
    ASSERT_EQ(fo_getFontData(q(path), font), "");
    const Bytes stream = fontStream(font);
    EXPECT_EQ(readAll(binary.toStdString()), streamText(stream));
    const std::string text = readAll(header.toStdString());
    EXPECT_TRUE(contains(text, "#include <stdint.h>")) << text;
    EXPECT_TRUE(contains(text, "my_font_8x5[MY_FONT_8X5_STREAM_LENGTH] = {\n    0x00, 0x63, 0x0A,")) << text;

    // Included twice (the guard) into a program that checks the sizes and writes the array out.
    write(dir, "main.c",
          "#include <stdio.h>\n"
          "#include \"My Font-8x5.h\"\n"
          "#include \"My Font-8x5.h\"\n"
          "int main(int argc, char** argv) {\n"
          "    if (argc < 2 || sizeof my_font_8x5 != MY_FONT_8X5_DATA_LENGTH + 10) return 2;\n"
          "    if (MY_FONT_8X5_CELL_WIDTH != 10 || MY_FONT_8X5_CELL_HEIGHT != 5 || MY_FONT_8X5_FIRST_CHAR != 32\n"
          "        || MY_FONT_8X5_CHAR_COUNT != 9) return 3;\n"
          "    FILE* f = fopen(argv[1], \"wb\");\n"
          "    if (!f || fwrite(my_font_8x5, 1, sizeof my_font_8x5, f) != sizeof my_font_8x5) return 4;\n"
          "    return fclose(f) == 0 ? 0 : 5;\n"
          "}\n");
    const std::string cmd = "cd '" + dir.path() + "' && cc -std=c99 -Wall -Wextra -pedantic -Werror -o dump main.c 2>compile.log && ./dump out.bin";
    ASSERT_EQ(std::system(cmd.c_str()), 0) << readAll(dir / "compile.log") << text;
    EXPECT_EQ(readAll(dir / "out.bin"), readAll(binary.toStdString()));

    // A name without ".bff" gets the endings added; a name starting with a digit a prefix.
    const std::string other = write(dir, "8x5.fnt", makeBff(testFont(8), testInk));
    ASSERT_EQ(fo_head(q(other), &header), "");
    EXPECT_EQ(header.toStdString(), dir / "8x5.fnt.h");
    EXPECT_TRUE(contains(readAll(header.toStdString()), "static const uint8_t font_8x5_fnt[FONT_8X5_FNT_STREAM_LENGTH]"));
    ASSERT_EQ(fo_binary(q(other), &binary), "");
    EXPECT_EQ(binary.toStdString(), dir / "8x5.fnt.bin");

    // A target that cannot be written: the message names it and gives the system's reason.
    ::unlink((dir / "8x5.fnt.bin").c_str());
    ASSERT_EQ(::mkdir((dir / "8x5.fnt.bin").c_str(), 0755), 0);
    const std::string message = fo_binary(q(other), &binary);
    EXPECT_EQ(message, dir / "8x5.fnt.bin" + ": cannot be written (Is a directory)");
}

#ifdef QX_SAMPLES_DIR
TEST(Samples, ShippedFilesConvert)
{
    const std::string dir = QX_SAMPLES_DIR;
    const struct {
        const char* name;
        int w, h;
        std::size_t maxBytes;
    } pictures[] = {{"qx-logo.bmp", 120, 80, 40000}, {"qx-small.bmp", 37, 21, 40000}};
    for (const auto& p : pictures) {
        SCOPED_TRACE(p.name);
        const std::string path = dir + p.name;
        EXPECT_LE(readAll(path).size(), p.maxBytes);
        TBmpHeader header{};
        ASSERT_EQ(head_bmp(q(path), header), "");
        EXPECT_EQ(bmpDepth(header), 24);
        Bytes stream;
        ASSERT_EQ(fill_bmp(q(path), stream), "");
        EXPECT_EQ(stream.size(), std::size_t(p.w) * p.h * 3 + 4);
        EXPECT_EQ(pictureFromStream(stream).size(), QSize(p.w, p.h));
    }
    const std::string font = dir + "qx-font-8x12.bff";
    TFontData data;
    ASSERT_EQ(fo_getFontData(q(font), data), "");
    EXPECT_EQ(data.firstChar(), 32);
    EXPECT_EQ(data.count(), 95);
    EXPECT_EQ(data.cellWidth(), 8);
    EXPECT_EQ(data.cellHeight(), 12);
    EXPECT_EQ(fo_getFontSize(q(font)), 95 + 95 * 12 - 1);
    EXPECT_LE(fo_getFontSize(q(font)), 8190);
    devsim::DisplayFont shown;
    EXPECT_TRUE(devsim::parseDisplayFont(streamText(fontStream(data)), shown));
}
#endif
