// The device update dialog offscreen on the main window's port: uploads through both boot loader
// generations of the simulated device, the generation decision, the outcomes that are no success,
// Cancel and a vanishing device in the waits, and the reset pulse.
#include "AtomicFile.h"
#include "Places.h"
#include "PtyPeer.h"
#include "Rfc2217Peer.h"
#include "ToolContext.h"
#include "Update.h"
#include "WindowFixture.h"
#include "qx_com.h"

#include "VaComm.h"
#include "VaProtocol.h"

#include <QAbstractItemView>
#include <QAction>
#include <QCheckBox>
#include <QComboBox>
#include <QDir>
#include <QFileInfo>
#include <QItemSelectionModel>
#include <QFileDialog>
#include <QLineEdit>
#include <QLabel>
#include <QPlainTextEdit>
#include <QToolButton>
#include <QProgressBar>
#include <QPushButton>
#include <QTest>
#include <QTextBlock>
#include <QTextEdit>
#include <QTimer>

#include <atomic>
#include <functional>
#include <chrono>
#include <mutex>
#include <poll.h>
#include <random>
#include <thread>
#include <unistd.h>

namespace {

using Clock = std::chrono::steady_clock;

const char* const kCatalogue = "[TOOLS]\nDevices=none,QX-Board1,QX-Board2,\n"
                               "[none]\nDescription=No device selected\n"
                               "[QX-Board1]\nDescription=loader 1\nUpdate=!boot,U ; entry, answer\nUpdatePosition=0\n"
                               "[QX-Board2]\nDescription=loader 2\nUpdate=!boot\nUpdatePosition=0\n";

std::string profile(const std::string& name)
{
    std::string text;
    readWholeFile(std::string(PROFILE_DIR) + name, text);
    return text;
}

std::string randomBytes(size_t size, unsigned seed)
{
    std::mt19937 gen(seed);
    std::string data(size, '\0');
    for (char& c : data)
        c = static_cast<char>(gen() & 0xFF);
    return data;
}

// The newest image qx-devsim has kept under a name that starts with prefix in folder dir (not a
// temporary file it is still writing).
std::string newestFile(const std::string& dir, const QString& prefix)
{
    const QStringList names =
        QDir(QString::fromStdString(dir)).entryList({prefix + "*.bin"}, QDir::Files, QDir::Name);
    if (names.isEmpty())
        return {};
    std::string data;
    readWholeFile(dir + names.last().toStdString(), data);
    return data;
}

std::string statusText()
{
    return TWindowFixture::statusText();
}

bool statusHas(const std::string& text)
{
    return statusText().find(text) != std::string::npos;
}

// The texts appear in this order in the status pane.
bool inOrder(const std::vector<std::string>& texts)
{
    const std::string status = statusText();
    size_t at = 0;
    for (const std::string& text : texts) {
        at = status.find(text, at);
        if (at == std::string::npos)
            return false;
        at += text.size();
    }
    return true;
}

QColor statusColourOf(const QString& text)
{
    return TWindowFixture::statusFormatOf(text).foreground().color();
}

// A device on the far end of a pty that answers the entry command with a "Press" prompt and then
// sends nothing: the update's wait for "C" lasts until something else ends it.
class SilentLoader {
public:
    explicit SilentLoader(PtyPeer& pty) : fd_(pty.Master())
    {
        thread_ = std::thread([this] { run(); });
    }
    ~SilentLoader()
    {
        stop_ = true;
        thread_.join();
    }
    std::string received()
    {
        std::lock_guard lock(mutex_);
        return received_;
    }

private:
    void run()
    {
        bool prompted = false;
        while (!stop_) {
            pollfd p{fd_, POLLIN, 0};
            char buf[256];
            const int ready = ::poll(&p, 1, 20);
            if (ready > 0 && (p.revents & POLLNVAL))
                return; // the test has closed the line
            if (ready <= 0 || !(p.revents & POLLIN))
                continue;
            const ssize_t n = ::read(fd_, buf, sizeof buf);
            if (n <= 0)
                continue;
            std::lock_guard lock(mutex_);
            received_.append(buf, static_cast<size_t>(n));
            if (!prompted && received_.find("!boot") != std::string::npos) {
                prompted = true;
                const std::string prompt = "Loader - press U\r\n";
                (void)::write(fd_, prompt.data(), prompt.size());
            }
        }
    }
    int fd_;
    std::atomic<bool> stop_{false};
    std::mutex mutex_;
    std::string received_;
    std::thread thread_;
};

// Modem lines that record when DTR changes.
class TimedModemLines : public TFakeModemLines {
public:
    bool Drive(int fd, bool isDtr, bool on) override
    {
        if (isDtr) {
            std::lock_guard lock(mutex);
            changes.emplace_back(Clock::now(), on);
        }
        return TFakeModemLines::Drive(fd, isDtr, on);
    }
    std::mutex mutex;
    std::vector<std::pair<Clock::time_point, bool>> changes;
};

} // namespace

