// Reconnect figures with the real main window offscreen and a device played by a pseudo-terminal
// behind a link (as /dev/serial/by-id names a board):
//   latency  the device unplugged and plugged in again CYCLES times; from the moment it is back
//            (its new pseudo-terminal made and linked) to the moment the port is open again.
//   waiting  the process's CPU seconds while the window waits 10 s for a device that stays away.
// Usage: reconnect_bench [CYCLES, default 50]
#include "AtomicFile.h"
#include "Messages.h"
#include "Places.h"
#include "Program.h"
#include "PtyPeer.h"
#include "TestSupport.h"
#include "qx_com.h"

#include "VaComm.h"

#include <QApplication>
#include <QComboBox>
#include <QTextEdit>
#include <QEventLoop>
#include <QTimer>
#include <QToolButton>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

// Runs the event loop until done() holds (looked at after each event) or seconds pass.
bool waitFor(const std::function<bool()>& done, int seconds)
{
    const auto end = Clock::now() + std::chrono::seconds(seconds);
    while (!done() && Clock::now() < end)
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 50);
    return done();
}

// Runs the event loop for ms milliseconds and nothing else.
void idle(int ms)
{
    QEventLoop loop;
    QTimer::singleShot(ms, &loop, &QEventLoop::quit);
    loop.exec();
}

} // namespace

int main(int argc, char* argv[])
{
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    const int cycles = argc > 1 ? std::max(1, std::atoi(argv[1])) : 50;

    TTempDir folder("qxbench");
    overridePlaces(folder.path(), folder.path() + "config", folder.path() + "data");
    installHandOver();
    setMessageHandler([](TQxMessageKind, const QString& text) { std::fprintf(stderr, "message: %s\n", qPrintable(text)); });
    TVanishingDevice device(folder.path() + "board");
    writeFileAtomically(placeOf(TQxPlace::qpSettingsFile), "[Comms]\nExtraPorts=" + device.link() + "\nPort=1\n");
    createWindows();
    frmTerm->show();
    frmTerm->FormActivate();
    frmTerm->spdConnect->click();
    if (!frmTerm->VaComm1->Active()) {
        std::fprintf(stderr, "could not open %s\n", device.link().c_str());
        return 1;
    }

    auto unplug = [&] {
        device.vanish();
        return waitFor([] { return frmTerm->waitingForDevice() && !frmTerm->VaComm1->Active(); }, 10);
    };
    std::vector<double> ms;
    for (int i = 0; i < cycles; ++i) {
        if (!unplug()) {
            std::fprintf(stderr, "cycle %d: the window did not start waiting; its status pane:\n%s\n", i + 1,
                         qPrintable(frmTerm->reStatus->toPlainText()));
            return 1;
        }
        // Away for a moment, as a board that resets.
        idle(20);
        const auto back = Clock::now();
        device.comeBack();
        if (!waitFor([] { return frmTerm->VaComm1->Active(); }, 10)) {
            std::fprintf(stderr, "cycle %d: not reconnected within 10 s\n", i + 1);
            return 1;
        }
        ms.push_back(std::chrono::duration<double, std::milli>(Clock::now() - back).count());
    }
    std::sort(ms.begin(), ms.end());
    std::printf("reconnect latency over %d cycles (device back -> port open): median %.1f ms, min %.1f ms, "
                "max %.1f ms, 90th percentile %.1f ms\n",
                cycles, ms[ms.size() / 2], ms.front(), ms.back(), ms[ms.size() * 9 / 10]);

    unplug();
    const double cpu0 = processCpuSeconds();
    idle(10000);
    std::printf("CPU while waiting 10 s for a device that stays away: %.4f s\n", processCpuSeconds() - cpu0);

    destroyWindows();
    return 0;
}
