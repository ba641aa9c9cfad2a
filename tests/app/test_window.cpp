// The main window offscreen against pseudo-terminals: port list, connecting, the terminal, line
// settings, the settings file and the text and binary sends.
#include "AtomicFile.h"
#include "ToolContext.h"
#include "DeviceChannel.h"
#include "IniFile.h"
#include "Messages.h"
#include "Places.h"
#include "Program.h"
#include "PtyPeer.h"
#include "Update.h"
#include "WindowFixture.h"
#include "about.h"
#include "TermTools.h"
#include "TextSet.h"
#include "qx_com.h"

#include "VaComm.h"
#include "VaLinux.h"

#include <QApplication>
#include <QCheckBox>
#include <QColorDialog>
#include <QFileDialog>
#include <QFontDialog>
#include <QLabel>
#include <QStatusBar>
#include <QComboBox>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QRegularExpression>
#include <QTextBlock>
#include <QPushButton>
#include <QSplitter>
#include <QTest>
#include <QTextEdit>
#include <QTimer>
#include <QToolButton>

#include <atomic>
#include <cstdlib>
#include <mutex>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <thread>

namespace {

// The line as the peer side of the tty sees it.
unsigned lineRate(int fd)
{
    VaLineSettings s;
    return VaReadLineSettings(fd, s) == 0 ? static_cast<unsigned>(s.baudrate) : 0;
}

int stopBitsOf(int fd)
{
    VaLineSettings s;
    return VaReadLineSettings(fd, s) == 0 ? s.stopBits : -1;
}

// A device that answers every CR it receives with the wait character (code 6), or stays silent.
PtyResponder::Answer answeringEachLine(bool answer = true)
{
    return [answer](const std::string&, const std::string& piece) {
        std::string reply;
        if (answer) {
            for (char c : piece)
                if (c == '\r')
                    reply += "ok\x06";
        }
        return reply;
    };
}

std::string paneText()
{
    return TWindowFixture::paneText();
}

std::string statusText()
{
    return TWindowFixture::statusText();
}

} // namespace

class TestWindow : public QObject {
    Q_OBJECT

private:
    std::unique_ptr<TWindowFixture> fx_;
    std::unique_ptr<PtyPeer> pty_;

    std::string settingsPath() const { return fx_->settingsPath(); }
    void start(const std::string& settings, bool keepFile = false) { fx_->start(settings, keepFile); }
    void stop() { fx_->stop(); }

    std::string withPort() const { return "[Comms]\nExtraPorts=" + pty_->SlavePath() + "\nPort=1\n"; }

    void connectPort()
    {
        QCOMPARE(frmTerm->cboPort->currentText().toStdString(), pty_->SlavePath());
        frmTerm->spdConnect->click();
        QVERIFY2(frmTerm->VaComm1->Active(), qPrintable(fx_->errors.join("; ")));
        QVERIFY(frmTerm->spdConnect->isChecked());
    }

    std::string writeFile(const std::string& name, const std::string& data)
    {
        const std::string path = fx_->dir() + name;
        writeFileAtomically(path, data);
        return path;
    }

private slots:
    void initTestCase() { fx_ = std::make_unique<TWindowFixture>("qxwin"); }

    void init()
    {
        pty_ = std::make_unique<PtyPeer>();
        QVERIFY(!pty_->SlavePath().empty());
    }

    void cleanup()
    {
        // A failed test leaves its windows (and perhaps an open port) behind.
        stop();
        pty_.reset();
    }

    void cleanupTestCase() { fx_.reset(); }

    void portListOrderAndNoPort()
    {
        // Twelve ports named COM1 ... COM12 in a folder listed through "ExtraPorts".
        const std::string ports = fx_->dir() + "ports/";
        ::mkdir(ports.c_str(), 0755);
        for (int i = 1; i <= 12; ++i)
            writeFileAtomically(ports + "COM" + std::to_string(i), "");
        start("[Comms]\nExtraPorts=" + ports + "COM*, /nonexistent/tty*\nPort=0\n");
        QStringList items;
        for (int i = 0; i < frmTerm->cboPort->count(); ++i)
            items << frmTerm->cboPort->itemText(i);
        QCOMPARE(items.value(0), QString("<none>"));
        QCOMPARE(items.value(1), QString::fromStdString(ports + "COM1"));
        QCOMPARE(items.value(2), QString::fromStdString(ports + "COM10"));
        QCOMPARE(items.value(4), QString::fromStdString(ports + "COM12"));
        QCOMPARE(items.value(5), QString::fromStdString(ports + "COM2"));

        // "<none>" is no port.
        QCOMPARE(frmTerm->cboPort->currentIndex(), 0);
        frmTerm->spdConnect->click();
        QCOMPARE(fx_->messages, QStringList {"Select a port first"});
        QVERIFY(!frmTerm->spdConnect->isChecked());
        QVERIFY(!frmTerm->VaComm1->Active());

        frmTerm->cboPort->addItem("COM12");
        QCOMPARE(frmTerm->getPortNumber(frmTerm->cboPort->count() - 1), 12);
        QCOMPARE(frmTerm->getPortNumber(0), 0);
        stop();
        std::system(("rm -rf '" + ports + "'").c_str());
    }

    void openFailureIsReportedAndTheProgramCarriesOn()
    {
        start("[Comms]\nExtraPorts=" + pty_->SlavePath() + "\nPort=1\n");
        pty_.reset(); // the device disappears before the user connects
        frmTerm->spdConnect->click();
        QCOMPARE(fx_->errors.size(), 1);
        QVERIFY(fx_->errors[0].contains("not found") || fx_->errors[0].contains("Can't open"));
        QVERIFY(!frmTerm->VaComm1->Active());
        QVERIFY(!frmTerm->spdConnect->isChecked());
        stop();
    }