class TestUpdate : public QObject {
    Q_OBJECT

private:
    std::unique_ptr<TWindowFixture> fx_;

    std::string devsimOut() const { return fx_->dir() + "devsim-out/"; }

    // The windows with the port on link, the given device selected and file in the box.
    void start(const std::string& link, const QString& device, const std::string& file = {})
    {
        QDir(QString::fromStdString(devsimOut())).removeRecursively();
        writeFileAtomically(fx_->tools() + "devices.ini", kCatalogue);
        fx_->start("[Comms]\nExtraPorts=" + link + "\nPort=1\n[Web]\nSite=http://127.0.0.1:"
                   + std::to_string(freeLocalPort()) + "\n");
        frmTerm->cboDevice->setCurrentIndex(frmTerm->cboDevice->findText(device));
        frmUpdate->cboUpdate->setEditText(QString::fromStdString(file));
        frmUpdate->chkCloseonComplete->setChecked(false);
    }

    void connectPort()
    {
        frmTerm->spdConnect->click();
        QVERIFY(frmTerm->VaComm1->Active());
    }

    std::string writeFirmware(const std::string& name, const std::string& data)
    {
        const std::string path = fx_->dir() + name;
        writeFileAtomically(path, data);
        return path;
    }

    // Clicks Cancel once the status pane shows text (and delayMs more have passed).
    void cancelWhenShown(const std::string& text, int delayMs)
    {
        auto* timer = new QTimer(frmUpdate);
        connect(timer, &QTimer::timeout, frmUpdate, [timer, text, delayMs] {
            if (!statusHas(text))
                return;
            timer->stop();
            timer->deleteLater();
            QTimer::singleShot(delayMs, frmUpdate, [] { frmUpdate->cmdCancel->click(); });
        });
        timer->start(5);
    }

private slots:
    void initTestCase() { fx_ = std::make_unique<TWindowFixture>("qxupd"); }
    void cleanup() { fx_->stop(); }
    void cleanupTestCase() { fx_.reset(); }

    void fileBoxAndHistory()
    {
        PtyPeer pty;
        start(pty.SlavePath(), "QX-Board1", "/some/folder/fw-2.bin");
        frmUpdate->show();
        QCOMPARE(frmUpdate->lblFileName->text(), QString("fw-2.bin"));
        frmUpdate->cboUpdate->setEditText("/x/other.bin");
        QCOMPARE(frmUpdate->lblFileName->text(), QString("other.bin"));
        QCOMPARE(frmUpdate->lblPacket->text(), QString("0"));
        QVERIFY(frmUpdate->chkCloseonComplete->text() == "Close on Complete");
        frmUpdate->cboUpdate->addItem("/x/a.bin");
        frmUpdate->spDelBMP->click();
        QCOMPARE(frmUpdate->cboUpdate->count(), 0);
        QVERIFY(frmUpdate->cboUpdate->currentText().isEmpty());
        frmUpdate->hide();
    }

