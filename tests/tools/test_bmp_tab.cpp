// The BMP tab offscreen in a small window of its own: pictures and fonts sent to a pseudo-terminal
// (every byte checked) and to the simulated display (what it draws and keeps), the flash block
// grid against the simulator's block types, and the refusals with their messages.
#include "AtomicFile.h"
#include "BmpTab.h"
#include "DeviceChannel.h"
#include "FlashPanel.h"
#include "HandOver.h"
#include "ImageFiles.h"
#include "PtyPeer.h"
#include "Ser2net.h"
#include "SnippetLibrary.h"
#include "StringsTab.h"
#include "TestSupport.h"
#include "ToolTestFrame.h"
#include "WindowFixture.h"

#include "VaComm.h"

#include <QCheckBox>
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QTest>
#include <QTextEdit>
#include <QTimer>
#include <QVBoxLayout>

#include <cstdint>
#include <functional>
#include <thread>
#include <memory>
#include <vector>

namespace {

const std::string kEsc = "\x1b";
const QString kBusyRefusal = "Wait for the running operation to end";

// A bitmap file of w x h pixels with the colours of pixel(x, y): 24-bit, or 16-bit (5-5-5).
std::string bitmapFile(int w, int h, int bpp, QRgb (*pixel)(int, int))
{
    return imagefiles::makeBmp({w, h, bpp}, [pixel, bpp](int x, int y) -> uint32_t {
        const QRgb c = pixel(x, y);
        if (bpp == 16)
            return ((qRed(c) >> 3) << 10) | ((qGreen(c) >> 3) << 5) | (qBlue(c) >> 3);
        return c & 0xFFFFFF;
    });
}

QRgb stripes(int x, int y)
{
    return (x + y) % 2 ? qRgb(255, 0, 0) : qRgb(0, 0, 255);
}

QRgb gradient(int x, int y)
{
    return qRgb(x & 0xFF, y & 0xFF, 0x80);
}

// The stream the display takes for a picture of pixel(): size, then RGB rows from the top.
std::string pictureStream(int w, int h, QRgb (*pixel)(int, int))
{
    std::string s{static_cast<char>(w >> 8), static_cast<char>(w & 0xFF), static_cast<char>(h >> 8),
                  static_cast<char>(h & 0xFF)};
    for (int y = 0; y < h; ++y) {
        for (int x = 0; x < w; ++x) {
            s += static_cast<char>(qRed(pixel(x, y)));
            s += static_cast<char>(qGreen(pixel(x, y)));
            s += static_cast<char>(qBlue(pixel(x, y)));
        }
    }
    return s;
}

// A BFF font file of 8-bit pixels: characters first..last in 4 x 5 cells, sixteen to a row, each
// an outline box 3 pixels wide.
std::string fontFile(int first, int last)
{
    const int count = last - first + 1;
    imagefiles::TBffShape shape{4 * 16, 5 * ((count + 15) / 16), 4, 5, 8, first, {}};
    for (int c = first; c <= last; ++c)
        shape.widths[static_cast<size_t>(c)] = 3;
    return imagefiles::makeBff(shape, [](int x, int y) {
        const int cx = x % 4, cy = y % 5;
        return cx < 3 && (cy == 0 || cy == 4 || cx == 0 || cx == 2);
    });
}

std::string bytesOf(const std::vector<uint8_t>& v)
{
    return {v.begin(), v.end()};
}

// The window around the tab, with the Strings tab beside it on the same context.
class TTestFrame : public TToolTestFrame {
public:
    TTestFrame() : tab(new TBmpTab(context, this)), strings(new TStringsTab(context, this))
    {
        layout->insertWidget(0, tab, 1);
        layout->insertWidget(1, strings);
    }
    TBmpTab* tab;
    TStringsTab* strings;
};

} // namespace

class TestBmpTab : public QObject {
    Q_OBJECT

    std::unique_ptr<TTempDir> dir_;
    std::unique_ptr<TTestFrame> frame_;
    std::unique_ptr<PtyPeer> pty_;
    std::unique_ptr<TDevsim> devsim_;

    TBmpTab* tab() { return frame_->tab; }
    TFlashPanel* flash() { return frame_->tab->flash; }
    std::string path(const std::string& name) { return dir_->path() + name; }
    std::string status() { return frame_->status->toPlainText().toStdString(); }

    std::string file(const std::string& name, const std::string& content)
    {
        writeFileAtomically(path(name), content);
        return path(name);
    }

