// A device that vanishes in the middle of an operation (the adapter pulled out): an XMODEM send and
// receive, a text send and a binary send each end soon with "Device disconnected" and a message of
// their own, nothing keeps spinning, an XMODEM download keeps what came, nothing resumes, and the
// device plugged in again at the same path is connected again by itself.
#include "AtomicFile.h"
#include "BmpTab.h"
#include "FlashPanel.h"
#include "ImageFiles.h"
#include "Program.h"
#include "PtyPeer.h"
#include "WindowFixture.h"
#include "XModem.h"
#include "qx_com.h"

#include "VaComm.h"
#include "VaProtocol.h"

#include <QComboBox>
#include <QTabWidget>
#include <QElapsedTimer>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QTest>
#include <QToolButton>

#include <algorithm>
#include <ctime>
#include <functional>

namespace {

constexpr char NAK = 0x15, ACK = 0x06, SOH = 0x01;

double cpuSeconds()
{
    timespec t{};
    ::clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) / 1e9;
}

std::string pattern(size_t size)
{
    std::string data(size, '\0');
    for (size_t i = 0; i < data.size(); ++i)
        data[i] = static_cast<char>((i * 13 + i / 256) & 0xFF);
    return data;
}

// Block n (from 1) of data as an XMODEM checksum frame.
std::string checksumFrame(const std::string& data, size_t n)
{
    std::string block = data.substr((n - 1) * 128, 128);
    block.resize(128, '\x1A');
    std::string frame{SOH, static_cast<char>(n & 0xFF), static_cast<char>(255 - (n & 0xFF))};
    uint8_t sum = 0;
    for (char c : block)
        sum = static_cast<uint8_t>(sum + static_cast<uint8_t>(c));
    return frame + block + static_cast<char>(sum);
}

size_t countOf(const std::string& text, char c)
{
    return static_cast<size_t>(std::count(text.begin(), text.end(), c));
}

} // namespace

class TestDisconnect : public QObject {
    Q_OBJECT

private:
    std::unique_ptr<TWindowFixture> fx_;
    std::unique_ptr<TVanishingDevice> device_;

    void connect()
    {
        QCOMPARE(frmTerm->cboPort->currentText().toStdString(), device_->link());
        frmTerm->spdConnect->click();
        QVERIFY2(frmTerm->VaComm1->Active(), qPrintable(fx_->errors.join("; ")));
        device_->pty().ReadFor(std::chrono::milliseconds(100)); // whatever the connect sent
        fx_->clearMessages();
    }

    // What every cut-off operation must show once it has been started and the device has gone:
    // the port closes, the status pane says "Device disconnected", the operation's own message
    // appears (in ownText), nothing spins afterwards, and the device plugged in again at the same
    // path is connected and talks.
    void checkCutOff(const char* operation, const std::function<QString()>& ownText, const QString& ownMessage)
    {
        QElapsedTimer clock;
        clock.start();
        QTRY_VERIFY_WITH_TIMEOUT(device_->vanished(), 10000);
        QTRY_VERIFY_WITH_TIMEOUT(!frmTerm->VaComm1->Active(), 5000);
        QTRY_VERIFY2_WITH_TIMEOUT(ownText().contains(ownMessage), qPrintable(ownText() + fx_->errors.join("; ")), 5000);
        std::printf("%s: ended %lld ms after the device vanished\n", operation,
                    static_cast<long long>(clock.elapsed()));
        QVERIFY(TWindowFixture::statusText().find("Device disconnected") != std::string::npos);
        QVERIFY(!frmTerm->spdConnect->isChecked());
        QVERIFY(TVaProtocolThread::LiveWorkers() == 0);
        QVERIFY2(fx_->errors.isEmpty(), qPrintable(fx_->errors.join("; ")));

        // Idle with the device gone: no thread keeps working.
        const double before = cpuSeconds();
        QTest::qWait(500);
        const double used = cpuSeconds() - before;
        QVERIFY2(used < 0.2, qPrintable(QString("%1 CPU seconds in half a second").arg(used)));

        // Plugged in again: the window connects by itself, sends the device nothing of its own,
        // and the line works both ways.
        QVERIFY(frmTerm->waitingForDevice());
        device_->comeBack();
        QTRY_VERIFY2_WITH_TIMEOUT(frmTerm->VaComm1->Active(), qPrintable(statusText()), 10000);
        QVERIFY(frmTerm->spdConnect->isChecked());
        QVERIFY(!frmTerm->waitingForDevice());
        QVERIFY(statusText().contains(QString::fromStdString(device_->link()) + " is back after "));
        QCOMPARE(device_->pty().ReadFor(std::chrono::milliseconds(100)), std::string());
        frmTerm->VaComm1->WriteText("back");
        QCOMPARE(device_->pty().Read(4), std::string("back"));
        device_->pty().Write(std::string("hello"));
        QTRY_VERIFY_WITH_TIMEOUT(TWindowFixture::paneText().find("hello") != std::string::npos, 5000);
    }

    void showXModem(const std::string& file)
    {
        frmXModem->show();
        (void)QTest::qWaitForWindowActive(frmXModem, 2000);
        frmXModem->cboXModemProtocol->setCurrentIndex(0);
        frmXModem->txtXModemFileName->setText(QString::fromStdString(file));
        frmXModem->Memo1->clear();
    }

    QString xmodemText() const { return frmXModem->Memo1->toPlainText(); }
    static QString statusText() { return QString::fromStdString(TWindowFixture::statusText()); }

private slots:
    void initTestCase() { fx_ = std::make_unique<TWindowFixture>("qxgone"); }

