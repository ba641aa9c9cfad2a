// Figures of the terminal application against a pseudo-terminal, with the real main window
// offscreen:
//   terminal  a peer floods the open port with text lines; every chunk goes through the display
//             rules into the pane. Rate, the longest stall of the event loop, memory held.
//   binary    a file sent with one WriteChar, one CTS query and one event-loop pass per byte.
//   text      10,000 lines sent to a peer that answers each line with the wait character at once.
// Usage: app_bench [flood MB, default 100]
#include "AtomicFile.h"
#include "Messages.h"
#include "Places.h"
#include "Program.h"
#include "PtyPeer.h"
#include "TestSupport.h"
#include "TextSet.h"
#include "qx_com.h"

#include "VaComm.h"

#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QElapsedTimer>
#include <QPlainTextEdit>
#include <QTextBlock>
#include <QTextDocument>
#include <QTimer>
#include <QToolButton>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <thread>

namespace {

using Clock = std::chrono::steady_clock;

double seconds(Clock::duration d)
{
    return std::chrono::duration<double>(d).count();
}

long rssKiB()
{
    std::ifstream status("/proc/self/status");
    std::string key;
    while (status >> key) {
        if (key == "VmRSS:") {
            long v = 0;
            status >> v;
            return v;
        }
        status.ignore(1 << 16, '\n');
    }
    return 0;
}

// Measures the longest gap between ticks of a 5 ms timer while it runs.
class StallMeter {
public:
    StallMeter()
    {
        QObject::connect(&timer_, &QTimer::timeout, [this] {
            const auto now = Clock::now();
            if (last_ != Clock::time_point {})
                worst_ = std::max(worst_, now - last_);
            last_ = now;
        });
        timer_.start(5);
    }
    double worstMs() const { return seconds(worst_) * 1000; }

private:
    QTimer timer_;
    Clock::time_point last_ {};
    Clock::duration worst_ {};
};

bool waitFor(const std::function<bool()>& done, int seconds)
{
    const auto end = Clock::now() + std::chrono::seconds(seconds);
    while (!done() && Clock::now() < end) {
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 10);
        CheckSynchronize();
    }
    return done();
}

void connectTo(PtyPeer& pty)
{
    // The peer's path stands in the port list through the settings; entry 1 is the first port.
    frmTerm->RefreshPorts1Click();
    const int index = frmTerm->cboPort->findText(QString::fromStdString(pty.SlavePath()));
    frmTerm->cboPort->setCurrentIndex(index);
    frmTerm->cboPortChange();
    frmTerm->spdConnect->click();
    if (!frmTerm->VaComm1->Active()) {
        std::fprintf(stderr, "could not open %s\n", pty.SlavePath().c_str());
        std::exit(1);
    }
}

void benchTerminal(long megabytes)
{
    PtyPeer pty;
    writeFileAtomically(placeOf(TQxPlace::qpSettingsFile), "[Comms]\nExtraPorts=" + pty.SlavePath() + "\n");
    connectTo(pty);
    frmTransfer->chkAddCR->setChecked(true);
    frmTransfer->chkAddLF->setChecked(true);

    const long total = megabytes * 1000 * 1000;
    std::string line = "The quick brown fox jumps over the lazy dog 0123456789 ABCDEFGHIJKLMNOPQRSTUVWXYZ\r\n";
    std::string block;
    while (block.size() < 64 * 1024)
        block += line;
    std::atomic<long> written {0};
    std::thread peer([&] {
        while (written < total) {
            pty.Write(block);
            written += static_cast<long>(block.size());
        }
        pty.Write("\x1b[2J<<END>>");
    });

    StallMeter stall;
    const long rssStart = rssKiB();
    long rssPeak = rssStart;
    const double cpu0 = processCpuSeconds();
    const auto t0 = Clock::now();
    waitFor([&] {
        rssPeak = std::max(rssPeak, rssKiB());
        // The last line only: copying the whole pane each round would be the bench's own stall.
        return frmTerm->mmoTerm->document()->lastBlock().text().endsWith("<<END>>");
    }, 600);
    const auto elapsed = seconds(Clock::now() - t0);
    const double cpu = processCpuSeconds() - cpu0;
    peer.join();
    std::printf("terminal: %ld MB shown in %.2f s = %.1f MB/s; %.3f CPU s per MB; longest event-loop stall %.1f ms;"
                " RSS %ld KiB at start, %ld KiB peak (+%ld KiB)\n",
                megabytes, elapsed, static_cast<double>(total) / 1e6 / elapsed, cpu / (static_cast<double>(total) / 1e6),
                stall.worstMs(), rssStart, rssPeak, rssPeak - rssStart);
    frmTerm->spdConnect->click();
}

