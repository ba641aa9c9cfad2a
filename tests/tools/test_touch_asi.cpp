// Touch read-out and the block transfer test in the main window, offscreen: the touch panel on the
// window's tool context against a scripted display on a pseudo-terminal whose ring line is faked,
// and the ASI tab's block transfer test against qx-devsim.
#include "AsiTab.h"
#include "AtomicFile.h"
#include "BmpTab.h"
#include "DeviceChannel.h"
#include "PtyPeer.h"
#include "TestSupport.h"
#include "ToolContext.h"
#include "TouchPanel.h"
#include "WindowFixture.h"
#include "qx_com.h"

#include "VaComm.h"

#include <QCheckBox>
#include <QDir>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QTabWidget>
#include <QTest>
#include <QTextEdit>
#include <QTimer>
#include <QToolButton>

#include <atomic>
#include <fcntl.h>
#include <sys/file.h>
#include <thread>
#include <unistd.h>

namespace {

const char* const kTouchRequest = "\x1b[l";
const char* const kLengthLines = "b3=0\nb2=0\nb1=0\nb0=50\n";

std::string readAll(const std::string& path)
{
    std::string data;
    readWholeFile(path, data);
    return data;
}

std::string shippedProfile(const std::string& name)
{
    return readAll(std::string(PROFILE_DIR) + name);
}

// Whether the status pane's last line holding text (a line break at its end left out) has that colour.
bool shownIn(QString text, const QColor& colour)
{
    if (text.endsWith('\n'))
        text.chop(1);
    return TWindowFixture::statusFormatOf(text).foreground().color() == colour;
}

// A touch display: it answers every touch request, a little later, with the current answer and
// counts the requests. While it holds back an answer, inFlight is set.
class TouchDisplay {
public:
    explicit TouchDisplay(PtyPeer& pty)
        : responder_(pty, [this](const std::string& received, const std::string&) {
              std::string out;
              for (size_t at = received.find(kTouchRequest, seen_); at != std::string::npos;
                   at = received.find(kTouchRequest, seen_)) {
                  seen_ = at + 3;
                  inFlight = true;
                  ++requests;
                  std::this_thread::sleep_for(std::chrono::milliseconds(100));
                  std::lock_guard lock(mutex_);
                  out += answer_;
              }
              inFlight = false;
              return out;
          })
    {
    }
    void answer(const std::string& text)
    {
        std::lock_guard lock(mutex_);
        answer_ = text;
    }

    std::atomic<int> requests{0};
    std::atomic<bool> inFlight{false};

private:
    std::mutex mutex_;
    std::string answer_ = "120,45*";
    size_t seen_ = 0; // responder thread only
    PtyResponder responder_;
};

} // namespace

class TestTouchAsi : public QObject {
    Q_OBJECT

private:
    std::unique_ptr<TWindowFixture> fx_;

    void start(const std::string& port) { fx_->start("[Comms]\nExtraPorts=" + port + "\nPort=1\n"); }

    void connectPort()
    {
        frmTerm->spdConnect->click();
        QVERIFY2(frmTerm->VaComm1->Active(), qPrintable(fx_->errors.join("; ")));
        QVERIFY(frmTerm->spdConnect->isChecked());
    }

    // A touch: the ring line goes up once the port's event thread has seen it down.
    static void touch(TFakeModemLines& lines)
    {
        lines.ring = false;
        QTest::qWait(300);
        lines.ring = true;
    }

    static bool ringMonitored() { return frmTerm->VaComm1->MonitorEvents().Contains(ceRing); }

    // A folder of its own for one qx-devsim (its kept files and log).
    std::string devsimDir(const std::string& name)
    {
        const std::string dir = fx_->dir() + name + "/";
        QDir().mkpath(QString::fromStdString(dir));
        return dir;
    }

    // Runs the block transfer test; started, when trigger is set, by typing the device's trigger
    // text while the test waits for "D".
    static void runBlockTest(bool trigger)
    {
        if (trigger)
            QTimer::singleShot(0, frmTerm, [] { frmTerm->VaComm1->WriteText("!test"); });
        frmTerm->ASI->Button1->click();
        QVERIFY(frmTerm->btnCancel->isHidden());
        QVERIFY(!cancelFlag);
    }

    // The window on a pty whose fake modem lines can raise RING, connected.
    std::shared_ptr<TFakeModemLines> connectWithRingLines(PtyPeer& pty)
    {
        start(pty.SlavePath());
        auto lines = std::make_shared<TFakeModemLines>();
        frmTerm->VaComm1->SetModemLines(lines);
        connectPort();
        return lines;
    }