    void choose(QComboBox* box, const std::string& file)
    {
        box->addItem(QString::fromStdString(file));
        box->setCurrentIndex(box->count() - 1);
        tab()->refreshTools();
    }

    void openPty()
    {
        pty_ = std::make_unique<PtyPeer>();
        frame_->port.SetDeviceName(pty_->SlavePath());
        frame_->port.Open();
        QVERIFY(frame_->port.Active());
    }

    void openDevsim(const std::string& profile)
    {
        devsim_ = std::make_unique<TDevsim>(DEVSIM_EXE, dir_->path(), profile);
        QVERIFY(devsim_->ok());
        frame_->port.SetDeviceName(devsim_->link());
        frame_->port.Open();
        QVERIFY(frame_->port.Active());
    }

    // What qx-devsim keeps in its output folder under a name.
    std::string kept(const std::string& name)
    {
        std::string data;
        for (int i = 0; i < 500 && !readWholeFile(devsim_->outDir() + name, data); ++i)
            QTest::qWait(10);
        return data;
    }

    // Runs an action while a thread reads count bytes from the pty, as a device would.
    std::string whileReading(size_t count, const std::function<void()>& action, int ms = 20000)
    {
        std::string got;
        std::thread reader([&] { got = pty_->Read(count, std::chrono::milliseconds(ms)); });
        action();
        reader.join();
        return got;
    }

    void selectBlock(const QString& number, const QString& type)
    {
        tab()->lblBlockNumber->setText(number);
        tab()->lblFlashType->setText(type);
    }

private slots:
    void initTestCase() { installHandOver(); }

    void init()
    {
        dir_ = std::make_unique<TTempDir>("qxbmptab");
        frame_ = std::make_unique<TTestFrame>();
        frame_->show();
        rxBuffer.clear();
        replyTerminator = "*";
    }

    void cleanup()
    {
        frame_.reset();
        devsim_.reset();
        pty_.reset();
        dir_.reset();
    }

    void refreshShowsThePictureFromItsStream()
    {
        choose(tab()->cboBMPfileName, file("stripes.bmp", bitmapFile(5, 3, 24, stripes)));
        QCOMPARE(tab()->lblWidth->text(), QString("5"));
        QCOMPARE(tab()->lblHeight->text(), QString("3"));
        QCOMPARE(tab()->lblDepth->text(), QString("24"));
        QCOMPARE(tab()->lblBMPfileName->text(), QString("stripes.bmp"));
        const QImage shown = tab()->Image1->pixmap().toImage();
        for (int y = 0; y < 3; ++y)
            for (int x = 0; x < 5; ++x)
                QCOMPARE(shown.pixel(x, y), stripes(x, y));
        QCOMPARE(shown.pixel(5, 0), qRgb(0, 0, 0)); // beyond the picture: the screen
        QVERIFY(status().find("Ready\n") != std::string::npos);
        QVERIFY(status().find("Can't open bmp file") == std::string::npos);

        // A picture larger than the screen is shown whole, scaled without distortion.
        choose(tab()->cboBMPfileName, file("wide.bmp", bitmapFile(300, 30, 24, gradient)));
        const QImage wide = tab()->Image1->pixmap().toImage();
        QCOMPARE(wide.pixel(239, 23) != qRgb(0, 0, 0), true);
        QCOMPARE(wide.pixel(10, 25), qRgb(0, 0, 0));

        // A file that is gone: the red line, and "Ready" all the same.
        frame_->status->clear();
        tab()->cboBMPfileName->setEditText(QString::fromStdString(path("gone.bmp")));
        tab()->refreshTools();
        QCOMPARE(status(), std::string("Can't open bmp file\nReady\n"));

        // No picture chosen at all is no failure.
        frame_->status->clear();
        tab()->cboBMPfileName->setEditText(QString());
        tab()->refreshTools();
        QCOMPARE(status(), std::string("Ready\n"));
    }

    void sixteenBitPictureTurnsTheWindowRedAndIsRefused()
    {
        openPty();
        choose(tab()->cboBMPfileName, file("deep.bmp", bitmapFile(4, 4, 16, stripes)));
        QCOMPARE(tab()->lblDepth->text(), QString("16"));
        QCOMPARE(frame_->palette().color(QPalette::Window), QColor(Qt::red));
        frame_->status->clear();
        tab()->cmdBMPsend->click();
        tab()->cmdSendBMPtoFlash->click();
        QVERIFY(status().find("Colour depth must be 24\n") != std::string::npos);
        QCOMPARE(pty_->ReadSome(50), std::string());

        choose(tab()->cboBMPfileName, file("ok.bmp", bitmapFile(4, 4, 24, stripes)));
        QVERIFY(frame_->palette().color(QPalette::Window) != QColor(Qt::red));
    }

