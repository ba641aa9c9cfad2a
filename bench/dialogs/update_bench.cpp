// Figures of the firmware update through the second-generation boot loader: the real main window
// and update dialog offscreen, qx-devsim as the device on a pseudo-terminal. The exchange writes
// one WriteChar a byte; the figures show whether that limits the upload.
//   rate    bytes per second from the first chunk to the loader's copy of the image on disk
//   cpu     CPU seconds of this process (all threads) per MB sent
// Usage: update_bench [image KiB, default 256] [runs, default 3]
#include "AtomicFile.h"
#include "Places.h"
#include "Program.h"
#include "WindowFixture.h"
#include "ToolContext.h"
#include "Update.h"
#include "qx_com.h"

#include "VaComm.h"

#include <QApplication>
#include <QComboBox>
#include <QCheckBox>
#include <QDir>
#include <QProgressBar>
#include <QPushButton>
#include <QTest>
#include <QToolButton>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>
#include <sys/stat.h>

namespace {

using Clock = std::chrono::steady_clock;

bool imageArrived(const std::string& outDir, size_t size)
{
    const QStringList names = QDir(QString::fromStdString(outDir)).entryList({"firmware-v2*"}, QDir::Files);
    for (const QString& name : names) {
        struct stat st {};
        if (::stat((outDir + name.toStdString()).c_str(), &st) == 0 && static_cast<size_t>(st.st_size) == size)
            return true;
    }
    return false;
}

} // namespace

int main(int argc, char* argv[])
{
    qputenv("QT_QPA_PLATFORM", qgetenv("QT_QPA_PLATFORM").isEmpty() ? "offscreen" : qgetenv("QT_QPA_PLATFORM"));
    QApplication app(argc, argv);
    const size_t size = static_cast<size_t>(argc > 1 ? std::max(1, std::atoi(argv[1])) : 256) * 1024;
    const int runs = argc > 2 ? std::max(1, std::atoi(argv[2])) : 3;

    char tmpl[] = "/tmp/qxupdbenchXXXXXX";
    const std::string dir = std::string(::mkdtemp(tmpl)) + "/";
    ::mkdir((dir + "qxtools").c_str(), 0755);
    overridePlaces(dir, dir + "config", dir + "data");
    installHandOver();

    TDevsim devsim(DEVSIM_EXE, dir,
                   "[Device]\nName=QX-Board2\nVersion=4.0\nTerminator=*\n"
                   "[Loader]\nGeneration=2\nEntry=!boot\nVersion=2\nFirmwareMemory="
                       + std::to_string(size + 1024) + "\n");
    const std::string link = devsim.link();
    const std::string out = devsim.outDir();

    // No network: the web site is a local port where nothing listens.
    const auto port = freeLocalPort();
    writeFileAtomically(dir + "qx-com-103.ini", "[Comms]\nExtraPorts=" + link + "\nPort=1\n[Web]\nSite=http://127.0.0.1:"
                                                    + std::to_string(port) + "\n");
    writeFileAtomically(dir + "qxtools/devices.ini",
                        "[TOOLS]\nDevices=none,QX-Board2,\n[none]\n[QX-Board2]\nUpdate=!boot\n");
    std::mt19937 gen(7);
    std::string image(size, '\0');
    for (char& c : image)
        c = static_cast<char>(gen() & 0xFF);
    writeFileAtomically(dir + "fw.bin", image);

    createWindows();
    frmTerm->show();
    frmTerm->FormActivate();
    frmTerm->spdConnect->click();
    if (!frmTerm->VaComm1->Active()) {
        std::fprintf(stderr, "cannot open %s\n", link.c_str());
        return 1;
    }
    frmTerm->cboDevice->setCurrentIndex(frmTerm->cboDevice->findText("QX-Board2"));
    frmUpdate->cboUpdate->setEditText(QString::fromStdString(dir + "fw.bin"));
    frmUpdate->chkCloseonComplete->setChecked(false);

    std::printf("App Loader 2 upload of %zu bytes to qx-devsim over a pty, %d runs\n", size, runs);
    for (int run = 0; run < runs; ++run) {
        QDir(QString::fromStdString(out)).removeRecursively();
        // The first chunk's start: the progress bar's first move.
        Clock::time_point start {};
        double cpuStart = 0;
        const auto connection = QObject::connect(frmUpdate->pbUpload, &QProgressBar::valueChanged, [&](int value) {
            if (value > 0 && start == Clock::time_point {}) {
                start = Clock::now();
                cpuStart = processCpuSeconds();
            }
        });
        frmUpdate->cmdUpdate->click();
        const auto sent = Clock::now();
        const double cpuSent = processCpuSeconds();
        QObject::disconnect(connection);
        const bool ok = frmUpdate->lastOutcome() == TUpdateOutcome::Uploaded;
        const auto deadline = Clock::now() + std::chrono::seconds(30);
        while (ok && !imageArrived(out, size) && Clock::now() < deadline)
            QTest::qWait(1);
        const auto arrived = Clock::now();
        const double toSent = std::chrono::duration<double>(sent - start).count();
        const double toArrived = std::chrono::duration<double>(arrived - start).count();
        const double mb = static_cast<double>(size) / 1e6;
        std::printf("run %d: %s  handler %.3f s (%.2f MB/s)  image on disk %.3f s (%.2f MB/s)  "
                    "cpu %.3f s/MB\n",
                    run + 1, ok && imageArrived(out, size) ? "ok" : "FAILED", toSent, mb / toSent,
                    toArrived, mb / toArrived, (cpuSent - cpuStart) / mb);
        QTest::qWait(300); // the loader's restart line
    }

    destroyWindows();
    std::system(("rm -rf '" + dir + "'").c_str());
    return 0;
}
