// The XMODEM dialog offscreen: the "#n" notation, transfers through the main window's port with the
// terminal seeing none of their bytes, Abort, and the texts sent on activation changes.
#include "AtomicFile.h"
#include "Messages.h"
#include "Places.h"
#include "Program.h"
#include "Ser2net.h"
#include "XModem.h"
#include "WindowFixture.h"
#include "XferTestUtil.h"
#include "qx_com.h"

#include "VaComm.h"
#include "VaProtocol.h"

#include <QApplication>
#include <QCheckBox>
#include <QTextEdit>
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTest>
#include <QToolButton>

#include <atomic>
#include <filesystem>
#include <poll.h>
#include <thread>
#include <unistd.h>

namespace {

// Handles window events and hand-overs until pred holds (or ms pass).
bool pump(const std::function<bool()>& pred, int ms = 20000)
{
    QDeadlineTimer deadline(ms);
    while (!pred() && !deadline.hasExpired()) {
        processMessages();
        QTest::qWait(5);
    }
    return pred();
}

// A plain XMODEM receiver (128-byte blocks, 8-bit sum) on the device side of the line.
class ChecksumReceiver {
public:
    explicit ChecksumReceiver(int fd) : fd_(fd)
    {
        thread_ = std::thread([this] { run(); });
    }
    ~ChecksumReceiver()
    {
        stop_ = true;
        thread_.join();
    }
    bool done() const { return done_; }
    std::string data() const { return done_ ? data_ : std::string(); }

private:
    bool get(uint8_t& c)
    {
        int idle = 0;
        while (!stop_) {
            pollfd p{fd_, POLLIN, 0};
            if (::poll(&p, 1, 50) > 0 && ::read(fd_, &c, 1) == 1)
                return true;
            // Until the sender starts, ask again now and then, as receivers do.
            if (!started_ && ++idle % 10 == 0)
                put(0x15);
        }
        return false;
    }
    void put(uint8_t c) { (void)::write(fd_, &c, 1); }
    void run()
    {
        put(0x15); // NAK: checksum mode
        uint8_t c;
        uint8_t expected = 1;
        while (get(c)) {
            started_ = true;
            if (c == 0x04) {
                put(0x06);
                done_ = true;
                return;
            }
            if (c != 0x01)
                continue;
            uint8_t block[131];
            for (auto& b : block)
                if (!get(b))
                    return;
            uint8_t sum = 0;
            for (int i = 2; i < 130; ++i)
                sum = static_cast<uint8_t>(sum + block[i]);
            if (sum != block[130]) {
                put(0x15);
                continue;
            }
            if (block[0] == expected) {
                data_.append(reinterpret_cast<const char*>(block + 2), 128);
                ++expected;
            }
            put(0x06);
        }
    }

    int fd_;
    std::atomic<bool> stop_{false};
    std::atomic<bool> done_{false};
    bool started_ = false;
    std::string data_;
    std::thread thread_;
};

// lrzsz on a socket, joined to the device side of our pty by a relay: lrzsz's own line settings
// then stay off our end of the pty, as on a serial line.
struct LrzszLine {
    SocketPair sockets;
    Relay relay;
    explicit LrzszLine(int master) : relay(master, sockets.fd[0]) {}
    int Fd() const { return sockets.fd[1]; }
};

} // namespace

class TestXModem : public QObject {
    Q_OBJECT

private:
    std::unique_ptr<TWindowFixture> fx_;
    std::unique_ptr<Pty> pty_;

    // Connects the window to port (the pseudo-terminal when none is given).
    void start(std::string port = {})
    {
        if (port.empty())
            port = pty_->SlavePath();
        writeFileAtomically(fx_->settingsPath(), "[Comms]\nExtraPorts=" + port + "\nPort=1\n");
        createWindows();
        frmTerm->show();
        frmTerm->FormActivate();
        frmTerm->spdConnect->click();
        QVERIFY(frmTerm->VaComm1->Active());
        pty_->Read(4096, 200); // whatever the connect sent
        rxBuffer.clear();
        frmTerm->mmoTerm->clear();
    }

private slots:
    void initTestCase() { fx_ = std::make_unique<TWindowFixture>("qxxm"); }

    void init()
    {
        pty_ = std::make_unique<Pty>();
        fx_->clearMessages();
    }

    void cleanup()
    {
        fx_->stop();
        pty_.reset();
    }

    void cleanupTestCase() { fx_.reset(); }

