// Benchmark of the BMP tab (prints figures; not a test): a 240 x 320 picture uploaded through the
// tab over a pseudo-terminal (one WriteChar and one CTS test a byte), with its CPU cost, and a
// full 500-block grid refresh against qx-devsim with the time one paint of the grid takes.
#include "AtomicFile.h"
#include "BmpTab.h"
#include "FlashPanel.h"
#include "HandOver.h"
#include "PtyPeer.h"
#include "TestSupport.h"
#include "ToolTestFrame.h"
#include "WindowFixture.h"

#include "VaComm.h"

#include <QApplication>
#include <QComboBox>
#include <QPushButton>
#include <QVBoxLayout>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <string>
#include <sys/resource.h>
#include <thread>

namespace {

using Clock = std::chrono::steady_clock;

double seconds(Clock::duration d)
{
    return std::chrono::duration<double>(d).count();
}

double cpuSeconds()
{
    rusage u{};
    ::getrusage(RUSAGE_SELF, &u);
    return static_cast<double>(u.ru_utime.tv_sec + u.ru_stime.tv_sec)
           + static_cast<double>(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

// A 240 x 320 24-bit bitmap, bottom-up (rows of 720 bytes need no padding).
std::string bitmap240x320()
{
    const int w = 240, h = 320, size = 54 + w * h * 3;
    std::string f = "BM";
    auto put = [&f](uint32_t v, int n) {
        for (int i = 0; i < n; ++i)
            f += static_cast<char>((v >> (8 * i)) & 0xFF);
    };
    put(size, 4), put(0, 4), put(54, 4), put(40, 4), put(w, 4), put(h, 4), put(1, 2), put(24, 2);
    put(0, 4), put(w * h * 3, 4), put(2835, 4), put(2835, 4), put(0, 4), put(0, 4);
    for (int i = 0; i < w * h * 3; ++i)
        f += static_cast<char>(i * 7);
    return f;
}

class TFrame : public TToolTestFrame {
public:
    TFrame() : tab(new TBmpTab(context, this)) { layout->insertWidget(0, tab, 1); }
    TBmpTab* tab;
};

} // namespace

int main(int argc, char* argv[])
{
    qputenv("QT_QPA_PLATFORM", qgetenv("QT_QPA_PLATFORM").isEmpty() ? "offscreen" : qgetenv("QT_QPA_PLATFORM"));
    QApplication app(argc, argv);
    installHandOver();
    TTempDir dir("qxbmpbench");

    {
        TFrame frame;
        frame.show();
        PtyPeer pty;
        frame.port.SetDeviceName(pty.SlavePath());
        frame.port.Open();
        writeFileAtomically(dir / "full.bmp", bitmap240x320());
        frame.tab->cboBMPfileName->addItem(QString::fromStdString(dir / "full.bmp"));
        frame.tab->refreshTools();
        for (int run = 0; run < 3; ++run) {
            std::atomic<size_t> got{0};
            std::thread reader([&] { got = pty.Read(3 + 230404, std::chrono::seconds(60)).size(); });
            const double cpu0 = cpuSeconds();
            const auto t0 = Clock::now();
            frame.tab->cmdBMPsend->click();
            reader.join();
            const double s = seconds(Clock::now() - t0), cpu = cpuSeconds() - cpu0;
            const double mb = static_cast<double>(got) / 1e6;
            std::printf("picture upload 240x320 over a pty: %zu bytes in %.3f s = %.2f MB/s, %.2f CPU s/MB\n",
                        got.load(), s, mb / s, cpu / mb);
        }
    }

    {
        TFrame frame;
        frame.show();
        TDevsim devsim(DEVSIM_EXE, dir.path(), "[Flash]\nTypes=0:b,1-18:m,40-49:1,200-260:f\n");
        frame.port.SetDeviceName(devsim.link());
        frame.port.Open();
        TFlashGrid* grid = frame.tab->flash->Grid;
        for (int run = 0; run < 3; ++run) {
            grid->resetColours();
            const auto t0 = Clock::now();
            frame.tab->flash->cmdFlashRefreshClick();
            const double s = seconds(Clock::now() - t0);
            const auto p0 = Clock::now();
            constexpr int paints = 100;
            for (int i = 0; i < paints; ++i)
                grid->repaint();
            const double paint = seconds(Clock::now() - p0) / paints;
            std::printf("grid refresh of 500 blocks against qx-devsim: %.3f s (%.3f ms a block); one paint of the "
                        "whole grid %.3f ms\n",
                        s, s * 1000 / 500, paint * 1000);
        }
    }
    return 0;
}