    void pictureToTheScreenByteByByte()
    {
        openPty();
        // A long path: the whole name is used.
        const std::string deep = std::string(120, 'p') + "/";
        QVERIFY(QDir().mkpath(QString::fromStdString(path(deep))));
        choose(tab()->cboBMPfileName, file(deep + "stripes.bmp", bitmapFile(3, 2, 24, stripes)));
        tab()->txtX->setText("10");
        tab()->cmdBMPsend->click();
        QCOMPARE(peerRead(*pty_, 5 + 22), kEsc + "{10,0b" + pictureStream(3, 2, stripes));

        tab()->txtX->clear();
        tab()->txtY->setText("7");
        tab()->cmdBMPsend->click();
        QCOMPARE(peerRead(*pty_, 5 + 22), kEsc + "{0,7b" + pictureStream(3, 2, stripes));

        tab()->txtY->clear();
        tab()->cmdBMPsend->click();
        QCOMPARE(peerRead(*pty_, 3 + 22), kEsc + "{b" + pictureStream(3, 2, stripes));
        QVERIFY(frame_->progress->isHidden());
    }

    void fullScreenPictureAndProgressMaximum()
    {
        openPty();
        choose(tab()->cboBMPfileName, file("full.bmp", bitmapFile(240, 320, 24, gradient)));
        int maximum = -1;
        QTimer probe;
        connect(&probe, &QTimer::timeout, this, [&] {
            if (frame_->progress->isVisible())
                maximum = frame_->progress->maximum();
        });
        probe.start(1);
        const std::string sent = whileReading(3 + 230404, [this] { tab()->cmdBMPsend->click(); });
        QCOMPARE(sent.size(), size_t(3 + 230404));
        QCOMPARE(sent.substr(3), pictureStream(240, 320, gradient));
        QCOMPARE(maximum, 230403);
    }

    void tooLargeOrMissingPictureOrClosedPortSendsNothing()
    {
        choose(tab()->cboBMPfileName, file("big.bmp", bitmapFile(400, 300, 24, gradient)));
        QVERIFY(status().find("300001") != std::string::npos);
        openPty();
        frame_->status->clear();
        tab()->cmdBMPsend->click();
        // Said once for the click, not again by the refresh that ends it.
        QCOMPARE(QString::fromStdString(status()).count("360004"), 1);
        QCOMPARE(pty_->ReadSome(50), std::string());

        tab()->cboBMPfileName->setEditText(QString::fromStdString(path("none.bmp")));
        frame_->status->clear();
        tab()->sendBmp(tab()->cboBMPfileName->currentText(), "com");
        QCOMPARE(status(), std::string("Can't open BMP file\n"));

        choose(tab()->cboBMPfileName, file("ok.bmp", bitmapFile(2, 2, 24, stripes)));
        frame_->port.Close();
        frame_->status->clear();
        tab()->sendBmp(tab()->cboBMPfileName->currentText(), "com");
        QCOMPARE(status(), std::string("Com Port must be open first\n"));
    }

    void pictureToFlashOnlyIntoAnEmptyBlock()
    {
        openPty();
        choose(tab()->cboBMPfileName, file("ok.bmp", bitmapFile(2, 1, 24, stripes)));
        selectBlock("12", "b");
        frame_->status->clear();
        tab()->sendBmp(tab()->cboBMPfileName->currentText(), "flash");
        QCOMPARE(status(), std::string("Block must be empty and selected first\nNothing to do, Check flash destination\n"));
        QCOMPARE(pty_->ReadSome(50), std::string());

        selectBlock("12", "0");
        tab()->sendBmp(tab()->cboBMPfileName->currentText(), "flash");
        // Then the block is asked for what it holds now; unanswered, it no longer passes for empty.
        const std::string wire = peerRead(*pty_, 4 + 10 + 5);
        QVERIFY2(wire == kEsc + "{12B" + pictureStream(2, 1, stripes) + kEsc + "{12q",
                 QByteArray::fromStdString(wire).toHex().constData());
        QCOMPARE(tab()->lblFlashType->text(), QString());
    }