    void browseAndReopeningShowTheRightState()
    {
        PtyPeer pty;
        start(pty.SlavePath(), "QX-Board1");
        const std::string fw1 = writeFirmware("fw1.bin", "one");
        const std::string fw2 = writeFirmware("fw2.bin", "two");
        const auto browse = [](const std::string& file) {
            // Chosen once the dialog is on show (showing it would put back its last choice).
            auto* chooser = new QTimer(frmUpdate);
            QObject::connect(chooser, &QTimer::timeout, frmUpdate, [chooser, file] {
                if (!frmUpdate->dlgOpen->isVisible())
                    return;
                chooser->deleteLater();
                chooser->stop();
                // Typed into the dialog's name box, as a user would; the file list's own selection (the
                // dialog puts back the last choice) would win over typed text, so none is left.
                for (QAbstractItemView* view : frmUpdate->dlgOpen->findChildren<QAbstractItemView*>())
                    if (view->selectionModel())
                        view->selectionModel()->clearSelection();
                frmUpdate->dlgOpen->findChild<QLineEdit*>("fileNameEdit")->setText(QString::fromStdString(file));
                QMetaObject::invokeMethod(frmUpdate->dlgOpen, "accept");
            });
            chooser->start(5);
            frmUpdate->cmdBrows->click();
        };
        // Opens the dialog for the device shown in the main window, runs check on it, then presses
        // Cancel, which closes an idle dialog.
        const auto openFor = [](const QString& device, const std::function<void()>& check) {
            frmTerm->cboDevice->setCurrentIndex(frmTerm->cboDevice->findText(device));
            frmTerm->cboDeviceChange();
            bool checked = false;
            QTimer::singleShot(0, frmUpdate, [&] {
                check();
                checked = true;
                frmUpdate->cmdCancel->click();
            });
            frmTerm->UpdateClick();
            QVERIFY(checked);
            QVERIFY(!frmUpdate->isVisible());
        };

        openFor("QX-Board1", [&] {
            QCOMPARE(frmUpdate->lblDeviceName->text(), QString("Update Device QX-Board1"));
            QCOMPARE(frmUpdate->lblFileName->text(), QString("none"));
            browse(fw1);
            // Browse names the chosen file at once.
            QCOMPARE(frmUpdate->lblFileName->text(), QString("fw1.bin"));
            // What a finished run leaves behind.
            frmUpdate->lblPacket->setText("12");
            frmUpdate->pbUpload->setRange(0, 10);
            frmUpdate->pbUpload->setValue(10);
        });
        openFor("QX-Board2", [&] {
            // Nothing of the earlier run on show.
            QCOMPARE(frmUpdate->lblDeviceName->text(), QString("Update Device QX-Board2"));
            QCOMPARE(frmUpdate->lblPacket->text(), QString("0"));
            QCOMPARE(frmUpdate->pbUpload->value(), 0);
            browse(fw2);
        });
        // Back to the first device: its file, although the selection put the box back.
        openFor("QX-Board1", [&] {
            QCOMPARE(frmUpdate->cboUpdate->currentText(), QString::fromStdString(fw1));
            QCOMPARE(frmUpdate->lblFileName->text(), QString("fw1.bin"));
        });
        openFor("QX-Board2", [&] { QCOMPARE(frmUpdate->cboUpdate->currentText(), QString::fromStdString(fw2)); });
        QCOMPARE(itemsOf(frmUpdate->cboUpdate),
                 (QStringList {"none", QString::fromStdString(fw1), QString::fromStdString(fw2)}));
        QCOMPARE(peerRead(pty, 1, 50), std::string());
    }

    void portClosedAndMissingFileSendNothing()
    {
        PtyPeer pty;
        start(pty.SlavePath(), "QX-Board1", writeFirmware("fw.bin", "abc"));
        frmUpdate->cmdUpdate->click();
        QVERIFY(statusHas("COM port NOT OPEN"));
        QCOMPARE(statusColourOf("NOT OPEN"), QColor(Qt::red));

        connectPort();
        const std::string missing = fx_->dir() + "gone.bin";
        frmUpdate->cboUpdate->setEditText(QString::fromStdString(missing));
        frmUpdate->cmdUpdate->click();
        QVERIFY(statusHas("File " + missing + "  Does not exist\n"));
        QCOMPARE(peerRead(pty, 1, 300), std::string());
        QVERIFY(!statusHas("Updating Complete"));
    }

    void appLoader1UploadsTheFileAndClosesTheDialog()
    {
        TDevsim devsim(DEVSIM_EXE, fx_->dir(), profile("loader1.ini"));
        QVERIFY(devsim.ok());
        const std::string image = randomBytes(5000, 1);
        start(devsim.link(), "QX-Board1", writeFirmware("fw1.bin", image));
        connectPort();
        frmUpdate->chkCloseonComplete->setChecked(true);
        frmUpdate->show();
        frmUpdate->cmdUpdate->click();

        QVERIFY2(inOrder({"App Loder Version 1\n", "C found Updating device \n", "Transfer Started\n",
                          "Transfer ended\n", "Updating Complete\n"}),
                 statusText().c_str());
        QVERIFY(!frmUpdate->isVisible());
        QCOMPARE(frmUpdate->lastOutcome(), TUpdateOutcome::Uploaded);
        QCOMPARE(frmUpdate->lblPacket->text(), QString("5"));
        QCOMPARE(frmUpdate->pbUpload->value(), frmUpdate->pbUpload->maximum());
        QTRY_VERIFY_WITH_TIMEOUT(!newestFile(devsimOut(), "firmware-v1").empty(), 5000);
        const std::string received = newestFile(devsimOut(), "firmware-v1");
        // XMODEM pads the last block to its full 1024 bytes.
        QCOMPARE(received.size(), size_t(5120));
        QVERIFY(received.compare(0, image.size(), image) == 0);
        QVERIFY(!frmTerm->VaComm1->FlowControl().OutCtsFlow());
    }