    void connectTypeAndReceive()
    {
        start(withPort());
        connectPort();
        QCOMPARE(paneText(), std::string()); // connecting empties the pane

        pty_->Write("hello\r\nworld");
        QTRY_COMPARE_WITH_TIMEOUT(paneText(), std::string("hello\nworld"), 5000);
        QCOMPARE(rxBuffer, std::string("hello\r\nworld"));

        // Typed keys go to the port; without echo the pane shows nothing of them.
        rxBuffer.clear();
        QTest::keyClicks(frmTerm->mmoTerm, "ab");
        QTest::keyClick(frmTerm->mmoTerm, Qt::Key_Return);
        QCOMPARE(peerRead(*pty_, 3), std::string("ab\r"));
        QCOMPARE(paneText(), std::string("hello\nworld"));

        frmTerm->Echo1->setChecked(true);
        QTest::keyClicks(frmTerm->mmoTerm, "c");
        QCOMPARE(peerRead(*pty_, 1), std::string("c"));
        QCOMPARE(paneText(), std::string("hello\nworldc"));

        // A clear-screen sequence from the device.
        pty_->Write("x\x1b[2Jfresh");
        QTRY_COMPARE_WITH_TIMEOUT(paneText(), std::string("fresh"), 5000);

        // Closing by the button; then keys edit the pane.
        frmTerm->spdConnect->click();
        QVERIFY(!frmTerm->VaComm1->Active());
        QTest::keyClicks(frmTerm->mmoTerm, "zz");
        QVERIFY(paneText().find("zz") != std::string::npos);
        QCOMPARE(peerRead(*pty_, 1, 50), std::string());
        QVERIFY(fx_->errors.isEmpty());
        stop();
    }

    void sendBoxSendsItsLineAndRefusesBadHex()
    {
        start(withPort() + "[Terminal]\nSendBox=1\nSendLineEnd=3\n");
        connectPort();
        QVERIFY(!frmTerm->pnlSend->isHidden());
        QCOMPARE(frmTerm->cboSendLineEnd->currentText(), QString("CR LF"));

        QTest::keyClicks(frmTerm->edtSend, "AT\\x41\\t");
        QTest::keyClick(frmTerm->edtSend, Qt::Key_Return);
        QCOMPARE(peerRead(*pty_, 6), std::string("ATA\t\r\n"));
        QVERIFY(frmTerm->edtSend->text().isEmpty());
        QTest::keyClicks(frmTerm->edtSend, "  ");
        QTest::keyClick(frmTerm->edtSend, Qt::Key_Return);
        QCOMPARE(peerRead(*pty_, 4), std::string("  \r\n"));

        // Hex: the bytes, with the line end chosen (None: those bytes alone).
        frmTerm->chkSendHex->setChecked(true);
        QTest::keyClicks(frmTerm->edtSend, "0d0A");
        QTest::keyClick(frmTerm->edtSend, Qt::Key_Return);
        QCOMPARE(peerRead(*pty_, 4), std::string("\r\n\r\n"));
        frmTerm->cboSendLineEnd->setCurrentIndex(0);
        QTest::keyClicks(frmTerm->edtSend, "1B 5B 32 4A");
        QTest::keyClick(frmTerm->edtSend, Qt::Key_Return);
        QCOMPARE(peerRead(*pty_, 4), std::string("\x1b[2J"));

        // Bad hex: a red line in the status pane, nothing sent, the line kept for mending.
        for (const char* bad : {"1G", "1B 5"}) {
            frmTerm->edtSend->setText(bad);
            QTest::keyClick(frmTerm->edtSend, Qt::Key_Return);
            QCOMPARE(peerRead(*pty_, 1, 100), std::string());
            QCOMPARE(frmTerm->edtSend->text(), QString(bad));
        }
        QVERIFY(statusText().find("has an odd number of hex digits") != std::string::npos);
        QCOMPARE(TWindowFixture::statusFormatOf("hex digits").foreground().color(), QColor(Qt::red));

        // History: Up goes back, Down forward to an empty line; it outlives the program.
        frmTerm->edtSend->clear();
        QTest::keyClick(frmTerm->edtSend, Qt::Key_Up);
        QCOMPARE(frmTerm->edtSend->text(), QString("1B 5B 32 4A"));
        QTest::keyClick(frmTerm->edtSend, Qt::Key_Up);
        QCOMPARE(frmTerm->edtSend->text(), QString("0d0A"));
        QTest::keyClick(frmTerm->edtSend, Qt::Key_Up);
        QTest::keyClick(frmTerm->edtSend, Qt::Key_Up);
        QCOMPARE(frmTerm->edtSend->text(), QString("AT\\x41\\t"));
        for (int i = 0; i < 3; ++i)
            QTest::keyClick(frmTerm->edtSend, Qt::Key_Down);
        QCOMPARE(frmTerm->edtSend->text(), QString());
        QVERIFY(fx_->errors.isEmpty());
        stop();
        start(withPort(), true);
        QVERIFY(!frmTerm->pnlSend->isHidden());
        QVERIFY(frmTerm->chkSendHex->isChecked());
        QTest::keyClick(frmTerm->edtSend, Qt::Key_Up);
        QCOMPARE(frmTerm->edtSend->text(), QString("1B 5B 32 4A"));
        stop();
    }