    void cancelWhileCtsIsLowEndsTheUpload()
    {
        auto lines = std::make_shared<TFakeModemLines>();
        lines->cts = false;
        frame_->port.SetModemLines(lines);
        openPty();
        choose(tab()->cboBMPfileName, file("ok.bmp", bitmapFile(8, 8, 24, stripes)));
        QTimer::singleShot(100, frame_.get(), [this, lines] {
            QVERIFY(frame_->cancel->isVisible());
            lines->cts = true; // a few bytes go, then the device holds the line again
            QTimer::singleShot(0, frame_.get(), [this, lines] {
                lines->cts = false;
                QTimer::singleShot(50, frame_.get(), [this] { frame_->cancel->click(); });
            });
        });
        tab()->cmdBMPsend->click();
        QVERIFY(frame_->progress->isHidden());
        QVERIFY(frame_->cancel->isHidden());
        QVERIFY(!cancelFlag);
        const std::string sent = peerRead(*pty_, 1000, 200);
        QVERIFY(sent.rfind(kEsc + "{b", 0) == 0);
        QVERIFY(sent.size() < 3 + 8 * 8 * 3 + 4);
    }

    void pictureOnTheSimulatedDisplay()
    {
        openDevsim("[Device]\nName=QX-Display\n");
        choose(tab()->cboBMPfileName, file("stripes.bmp", bitmapFile(6, 4, 24, stripes)));
        tab()->txtX->setText("10");
        tab()->txtY->setText("20");
        tab()->cmdBMPsend->click();
        QCOMPARE(kept("screen-picture-001.qxp"), pictureStream(6, 4, stripes));
        const QImage screen = devsim_->screen();
        QVERIFY(!screen.isNull());
        for (int y = 0; y < 4; ++y)
            for (int x = 0; x < 6; ++x)
                QCOMPARE(screen.pixel(10 + x, 20 + y), stripes(x, y));
        QVERIFY(screen.pixel(9, 20) != stripes(0, 0) || screen.pixel(9, 20) != stripes(1, 0));
    }

    void pictureThroughSer2net()
    {
        // The simulated display served by a default ser2net, which reports no modem lines: the
        // upload is not held on CTS.
        devsim_ = std::make_unique<TDevsim>(DEVSIM_EXE, dir_->path(), "[Device]\nName=QX-Display\n");
        QVERIFY(devsim_->ok());
        Ser2net server(devsim_->link());
        frame_->port.SetDeviceName(server.url());
        frame_->port.SetUserBaudrate(115200);
        frame_->port.Open();
        QVERIFY(frame_->port.Active());
        choose(tab()->cboBMPfileName, file("gradient.bmp", bitmapFile(40, 30, 24, gradient)));
        tab()->txtX->setText("0");
        tab()->txtY->setText("0");
        tab()->cmdBMPsend->click();
        QCOMPARE(kept("screen-picture-001.qxp"), pictureStream(40, 30, gradient));
        const QImage screen = devsim_->screen();
        QVERIFY(!screen.isNull());
        QCOMPARE(screen.pixel(39, 29), gradient(39, 29));
        frame_->port.Close();
    }

    void fontAndFlashGridThroughSer2net()
    {
        // The question-and-answer exchanges of the grid, and a font, through a default ser2net.
        devsim_ = std::make_unique<TDevsim>(DEVSIM_EXE, dir_->path(),
                                            "[Device]\nName=QX-Display\n[Flash]\nTypes=0:b,1-499:0\n");
        QVERIFY(devsim_->ok());
        Ser2net server(devsim_->link());
        frame_->port.SetDeviceName(server.url());
        frame_->port.SetUserBaudrate(115200);
        frame_->port.Open();
        QVERIFY(frame_->port.Active());
        flash()->cmdFlashRefreshClick();
        QVERIFY(frame_->progress->isHidden());
        QCOMPARE(flash()->Grid->blockColour[0][0], QColor(0, 0, 255));
        QCOMPARE(flash()->Grid->blockColour[9][49], QColor(0, 255, 0));

        const std::string font = file("box.bff", fontFile('A', 'Z'));
        choose(tab()->cboBFFfileName, font);
        tab()->cndFontSend->click();
        TFontData data;
        fo_getFontData(QString::fromStdString(font), data);
        QCOMPARE(kept("display-font-001.qxf"), bytesOf(fontStream(data)));
        frame_->port.Close();
    }