    void appLoader2UploadsInChunks()
    {
        TDevsim devsim(DEVSIM_EXE, fx_->dir(), profile("loader2.ini"));
        QVERIFY(devsim.ok());
        const std::string image = randomBytes(3000, 2);
        start(devsim.link(), "QX-Board2", writeFirmware("fw2.bin", image));
        connectPort();
        frmTerm->mmoTerm->clear();
        frmUpdate->cmdUpdate->click();
        QVERIFY2(inOrder({"App Loader Version 2-2\n", "EOF\n", "Updating Complete\n"}), statusText().c_str());
        QCOMPARE(statusColourOf("EOF"), QColor(0, 128, 128));
        QCOMPARE(frmUpdate->lblPacket->text(), QString("2"));
        QCOMPARE(frmUpdate->pbUpload->value(), 3000);
        QTRY_COMPARE_WITH_TIMEOUT(newestFile(devsimOut(), "firmware-v2"), image, 10000);
        // The length went as 3010 = 00 00 0B C2: the loader took exactly the image.

        // A file below one chunk goes as a single chunk after the one ACK.
        // The loader restarts the application, which greets again, before the next update.
        QTRY_VERIFY_WITH_TIMEOUT(TWindowFixture::paneText().find("QX-Board2 v4.0") != std::string::npos, 5000);
        const std::string small = randomBytes(100, 3);
        frmUpdate->cboUpdate->setEditText(QString::fromStdString(writeFirmware("fw3.bin", small)));
        fx_->clearMessages();
        frmTerm->reStatus->clear();
        frmUpdate->cmdUpdate->click();
        QVERIFY2(inOrder({"App Loader Version 2-2\n", "EOF\n", "Updating Complete\n"}), statusText().c_str());
        QCOMPARE(frmUpdate->lblPacket->text(), QString("1"));
        QTRY_COMPARE_WITH_TIMEOUT(newestFile(devsimOut(), "firmware-v2-002"), small, 10000);
    }

    void boardReenumeratedAfterItsUpdateIsConnectedAgain()
    {
        // A board whose loader speaks USB comes back on another pseudo-terminal after its update:
        // the update's outcome stays as the loader reported it, and the window connects again.
        TDevsim devsim(DEVSIM_EXE, fx_->dir(), profile("loader2-usb.ini"));
        QVERIFY(devsim.ok());
        const std::string image = randomBytes(3000, 4);
        start(devsim.link(), "QX-Board2", writeFirmware("fw4.bin", image));
        connectPort();
        const QString before = QFileInfo(QString::fromStdString(devsim.link())).symLinkTarget();
        frmUpdate->cmdUpdate->click();
        QVERIFY2(inOrder({"App Loader Version 2-2\n", "EOF\n", "Updating Complete\n"}), statusText().c_str());
        QTRY_VERIFY_WITH_TIMEOUT(statusHas("Device disconnected"), 10000);
        QTRY_VERIFY2_WITH_TIMEOUT(frmTerm->VaComm1->Active(), statusText().c_str(), 10000);
        QVERIFY(frmTerm->spdConnect->isChecked());
        QVERIFY(QFileInfo(QString::fromStdString(devsim.link())).symLinkTarget() != before);
        QVERIFY2(inOrder({"Updating Complete\n", "Device disconnected\n", devsim.link() + " is back after "}),
                 statusText().c_str());
        QVERIFY(!statusHas("Update failed"));
        QCOMPARE(newestFile(devsimOut(), "firmware-v2"), image);
        QVERIFY2(fx_->errors.isEmpty(), qPrintable(fx_->errors.join("; ")));
    }