    void expandSpecialCharsExamples()
    {
        QCOMPARE(expandSpecialChars("AT#13"), std::string("AT\r"));
        QCOMPARE(expandSpecialChars("#27 [2J"), std::string("\x1b [2J"));
        QCOMPARE(expandSpecialChars("x#13 #10"), std::string("x\r \n"));
        QCOMPARE(expandSpecialChars("ab#"), std::string("ab"));
        QCOMPARE(expandSpecialChars("#65 #66"), std::string("A B"));
        QCOMPARE(expandSpecialChars("#200"), std::string(1, static_cast<char>(200)));
        QCOMPARE(expandSpecialChars("#300"), std::string(","));
        // "#65#66": the second "#" counts as a digit, so one number: (65*10 + ('#'-48)) ... low 8 bits.
        const unsigned v = ((65u * 10u + static_cast<unsigned>('#' - 48)) * 10u + 6u) * 10u + 6u;
        QCOMPARE(expandSpecialChars("#65#66"), std::string(1, static_cast<char>(v & 0xFF)));
        QCOMPARE(expandSpecialChars("a#0 b"), std::string("a"));
        QCOMPARE(expandSpecialChars(std::string(150, 'x')).size(), size_t(100));
    }

    void sendAndReceiveThroughTheMainPort()
    {
        start();
        const Bytes file = RandomBytes(1000, 7);
        WriteFileBytes(fx_->dir() + "out.bin", file);
        frmXModem->show();
        // Its activation (which clears the labels) comes before the transfer, however late.
        (void)QTest::qWaitForWindowActive(frmXModem, 2000);
        frmXModem->txtXModemFileName->setText(QString::fromStdString(fx_->dir() + "out.bin"));
        {
            ChecksumReceiver peer(pty_->Master());
            frmXModem->cmdXModemSend->click();
            QVERIFY(pump([&] { return frmXModem->Memo1->toPlainText().contains("Exitcode:"); }));
            QVERIFY(peer.done());
            const std::string got = peer.data();
            QCOMPARE(got.size(), size_t(1024));
            QVERIFY(std::string(file.begin(), file.end()) == got.substr(0, file.size()));
            QCOMPARE(got.substr(file.size()), std::string(24, '\0')); // the last block is padded
        }
        QVERIFY(frmXModem->Memo1->toPlainText().contains("Transfer started.\nTransfer ended.\nExitcode: 0"));
        QCOMPARE(frmXModem->Label10->text().toStdString(), fx_->dir() + "out.bin");
        QCOMPARE(frmXModem->Label11->text(), QString("1000"));
        QCOMPARE(frmXModem->Label2->text(), QString("8"));

        // Receiving: lrzsz's sx on the device side sends with 1K blocks and CRC.
        const Bytes incoming = RandomBytes(5000, 8);
        WriteFileBytes(fx_->dir() + "dev.bin", incoming);
        frmXModem->cboXModemProtocol->setCurrentIndex(1);
        frmXModem->txtXModemFileName->setText(QString::fromStdString(fx_->dir() + "in.bin"));
        frmXModem->Memo1->clear();
        {
            Child sx({"sx", "-X", "-k", "dev.bin"}, pty_->Master(), fx_->dir());
            frmXModem->cmdXModemRecieve->click();
            QVERIFY(pump([&] { return frmXModem->Memo1->toPlainText().contains("Exitcode:"); }, 60000));
            QVERIFY(pump([&] { return sx.Exited(); }));
            QCOMPARE(sx.Status(), 0);
        }
        QVERIFY(frmXModem->Memo1->toPlainText().contains("Exitcode: 0"));
        std::string why;
        const Bytes received = ReadFileBytes(fx_->dir() + "in.bin");
        QVERIFY2(IsPaddedCopy(incoming, received, 0x1A, 128, &why), why.c_str());
        // The size shown is that of the file received, not the 0 announced at its start.
        QCOMPARE(frmXModem->Label11->text(), QString::number(received.size()));

        // The terminal saw nothing of either transfer, and has the port back afterwards.
        QVERIFY(rxBuffer.empty());
        QVERIFY(frmTerm->mmoTerm->toPlainText().isEmpty());
        QCOMPARE(frmXModem->VaXModem1->Comm(), static_cast<TVaCustomComm*>(frmXModem->VaComm2.get()));
        pty_->Write(std::string("after"));
        QVERIFY(pump([] { return rxBuffer.find("after") != std::string::npos; }));
        QVERIFY(fx_->errors.isEmpty());
    }