    void fontWireOrderAndSizeLimit()
    {
        openPty();
        choose(tab()->cboBFFfileName, file("box.bff", fontFile('A', 'C')));
        TFontData font;
        QCOMPARE(fo_getFontData(QString::fromStdString(path("box.bff")), font), std::string());
        QCOMPARE(tab()->lblFontFileName->text(), QString("box.bff"));
        QVERIFY(tab()->lblFontInfo->text().contains("3 characters"));
        QVERIFY(!tab()->imgFont->pixmap().isNull());

        tab()->cndFontSend->click();
        const std::string h(font.header.begin(), font.header.end());
        QCOMPARE(peerRead(*pty_, 3 + 2 + 8 + font.data.size()),
                 kEsc + "(0" + h.substr(5, 2) + h + bytesOf(font.data));

        // The largest font that is sent, and the first one that is not.
        TFontData largest;
        largest.header = font.header;
        largest.data.assign(8191, 0x55);
        QCOMPARE(whileReading(3 + 2 + 8 + 8191, [&] { tab()->sendFontData(largest, "com"); }).size(),
                 size_t(3 + 2 + 8 + 8191));
        frame_->status->clear();
        largest.data.push_back(0);
        tab()->sendFontData(largest, "com");
        TFontData negative; // no data: a size of -1
        tab()->sendFontData(negative, "com");
        QCOMPARE(status(), std::string("Selected file Exceeds 8k in Size\nSelected file Exceeds 8k in Size\n"));
        QCOMPARE(pty_->ReadSome(50), std::string());

        // Into flash only when an empty block is selected.
        selectBlock("30", "f");
        frame_->status->clear();
        tab()->cmdSendBFFtoFlash->click();
        QVERIFY(status().find("Select empty flash block destination\n") != std::string::npos);
        QCOMPARE(pty_->ReadSome(50), std::string());
        selectBlock("30", "0");
        tab()->cmdSendBFFtoFlash->click();
        const std::string got = peerRead(*pty_, 4 + 2 + 8 + font.data.size());
        QVERIFY2(got.rfind(kEsc + "{30F", 0) == 0, (QByteArray::fromStdString(got).toHex() + " " + QByteArray::fromStdString(status())).constData());
    }

    void badFontsGiveMessagesAndSendNothing()
    {
        openPty();
        choose(tab()->cboBFFfileName, file("not-a-font.bff", "BM this is no font"));
        frame_->status->clear();
        tab()->cndFontSend->click();
        QVERIFY2(status().find("not-a-font.bff") != std::string::npos, status().c_str());
        tab()->chkFontHead->setChecked(true);
        tab()->cmdCreateFontFiles->click();
        QVERIFY(!QFile::exists(QString::fromStdString(path("not-a-font.h"))));
        QCOMPARE(pty_->ReadSome(50), std::string());

        tab()->cboBFFfileName->setEditText(QString::fromStdString(path("none.bff")));
        frame_->status->clear();
        tab()->sendFont(tab()->cboBFFfileName->currentText(), "com");
        tab()->createFontFiles(tab()->cboBFFfileName->currentText());
        QCOMPARE(status(), std::string("Can't open font file\nCan't open font file\n"));

        choose(tab()->cboBFFfileName, file("box.bff", fontFile('0', '9')));
        frame_->port.Close();
        frame_->status->clear();
        tab()->sendFont(tab()->cboBFFfileName->currentText(), "com");
        QCOMPARE(status(), std::string("Com port not open\n"));
    }

    void createFileMakesTheTickedFilesInOrder()
    {
        const std::string font = file("box.bff", fontFile(' ', '~'));
        choose(tab()->cboBFFfileName, font);
        tab()->chkFontHead->setChecked(true);
        tab()->chkFontBinary->setChecked(true);
        frame_->status->clear();
        tab()->cmdCreateFontFiles->click();
        const std::string text = status();
        // Each line names the file it wrote.
        const size_t h = text.find(".h File created at " + path("box.h") + "\n");
        const size_t bin = text.find("Binary File created at " + path("box.bin") + "\n");
        QVERIFY2(h != std::string::npos && bin != std::string::npos && h < bin, text.c_str());
        TFontData data;
        fo_getFontData(QString::fromStdString(font), data);
        std::string binary;
        QVERIFY(readWholeFile(path("box.bin"), binary));
        QCOMPARE(binary, bytesOf(fontStream(data)));
        QVERIFY(QFile::exists(QString::fromStdString(path("box.h"))));

        // Neither box ticked: nothing is made, and the status pane says what to tick.
        QFile::remove(QString::fromStdString(path("box.bin")));
        tab()->chkFontHead->setChecked(false);
        tab()->chkFontBinary->setChecked(false);
        frame_->status->clear();
        tab()->cmdCreateFontFiles->click();
        QVERIFY(!QFile::exists(QString::fromStdString(path("box.bin"))));
        QVERIFY2(status().rfind("Nothing created: tick \"Create .h file\" or \"Create Binary File\" first\n", 0) == 0,
                 status().c_str());
    }