    void init()
    {
        device_ = std::make_unique<TVanishingDevice>(fx_->dir() + "qx-device");
        fx_->start("[Comms]\nExtraPorts=" + device_->link() + "\nPort=1\n");
        connect();
    }

    void cleanup()
    {
        fx_->stop();
        device_.reset();
    }

    void cleanupTestCase() { fx_.reset(); }

    void xmodemSend()
    {
        const std::string file = fx_->dir() + "out.bin";
        writeFileAtomically(file, pattern(64 * 1024));
        showXModem(file);
        // A checksum receiver, asking once the transfer waits, that acknowledges four blocks and is
        // gone in the middle of the fifth.
        frmXModem->cmdXModemSend->click();
        device_->play(
            std::string(1, NAK),
            [acked = size_t(0)](const std::string& received, const std::string&) mutable {
                std::string reply;
                for (; acked < received.size() / 132; ++acked)
                    reply += ACK;
                return reply;
            },
            [](const std::string& received) { return received.size() >= 4 * 132 + 60; });
        checkCutOff("XMODEM send", [this] { return xmodemText(); }, "Exitcode:");
        QVERIFY(xmodemText().contains("Device disconnected\nTransfer ended.\nExitcode: -3"));
    }

    void xmodemReceive()
    {
        const std::string file = fx_->dir() + "in.bin";
        ::unlink(file.c_str());
        const std::string data = pattern(20 * 128);
        showXModem(file);
        // A checksum sender that gets four blocks acknowledged and is gone before the fifth.
        frmXModem->cmdXModemRecieve->click();
        device_->play(
            {},
            [&data, sent = size_t(0)](const std::string&, const std::string& piece) mutable {
                std::string reply;
                for (char c : piece)
                    if (c == NAK || c == ACK)
                        reply += checksumFrame(data, ++sent);
                return reply;
            },
            [](const std::string& received) { return countOf(received, ACK) >= 4; });
        checkCutOff("XMODEM receive", [this] { return xmodemText(); }, "Exitcode:");
        QVERIFY(xmodemText().contains("Device disconnected\nTransfer ended.\nExitcode: -3"));
        // What came is kept under the name asked for.
        std::string got;
        QVERIFY(readWholeFile(file, got));
        QCOMPARE(got.size(), size_t(4 * 128));
        QVERIFY(got == data.substr(0, got.size()));
    }

    void textSend()
    {
        std::string text;
        for (int i = 1; i <= 100; ++i)
            text += "line " + std::to_string(i) + "\n";
        const std::string file = fx_->dir() + "lines.txt";
        writeFileAtomically(file, text);
        frmTerm->setCurrentFile(QString::fromStdString(file));
        // Each line is answered with the wait character until the device vanishes after the third.
        device_->play(
            {},
            [](const std::string&, const std::string& piece) {
                return std::string(countOf(piece, '\r'), '\x06');
            },
            [](const std::string& received) { return countOf(received, '\r') >= 3; });
        frmTerm->ResendText1->trigger(); // returns when the send has ended
        checkCutOff("text send", statusText, "Text send stopped at line 3 of 100");
        QVERIFY(!sendingText);
        QVERIFY(frmTerm->ProgressBar1->isHidden());
    }

    void binarySend()
    {
        const std::string file = fx_->dir() + "blob.bin";
        writeFileAtomically(file, pattern(1024 * 1024));
        frmTerm->setCurrentFile(QString::fromStdString(file));
        device_->play({}, {}, [](const std::string& received) { return received.size() >= 4096; });
        frmTerm->ToolButton9->trigger(); // returns when the send has ended
        checkCutOff("binary send", statusText, "Binary send stopped after");
        QVERIFY(statusText().contains(" of 1048576 bytes"));
        QVERIFY(frmTerm->ProgressBar1->isHidden());
    }

    void pictureUpload()
    {
        const std::string file = fx_->dir() + "full.bmp";
        writeFileAtomically(file, imagefiles::makeBmp({240, 320, 24}, [](int x, int y) { return uint32_t(x * 7 + y); }));
        frmTerm->PageControl1->setTabEnabled(1, true);
        frmTerm->BMP->cboBMPfileName->addItem(QString::fromStdString(file));
        frmTerm->BMP->cboBMPfileName->setCurrentIndex(frmTerm->BMP->cboBMPfileName->count() - 1);
        frmTerm->BMP->refreshTools();
        device_->play({}, {}, [](const std::string& received) { return received.size() >= 4096; });
        frmTerm->BMP->cmdBMPsend->click(); // returns when the upload has ended
        checkCutOff("picture upload", statusText, "Picture upload stopped after");
        QVERIFY(statusText().contains(" of 230404 bytes"));
        QVERIFY(frmTerm->ProgressBar1->isHidden());
    }

    void gridRefresh()
    {
        // The device answers block queries until the tenth, then goes.
        device_->play(
            {}, [](const std::string&, const std::string& piece) { return piece.find('q') != std::string::npos ? std::string("0*") : std::string(); },
            [](const std::string& received) { return countOf(received, 'q') >= 10; });
        frmTerm->PageControl1->setTabEnabled(1, true);
        frmTerm->BMP->flash->cmdFlashRefreshClick();
        checkCutOff("grid refresh", statusText, "No response from query block");
        QVERIFY(frmTerm->isEnabled());
        QCOMPARE(frmTerm->BMP->flash->Grid->blockColour[0][0], QColor(0, 255, 0));
    }
};

QTEST_MAIN(TestDisconnect)
#include "test_disconnect.moc"