    void xmodem1kBothWaysThroughSer2net()
    {
        // The dialog on an rfc2217:// port served by ser2net, lrzsz on the far pseudo-terminal.
        Ser2net server(pty_->SlavePath());
        start(server.url());
        frmXModem->show();
        (void)QTest::qWaitForWindowActive(frmXModem, 2000);
        frmXModem->cboXModemProtocol->setCurrentIndex(1);

        const Bytes file = RandomBytes(20000, 11);
        WriteFileBytes(fx_->dir() + "remote-up.bin", file);
        frmXModem->txtXModemFileName->setText(QString::fromStdString(fx_->dir() + "remote-up.bin"));
        {
            LrzszLine line(pty_->Master());
            Child rx({"rx", "-X", "-c", "remote-got.bin"}, line.Fd(), fx_->dir());
            frmXModem->cmdXModemSend->click();
            QVERIFY(pump([&] { return frmXModem->Memo1->toPlainText().contains("Exitcode:"); }, 60000));
            QVERIFY(pump([&] { return rx.Exited(); }));
            QCOMPARE(rx.Status(), 0);
        }
        QVERIFY2(frmXModem->Memo1->toPlainText().contains("Exitcode: 0"), qPrintable(frmXModem->Memo1->toPlainText()));
        std::string why;
        QVERIFY2(IsPaddedCopy(file, ReadFileBytes(fx_->dir() + "remote-got.bin"), 0x00, 1024, &why), why.c_str());

        const Bytes incoming = RandomBytes(20000, 12);
        WriteFileBytes(fx_->dir() + "remote-dev.bin", incoming);
        frmXModem->txtXModemFileName->setText(QString::fromStdString(fx_->dir() + "remote-in.bin"));
        frmXModem->Memo1->clear();
        {
            Child sx({"sx", "-X", "-k", "remote-dev.bin"}, pty_->Master(), fx_->dir());
            frmXModem->cmdXModemRecieve->click();
            QVERIFY(pump([&] { return frmXModem->Memo1->toPlainText().contains("Exitcode:"); }, 60000));
            QVERIFY(pump([&] { return sx.Exited(); }));
            QCOMPARE(sx.Status(), 0);
        }
        QVERIFY2(frmXModem->Memo1->toPlainText().contains("Exitcode: 0"), qPrintable(frmXModem->Memo1->toPlainText()));
        QVERIFY2(IsPaddedCopy(incoming, ReadFileBytes(fx_->dir() + "remote-in.bin"), 0x1A, 128, &why), why.c_str());
        QVERIFY(fx_->errors.isEmpty());
    }

    void abortEndsWithMinusThreeAndHides()
    {
        start();
        frmXModem->show();
        // Its activation (which clears the labels) comes before the transfer, however late.
        (void)QTest::qWaitForWindowActive(frmXModem, 2000);
        frmXModem->txtXModemFileName->setText(QString::fromStdString(fx_->dir() + "never.bin"));
        frmXModem->cboXModemProtocol->setCurrentIndex(0);
        frmXModem->Memo1->clear();
        frmXModem->cmdXModemRecieve->click(); // nobody sends
        QVERIFY(frmXModem->VaXModem1->Busy());
        // A second start is not offered while the transfer runs.
        QVERIFY(!frmXModem->cmdXModemSend->isEnabled());
        QVERIFY(!frmXModem->cmdXModemRecieve->isEnabled());
        frmXModem->cmdXModemSend->click();
        QVERIFY(fx_->errors.isEmpty());
        // The whole program knows a transfer holds the port: no other operation starts meanwhile.
        QVERIFY(frmTerm->context->busy());
        QVERIFY(!frmTerm->Xmodem1->isEnabled());
        frmXModem->cmdXModemAbort->click();
        QVERIFY(frmXModem->isHidden());
        QVERIFY(pump([&] { return !frmXModem->VaXModem1->Busy(); }));
        QVERIFY(!frmTerm->context->busy());
        QVERIFY(frmXModem->cmdXModemSend->isEnabled());
        QVERIFY(frmXModem->cmdXModemRecieve->isEnabled());
        QVERIFY(frmXModem->Memo1->toPlainText().endsWith("Transfer ended.\nExitcode: -3 (cancelled on this side)"));
        // The device was told: the start request, then two CAN.
        const Bytes line = pty_->Read(3, 2000);
        QCOMPARE(std::string(line.begin(), line.end()), std::string("\x15\x18\x18"));
    }