    void stampsStartReceivedLinesAndStayOutOfRxBuffer()
    {
        // A pause long enough that the parts of one line never seem apart on a loaded machine.
        start(withPort() + "[Terminal]\nTimestamps=2\nStampPauseMs=1500\n");
        connectPort();
        rxBuffer.clear();
        pty_->Write("one\r");
        QTRY_VERIFY_WITH_TIMEOUT(paneText().find("one") != std::string::npos, 5000);
        pty_->Write("\ntw"); // the line end split over two reads: the pane shows an empty line
        QTRY_VERIFY_WITH_TIMEOUT(paneText().find("tw") != std::string::npos, 5000);
        pty_->Write("o\r\nprompt> ");
        QTRY_VERIFY_WITH_TIMEOUT(paneText().find("prompt> ") != std::string::npos, 5000);
        QTest::qWait(1700);
        pty_->Write("reply");
        QTRY_VERIFY_WITH_TIMEOUT(paneText().find("reply") != std::string::npos, 5000);
        QCOMPARE(rxBuffer, std::string("one\r\ntwo\r\nprompt> reply"));
        const QString pane = QString::fromStdString(paneText());
        const QRegularExpression shown(R"(^\[\d+\.\d{3}\] one\n\n\[\d+\.\d{3}\] two\n\[\d+\.\d{3}\] prompt> \n)"
                                       R"(\[\d+\.\d{3}\] reply$)");
        QVERIFY2(shown.match(pane).hasMatch(), qPrintable(pane));

        // The stamps, and only they, have a colour of their own.
        QStringList coloured;
        for (QTextBlock b = frmTerm->mmoTerm->document()->begin(); b.isValid(); b = b.next()) {
            for (auto it = b.begin(); !it.atEnd(); ++it) {
                if (it.fragment().charFormat().hasProperty(QTextFormat::ForegroundBrush))
                    coloured << it.fragment().text();
            }
        }
        QCOMPARE(coloured.size(), 4);
        for (const QString& stamp : coloured)
            QVERIFY2(QRegularExpression(R"(^\[\d+\.\d{3}\] $)").match(stamp).hasMatch(), qPrintable(stamp));

        // Off: received text as before.
        frmTerm->StampOff1->trigger();
        frmTerm->Clearscreen1->trigger();
        pty_->Write("plain\r\n");
        QTRY_COMPARE_WITH_TIMEOUT(paneText(), std::string("plain\n"), 5000);
        stop();
    }

    void hexViewDrawsAgainWhatWasReceived()
    {
        start(withPort());
        connectPort();
        pty_->Write("ab\r\ncd\x1b");
        QTRY_COMPARE_WITH_TIMEOUT(paneText(), std::string("ab\ncd"), 5000); // a lone escape is not shown
        const std::string asText = paneText();

        frmTerm->HexView1->trigger();
        QCOMPARE(paneText(), hexRow(0, "ab\r\ncd\x1b"));
        // The open row is drawn again with the bytes that complete it.
        const std::string more("0123456789\x00\xff", 12);
        pty_->Write(more);
        QTRY_COMPARE_WITH_TIMEOUT(paneText(), hexRow(0, "ab\r\ncd\x1b" + more.substr(0, 9)) + "\n" + hexRow(16, more.substr(9)),
                                  5000);
        QVERIFY(paneText().starts_with("00000000  61 62 0D 0A 63 64 1B 30  31 32 33 34 35 36 37 38  ab..cd.012345678\n"));
        QCOMPARE(rxBuffer.substr(rxBuffer.size() - 19), std::string("ab\r\ncd\x1b" "0123456789\x00\xff", 19));

        // Back to text: everything since the clear, with the display rules of the text view.
        frmTerm->HexView1->trigger();
        QCOMPARE(paneText().substr(0, asText.size()), asText);
        QVERIFY(paneText().find("0123456789", asText.size()) != std::string::npos);
        frmTerm->Clearscreen1->trigger();
        frmTerm->HexView1->trigger();
        QCOMPARE(paneText(), std::string());
        QVERIFY(fx_->errors.isEmpty());
        stop();
    }

    void receiveHandlerEmptiesRxBufferPast2400()
    {
        // The port's receive handler itself: what arrives is collected and shown, and the
        // collection is emptied once a chunk takes it past 2400 characters.
        start(withPort());
        connectPort();
        rxBuffer.clear();
        pty_->Write(std::string(2390, 'a'));
        QTRY_COMPARE_WITH_TIMEOUT(rxBuffer.size(), size_t(2390), 5000);
        pty_->Write(std::string(10, 'b'));
        QTRY_COMPARE_WITH_TIMEOUT(rxBuffer.size(), size_t(2400), 5000);
        QCOMPARE(rxBuffer.substr(2390), std::string(10, 'b'));
        // What it held goes; the chunk that took it past the limit stays.
        pty_->Write("c");
        QTRY_VERIFY_WITH_TIMEOUT(rxBuffer == "c" && paneText().size() == 2401, 5000);
        QCOMPARE(paneText().back(), 'c');
        stop();
    }

