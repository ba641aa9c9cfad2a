// The BFF font reader on any file: it gives a message or a font, never a crash; a font's data is
// exactly its width table and glyphs, its header announces that length and its check byte, the
// size is the length less one, and the preview has a cell for every character.
#include "FontConverter.h"
#include "FuzzGui.h"
#include "FuzzSupport.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    fuzz::ensureGuiApp();

    const std::string path = fuzz::tempDir() + "font.bff";
    fuzz::writeFile(path, std::string(reinterpret_cast<const char*>(data), size));
    const QString file = QString::fromStdString(path);

    TFontData font;
    const std::string error = fo_getFontData(file, font);
    const int s = fo_getFontSize(file);
    if (!error.empty()) {
        FUZZ_CHECK(font.data.empty() && s == -1, "a refused font leaves no data");
        return 0;
    }
    const size_t rowBytes = static_cast<size_t>((font.cellWidth() + 7) / 8);
    const size_t count = static_cast<size_t>(font.count());
    FUZZ_CHECK(font.cellWidth() > 0 && font.cellHeight() > 0 && font.header[2] == 1, "a bad header");
    FUZZ_CHECK(font.data.size() == count + count * static_cast<size_t>(font.cellHeight()) * rowBytes,
               "data of %zu bytes for %zu characters", font.data.size(), count);
    FUZZ_CHECK(((font.header[5] << 8) | font.header[6]) == static_cast<int>(font.data.size()), "wrong length bytes");
    unsigned sum = 0;
    for (std::uint8_t b : font.data)
        sum += b;
    FUZZ_CHECK(font.header[7] == (sum & 0xFF), "wrong check byte");
    FUZZ_CHECK(s == font.size(), "size %d for %zu data bytes", s, font.data.size());
    for (size_t i = 0; i < count; ++i)
        FUZZ_CHECK(font.data[i] <= font.cellWidth(), "a width beyond the cell");
    FUZZ_CHECK(fontStream(font).size() == font.data.size() + 10, "a stream of the wrong length");
    const QImage preview = fontPreview(font);
    FUZZ_CHECK(!preview.isNull() && preview.width() >= font.cellWidth(), "no preview");
    return 0;
}