    void closedPortIsRefusedAtOnce()
    {
        writeFileAtomically(fx_->settingsPath(), "[Comms]\nExtraPorts=" + pty_->SlavePath() + "\nPort=1\n");
        createWindows();
        frmTerm->show();
        frmTerm->FormActivate();
        QVERIFY(!frmTerm->VaComm1->Active());
        WriteFileBytes(fx_->dir() + "out.bin", RandomBytes(100, 1));
        frmXModem->txtXModemFileName->setText(QString::fromStdString(fx_->dir() + "out.bin"));
        frmXModem->Memo1->clear();
        for (QPushButton* button : {frmXModem->cmdXModemSend, frmXModem->cmdXModemRecieve}) {
            button->click();
            QVERIFY(!frmXModem->VaXModem1->Busy());
        }
        QCOMPARE(frmXModem->Memo1->toPlainText(),
                 QString("The COM port is closed: connect first.\nThe COM port is closed: connect first."));
        QVERIFY(frmXModem->cmdXModemSend->isEnabled());
        QVERIFY(fx_->errors.isEmpty());
    }

    void anotherOperationKeepsTransfersFromStarting()
    {
        start();
        frmXModem->txtXModemFileName->setText(QString::fromStdString(fx_->dir() + "never.bin"));
        {
            TBusyState upload(*frmTerm->context); // as an upload from a tool tab holds it
            QVERIFY(!frmXModem->cmdXModemSend->isEnabled());
            QVERIFY(!frmXModem->cmdXModemRecieve->isEnabled());
            frmXModem->cmdXModemRecieveClick(); // reached all the same: refused, nothing on the line
            QVERIFY(!frmXModem->VaXModem1->Busy());
        }
        QVERIFY(frmXModem->cmdXModemRecieve->isEnabled());
        QVERIFY(pty_->Read(1, 200).empty());
        QVERIFY(fx_->errors.isEmpty());
    }

    void fileNameLists()
    {
        QCOMPARE(fileNameList("/tmp/a b.bin"), std::vector<std::string>{"/tmp/a b.bin"});
        QCOMPARE(fileNameList("\"/tmp/a b.bin\" \"/tmp/c.bin\""), (std::vector<std::string>{"/tmp/a b.bin", "/tmp/c.bin"}));
        QCOMPARE(fileNameList(""), std::vector<std::string>{});
        QCOMPARE(fileNameList("\"/tmp/x\" \"unclosed"), std::vector<std::string>{"/tmp/x"});
    }

    void ymodemBatchIntoTheFolderAndBackOut()
    {
        start();
        // The YMODEM entries come after the XMODEM ones; the folder is offered only for them.
        QCOMPARE(frmXModem->cboXModemProtocol->count(), 5);
        QCOMPARE(frmXModem->cboXModemProtocol->itemText(3), QString("YMODEM"));
        QCOMPARE(frmXModem->cboXModemProtocol->itemText(4), QString("YMODEM-G"));
        QVERIFY(!frmXModem->txtYModemFolder->isEnabled());
        frmXModem->cboXModemProtocol->setCurrentIndex(3);
        QVERIFY(frmXModem->txtYModemFolder->isEnabled());
        frmXModem->Memo1->clear();

        const std::string dev = fx_->dir() + "dev/", in = fx_->dir() + "in/", back = fx_->dir() + "back/";
        for (const std::string& d : {dev, in, back})
            std::filesystem::create_directories(d);
        const std::vector<std::string> names = {"a.bin", "b b.txt", "c.bin"};
        const std::vector<Bytes> contents = {RandomBytes(3000, 1), RandomBytes(1, 2), RandomBytes(0, 3)};
        for (size_t i = 0; i < names.size(); ++i)
            WriteFileBytes(dev + names[i], contents[i]);

        // A folder that is not there is refused before anything starts.
        frmXModem->txtYModemFolder->setText(QString::fromStdString(fx_->dir() + "missing"));
        frmXModem->cmdXModemRecieve->click();
        QVERIFY(!frmXModem->VaYModem1->Busy());
        QVERIFY(frmXModem->Memo1->toPlainText().endsWith("Choose an existing folder to receive into."));

        frmXModem->txtYModemFolder->setText(QString::fromStdString(in));
        frmXModem->Memo1->clear();
        {
            LrzszLine line(pty_->Master());
            Child sb({"sb", names[0], names[1], names[2]}, line.Fd(), dev);
            frmXModem->cmdXModemRecieve->click();
            QVERIFY(pump([&] { return frmXModem->Memo1->toPlainText().contains("Exitcode:"); }, 60000));
            QVERIFY(pump([&] { return sb.Exited(); }));
            QCOMPARE(sb.Status(), 0);
        }
        QCOMPARE(frmXModem->Memo1->toPlainText(),
                 QString::fromStdString("Transfer started.\nReceived " + in + "a.bin (3000 bytes)\nReceived " + in +
                                        "b b.txt (1 bytes)\nReceived " + in +
                                        "c.bin (0 bytes)\nTransfer ended.\nExitcode: 0 (transfer completed)"));
        for (size_t i = 0; i < names.size(); ++i)
            QVERIFY(ReadFileBytes(in + names[i]) == contents[i]);

        // And back out: the file box takes several files, each in quotes.
        frmXModem->txtXModemFileName->setText(QString::fromStdString("\"" + in + names[0] + "\" \"" + in + names[1] +
                                                                     "\" \"" + in + names[2] + "\""));
        frmXModem->Memo1->clear();
        {
            LrzszLine line(pty_->Master());
            Child rb({"rb"}, line.Fd(), back);
            frmXModem->cmdXModemSend->click();
            QVERIFY(pump([&] { return frmXModem->Memo1->toPlainText().contains("Exitcode:"); }, 60000));
            QVERIFY(pump([&] { return rb.Exited(); }));
            QCOMPARE(rb.Status(), 0);
        }
        QVERIFY(frmXModem->Memo1->toPlainText().contains(QString::fromStdString("Sent " + in + "b b.txt (1 bytes)")));
        QVERIFY(frmXModem->Memo1->toPlainText().endsWith("Exitcode: 0 (transfer completed)"));
        for (size_t i = 0; i < names.size(); ++i)
            QVERIFY(ReadFileBytes(back + names[i]) == contents[i]);

        // A missing file stops the batch before it starts.
        frmXModem->txtXModemFileName->setText(QString::fromStdString("\"" + in + names[0] + "\" \"" + in + "gone\""));
        frmXModem->cmdXModemSend->click();
        QVERIFY(!frmXModem->VaYModem1->Busy());
        QVERIFY(frmXModem->Memo1->toPlainText().endsWith(QString::fromStdString("File not found: " + in + "gone")));
        QVERIFY(fx_->errors.isEmpty());
        QVERIFY(rxBuffer.empty());
    }