    void floodArrivesWholeAndThePaneKeepsItsEnd()
    {
        // Floods through the pty come in large batches and reach the pane in blocks: a flood that
        // fits the pane is there whole; a larger one leaves the pane with its end, from the start
        // of a line and no longer than the pane may grow; rxBuffer ends with the flood's end.
        start(withPort());
        connectPort();
        const auto linesOf = [](int first, size_t bytes) {
            std::string text;
            for (int i = first; text.size() < bytes; ++i)
                text += "line " + std::to_string(i) + " " + std::string(70, char('a' + i % 26)) + "\n";
            return text;
        };
        const std::string fits = linesOf(0, 60000);
        std::thread writer([&] { pty_->Write(fits); });
        QTRY_VERIFY_WITH_TIMEOUT(paneText().size() >= fits.size(), 20000);
        writer.join();
        QCOMPARE(paneText(), fits);

        const std::string flood = linesOf(1000, 4 << 20);
        writer = std::thread([&] { pty_->Write(flood); });
        const std::string last = flood.substr(flood.rfind('\n', flood.size() - 2) + 1);
        QTRY_VERIFY_WITH_TIMEOUT(paneText().size() > last.size() && paneText().ends_with(last), 60000);
        writer.join();
        const std::string pane = paneText();
        QVERIFY(pane.size() >= size_t(kPaneKeepChars) - last.size() && pane.size() <= size_t(kPaneTrimAbove));
        QCOMPARE(pane, flood.substr(flood.size() - pane.size()));
        QCOMPARE(flood[flood.size() - pane.size() - 1], '\n');
        QVERIFY(!rxBuffer.empty());
        QCOMPARE(rxBuffer, flood.substr(flood.size() - rxBuffer.size()));
        stop();
    }

    void displayRulesAcrossBlocks()
    {
        // Each piece arrives after the one before has been shown, so it comes as a block of its
        // own: the rules apply to each block as to a received chunk.
        start(withPort());
        connectPort();
        const auto receive = [this](const std::string& bytes, const std::string& shown) {
            pty_->Write(bytes);
            QTRY_COMPARE_WITH_TIMEOUT(paneText(), shown, 5000);
        };
        receive("ab\r", "ab\n");
        receive("\ncd", "ab\n\ncd");           // an LF that starts a block counts as bare
        receive("x\x1b", "ab\n\ncdx");          // an ESC that ends a block is dropped ...
        receive("[2Jy", "ab\n\ncdx[2Jy");        // ... and what follows it is text
        receive("\bz", "ab\n\ncdx[2Jz");        // a BS that starts a block erases the pane's last
        receive("\x1b[2Jfresh\b\bsh", "fresh");
        // While the pane catches up, typed and echoed keys come after what was received before.
        frmTerm->Echo1->setChecked(true);
        pty_->Write("1");
        QTRY_VERIFY_WITH_TIMEOUT(rxBuffer.ends_with('1'), 5000);
        QTest::keyClicks(frmTerm->mmoTerm, "2");
        QCOMPARE(paneText(), std::string("fresh12"));
        stop();
    }

    void textSendWaitCharacterInALaterBatch()
    {
        // The device's answer and its wait character come apart: the send still waits for the
        // wait character, and the answers are not shown.
        start(withPort());
        connectPort();
        PtyResponder peer(*pty_, [this](const std::string&, const std::string& piece) {
            std::string reply;
            for (char c : piece) {
                if (c == '\r') {
                    pty_->Write("ok");
                    std::this_thread::sleep_for(std::chrono::milliseconds(30));
                    reply += "\x06";
                }
            }
            return reply;
        });
        frmTerm->setCurrentFile(QString::fromStdString(writeFile("two.txt", "one\ntwo\n")));
        frmTerm->ResendText1->trigger();
        QVERIFY2(fx_->errors.isEmpty(), qPrintable(fx_->errors.join("; ")));
        QCOMPARE(peer.Received(), std::string("one\rtwo\r"));
        QVERIFY(!sendingText);
        QCOMPARE(paneText(), std::string());
        stop();
    }

    void replyAwaitedDuringAFlood()
    {
        // A device that floods its log until a command comes, then answers it: the command
        // channel's wait sees the answer, although it comes in one batch with the flood's tail.
        start(withPort());
        connectPort();
        std::atomic<bool> asked{false};
        std::thread device([&] {
            std::string block;
            for (int i = 0; i < 50; ++i)
                block += "log " + std::to_string(i) + std::string(70, '.') + "\r\n";
            while (!asked) {
                pty_->Write(block);
                if (pty_->ReadSome(0).find('Q') != std::string::npos)
                    asked = true;
            }
            pty_->Write("ok*");
        });
        QTRY_VERIFY_WITH_TIMEOUT(paneText().find("log 49") != std::string::npos, 10000);
        const TReply reply = frmTerm->context->channel.sendAndWait(deviceCommand("", 'Q'), "*", 200);
        asked = true;
        device.join();
        QVERIFY(reply.found);
        QVERIFY(reply.text.ends_with("ok"));
        QTRY_VERIFY_WITH_TIMEOUT(paneText().ends_with("ok*"), 5000);
        stop();
    }