    // The touch panel of the BMP tab, enabled as a display's catalogue entry enables the tab.
    static TTouchPanel& touchPanel()
    {
        frmTerm->PageControl1->setTabEnabled(1, true);
        return *frmTerm->BMP->touch;
    }

private slots:
    void initTestCase() { fx_ = std::make_unique<TWindowFixture>("qxtouch"); }

    void cleanup()
    {
        fx_->stop();
        replyTerminator = "*";
    }

    void cleanupTestCase() { fx_.reset(); }

    void touchReportsOnRing()
    {
        PtyPeer pty;
        const auto lines = connectWithRingLines(pty);
        TouchDisplay display(pty);
        TTouchPanel& panel = touchPanel();
        int opened = 0;
        frmTerm->VaComm1->OnOpen = [&](TVaCustomComm*) { ++opened; };

        // Touch on: the port is closed and opened again with the ring watched, asks twice, and
        // the connect button still shows the port connected.
        panel.chkRing->click();
        QCOMPARE(opened, 1);
        QVERIFY(frmTerm->VaComm1->Active());
        QVERIFY(ringMonitored());
        QCOMPARE(display.requests.load(), 2);
        QVERIFY(frmTerm->spdConnect->isChecked());

        // While a read waits for the display, the ring event has no handler: a second ring
        // delivered then starts no second read.
        int looksDuringRead = 0;
        std::function<void()> duringRead = [&] {
            ++looksDuringRead;
            if (TVaCustomComm::TNotifyEvent handler = frmTerm->VaComm1->OnRing)
                handler(frmTerm->VaComm1.get());
        };
        QTimer look;
        look.setInterval(5);
        connect(&look, &QTimer::timeout, this, [&] {
            if (display.inFlight && display.requests > 2 && duringRead)
                duringRead();
        });
        look.start();
        rxBuffer.clear();
        touch(*lines);
        QTRY_COMPARE_WITH_TIMEOUT(panel.lblXc->text(), QString("120"), 5000);
        QCOMPARE(panel.lblYc->text(), QString("45"));
        QVERIFY(looksDuringRead > 0);
        QCOMPARE(display.requests.load(), 3);
        QVERIFY(bool(frmTerm->VaComm1->OnRing));
        // The answer went to the labels, not to the terminal's receive text.
        QVERIFY(rxBuffer.find("120,45") == std::string::npos);

        // A reply without the terminator: the red message with what came, the labels keep theirs.
        duringRead = nullptr;
        display.answer("7,8");
        touch(*lines);
        const QString error = "Unexpected error when retrieving co-ordinates[7,8][*]\n";
        QTRY_VERIFY_WITH_TIMEOUT(frmTerm->reStatus->toPlainText().contains(error), 10000);
        QVERIFY(shownIn(error, kErrorRed));
        QCOMPARE(panel.lblXc->text(), QString("120"));
        QCOMPARE(panel.lblYc->text(), QString("45"));
        QVERIFY(bool(frmTerm->VaComm1->OnRing));

        // Switched off during a read: the port is switched once the read has ended.
        display.answer("33,44*");
        bool switched = false;
        duringRead = [&] {
            if (!std::exchange(switched, true))
                panel.chkRing->click();
        };
        opened = 0;
        touch(*lines);
        QTRY_COMPARE_WITH_TIMEOUT(opened, 1, 5000);
        QVERIFY(switched);
        QCOMPARE(panel.lblXc->text(), QString("33"));
        QVERIFY(!ringMonitored());
        QVERIFY(frmTerm->spdConnect->isChecked());
        QTRY_COMPARE_WITH_TIMEOUT(display.requests.load(), 7, 5000); // the switch's two requests

        // Touch off: a ring changes nothing.
        display.answer("1,2*");
        touch(*lines);
        QTest::qWait(300);
        QCOMPARE(display.requests.load(), 7);
        QCOMPARE(panel.lblXc->text(), QString("33"));
        QVERIFY(fx_->errors.isEmpty());
        frmTerm->VaComm1->OnOpen = nullptr;
    }