    void aMissingOrBrokenPictureLeavesNoOldPreview()
    {
        openPty();
        choose(tab()->cboBMPfileName, file("ok.bmp", bitmapFile(4, 3, 16, stripes)));
        QCOMPARE(tab()->lblDepth->text(), QString("16"));
        QCOMPARE(frame_->palette().color(QPalette::Window), QColor(Qt::red));
        const auto previewIsBlank = [this] {
            const QImage shown = tab()->Image1->pixmap().toImage();
            for (int y = 0; y < 3; ++y)
                for (int x = 0; x < 4; ++x)
                    if (shown.pixel(x, y) != qRgb(0, 0, 0))
                        return false;
            return true;
        };
        QVERIFY(!previewIsBlank());

        // A file that is not there: no picture, no size, no depth, the window its own colour.
        tab()->cboBMPfileName->setEditText(QString::fromStdString(path("gone.bmp")));
        tab()->refreshTools();
        QVERIFY(previewIsBlank());
        for (QLabel* label : {tab()->lblWidth, tab()->lblHeight, tab()->lblDepth})
            QCOMPARE(label->text(), QString());
        QVERIFY(frame_->palette().color(QPalette::Window) != QColor(Qt::red));

        // A file that is no bitmap, after a good one: the same, and a send is refused without
        // reading old labels.
        choose(tab()->cboBMPfileName, file("good.bmp", bitmapFile(4, 3, 24, stripes)));
        QVERIFY(!previewIsBlank());
        choose(tab()->cboBMPfileName, file("broken.bmp", "BM not a picture at all"));
        QVERIFY(previewIsBlank());
        QCOMPARE(tab()->lblDepth->text(), QString());
        frame_->status->clear();
        tab()->sendBmp(tab()->cboBMPfileName->currentText(), "com");
        QCOMPARE(status(), std::string("'' is not a valid integer value\n"));
        QCOMPARE(pty_->ReadSome(50), std::string());
    }

    void fontOnTheSimulatedDisplay()
    {
        openDevsim("[Device]\nName=QX-Display\n");
        const std::string font = file("box.bff", fontFile('A', 'Z'));
        choose(tab()->cboBFFfileName, font);
        tab()->cndFontSend->click();
        TFontData data;
        fo_getFontData(QString::fromStdString(font), data);
        QCOMPARE(kept("display-font-001.qxf"), bytesOf(fontStream(data)));
        // Text from now on is drawn in the font: an "A" is its box outline, 3 pixels wide.
        frame_->port.WriteText("A");
        QTest::qWait(100);
        const QImage screen = devsim_->screen();
        QVERIFY(!screen.isNull());
        const QRgb ink = screen.pixel(0, 0);
        QCOMPARE(screen.pixel(2, 0), ink);
        QCOMPARE(screen.pixel(0, 4), ink);
        QVERIFY(screen.pixel(1, 1) != ink);
        QVERIFY(screen.pixel(3, 0) != ink);
    }

    // --- The flash blocks ----------------------------------------------------------------------

    void gridColoursFromTheDevicesTypes()
    {
        openDevsim("[Flash]\nTypes=0:b,1-499:0,13:x\n");
        flash()->Grid->setCell(3, 1, Qt::magenta); // block 13: an unknown code keeps this colour
        flash()->cmdFlashRefresh->setText("Refresh *");
        flash()->cmdFlashRefreshClick();
        QCOMPARE(flash()->cmdFlashRefresh->text(), QString("Refresh"));
        QVERIFY(frame_->isEnabled());
        QVERIFY(frame_->progress->isHidden());
        QCOMPARE(flash()->Grid->blockColour[0][0], QColor(0, 0, 255));
        QCOMPARE(flash()->Grid->blockColour[3][1], QColor(Qt::magenta));
        for (int row = 0; row < 50; ++row)
            for (int col = 0; col < 10; ++col)
                if (row * 10 + col != 0 && row * 10 + col != 13)
                    QCOMPARE(flash()->Grid->blockColour[col][row], QColor(0, 255, 0));
        // The painted grid shows the colours.
        const QImage painted = flash()->Grid->grab().toImage();
        QCOMPARE(painted.pixel(TFlashGrid::cellRect(0, 0).center()), qRgb(0, 0, 255));
        QCOMPARE(painted.pixel(TFlashGrid::cellRect(9, 49).center()), qRgb(0, 255, 0));
    }