    void textsOnActivationChanges()
    {
        start();
        frmXModem->txtStringOnOpen->setText("AT#13");
        frmXModem->chkOnOpen->setChecked(true);
        frmXModem->txtStringOnClose->setText("bye#10");
        frmXModem->chkOnClose->setChecked(true);
        frmXModem->FormActivate();
        Bytes got = pty_->Read(3, 2000);
        QCOMPARE(std::string(got.begin(), got.end()), std::string("AT\r"));
        frmXModem->FormDeactivate();
        got = pty_->Read(4, 2000);
        QCOMPARE(std::string(got.begin(), got.end()), std::string("bye\n"));
        // The deactivation stored the settings; the protocol choice is not among them.
        frmXModem->cboXModemProtocol->setCurrentIndex(2);
        frmTerm->close();
        destroyWindows();
        createWindows();
        QCOMPARE(frmXModem->txtStringOnOpen->text(), QString("AT#13"));
        QVERIFY(frmXModem->chkOnClose->isChecked());
        QCOMPARE(frmXModem->cboXModemProtocol->currentText(), QString("XMODEM"));
    }

    void activationCountsOnlyBetweenTheProgramsWindows()
    {
        start();
        frmXModem->txtStringOnOpen->setText("open");
        frmXModem->chkOnOpen->setChecked(true);
        frmXModem->txtStringOnClose->setText("close");
        frmXModem->chkOnClose->setChecked(true);
        auto activate = [](QWidget* w) {
            QEvent event(QEvent::WindowActivate);
            QApplication::sendEvent(w, &event);
        };
        auto hints = [] { return frmTerm->reStatus->toPlainText().count("1) Select COM port and parameters"); };
        activate(frmTerm);
        const int before = hints();
        // Focus went to another program and came back: nothing is repeated.
        activate(frmTerm);
        QCOMPARE(hints(), before);
        // The dialog takes over, then the main window again: each one's handlers run once.
        activate(frmXModem);
        Bytes got = pty_->Read(4, 2000);
        QCOMPARE(std::string(got.begin(), got.end()), std::string("open"));
        activate(frmXModem);
        activate(frmTerm);
        got = pty_->Read(100, 500);
        QCOMPARE(std::string(got.begin(), got.end()), std::string("close"));
        QCOMPARE(hints(), before + 1);
    }
};

QTEST_MAIN(TestXModem)
#include "test_xmodem.moc"