    void refusedChunkIsNoSuccess()
    {
        TDevsim devsim(DEVSIM_EXE, fx_->dir(), profile("loader2-nak.ini"));
        QVERIFY(devsim.ok());
        start(devsim.link(), "QX-Board2", writeFirmware("fw4.bin", randomBytes(3000, 4)));
        connectPort();
        frmTerm->HWFlow1->setChecked(true);
        frmUpdate->cmdUpdate->click();
        QVERIFY2(inOrder({"NACK recieved ", "Aborting upload\n"}), statusText().c_str());
        QCOMPARE(statusColourOf("Aborting upload"), QColor(Qt::red));
        QVERIFY(!statusHas("Updating Complete"));
        QCOMPARE(frmUpdate->lastOutcome(), TUpdateOutcome::Refused);
        QVERIFY(frmTerm->VaComm1->FlowControl().OutCtsFlow());
    }

    void generationDecision_data()
    {
        QTest::addColumn<QString>("profileName");
        QTest::addColumn<int>("outcome");
        QTest::newRow("both prompts: generation 2") << "loader2-both.ini" << int(TUpdateOutcome::Uploaded);
        QTest::newRow("no known prompt") << "loader-none.ini" << int(TUpdateOutcome::NoLoader);
    }

    void generationDecision()
    {
        QFETCH(QString, profileName);
        QFETCH(int, outcome);
        TDevsim devsim(DEVSIM_EXE, fx_->dir(), profile(profileName.toStdString()));
        QVERIFY(devsim.ok());
        const std::string image = randomBytes(100, 5);
        start(devsim.link(), "QX-Board2", writeFirmware("fw5.bin", image));
        connectPort();
        frmUpdate->cmdUpdate->click();
        QCOMPARE(int(frmUpdate->lastOutcome()), outcome);
        if (outcome == int(TUpdateOutcome::Uploaded)) {
            QVERIFY(statusHas("App Loader Version 2-"));
            QVERIFY(!statusHas("App Loder Version 1"));
            QTRY_COMPARE_WITH_TIMEOUT(newestFile(devsimOut(), "firmware-v2"), image, 10000);
        } else {
            QVERIFY2(statusHas("No boot loader answered, received: \"#13#10Boot monitor 0.9 ready#13#10\""),
                     statusText().c_str());
            QCOMPARE(statusColourOf("No boot loader answered"), QColor(Qt::red));
            QVERIFY(!statusHas("Updating Complete"));
            QVERIFY(newestFile(devsimOut(), "firmware").empty());
        }
    }

    void cancelWhileWaitingForC()
    {
        PtyPeer pty;
        start(pty.SlavePath(), "QX-Board1", writeFirmware("fw6.bin", randomBytes(3000, 6)));
        connectPort();
        SilentLoader loader(pty);
        cancelWhenShown("App Loder Version 1", 700);
        frmUpdate->cmdUpdate->click();
        QVERIFY2(inOrder({"App Loder Version 1\n", "C found Updating device \n", "Update cancelled\n"}),
                 statusText().c_str());
        QCOMPARE(frmUpdate->lastOutcome(), TUpdateOutcome::Cancelled);
        QCOMPARE(statusColourOf("Update cancelled"), QColor(Qt::red));
        QVERIFY(!statusHas("Updating Complete"));
        // The cancelled transfer ends on the idle port and reports its end there.
        QTRY_VERIFY_WITH_TIMEOUT(statusHas("Transfer ended\n"), 5000);
        QVERIFY(!frmUpdate->VaXModem2->Busy());
        QTest::qWait(200);
        // The device got the CR, the entry command and the answer, and no CAN.
        QCOMPARE(loader.received(), std::string("\r!bootU"));
    }

    void interruptedWaitForC_data()
    {
        QTest::addColumn<QString>("how");
        QTest::addColumn<int>("outcome");
        QTest::newRow("port closed") << "close" << int(TUpdateOutcome::PortLost);
        QTest::newRow("device vanished") << "vanish" << int(TUpdateOutcome::PortLost);
        QTest::newRow("program closing") << "quit" << int(TUpdateOutcome::Closing);
    }

    void interruptedWaitForC()
    {
        QFETCH(QString, how);
        QFETCH(int, outcome);
        PtyPeer pty;
        start(pty.SlavePath(), "QX-Board1", writeFirmware("fw7.bin", randomBytes(3000, 7)));
        connectPort();
        {
            SilentLoader loader(pty);
            QTimer::singleShot(1500, frmUpdate, [&] {
                if (how == "close")
                    frmTerm->spdConnect->click();
                else if (how == "vanish")
                    pty.CloseMaster();
                else
                    frmTerm->context->setClosing(true);
            });
            const auto started = Clock::now();
            frmUpdate->cmdUpdate->click();
            QVERIFY(Clock::now() - started < std::chrono::seconds(5));
        }
        frmTerm->context->setClosing(false);
        QCOMPARE(int(frmUpdate->lastOutcome()), outcome);
        QVERIFY(statusHas("App Loder Version 1\n"));
        QVERIFY(!statusHas("C found"));
        QVERIFY(!statusHas("Updating Complete"));
        QVERIFY(!frmUpdate->VaXModem2->Busy());
        if (outcome == int(TUpdateOutcome::PortLost))
            QVERIFY(statusHas("Update failed: the COM port closed\n"));
    }