    void refreshStopsWhereTheDeviceStopsAnswering()
    {
        openDevsim("[Flash]\nBlocks=120\nTypes=0-119:1\n");
        for (int row = 0; row < 50; ++row)
            for (int col = 0; col < 10; ++col)
                flash()->Grid->setCell(col, row, Qt::white);
        flash()->cmdFlashRefreshClick();
        QVERIFY(status().find("No response from query block\n") != std::string::npos);
        QCOMPARE(flash()->Grid->blockColour[9][11], QColor(255, 0, 0));
        for (int row = 12; row < 50; ++row)
            QCOMPARE(flash()->Grid->blockColour[0][row], QColor(Qt::white));

        frame_->port.Close();
        frame_->status->clear();
        flash()->refreshFlash();
        QCOMPARE(status(), std::string("Connect to COM port first\n"));
    }

    void clickSelectsRetrievesAndErases()
    {
        openDevsim("[Flash]\nTypes=37:b,38-39:m\n");
        const QPoint at = TFlashGrid::cellRect(7, 3).center();
        QTest::mouseClick(flash()->Grid, Qt::LeftButton, {}, at);
        QCOMPARE(flash()->lblBlockNumber->text(), QString("37"));
        QCOMPARE(flash()->txtFromBlock->text(), QString("37"));
        QCOMPARE(flash()->lblFlashType->text(), QString("b"));
        QCOMPARE(flash()->lblFlashType->palette().color(QPalette::WindowText), QColor(255, 0, 0));

        QTest::mouseClick(flash()->Grid, Qt::LeftButton, {}, TFlashGrid::cellRect(0, 4).center());
        QCOMPARE(flash()->lblFlashType->text(), QString("0"));
        QCOMPARE(flash()->lblFlashType->palette().color(QPalette::WindowText), QColor(0, 128, 0));
        frame_->status->clear();
        flash()->cmdSendr->click();
        QVERIFY(status().rfind("That block is empty\n", 0) == 0);

        // Erase blocks 37 to 39: the device answers, the grid is marked out of date.
        flash()->txtFromBlock->setText("37");
        flash()->txtNumberofBlocks->setText("3");
        flash()->cmdBlank->click();
        QCOMPARE(flash()->cmdFlashRefresh->text(), QString("Refresh *"));
        QCOMPARE(flash()->queryBlock("38", flash()->lblFlashType), std::string("0"));
    }

    void eraseAndRetrieveCommandsOnTheWire()
    {
        openPty();
        PtyResponder device(*pty_, [](const std::string&, const std::string& piece) {
            return piece.find('E') != std::string::npos || piece.find('r') != std::string::npos ? std::string("*")
                                                                                                  : std::string();
        });
        flash()->txtFromBlock->setText("5");
        flash()->txtNumberofBlocks->setText("3");
        flash()->cmdBlank->click();
        QCOMPARE(flash()->cmdFlashRefresh->text(), QString("Refresh *"));
        selectBlock("8", "b");
        frame_->status->clear();
        flash()->retrieveBlock();
        QCOMPARE(status(), std::string());
        QCOMPARE(device.Received(), kEsc + "{5 3E" + kEsc + "{8r");
    }

