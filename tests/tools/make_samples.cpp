// Writes the sample files of qxtools/samples: two 24-bit bitmaps (qx-logo.bmp, 120 x 80, and
// qx-small.bmp, 37 x 21, an odd width so its rows are padded) and a 24-bit BFF font of the printable
// ASCII characters in 8 x 12 cells drawn from DejaVu Sans Mono (qx-font-8x12.bff). Run by hand; the
// files are committed:
//   QT_QPA_PLATFORM=offscreen build/tests/tools/make_samples qxtools/samples
#include "AtomicFile.h"
#include "ImageFiles.h"

#include <QFont>
#include <QFontMetrics>
#include <QGuiApplication>
#include <QImage>
#include <QLinearGradient>
#include <QPainter>
#include <QPainterPath>

#include <algorithm>
#include <cstdio>
#include <string>

namespace {

bool save(const std::string& path, const std::string& data)
{
    if (!writeFileAtomically(path, data)) {
        std::perror(path.c_str());
        return false;
    }
    std::printf("%s: %zu bytes\n", path.c_str(), data.size());
    return true;
}

std::string bitmapOf(const QImage& picture)
{
    const QImage rgb = picture.convertToFormat(QImage::Format_RGB32);
    return imagefiles::makeBmp({rgb.width(), rgb.height()}, [&](int x, int y) { return rgb.pixel(x, y) & 0xFFFFFFu; });
}

QImage logo()
{
    QImage image(120, 80, QImage::Format_RGB32);
    QPainter p(&image);
    p.setRenderHint(QPainter::Antialiasing);
    QLinearGradient sky(0, 0, 120, 80);
    sky.setColorAt(0, QColor(0x10, 0x30, 0x90));
    sky.setColorAt(0.5, QColor(0x30, 0x90, 0xD0));
    sky.setColorAt(1, QColor(0x10, 0xA0, 0x70));
    p.fillRect(image.rect(), sky);
    p.setPen(Qt::NoPen);
    p.setBrush(QColor(0xFF, 0xC0, 0x20));
    p.drawEllipse(QPointF(104, 13), 9, 9);
    p.setBrush(QColor(0xE0, 0x30, 0x40));
    p.drawRoundedRect(QRectF(8, 50, 30, 20), 5, 5);
    p.setBrush(QColor(0x90, 0x40, 0xC0));
    QPainterPath triangle;
    triangle.moveTo(46, 70);
    triangle.lineTo(60, 48);
    triangle.lineTo(74, 70);
    triangle.closeSubpath();
    p.drawPath(triangle);
    p.setBrush(QColor(0x40, 0xD0, 0x60));
    p.drawRect(QRectF(82, 52, 28, 18));
    QFont font(QStringLiteral("DejaVu Sans"));
    font.setPixelSize(20);
    font.setBold(true);
    p.setFont(font);
    p.setPen(QColor(0, 0, 0, 120));
    p.drawText(QRectF(7, 8, 110, 32), Qt::AlignLeft | Qt::AlignVCenter, QStringLiteral("QX-Com"));
    p.setPen(Qt::white);
    p.drawText(QRectF(5, 6, 110, 32), Qt::AlignLeft | Qt::AlignVCenter, QStringLiteral("QX-Com"));
    p.setPen(QPen(Qt::white, 1));
    p.setBrush(Qt::NoBrush);
    p.drawRect(QRectF(0.5, 0.5, 119, 79));
    return image;
}

QImage small()
{
    QImage image(37, 21, QImage::Format_RGB32);
    for (int y = 0; y < 21; ++y)
        for (int x = 0; x < 37; ++x) {
            const QColor bar = QColor::fromHsv(x * 359 / 37, 255, 255 - y * 6);
            image.setPixel(x, y, (x == y || x == 36 - y) ? qRgb(255, 255, 255) : bar.rgb());
        }
    // A one-pixel black frame, so a viewer sees the first and last row and column.
    for (int x = 0; x < 37; ++x) {
        image.setPixel(x, 0, 0);
        image.setPixel(x, 20, 0);
    }
    for (int y = 0; y < 21; ++y) {
        image.setPixel(0, y, 0);
        image.setPixel(36, y, 0);
    }
    return image;
}

// The BFF font: 16 cells a row, white ink on black, characters 32 to 126.
std::string font()
{
    constexpr int cellW = 8, cellH = 12, first = 32, last = 126, perRow = 16;
    constexpr int count = last - first + 1, rows = (count + perRow - 1) / perRow;
    QImage image(perRow * cellW, rows * cellH, QImage::Format_RGB32);
    image.fill(Qt::black);
    QFont face(QStringLiteral("DejaVu Sans Mono"));
    face.setPixelSize(11);
    face.setStyleStrategy(QFont::NoAntialias);
    face.setHintingPreference(QFont::PreferFullHinting);
    const QFontMetrics metrics(face);
    std::string widths(256, '\0');
    {
        QPainter p(&image);
        p.setFont(face);
        p.setPen(Qt::white);
        const int baseline = std::min(cellH - 3, metrics.ascent());  // room for "_" and descenders
        for (int c = first; c <= last; ++c) {
            const int i = c - first;
            const QString ch = QChar(char16_t(c));
            const int x = i % perRow * cellW, y = i / perRow * cellH;
            p.setClipRect(x, y, cellW, cellH);
            p.drawText(x, y + baseline, ch);
            widths[std::size_t(c)] = char(std::clamp(metrics.horizontalAdvance(ch), 1, cellW));
        }
    }
    std::string s = "\xBF\xF2";
    imagefiles::put32(s, std::uint32_t(image.width()));
    imagefiles::put32(s, std::uint32_t(image.height()));
    imagefiles::put32(s, cellW);
    imagefiles::put32(s, cellH);
    s += char(24);
    s += char(first);
    s += widths;
    for (int y = 0; y < image.height(); ++y)
        for (int x = 0; x < image.width(); ++x) {
            const QRgb c = image.pixel(x, y);
            s += char(qRed(c));
            s += char(qGreen(c));
            s += char(qBlue(c));
        }
    return s;
}

} // namespace

int main(int argc, char* argv[])
{
    QGuiApplication app(argc, argv);
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s FOLDER\n", argv[0]);
        return 2;
    }
    const std::string dir = std::string(argv[1]) + "/";
    const bool ok = save(dir + "qx-logo.bmp", bitmapOf(logo())) && save(dir + "qx-small.bmp", bitmapOf(small())) &&
                    save(dir + "qx-font-8x12.bff", font());
    return ok ? 0 : 1;
}