    void lineSettingsAndRefusals()
    {
        start(withPort());
        connectPort();
        QCOMPARE(lineRate(pty_->Master()), 9600u);
        QVERIFY(stopBitsOf(pty_->Master()) == 2);
        // (A pseudo-terminal always reports eight data bits: the kernel forces CS8 on it, so the
        // data bits are read from the port component.)
        QCOMPARE(frmTerm->VaComm1->Databits(), db8);

        // A rate from the list, reopening the port.
        frmTerm->cboBaudRate->setCurrentIndex(13);
        emit frmTerm->cboBaudRate->activated(13);
        QCOMPARE(lineRate(pty_->Master()), 115200u);
        QVERIFY(frmTerm->VaComm1->Active());
        QVERIFY(frmTerm->spdConnect->isChecked());

        // Data bits: 7 is taken; 4 is refused and 5 used instead.
        frmTerm->cboDataBits->setCurrentIndex(3);
        emit frmTerm->cboDataBits->activated(3);
        QCOMPARE(frmTerm->VaComm1->Databits(), db7);
        frmTerm->cboDataBits->setCurrentIndex(0);
        emit frmTerm->cboDataBits->activated(0);
        QCOMPARE(fx_->messages, QStringList {"Sorry 4 data bits not available at this time -- using 5"});
        QCOMPARE(frmTerm->cboDataBits->currentText(), QString("5"));
        QCOMPARE(frmTerm->VaComm1->Databits(), db5);

        // One and a half stop bits: two, and the box keeps showing "15".
        fx_->messages.clear();
        frmTerm->cboStopBits->setCurrentIndex(0);
        emit frmTerm->cboStopBits->activated(0);
        QVERIFY(!(stopBitsOf(pty_->Master()) == 2));
        frmTerm->cboStopBits->setCurrentIndex(1);
        emit frmTerm->cboStopBits->activated(1);
        QCOMPARE(fx_->messages, QStringList {"Sorry 1.5 stop bits not available at this time, using 2"});
        QVERIFY(stopBitsOf(pty_->Master()) == 2);
        QCOMPARE(frmTerm->cboStopBits->currentText(), QString("15"));

        // A typed rate is applied; a text that is no number is named in the error box and the
        // port keeps its rate.
        frmTerm->cboBaudRate->lineEdit()->selectAll();
        QTest::keyClicks(frmTerm->cboBaudRate->lineEdit(), "19200");
        QCOMPARE(lineRate(pty_->Master()), 19200u);
        QTest::keyClicks(frmTerm->cboBaudRate->lineEdit(), "x");
        QCOMPARE(fx_->errors, QStringList {"'19200x' is not a valid integer value"});
        QCOMPARE(lineRate(pty_->Master()), 19200u);
        QVERIFY(frmTerm->VaComm1->Active());
        stop();
    }

    void deviceDisconnected()
    {
        start(withPort());
        connectPort();
        pty_->CloseMaster();
        QTRY_VERIFY_WITH_TIMEOUT(!frmTerm->VaComm1->Active(), 5000);
        QVERIFY(!frmTerm->spdConnect->isChecked());
        QVERIFY(statusText().find("Device disconnected") != std::string::npos);
        // Its number may go to another program's terminal: not waited for.
        QVERIFY(!frmTerm->waitingForDevice());
        QVERIFY(statusText().find("a pseudo-terminal does not come back") != std::string::npos);
        stop();
    }

    void settingsDefaultsFromAMissingFile()
    {
        start("");
        QCOMPARE(frmTerm->cboBaudRate->currentText(), QString("9600"));
        QCOMPARE(frmTerm->cboDataBits->currentText(), QString("8"));
        QCOMPARE(frmTerm->cboStopBits->currentText(), QString("2"));
        QVERIFY(!frmTerm->HWFlow1->isChecked());
        QVERIFY(!frmTerm->Echo1->isChecked());
        QVERIFY(!frmTerm->mnuCtrl->isChecked());
        QVERIFY(!frmTerm->DTRlow1->isChecked());
        QCOMPARE(frmTerm->termFontName(), QString("Fixedsys"));
        QCOMPARE(frmTerm->termFontSize(), 9);
        QCOMPARE(frmTerm->termFontColour(), 65535);
        QCOMPARE(frmTerm->termBackColour(), 10485760);
        QCOMPARE(frmTerm->mmoTerm->palette().color(QPalette::Base), QColor(0, 0, 160));
        QCOMPARE(frmTerm->mmoTerm->palette().color(QPalette::Text), QColor(255, 255, 0));
        QCOMPARE(frmTerm->size(), QSize(551, 436));
        QCOMPARE(frmUpdate->cboUpdate->count(), 1);
        QCOMPARE(frmUpdate->cboUpdate->itemText(0), QString("none"));
        QVERIFY(frmTransfer->chkEolChar->isChecked());
        QCOMPARE(frmTransfer->txtSend[1]->text(), QString("loadh"));
        QVERIFY(frmTransfer->txtFile[0]->isEnabled());
        // The start-up hints.
        QVERIFY(statusText().find("1) Select COM port and parameters") != std::string::npos);
        stop();
    }