    void nothingElseStartsDuringAnUpload()
    {
        openDevsim("[Flash]\nBlockSize=65536\n");
        choose(tab()->cboBMPfileName, file("full.bmp", bitmapFile(240, 320, 24, gradient)));
        QTest::mouseClick(flash()->Grid, Qt::LeftButton, {}, TFlashGrid::cellRect(2, 0).center());
        QCOMPARE(tab()->lblFlashType->text(), QString("0"));
        writeFileAtomically(path("lib.qxt"), "QXTOOLS\n[Hello]\nhello text\n");
        QCOMPARE(snippetLibrary.loadLibrary(path("lib.qxt")), TLoadResult::lrLoaded);
        snippetLibrary.currentEntry = 0;

        // Once the upload runs: every command that would start another operation on the port is
        // clicked, and the sends are also asked for directly.
        QStringList enabled;
        bool probed = false;
        QTimer probe;
        connect(&probe, &QTimer::timeout, this, [&] {
            if (probed || !frame_->progress->isVisible() || frame_->progress->value() < 1000)
                return;
            probed = true;
            QCOMPARE(frame_->context.busy(), true);
            for (QAbstractButton* b : std::initializer_list<QAbstractButton*> {
                     tab()->cmdSendBMPtoFlash, tab()->cmdBMPsend, tab()->cndFontSend, tab()->cmdSendBFFtoFlash,
                     flash()->cmdFlashRefresh, flash()->cmdSendr, flash()->cmdBlank, frame_->strings->cmdSend}) {
                if (b->isEnabled())
                    enabled << b->objectName();
                b->click();
            }
            QTest::mouseClick(flash()->Grid, Qt::LeftButton, {}, TFlashGrid::cellRect(5, 0).center());
            tab()->sendBmp(tab()->cboBMPfileName->currentText(), "flash");
            frame_->strings->cmdSendClick();
        });
        probe.start(1);
        frame_->status->clear();
        tab()->cmdSendBMPtoFlash->click();
        QVERIFY(probed);
        QVERIFY2(enabled.isEmpty(), qPrintable(enabled.join(", ")));
        QVERIFY(!frame_->context.busy());
        QVERIFY(tab()->cmdSendBMPtoFlash->isEnabled() && frame_->strings->cmdSend->isEnabled());

        // The device got exactly one picture, whole, and nothing else.
        QCOMPARE(kept("flash-block-002.qxp"), pictureStream(240, 320, gradient));
        const QString log = QString::fromStdString(kept("devsim.log"));
        QCOMPARE(log.count("picture to flash block"), 1);
        QCOMPARE(log.count("hello"), 0);
        QCOMPARE(log.count("picture to the screen"), 0);
        QVERIFY(!QFile::exists(QString::fromStdString(devsim_->outDir() + "flash-block-005.qxp")));
        // The direct asks were refused in words.
        QCOMPARE(QString::fromStdString(status()).count(kBusyRefusal), 2);
        // And the commands work again afterwards.
        frame_->port.Close();
        frame_->status->clear();
        frame_->strings->cmdSendClick();
        QCOMPARE(status(), std::string("Com Port must be open first\n"));
    }

    void pictureIntoAFlashBlockOfTheSimulatedDisplay()
    {
        openDevsim("[Flash]\nBlockSize=64\n");
        choose(tab()->cboBMPfileName, file("stripes.bmp", bitmapFile(6, 4, 24, stripes)));
        QTest::mouseClick(flash()->Grid, Qt::LeftButton, {}, TFlashGrid::cellRect(2, 0).center());
        QCOMPARE(tab()->lblFlashType->text(), QString("0"));
        tab()->cmdSendBMPtoFlash->click();
        QCOMPARE(kept("flash-block-002.qxp"), pictureStream(6, 4, stripes));
        QCOMPARE(flash()->cmdFlashRefresh->text(), QString("Refresh *"));
        // The stored block and the one it runs on into show what a refresh would show.
        QCOMPARE(tab()->lblFlashType->text(), QString("b"));
        QCOMPARE(flash()->Grid->blockColour[2][0], QColor(0, 0, 255));
        QCOMPARE(flash()->Grid->blockColour[3][0], QColor(255, 255, 0));
        QCOMPARE(flash()->Grid->blockColour[4][0], QColor(0, 255, 0));

        // So a second store into the same block is refused, and nothing reaches the device.
        frame_->status->clear();
        tab()->cmdSendBMPtoFlash->click();
        QVERIFY2(status().rfind("Block must be empty and selected first\nNothing to do, Check flash destination\n", 0)
                     == 0,
                 status().c_str());
        const std::string log = kept("devsim.log");
        QCOMPARE(QString::fromStdString(log).count("picture to flash block"), 1);
        // And the block is retrieved rather than called empty.
        frame_->status->clear();
        flash()->cmdSendr->click();
        QVERIFY(status().find("That block is empty") == std::string::npos);

        // A font stored the same way is shown as one.
        QTest::mouseClick(flash()->Grid, Qt::LeftButton, {}, TFlashGrid::cellRect(6, 0).center());
        choose(tab()->cboBFFfileName, file("box.bff", fontFile('A', 'C')));
        tab()->cmdSendBFFtoFlash->click();
        QCOMPARE(tab()->lblFlashType->text(), QString("f"));
        QCOMPARE(flash()->Grid->blockColour[6][0], QColor(0, 255, 255));
        flash()->cmdFlashRefreshClick();
        // 76 bytes in 64-byte blocks: the picture's first block and one more.
        QCOMPARE(flash()->Grid->blockColour[2][0], QColor(0, 0, 255));
        QCOMPARE(flash()->Grid->blockColour[3][0], QColor(255, 255, 0));
        QCOMPARE(flash()->Grid->blockColour[4][0], QColor(0, 255, 0));
    }
};

QTEST_MAIN(TestBmpTab)
#include "test_bmp_tab.moc"
