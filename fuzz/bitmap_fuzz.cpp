// The bitmap converter on any file: it gives a message or a picture, never a crash; a header it
// reads matches the stream it gives; a stream has exactly width x height x 3 + 4 bytes, fits the
// picture buffer and decodes back to a picture of that size.
#include "BitmapConverter.h"
#include "FuzzGui.h"
#include "FuzzSupport.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    fuzz::ensureGuiApp();

    const std::string path = fuzz::tempDir() + "picture.bmp";
    fuzz::writeFile(path, std::string(reinterpret_cast<const char*>(data), size));
    const QString file = QString::fromStdString(path);

    TBmpHeader header{};
    const std::string headError = head_bmp(file, header);
    std::vector<std::uint8_t> stream{1, 2, 3};
    const std::string fillError = fill_bmp(file, stream);
    FUZZ_CHECK(fillError.empty() != stream.empty(), "a failed conversion leaves no stream: %s", fillError.c_str());
    if (!fillError.empty())
        return 0;
    FUZZ_CHECK(headError.empty(), "a converted file has a readable header: %s", headError.c_str());
    const size_t w = static_cast<size_t>(bmpWidth(header)), h = static_cast<size_t>(bmpHeight(header));
    FUZZ_CHECK(stream.size() == w * h * 3 + 4, "stream of %zu bytes for %zu x %zu", stream.size(), w, h);
    FUZZ_CHECK(stream.size() <= kPictureBufferSize, "stream of %zu bytes beyond the buffer", stream.size());
    FUZZ_CHECK(((stream[0] << 8) | stream[1]) == static_cast<int>(w) && ((stream[2] << 8) | stream[3]) == static_cast<int>(h),
               "the stream's size fields differ from the header");
    const QImage back = pictureFromStream(stream);
    FUZZ_CHECK(!back.isNull() && back.width() == static_cast<int>(w) && back.height() == static_cast<int>(h),
               "the stream does not decode back");
    return 0;
}