    void settingsRoundTripEveryKey()
    {
        start(withPort() + "[Form]\nHEIGHTterm=500\n");
        QCOMPARE(frmTerm->height(), 500);

        frmTerm->cboBaudRate->setCurrentIndex(15);
        frmTerm->cboDataBits->setCurrentIndex(2);
        frmTerm->cboStopBits->setCurrentIndex(0);
        frmTerm->HWFlow1->setChecked(true);
        frmTerm->Echo1->setChecked(true);
        frmTerm->mnuCtrl->setChecked(true);
        frmTerm->DTRlow1->setChecked(true);
        frmTerm->setTermFont("Courier", 12);
        frmTerm->setTermColours(0x00FF00, 0x123456);
        frmTerm->setCurrentFile(QString::fromStdString(fx_->dir() + "x.hex"));
        frmTerm->resize(640, 520);
        frmUpdate->cboUpdate->clear();
        for (int i = 1; i <= 10; ++i)
            frmUpdate->cboUpdate->addItem(QString("fw%1.bin").arg(i));
        frmTransfer->chkAddLF->setChecked(false);
        frmTransfer->txtEolChar->setText("62");
        frmTransfer->txtWait[3]->setText("7");
        frmTransfer->chkXferOpt->setChecked(false);
        frmTransfer->btnOk->click();
        QVERIFY(frmTransfer->isHidden());
        stop(); // closing writes the main window's settings

        TIniFile ini(settingsPath());
        QCOMPARE(ini.ReadString("Comms", "ExtraPorts", ""), pty_->SlavePath()); // unknown key kept
        QCOMPARE(ini.ReadString("UPDATE", "Updatefiles", ""),
                 std::string("fw3.bin,fw4.bin,fw5.bin,fw6.bin,fw7.bin,fw8.bin,fw9.bin,fw10.bin,"));
        QVERIFY(!ini.ReadString("Date", "LastUpdate", "").empty());

        start({}, true);
        QCOMPARE(frmTerm->cboBaudRate->currentText(), QString("232558"));
        QCOMPARE(frmTerm->cboDataBits->currentText(), QString("6"));
        QCOMPARE(frmTerm->cboStopBits->currentText(), QString("1"));
        QCOMPARE(frmTerm->cboPort->currentIndex(), 1);
        QVERIFY(frmTerm->HWFlow1->isChecked());
        QVERIFY(frmTerm->Echo1->isChecked());
        QVERIFY(frmTerm->mnuCtrl->isChecked());
        QVERIFY(frmTerm->DTRlow1->isChecked());
        QCOMPARE(frmTerm->termFontName(), QString("Courier"));
        QCOMPARE(frmTerm->termFontSize(), 12);
        QCOMPARE(frmTerm->termFontColour(), 0x00FF00);
        QCOMPARE(frmTerm->termBackColour(), 0x123456);
        QCOMPARE(frmTerm->currentFile(), QString::fromStdString(fx_->dir() + "x.hex"));
        QCOMPARE(frmTerm->size(), QSize(640, 520));
        QCOMPARE(frmUpdate->cboUpdate->count(), 8);
        QCOMPARE(frmUpdate->cboUpdate->currentText(), QString("fw10.bin"));
        QVERIFY(!frmTransfer->chkAddLF->isChecked());
        QCOMPARE(frmTransfer->txtEolChar->text(), QString("62"));
        QCOMPARE(frmTransfer->txtWait[3]->text(), QString("7"));
        QVERIFY(!frmTransfer->chkXferOpt->isChecked());
        QVERIFY(!frmTransfer->txtFile[0]->isEnabled());
        stop();
    }

    void settingsWriteFailure()
    {
        // A settings file that is not text is read as defaults and never replaced; the start says
        // which file and why, the box at the end keeps its text and adds the same.
        const std::string junk("[Comms]\nBaud=1\n\0\xff", 17);
        writeFileAtomically(settingsPath(), junk);
        createWindows();
        frmTerm->show();
        frmTerm->FormActivate();
        QCOMPARE(frmTerm->cboBaudRate->currentText(), QString("9600"));
        QVERIFY2(statusText().find("Settings file " + settingsPath() + " could not be read (not a text file)")
                     != std::string::npos,
                 statusText().c_str());
        fx_->messages.clear();
        stop();
        QCOMPARE(fx_->messages.size(), 1);
        QVERIFY(fx_->messages[0].startsWith("Cant update settings\n"));
        QVERIFY(fx_->messages[0].contains(QString::fromStdString(settingsPath())));
        QVERIFY(fx_->messages[0].contains("not a text file"));
        std::string now;
        readWholeFile(settingsPath(), now);
        QCOMPARE(now, junk);

        // Readable again by the time the program ends: still not overwritten with the defaults the
        // window was left with.
        createWindows();
        frmTerm->show();
        frmTerm->FormActivate();
        writeFileAtomically(settingsPath(), "[Comms]\nBaud=1\n");
        fx_->messages.clear();
        stop();
        QCOMPARE(fx_->messages.size(), 1);
        QVERIFY(fx_->messages[0].startsWith("Cant update settings\n"));
        readWholeFile(settingsPath(), now);
        QCOMPARE(now, std::string("[Comms]\nBaud=1\n"));
        ::unlink(settingsPath().c_str());

        // A folder in place of the file: the system's reason.
        ::mkdir(settingsPath().c_str(), 0755);
        start({}, true);
        QVERIFY2(statusText().find("could not be read (Is a directory)") != std::string::npos, statusText().c_str());
        fx_->messages.clear();
        stop();
        QCOMPARE(fx_->messages.size(), 1);
        QVERIFY(fx_->messages[0].contains("Is a directory"));
        ::rmdir(settingsPath().c_str());
    }

    void textSendAnsweredLines()
    {
        start(withPort());
        connectPort();
        PtyResponder peer(*pty_, answeringEachLine());
        // A .hex file: the automation command first, then every line followed by CR; a last line
        // without a line break is sent like the others.
        frmTerm->setCurrentFile(QString::fromStdString(writeFile("prog.HEX", ":1000\r\n:2000\n\n:3000")));
        frmTransfer->txtWait[1]->setText("20");
        frmTerm->ResendText1->trigger();
        QVERIFY2(fx_->errors.isEmpty(), qPrintable(fx_->errors.join("; ")));
        QTRY_COMPARE_WITH_TIMEOUT(peer.Received(), std::string("loadh\r:1000\r:2000\r\r:3000\r"), 5000);
        QVERIFY(!sendingText);
        QVERIFY(frmTerm->ProgressBar1->isHidden());
        QVERIFY(frmTerm->btnCancel->isHidden());

        // An empty file: nothing is sent, the progress bar and Cancel are hidden again.
        peer.Stop();
        frmTerm->setCurrentFile(QString::fromStdString(writeFile("empty.txt", "")));
        frmTerm->ResendText1->trigger();
        QVERIFY(frmTerm->ProgressBar1->isHidden());
        QCOMPARE(peerRead(*pty_, 1, 50), std::string());
        stop();
    }

