// Benchmark of the picture and font converters (prints figures; not a test): a 240 x 320 24-bit
// bitmap into its stream and back into the preview picture (target under 20 ms), and a
// 256-character BFF font into its data, the ".h" file and the ".bin" file (target under 50 ms).
#include "AtomicFile.h"
#include "BitmapConverter.h"
#include "FontConverter.h"
#include "ImageFiles.h"

#include <QGuiApplication>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

double ms(Clock::duration d) { return std::chrono::duration<double, std::milli>(d).count(); }

void report(const char* what, std::vector<double> v)
{
    std::sort(v.begin(), v.end());
    std::printf("%-52s n=%zu  median %.3f ms  p90 %.3f ms  min %.3f ms  max %.3f ms\n", what, v.size(), v[v.size() / 2],
                v[v.size() * 9 / 10], v.front(), v.back());
}

} // namespace

int main(int argc, char* argv[])
{
    qputenv("QT_QPA_PLATFORM", qgetenv("QT_QPA_PLATFORM").isEmpty() ? "offscreen" : qgetenv("QT_QPA_PLATFORM"));
    QGuiApplication app(argc, argv);
    const int count = argc > 1 ? std::max(10, std::atoi(argv[1])) : 200;

    char tmpl[] = "/tmp/qxconvbenchXXXXXX";
    if (!::mkdtemp(tmpl)) {
        std::perror("mkdtemp");
        return 1;
    }
    const std::string dir = std::string(tmpl) + "/";

    const std::string bmp = dir + "screen.bmp";
    writeFileAtomically(bmp, imagefiles::makeBmp({240, 320}, [](int x, int y) {
        return std::uint32_t(x & 0xFF) << 16 | std::uint32_t(y & 0xFF) << 8 | std::uint32_t((x ^ y) & 0xFF);
    }));
    std::vector<double> picture;
    std::size_t streamBytes = 0;
    for (int i = 0; i < count; ++i) {
        const auto t0 = Clock::now();
        std::vector<std::uint8_t> stream;
        TBmpHeader header{};
        if (!head_bmp(QString::fromStdString(bmp), header).empty() || !fill_bmp(QString::fromStdString(bmp), stream).empty()) {
            std::fprintf(stderr, "bitmap conversion failed\n");
            return 1;
        }
        const QImage preview = pictureFromStream(stream);
        picture.push_back(ms(Clock::now() - t0));
        streamBytes = stream.size() + (preview.isNull() ? 1 : 0);
    }
    std::printf("240 x 320 bitmap: stream of %zu bytes\n", streamBytes);
    report("bitmap -> head, stream, preview (target < 20 ms)", picture);

    // 256 characters in 8 x 16 cells, 32 bits: L = 256 + 256 x 16 = 4352.
    imagefiles::TBffShape shape{16 * 8, 16 * 16, 8, 16, 32, 0, {}};
    shape.widths.fill(7);
    const std::string bff = dir + "font.bff";
    writeFileAtomically(bff, imagefiles::makeBff(shape, [](int x, int y) { return (x * 5 + y * 3) % 7 < 3; }));
    std::vector<double> font;
    int size = 0;
    for (int i = 0; i < count; ++i) {
        const auto t0 = Clock::now();
        TFontData data;
        const QString name = QString::fromStdString(bff);
        if (!fo_getFontData(name, data).empty() || !fo_head(name).empty() || !fo_binary(name).empty()) {
            std::fprintf(stderr, "font conversion failed\n");
            return 1;
        }
        size = data.size();
        font.push_back(ms(Clock::now() - t0));
    }
    std::printf("256-character 8 x 16 font: S = %d, .h file of %ju bytes\n", size,
                std::uintmax_t(std::filesystem::file_size(dir + "font.h")));
    report("font -> data, .h and .bin files (target < 50 ms)", font);

    std::error_code ignored;
    std::filesystem::remove_all(dir, ignored);
    return 0;
}
