// Benchmark of the device tools (prints figures; not a test): the round trip of a block query
// through the main window's command channel against qx-devsim, and the main window's activation
// once the marker file's answer is known.
#include "AtomicFile.h"
#include "DeviceChannel.h"
#include "Places.h"
#include "Program.h"
#include "WindowFixture.h"
#include "ToolContext.h"
#include "qx_com.h"

#include "VaComm.h"

#include <QApplication>
#include <QTest>
#include <QToolButton>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <sys/stat.h>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

double ms(Clock::duration d)
{
    return std::chrono::duration<double, std::milli>(d).count();
}

void report(const char* what, std::vector<double> v)
{
    std::sort(v.begin(), v.end());
    std::printf("%-42s n=%zu  median %.3f ms  p90 %.3f ms  min %.3f ms  max %.3f ms\n", what, v.size(),
                v[v.size() / 2], v[v.size() * 9 / 10], v.front(), v.back());
}

} // namespace

int main(int argc, char* argv[])
{
    qputenv("QT_QPA_PLATFORM", qgetenv("QT_QPA_PLATFORM").isEmpty() ? "offscreen" : qgetenv("QT_QPA_PLATFORM"));
    QApplication app(argc, argv);
    const int count = argc > 1 ? std::max(10, std::atoi(argv[1])) : 500;

    char tmpl[] = "/tmp/qxtoolsbenchXXXXXX";
    const std::string dir = std::string(::mkdtemp(tmpl)) + "/";
    ::mkdir((dir + "qxtools").c_str(), 0755);
    overridePlaces(dir, dir + "config", dir + "data");
    installHandOver();

    TDevsim devsim(DEVSIM_EXE, dir, "[Device]\nName=QX-Display\nTerminator=*\n[Flash]\nTypes=0:b,1-18:m\n");
    const std::string link = devsim.link();

    // No network: the web site is a local port where nothing listens.
    const auto port = freeLocalPort();
    writeFileAtomically(dir + "qx-com-103.ini", "[Comms]\nExtraPorts=" + link + "\nPort=1\n[Web]\nSite=http://127.0.0.1:"
                                                    + std::to_string(port) + "\n");
    writeFileAtomically(dir + "qxtools/devices.ini", "[TOOLS]\nDevices=none,QX-Display,\n");
    // The sample intro page, so that each activation lays a real page out.
    std::string page;
    readWholeFile(QX_TOOLS_DIR "/defaultLocal.htm", page);
    writeFileAtomically(dir + "qxtools/defaultLocal.htm", page);
    createWindows();
    frmTerm->show();

    std::vector<double> activations;
    for (int i = 0; i < 21; ++i) {
        const auto t0 = Clock::now();
        frmTerm->FormActivate();
        activations.push_back(ms(Clock::now() - t0));
    }
    std::printf("%-42s %.3f ms\n", "first activation (settings, marker fetch)", activations.front());
    activations.erase(activations.begin());
    report("later activations", activations);

    frmTerm->spdConnect->click();
    if (!frmTerm->VaComm1->Active()) {
        std::fprintf(stderr, "cannot open %s\n", link.c_str());
        return 1;
    }
    std::vector<double> trips;
    int lost = 0;
    for (int i = 0; i < count; ++i) {
        const std::string command = "\x1b{" + std::to_string(i % 500) + "q";
        const auto t0 = Clock::now();
        const TReply r = frmTerm->context->channel.sendAndWait(command, replyTerminator, 10);
        trips.push_back(ms(Clock::now() - t0));
        lost += r.found ? 0 : 1;
    }
    report("sendAndWait block query round trip", trips);
    double total = 0;
    for (double t : trips)
        total += t;
    std::printf("%-42s %.1f ms for %d queries, %d unanswered\n", "grid refresh", total, count, lost);

    frmTerm->close();
    destroyWindows();
    overridePlaces({});
    std::system(("rm -rf '" + dir + "'").c_str());
    return 0;
}
