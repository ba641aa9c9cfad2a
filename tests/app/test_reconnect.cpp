// Reconnect and a port list that follows plugging, with real pseudo-terminals behind links that
// vanish and come back: back under a new link target with the same line settings and nothing sent
// on its own, back busy, waiting stopped with the connect button, reconnect switched off (and that
// choice kept), entries that come and go while the selection stays. Remote ports: a ser2net that
// is stopped and started again, and a server of the tests' own that drops the client, which is
// given its DTR level again.
#include "PtyPeer.h"
#include "Rfc2217Peer.h"
#include "Ser2net.h"
#include "WindowFixture.h"
#include "qx_com.h"

#include "VaComm.h"

#include <QAction>
#include <QComboBox>
#include <QPlainTextEdit>
#include <QTest>
#include <QToolButton>

#include <filesystem>
#include <fstream>

#include <asm/termbits.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <unistd.h>

namespace {

// The rate the program set on the line, as the device's side of the pseudo-terminal sees it.
long lineRate(int master)
{
    struct termios2 t {};
    return ::ioctl(master, TCGETS2, &t) == 0 ? static_cast<long>(t.c_ospeed) : -1;
}

QString statusText()
{
    return QString::fromStdString(TWindowFixture::statusText());
}

} // namespace

class TestReconnect : public QObject {
    Q_OBJECT

private:
    std::unique_ptr<TWindowFixture> fx_;
    std::unique_ptr<TVanishingDevice> device_;

    void start(const std::string& extra = {})
    {
        fx_->start("[Comms]\nExtraPorts=" + device_->link() + "\nPort=1\n" + extra);
        QCOMPARE(frmTerm->cboPort->currentText().toStdString(), device_->link());
    }

    void connect()
    {
        frmTerm->spdConnect->click();
        QVERIFY2(frmTerm->VaComm1->Active(), qPrintable(fx_->errors.join("; ")));
        QVERIFY(frmTerm->spdConnect->isChecked());
    }

    void vanish()
    {
        device_->vanish();
        QTRY_VERIFY_WITH_TIMEOUT(!frmTerm->VaComm1->Active(), 10000);
        QVERIFY(statusText().contains("Device disconnected"));
        QVERIFY(!frmTerm->spdConnect->isChecked());
    }

private slots:
    void initTestCase() { fx_ = std::make_unique<TWindowFixture>("qxback"); }

    void init() { device_ = std::make_unique<TVanishingDevice>(fx_->dir() + "qx-board"); }

    void cleanup()
    {
        fx_->stop();
        device_.reset();
        TfrmTerm::deviceRoots = {};
    }

    void cleanupTestCase() { fx_.reset(); }

    void backUnderNewTargetWithSameSettings()
    {
        start();
        frmTerm->cboBaudRate->setCurrentIndex(frmTerm->cboBaudRate->findText("115200"));
        frmTerm->cboBaudRateChange();
        connect();
        QCOMPARE(lineRate(device_->pty().Master()), 115200L);
        frmTerm->DTRlow1->trigger();

        vanish();
        QVERIFY(frmTerm->waitingForDevice());
        QVERIFY(frmTerm->spdConnect->toolTip().startsWith("Waiting for " + QString::fromStdString(device_->link())));
        QVERIFY(statusText().contains("Waiting for " + QString::fromStdString(device_->link()) + " "));
        // Keys typed while the device is away are not kept for it.
        frmTerm->mmoTerm->setFocus();
        QTest::keyClicks(frmTerm->mmoTerm, "lost");

        // Back on another pseudo-terminal: the one it had is taken meanwhile (unless another
        // program on the machine let go of a lower number in between; the link leads to it all the
        // same).
        PtyPeer other;
        device_->comeBack();
        QTRY_VERIFY2_WITH_TIMEOUT(frmTerm->VaComm1->Active(), qPrintable(statusText()), 10000);
        QVERIFY(frmTerm->spdConnect->isChecked());
        QVERIFY(!frmTerm->waitingForDevice());
        QCOMPARE(frmTerm->spdConnect->toolTip(), QString("Connect to selected com port"));
        QCOMPARE(frmTerm->cboPort->currentText().toStdString(), device_->link());
        QVERIFY(statusText().contains(QString::fromStdString(device_->link()) + " is back after "));
        QCOMPARE(lineRate(device_->pty().Master()), 115200L);
        QVERIFY(frmTerm->DTRlow1->isChecked());

        // Nothing was sent on reconnect; typing reaches the device again.
        QCOMPARE(device_->pty().ReadFor(std::chrono::milliseconds(200)), std::string());
        QTest::keyClicks(frmTerm->mmoTerm, "ok");
        QCOMPARE(device_->pty().Read(2), std::string("ok"));
        device_->pty().Write(std::string("hi there"));
        QTRY_VERIFY_WITH_TIMEOUT(TWindowFixture::paneText().find("hi there") != std::string::npos, 5000);
        QVERIFY2(fx_->errors.isEmpty() && fx_->messages.isEmpty(),
                 qPrintable(fx_->errors.join("; ") + fx_->messages.join("; ")));
    }