    void touchSwitchLeavesTheConnectionAsTheUserChose()
    {
        PtyPeer pty;
        const auto lines = connectWithRingLines(pty);
        TouchDisplay display(pty);
        TTouchPanel& panel = touchPanel();

        // With the port closed by the user, the box sets the watched events and opens nothing.
        frmTerm->spdConnect->click();
        QVERIFY(!frmTerm->VaComm1->Active());
        panel.chkRing->click();
        QVERIFY(!frmTerm->VaComm1->Active());
        QVERIFY(!frmTerm->spdConnect->isChecked());
        QVERIFY(ringMonitored());
        QCOMPARE(display.requests.load(), 0);
        // They apply when the user connects again.
        connectPort();
        touch(*lines);
        QTRY_COMPARE_WITH_TIMEOUT(panel.lblXc->text(), QString("120"), 5000);

        // Another program takes the device while the port is closed: the port cannot be opened
        // again, which is said in red, and the connect button shows the port closed.
        int blocker = -1;
        frmTerm->VaComm1->OnClose = [&](TVaCustomComm*) {
            blocker = ::open(pty.SlavePath().c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
            QVERIFY(blocker >= 0 && ::flock(blocker, LOCK_EX | LOCK_NB) == 0);
        };
        panel.chkRing->click();
        frmTerm->VaComm1->OnClose = nullptr;
        const QString failed = "Com Port could not be opened again: Can't open specified device";
        QVERIFY2(frmTerm->reStatus->toPlainText().contains(failed), qPrintable(frmTerm->reStatus->toPlainText()));
        QVERIFY(shownIn(failed, kErrorRed));
        QVERIFY(!frmTerm->VaComm1->Active());
        QVERIFY(!frmTerm->spdConnect->isChecked());
        QVERIFY(!ringMonitored());
        QVERIFY(fx_->errors.isEmpty());
        ::close(blocker);
    }

    void blockTransferAcceptedOrRefused()
    {
        // ACK: the device keeps the block. NAK (its memory too small): the data is sent all the same
        // and the device reads and drops it.
        for (const bool accepted : {true, false}) {
            const std::string memory = accepted ? "" : "\n[BlockTest]\nMemory=40\n";
            TDevsim devsim(DEVSIM_EXE, devsimDir(accepted ? "ack" : "nak"), shippedProfile("asi.ini") + memory);
            QVERIFY(devsim.ok());
            start(devsim.link());
            connectPort();
            runBlockTest(true);
            const std::string answer = accepted ? "ACK recieved\n" : "NACK recieved\n";
            const std::string status = TWindowFixture::statusText();
            QVERIFY2(status.find(kLengthLines + std::string("D recieved\n") + answer) != std::string::npos, status.c_str());
            QVERIFY(status.find(accepted ? "NACK" : "\nACK") == std::string::npos);
            QVERIFY(status.find("b0=", status.find("b0=") + 1) == std::string::npos);
            for (const std::string& line : {std::string("b3=0"), std::string("b0=50"), std::string("D recieved"), answer})
                QVERIFY2(shownIn(QString::fromStdString(line), kTeal), line.c_str());

            // The device read the length 0, 0, 0, 50 and then the 50 bytes.
            const std::string log = devsim.outDir() + "devsim.log";
            const char* const end = accepted ? "block transfer of 50 bytes kept" : "discarded stream ended";
            QTRY_VERIFY_WITH_TIMEOUT(readAll(log).find(end) != std::string::npos, 5000);
            QVERIFY(readAll(log).find(accepted ? "block transfer length 50 -> ACK"
                                               : "block transfer length 50 refused with NAK") != std::string::npos);
            const QStringList kept = QDir(QString::fromStdString(devsim.outDir())).entryList({"block-transfer-*.bin"});
            QCOMPARE(kept.size(), accepted ? 1 : 0);
            if (accepted)
                QCOMPARE(readAll(devsim.outDir() + kept.first().toStdString()), std::string(50, 'a'));
            fx_->stop();
        }
    }

    void blockTransferClosedPortCancelAndClosing()
    {
        TDevsim devsim(DEVSIM_EXE, devsimDir("cancel"), shippedProfile("asi.ini"));
        QVERIFY(devsim.ok());
        start(devsim.link());

        // Port closed: said in red, nothing shown or sent.
        runBlockTest(false);
        QVERIFY(TWindowFixture::statusText().find("Com Port must be open first\n") != std::string::npos);
        QVERIFY(shownIn("Com Port must be open first\n", kErrorRed));
        QVERIFY(TWindowFixture::statusText().find("b3=") == std::string::npos);

        // Cancel ends the wait for "D"; nothing follows.
        connectPort();
        QTimer::singleShot(0, frmTerm, [] {
            QVERIFY(frmTerm->btnCancel->isVisible());
            frmTerm->btnCancel->click();
        });
        runBlockTest(false);
        std::string status = TWindowFixture::statusText();
        QVERIFY2(status.find(kLengthLines + std::string("Block transfer test cancelled\n")) != std::string::npos, status.c_str());
        QVERIFY(frmTerm->ProgressBar1->isHidden());

        // So does closing the window.
        QTimer::singleShot(0, frmTerm, [] { frmTerm->close(); });
        runBlockTest(false);
        status = TWindowFixture::statusText();
        QVERIFY(status.rfind("Block transfer test cancelled\n") > status.find("Block transfer test cancelled\n"));
        QVERIFY(!frmTerm->VaComm1->Active());
        QVERIFY(readAll(devsim.outDir() + "devsim.log").find("block transfer") == std::string::npos);
    }
};

QTEST_MAIN(TestTouchAsi)
#include "test_touch_asi.moc"