    void cancelDuringAppLoader2RestoresCtsFlow()
    {
        TDevsim devsim(DEVSIM_EXE, fx_->dir(), profile("loader2.ini"));
        QVERIFY(devsim.ok());
        start(devsim.link(), "QX-Board2", writeFirmware("fw8.bin", randomBytes(200000, 8)));
        connectPort();
        frmTerm->HWFlow1->setChecked(true);
        cancelWhenShown("App Loader Version 2-", 20);
        frmUpdate->cmdUpdate->click();
        QCOMPARE(frmUpdate->lastOutcome(), TUpdateOutcome::Cancelled);
        QVERIFY2(statusHas("Update cancelled\n"), statusText().c_str());
        QCOMPARE(statusColourOf("Update cancelled"), QColor(Qt::red));
        QVERIFY(!statusHas("Updating Complete"));
        QVERIFY(frmUpdate->pbUpload->value() < 200000);
        QVERIFY(frmTerm->VaComm1->FlowControl().OutCtsFlow());
        QVERIFY(frmUpdate->cmdUpdate->isEnabled());
    }

    void resetPulse_data()
    {
        QTest::addColumn<bool>("dtrLow");
        QTest::newRow("resting high") << false;
        QTest::newRow("resting low") << true;
    }

    void resetPulse()
    {
        QFETCH(bool, dtrLow);
        TDevsim devsim(DEVSIM_EXE, fx_->dir(), profile("loader-none.ini"));
        QVERIFY(devsim.ok());
        start(devsim.link(), "QX-Board1", writeFirmware("fw9.bin", "x"));
        auto lines = std::make_shared<TimedModemLines>();
        frmTerm->VaComm1->SetModemLines(lines);
        connectPort();
        frmTerm->DTRlow1->setChecked(dtrLow);
        const QColor pane = frmTerm->mmoTerm->palette().color(QPalette::Base);
        {
            std::lock_guard lock(lines->mutex);
            lines->changes.clear();
        }
        frmUpdate->cmdUpdate->click();
        std::lock_guard lock(lines->mutex);
        QCOMPARE(lines->changes.size(), size_t(2));
        QCOMPARE(lines->changes[0].second, !dtrLow);
        QCOMPARE(lines->changes[1].second, dtrLow);
        const auto pulse = lines->changes[1].first - lines->changes[0].first;
        QVERIFY(pulse >= std::chrono::milliseconds(95));
        QVERIFY(pulse < std::chrono::milliseconds(300));
        QCOMPARE(frmTerm->mmoTerm->palette().color(QPalette::Base), pane);
    }

    void resetPulseOverARemotePort()
    {
        // The pulse is DTR over SET-CONTROL: on, then back to off where it rests.
        Rfc2217Peer peer;
        start(peer.url(), "QX-Board1", writeFirmware("fw10.bin", "x"));
        connectPort();
        QVERIFY(!frmTerm->DTRlow1->isChecked());
        const size_t before = peer.commands().size();
        frmUpdate->cmdUpdate->click();
        QCOMPARE(int(frmUpdate->lastOutcome()), int(TUpdateOutcome::NoLoader));
        std::vector<uint32_t> dtr;
        const std::vector<TVaComPortReply> commands = peer.commands();
        for (size_t i = before; i < commands.size(); ++i)
            if (commands[i].code == rfc2217::SET_CONTROL && (commands[i].Number() == 8 || commands[i].Number() == 9))
                dtr.push_back(commands[i].Number());
        // (Setting up the loader's line may state the resting level first.)
        QCOMPARE(std::count(dtr.begin(), dtr.end(), 8u), 1);
        QVERIFY(dtr.size() >= 2);
        QCOMPARE(std::vector<uint32_t>(dtr.end() - 2, dtr.end()), (std::vector<uint32_t>{8, 9}));
    }
};

QTEST_MAIN(TestUpdate)
#include "test_update.moc"