    void backUnderAnotherNameByItsSerialNumber()
    {
        // Boards in a fake sysfs and /dev whose nodes lead to pseudo-terminals.
        TFakeDeviceTree tree;
        TfrmTerm::deviceRoots = tree.roots();
        PtyPeer first;
        tree.board("1-1.2", "ttyACM0", "0042", first.SlavePath());
        fx_->start("[Comms]\nPort=0\n");
        const int entry = frmTerm->cboPort->findText("ttyACM0");
        QVERIFY(frmTerm->cboPort->itemData(entry, Qt::ToolTipRole).toString().startsWith("QX Board2 (1a86:55d4 SN 0042)\n"));
        frmTerm->cboPort->setCurrentIndex(entry);
        frmTerm->cboPortChange();
        connect();

        // Unplugged; another board of the same kind takes its name: said, not opened.
        first.CloseMaster();
        tree.unplug("ttyACM0");
        QTRY_VERIFY_WITH_TIMEOUT(frmTerm->waitingForDevice(), 10000);
        PtyPeer other, again;
        tree.board("1-1.3", "ttyACM0", "0099", other.SlavePath());
        QTRY_VERIFY2_WITH_TIMEOUT(statusText().contains("ttyACM0 is now QX Board2 (1a86:55d4 SN 0099), not the device "
                                                        "that went away: still waiting for QX Board2 (1a86:55d4 SN 0042)"),
                                  qPrintable(statusText()), 10000);
        QVERIFY(!frmTerm->VaComm1->Active());

        // The board comes back as ttyACM1, on another USB port.
        tree.board("1-1.4", "ttyACM1", "0042", again.SlavePath());
        QTRY_VERIFY2_WITH_TIMEOUT(frmTerm->VaComm1->Active(), qPrintable(statusText()), 10000);
        QCOMPARE(frmTerm->cboPort->currentText(), QString("ttyACM1"));
        QVERIFY(statusText().contains("ttyACM1 is back after "));
        frmTerm->mmoTerm->setFocus();
        QTest::keyClicks(frmTerm->mmoTerm, "hi");
        QCOMPARE(again.Read(2), std::string("hi"));
        QCOMPARE(other.ReadFor(std::chrono::milliseconds(100)), std::string());

        // Remembered by its identity, and found at the next start under its new name.
        fx_->stop();
        std::ifstream file(fx_->settingsPath());
        const std::string text((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
        QVERIFY(text.find("PortIdentity=usb:1a86:55d4:0042:00") != std::string::npos);
        fx_->start("[Comms]\nPort=1\nPortName=ttyACM0\nPortIdentity=usb:1a86:55d4:0042:00\n");
        QCOMPARE(frmTerm->cboPort->currentText(), QString("ttyACM1"));
    }

    void backBusyThenWaitingStopped()
    {
        start();
        connect();
        vanish();
        // Another program takes the device as it comes back and keeps it.
        int holder = -1;
        device_->comeBack([&holder](const std::string& slave) {
            holder = ::open(slave.c_str(), O_RDWR | O_NOCTTY);
            ::flock(holder, LOCK_EX | LOCK_NB);
        });
        QVERIFY(holder >= 0);
        QTRY_VERIFY_WITH_TIMEOUT(statusText().contains("is in use by another program"), 15000);
        QVERIFY(statusText().contains("Still waiting for " + QString::fromStdString(device_->link())));
        QVERIFY(!frmTerm->VaComm1->Active());
        QVERIFY(frmTerm->waitingForDevice());
        QVERIFY(fx_->errors.isEmpty());

        // The connect button stops waiting (red); once free, it connects as ever.
        ::close(holder);
        frmTerm->spdConnect->click();
        QVERIFY(!frmTerm->waitingForDevice());
        QVERIFY(!frmTerm->spdConnect->isChecked());
        QVERIFY(!frmTerm->VaComm1->Active());
        QVERIFY(statusText().contains("Stopped waiting for " + QString::fromStdString(device_->link())));
        connect();
    }

    void switchedOffAndKept()
    {
        start();
        QVERIFY(frmTerm->Reconnect1->isChecked());
        frmTerm->Reconnect1->trigger();
        QVERIFY(!frmTerm->Reconnect1->isChecked());
        connect();
        vanish();
        QVERIFY(!frmTerm->waitingForDevice());
        QVERIFY(!statusText().contains("Waiting for"));
        device_->comeBack();
        // The entry stays listed; the port stays closed until the button is pressed.
        QTRY_VERIFY_WITH_TIMEOUT(::access(device_->link().c_str(), F_OK) == 0, 5000);
        QTest::qWait(2 * 15 + 200);
        QVERIFY(!frmTerm->VaComm1->Active());
        QCOMPARE(frmTerm->cboPort->currentText().toStdString(), device_->link());
        connect();

        fx_->stop();
        std::ifstream file(fx_->settingsPath());
        const std::string text((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
        QVERIFY(text.find("Reconnect=0") != std::string::npos);
        QVERIFY(text.find("PortIdentity=path:" + device_->link()) != std::string::npos);
        fx_->start({}, true);
        QVERIFY(!frmTerm->Reconnect1->isChecked());
    }

    void flappingDeviceEndsConnected()
    {
        // A device that comes and goes many times in quick succession, then stays.
        start();
        connect();
        for (int i = 0; i < 30; ++i) {
            device_->vanish();
            device_->comeBack();
        }
        QTRY_VERIFY2_WITH_TIMEOUT(frmTerm->VaComm1->Active(), qPrintable(statusText()), 10000);
        QTest::qWait(2 * 15 + 200);
        QVERIFY(frmTerm->VaComm1->Active());
        QCOMPARE(device_->pty().ReadFor(std::chrono::milliseconds(100)), std::string());
        frmTerm->VaComm1->WriteText("steady");
        QCOMPARE(device_->pty().Read(6), std::string("steady"));
        QVERIFY2(fx_->errors.isEmpty() && fx_->messages.isEmpty(),
                 qPrintable(fx_->errors.join("; ") + fx_->messages.join("; ")));
    }

    void remotePortBackWhenItsServerIs_data()
    {
        QTest::addColumn<bool>("rfc2217");
        QTest::newRow("rfc2217") << true;
        QTest::newRow("socket") << false;
    }

    void remotePortBackWhenItsServerIs()
    {
        QFETCH(bool, rfc2217);
        PtyPeer pty;
        Ser2net server(pty.SlavePath(), rfc2217 ? Ser2net::kRfc2217 : Ser2net::kRaw, "115200n81");
        const QString url = QString::fromStdString(server.url());
        fx_->start("[Comms]\nExtraPorts=" + url.toStdString() + "\nPort=1\n");
        QCOMPARE(frmTerm->cboPort->currentText(), url);
        connect();
        frmTerm->VaComm1->WriteText("one");
        QCOMPARE(pty.Read(3), std::string("one"));

        // Stopped while the device is talking.
        pty.Write(std::string(2048, 'x'));
        server.stop();
        QTRY_VERIFY_WITH_TIMEOUT(!frmTerm->VaComm1->Active(), 10000);
        QVERIFY(statusText().contains("Device disconnected"));
        QVERIFY(frmTerm->waitingForDevice());
        QVERIFY(!frmTerm->spdConnect->isChecked());
        QVERIFY(statusText().contains("Waiting for " + url + " to come back"));
        // Refused again and again while it is away: said once, with the way out.
        QTRY_VERIFY_WITH_TIMEOUT(statusText().contains("Still waiting for " + url), 10000);
        QTest::qWait(2000); // time for more attempts (after 0.5 s, then 1 s)
        QCOMPARE(statusText().count("connection refused"), 1);
        QCOMPARE(statusText().count("Still waiting for"), 1);
        QVERIFY(frmTerm->waitingForDevice());

        server.start();
        QTRY_VERIFY2_WITH_TIMEOUT(frmTerm->VaComm1->Active(), qPrintable(statusText()), 15000);
        QVERIFY(!frmTerm->waitingForDevice());
        QVERIFY(frmTerm->spdConnect->isChecked());
        QVERIFY(statusText().contains(url + " is back after "));
        QVERIFY(statusText().contains("connected again"));
        frmTerm->VaComm1->WriteText("two");
        QCOMPARE(pty.Read(3), std::string("two"));
        pty.Write(std::string("back again"));
        QTRY_VERIFY_WITH_TIMEOUT(TWindowFixture::paneText().find("back again") != std::string::npos, 5000);
        QVERIFY2(fx_->errors.isEmpty() && fx_->messages.isEmpty(),
                 qPrintable(fx_->errors.join("; ") + fx_->messages.join("; ")));
    }

    void remotePortWaitStoppedAndDtrGivenAgain()
    {
        Rfc2217Peer peer;
        const QString url = QString::fromStdString(peer.url());
        fx_->start("[Comms]\nExtraPorts=" + url.toStdString() + "\nPort=1\n");
        connect();
        // The menu item set and cleared: DTR off (the item says the level at the device's pin).
        frmTerm->DTRlow1->trigger();
        frmTerm->DTRlow1->trigger();
        QVERIFY(!frmTerm->DTRlow1->isChecked());
        // The DTR level of the last DTR command sent since the first `from` commands, -1 for none.
        const auto lastDtr = [&peer](size_t from = 0) {
            int level = -1;
            const std::vector<TVaComPortReply> commands = peer.commands();
            for (size_t i = from; i < commands.size(); ++i)
                if (commands[i].code == rfc2217::SET_CONTROL && (commands[i].Number() == 8 || commands[i].Number() == 9))
                    level = commands[i].Number() == 8 ? 1 : 0;
            return level;
        };
        QTRY_COMPARE_WITH_TIMEOUT(lastDtr(), 0, 5000);

        // The server drops the client and takes the next one: connected again, DTR off again
        // after the opening set it.
        const size_t before = peer.commands().size();
        peer.disconnect();
        QTRY_VERIFY2_WITH_TIMEOUT(statusText().contains(url + " is back after "), qPrintable(statusText()), 15000);
        QVERIFY(frmTerm->VaComm1->Active());
        QTRY_COMPARE_WITH_TIMEOUT(lastDtr(before), 0, 5000);
        QVERIFY(!frmTerm->DTRlow1->isChecked());

    }

    void remotePortWaitStoppedWithTheConnectButton()
    {
        PtyPeer pty;
        Ser2net server(pty.SlavePath());
        const QString url = QString::fromStdString(server.url());
        fx_->start("[Comms]\nExtraPorts=" + url.toStdString() + "\nPort=1\n");
        connect();
        server.stop();
        QTRY_VERIFY_WITH_TIMEOUT(frmTerm->waitingForDevice(), 10000);
        QTRY_VERIFY_WITH_TIMEOUT(statusText().contains("Still waiting for " + url), 10000);
        frmTerm->spdConnect->click();
        QVERIFY(!frmTerm->waitingForDevice());
        QVERIFY(!frmTerm->spdConnect->isChecked());
        QVERIFY(statusText().contains("Stopped waiting for " + url));
        // Back, and left alone: past the longest pause between attempts nothing connected.
        server.start();
        QTest::qWait(5000);
        QVERIFY(!frmTerm->VaComm1->Active());
        frmTerm->spdConnect->click();
        QVERIFY2(frmTerm->VaComm1->Active(), qPrintable(statusText()));
    }

    void portListFollowsPlugging()
    {
        // A pattern lists every board in the folder; the remembered device is selected at start.
        namespace fs = std::filesystem;
        const std::string folder = fx_->dir() + "boards/";
        fs::create_directories(folder);
        PtyPeer a, b;
        fs::create_symlink(a.SlavePath(), folder + "a");
        fx_->start("[Comms]\nExtraPorts=" + folder + "*\nPort=0\nPortIdentity=path:" + folder + "a\n");
        QCOMPARE(frmTerm->cboPort->currentText().toStdString(), folder + "a");
        QVERIFY(frmTerm->cboPort->itemData(frmTerm->cboPort->currentIndex(), Qt::ToolTipRole)
                    .toString()
                    .contains(QString::fromStdString(a.SlavePath())));

        // Plugged in and out without Refresh; the selection stays.
        fs::create_symlink(b.SlavePath(), folder + "b");
        QTRY_VERIFY_WITH_TIMEOUT(frmTerm->cboPort->findText(QString::fromStdString(folder + "b")) > 0, 5000);
        QCOMPARE(frmTerm->cboPort->currentText().toStdString(), folder + "a");
        fs::remove(folder + "b");
        QTRY_VERIFY_WITH_TIMEOUT(frmTerm->cboPort->findText(QString::fromStdString(folder + "b")) < 0, 5000);
        QCOMPARE(frmTerm->cboPort->currentText().toStdString(), folder + "a");

        // The chosen device goes: its entry stays chosen until it is back.
        fs::remove(folder + "a");
        QTest::qWait(2 * 15 + 200);
        QCOMPARE(frmTerm->cboPort->currentText().toStdString(), folder + "a");
        fs::create_symlink(a.SlavePath(), folder + "a");
        fs::create_symlink(b.SlavePath(), folder + "c");
        QTRY_VERIFY_WITH_TIMEOUT(frmTerm->cboPort->findText(QString::fromStdString(folder + "c")) > 0, 5000);
        QCOMPARE(frmTerm->cboPort->currentText().toStdString(), folder + "a");
        const QStringList ours = itemsOf(frmTerm->cboPort).filter(QString::fromStdString(folder));
        QCOMPARE(ours.join(","), QString::fromStdString(folder + "a," + folder + "c"));
        fx_->stop();
        fs::remove_all(folder);
    }
};

QTEST_MAIN(TestReconnect)
#include "test_reconnect.moc"