    void textSendCancelAndNoPort()
    {
        start(withPort());
        // Not connected: the message, nothing sent, the bar hidden again.
        frmTerm->setCurrentFile(QString::fromStdString(writeFile("a.txt", "one\ntwo\nthree\n")));
        frmTerm->ResendText1->trigger();
        QCOMPARE(fx_->messages, QStringList {"You need to open a com port first"});
        QVERIFY(frmTerm->ProgressBar1->isHidden());

        // A device that never sends the wait character: Cancel ends the send after the first line.
        connectPort();
        PtyResponder silent(*pty_, answeringEachLine(false));
        QTimer::singleShot(100, frmTerm, [] { frmTerm->btnCancel->click(); });
        frmTerm->ResendText1->trigger();
        QVERIFY(!sendingText);
        QTRY_COMPARE_WITH_TIMEOUT(silent.Received(), std::string("one\r"), 5000);
        QVERIFY(frmTerm->btnCancel->isHidden());

        // The status pane says where the cancelled send stopped.
        QVERIFY2(statusText().find("Text send stopped at line 1 of 3\n") != std::string::npos, statusText().c_str());

        // No current file.
        fx_->messages.clear();
        frmTerm->setCurrentFile(QString());
        frmTerm->ResendText1->trigger();
        frmTerm->SendTextFile();
        QCOMPARE(fx_->messages, (QStringList {"No file to send", " ** no File selected to send **"}));
        stop();
    }

    void binarySend()
    {
        start(withPort());
        connectPort();
        std::string data(64 * 1024, '\0');
        for (size_t i = 0; i < data.size(); ++i)
            data[i] = static_cast<char>((i * 7 + i / 256) & 0xFF);
        frmTerm->setCurrentFile(QString::fromStdString(writeFile("blob.bin", data)));
        PtyResponder peer(*pty_, answeringEachLine(false));
        frmTerm->ToolButton9->trigger();
        QVERIFY2(fx_->errors.isEmpty(), qPrintable(fx_->errors.join("; ")));
        QTRY_COMPARE_WITH_TIMEOUT(peer.Received().size(), data.size(), 10000);
        QVERIFY(peer.Received() == data);
        QVERIFY(frmTerm->ProgressBar1->isHidden());

        // Cancel stops after the byte in progress.
        QTimer::singleShot(0, frmTerm, [] { frmTerm->CancelSend1->trigger(); });
        frmTerm->ToolButton9->trigger();
        QTRY_COMPARE_WITH_TIMEOUT(peer.Received().size(), data.size() + 1, 5000);
        QTest::qWait(50);
        QCOMPARE(peer.Received().size(), data.size() + 1);
        QVERIFY(!cancelFlag);
        stop();
    }

    void sendsWithThePortClosedSaySoBeforeAskingForAFile()
    {
        start(withPort());
        frmTerm->setCurrentFile(QString::fromStdString(writeFile("b.bin", "abc")));
        // A file dialog would block here; none may open.
        bool dialogShown = false;
        QTimer::singleShot(200, frmTerm, [&] {
            if (QWidget* dialog = QApplication::activeModalWidget()) {
                dialogShown = true;
                dialog->close();
            }
        });
        frmTerm->SendBinary1->trigger();
        frmTerm->ToolButton9->trigger();
        frmTerm->SendText1->trigger();
        QVERIFY(!dialogShown);
        QCOMPARE(fx_->messages, (QStringList {"You need to open a com port first", "You need to open a com port first",
                                              "You need to open a com port first"}));
        QVERIFY(frmTerm->btnCancel->isHidden());
        QCOMPARE(peerRead(*pty_, 1, 50), std::string());
        stop();
    }

    void binarySendCtsWaitEndsOnCancel()
    {
        start(withPort());
        auto lines = std::make_shared<TFakeModemLines>();
        lines->cts = false;
        frmTerm->VaComm1->SetModemLines(lines);
        connectPort();
        frmTerm->setCurrentFile(QString::fromStdString(writeFile("small.bin", "abc")));

        // CTS held low pauses the send; it goes on by itself when CTS comes on.
        QTimer::singleShot(100, frmTerm, [&] { lines->cts = true; });
        frmTerm->ToolButton9->trigger();
        QCOMPARE(peerRead(*pty_, 3), std::string("abc"));

        // CTS never comes on: Cancel ends the wait and nothing is sent.
        lines->cts = false;
        QTimer::singleShot(100, frmTerm, [] { frmTerm->btnCancel->click(); });
        frmTerm->ToolButton9->trigger();
        QVERIFY(frmTerm->ProgressBar1->isHidden());
        QCOMPARE(peerRead(*pty_, 1, 50), std::string());
        stop();
    }

    void commandsWaitWhileASendRuns()
    {
        start(withPort());
        auto lines = std::make_shared<TFakeModemLines>();
        lines->cts = false; // the send waits for CTS until Cancel
        frmTerm->VaComm1->SetModemLines(lines);
        connectPort();
        frmTerm->enableUpdate();
        frmTerm->setCurrentFile(QString::fromStdString(writeFile("held.bin", "abc")));
        QList<QAction*> disabled;
        bool selectorDisabled = false;
        QTimer::singleShot(100, frmTerm, [&] {
            for (QAction* a : {frmTerm->SendText1, frmTerm->ResendText1, frmTerm->SendBinary1, frmTerm->ToolButton9,
                               frmTerm->Xmodem1, frmTerm->Update1})
                if (!a->isEnabled())
                    disabled << a;
            selectorDisabled = !frmTerm->cboDevice->isEnabled();
            // Asked all the same: refused in words, nothing starts.
            frmTerm->SendTextFile();
            frmTerm->btnCancel->click();
        });
        frmTerm->ToolButton9->trigger();
        QCOMPARE(disabled.size(), 6);
        QVERIFY(selectorDisabled);
        QVERIFY(statusText().find("Wait for the running operation to end") != std::string::npos);
        // Back when the send has ended.
        for (QAction* a : {frmTerm->SendText1, frmTerm->SendBinary1, frmTerm->Xmodem1, frmTerm->Update1})
            QVERIFY(a->isEnabled());
        QVERIFY(frmTerm->cboDevice->isEnabled());
        QVERIFY(!frmTerm->context->busy());
        QCOMPARE(peerRead(*pty_, 1, 50), std::string());
        stop();
    }