void benchBinary(const std::string& folder)
{
    PtyPeer pty;
    writeFileAtomically(placeOf(TQxPlace::qpSettingsFile), "[Comms]\nExtraPorts=" + pty.SlavePath() + "\n");
    connectTo(pty);
    const size_t size = 4 * 1024 * 1024;
    std::string data(size, 'b');
    const std::string file = folder + "bench.bin";
    writeFileAtomically(file, data);
    frmTerm->setCurrentFile(QString::fromStdString(file));
    std::atomic<size_t> got {0};
    std::atomic<bool> stop {false};
    std::thread peer([&] {
        while (!stop) {
            got += pty.ReadSome(20).size();
        }
    });
    const auto t0 = Clock::now();
    frmTerm->SendBinaryFile();
    waitFor([&] { return got.load() >= size; }, 60);
    const double elapsed = seconds(Clock::now() - t0);
    stop = true;
    peer.join();
    std::printf("binary: %zu bytes sent in %.2f s = %.2f MB/s (%s)\n", size, elapsed,
                static_cast<double>(size) / 1e6 / elapsed, got.load() == size ? "all arrived" : "INCOMPLETE");
    frmTerm->spdConnect->click();
}

void benchText(const std::string& folder)
{
    PtyPeer pty;
    writeFileAtomically(placeOf(TQxPlace::qpSettingsFile), "[Comms]\nExtraPorts=" + pty.SlavePath() + "\n");
    connectTo(pty);
    const int lines = 10000;
    std::string text;
    for (int i = 0; i < lines; ++i)
        text += "10 PRINT \"LINE " + std::to_string(i) + "\"\n";
    const std::string file = folder + "bench.txt";
    writeFileAtomically(file, text);
    frmTerm->setCurrentFile(QString::fromStdString(file));
    std::atomic<bool> stop {false};
    std::atomic<int> answered {0};
    std::thread peer([&] {
        while (!stop) {
            for (char c : pty.ReadSome(20)) {
                if (c == '\r') {
                    pty.Write("\x06");
                    ++answered;
                }
            }
        }
    });
    const auto t0 = Clock::now();
    frmTerm->SendTextFile();
    const double elapsed = seconds(Clock::now() - t0);
    stop = true;
    peer.join();
    std::printf("text: %d lines in %.2f s = %.3f ms per line (%d answered)\n", lines, elapsed, elapsed * 1000 / lines,
                answered.load());
    frmTerm->spdConnect->click();
}

} // namespace

int main(int argc, char* argv[])
{
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    const long megabytes = argc > 1 ? std::atol(argv[1]) : 100;

    char tmpl[] = "/tmp/qxbenchXXXXXX";
    const std::string folder = std::string(::mkdtemp(tmpl)) + "/";
    overridePlaces(folder, folder + "config", folder + "data");
    installHandOver();
    setMessageHandler([](TQxMessageKind, const QString& text) { std::fprintf(stderr, "message: %s\n", qPrintable(text)); });
    createWindows();
    frmTerm->show();
    frmTerm->FormActivate();
    // No automation pause for the text file.
    frmTransfer->chkXferOpt->setChecked(false);

    benchTerminal(megabytes);
    benchBinary(folder);
    benchText(folder);

    destroyWindows();
    std::system(("rm -rf '" + folder + "'").c_str());
    return 0;
}