    void busyGuardClearsUpAfterAFailedSend()
    {
        start(withPort());
        connectPort();
        // A wait character that is not a number: the send fails before its first line.
        frmTerm->setCurrentFile(QString::fromStdString(writeFile("a.txt", "one\ntwo\n")));
        frmTransfer->txtEolChar->setText("x");
        frmTerm->ResendText1->trigger();
        QCOMPARE(fx_->errors, QStringList {"'x' is not a valid integer value"});
        QVERIFY(frmTerm->ProgressBar1->isHidden());
        QVERIFY(frmTerm->btnCancel->isHidden());
        QCOMPARE(frmTerm->ProgressBar1->value(), 0);
        QVERIFY(!sendingText);
        QVERIFY(!cancelFlag);
        // The terminal still shows what the device sends.
        pty_->Write("still here");
        QTRY_VERIFY_WITH_TIMEOUT(paneText().find("still here") != std::string::npos, 5000);

        // A binary file that vanished after it was chosen.
        fx_->errors.clear();
        frmTerm->setCurrentFile(QString::fromStdString(fx_->dir() + "gone.bin"));
        frmTerm->ToolButton9->trigger();
        QCOMPARE(fx_->errors.size(), 1);
        QVERIFY(fx_->errors[0].contains("gone.bin"));
        QVERIFY(frmTerm->ProgressBar1->isHidden());
        QVERIFY(frmTerm->btnCancel->isHidden());
        stop();
    }

    void textSendSaysWhatItWaitsFor()
    {
        start(withPort());
        connectPort();
        PtyResponder silent(*pty_, answeringEachLine(false));
        frmTerm->setCurrentFile(QString::fromStdString(writeFile("w.txt", "one\n")));
        QString shown;
        QTimer::singleShot(150, frmTerm, [&] {
            shown = frmTerm->staPanel1->text();
            frmTerm->btnCancel->click();
        });
        frmTerm->ResendText1->trigger();
        QVERIFY2(shown.contains("chr 6") && shown.contains("Cancel"), qPrintable(shown));
        QCOMPARE(frmTerm->staPanel1->text(), QString());
        stop();
    }

    void commonDialogsAreNoWindowsOfTheirOwn()
    {
        start(withPort());
        auto activate = [](QWidget* w) {
            QEvent event(QEvent::WindowActivate);
            QApplication::sendEvent(w, &event);
        };
        auto hints = [] { return QString::fromStdString(statusText()).count("1) Select COM port and parameters"); };
        activate(frmTerm);
        const int before = hints();
        // A file, font or colour dialog closing hands back to the main window without an activation.
        QFileDialog file;
        QFontDialog font;
        QColorDialog colour;
        for (QWidget* dialog : std::initializer_list<QWidget*> {&file, &font, &colour}) {
            activate(dialog);
            activate(frmTerm);
        }
        QCOMPARE(hints(), before);
        // The about box is one of the program's windows: coming back from it activates.
        activate(AboutBox);
        activate(frmTerm);
        QCOMPARE(hints(), before + 1);
        // File, Exit closes the main window as its close button does: the settings are written.
        ::unlink(settingsPath().c_str());
        frmTerm->Exit1->trigger();
        QVERIFY(!frmTerm->isVisible());
        QVERIFY(TIniFile(settingsPath()).ReadString("Comms", "PortName", "") == pty_->SlavePath());
        stop();
    }

    void portChoiceSurvivesRefreshAndRestart()
    {
        start(withPort());
        QCOMPARE(frmTerm->cboPort->currentText().toStdString(), pty_->SlavePath());
        frmTerm->RefreshPorts1Click();
        QCOMPARE(frmTerm->cboPort->currentText().toStdString(), pty_->SlavePath());
        connectPort();
        stop();

        // The saved name wins over a number that now names another entry.
        PtyPeer other;
        const std::string a = std::min(other.SlavePath(), pty_->SlavePath());
        const std::string b = std::max(other.SlavePath(), pty_->SlavePath());
        start("[Comms]\nExtraPorts=" + a + "," + b + "\nPort=1\nPortName=" + b + "\n");
        QCOMPARE(frmTerm->cboPort->currentText().toStdString(), b);
        stop();
        TIniFile ini(settingsPath());
        QCOMPARE(ini.ReadString("Comms", "PortName", ""), b);
        QCOMPARE(ini.ReadInteger("Comms", "Port", 0), 2);
    }

    void typedRateKeepsTheFocusInTheBox()
    {
        start(withPort());
        connectPort();
        frmTerm->activateWindow();
        frmTerm->cboBaudRate->setFocus();
        frmTerm->cboBaudRate->lineEdit()->selectAll();
        QTest::keyClicks(frmTerm->cboBaudRate->lineEdit(), "57600");
        QCOMPARE(lineRate(pty_->Master()), 57600u);
        QCOMPARE(frmTerm->cboBaudRate->currentText(), QString("57600"));
        // None of the digits reached the device.
        QCOMPARE(peerRead(*pty_, 1, 100), std::string());
        QVERIFY(!frmTerm->mmoTerm->hasFocus());
        stop();
    }
};

QTEST_MAIN(TestWindow)
#include "test_window.moc"
