// The device tools in the main window, offscreen: device selection against the simulated display
// over a pseudo-terminal, the command channel's reply waits, and the catalogue update from a local
// web server.
#include "AtomicFile.h"
#include "Catalogue.h"
#include "DeviceChannel.h"
#include "Download.h"
#include "InfoTab.h"
#include "IniFile.h"
#include "Messages.h"
#include "Places.h"
#include "Program.h"
#include "PtyPeer.h"
#include "Rfc2217Peer.h"
#include "Ser2net.h"
#include "AsiTab.h"
#include "BmpTab.h"
#include "DeviceSelection.h"
#include "StringsTab.h"
#include "ToolContext.h"
#include "Update.h"
#include "WindowFixture.h"
#include "qx_com.h"

#include "VaComm.h"

#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QProcess>
#include <QProgressBar>
#include <QPushButton>
#include <QTabWidget>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTest>
#include <QTextBlock>
#include <QTextEdit>
#include <QTimer>
#include <QToolButton>

#include <atomic>
#include <cstdlib>
#include <mutex>
#include <sys/stat.h>
#include <thread>

namespace {

std::string readAll(const std::string& path)
{
    std::string data;
    readWholeFile(path, data);
    return data;
}

// A device that answers the identification request (ESC "[c") with a text of the test's choice.
PtyResponder::Answer answeringIdentification(std::string answer)
{
    return [answer](const std::string& received, const std::string&) {
        const bool asked = received.size() >= 3 && received.compare(received.size() - 3, 3, "\x1b[c") == 0;
        return asked ? answer : std::string();
    };
}

const char* const kDisplayProfile = "[Device]\nName=QX-Display\nVersion=2.4\nTerminator=*\nInit=#27c\nIDstring=#27[c\n"
                                    "[Line]\nBaud=115200\nDataBits=8\nStopBits=1\nParity=N\nSpeedCheck=warn\n";

QTextCharFormat statusFormatOf(const QString& text)
{
    return TWindowFixture::statusFormatOf(text);
}

QStringList tabOrder()
{
    QStringList names;
    for (int i = 0; i < frmTerm->PageControl1->count(); ++i)
        names << frmTerm->PageControl1->widget(i)->objectName();
    return names;
}

QStringList items(const QComboBox* box)
{
    return itemsOf(box);
}

std::string statusText()
{
    return TWindowFixture::statusText();
}

// qx-devsim with a profile, in the test's folder.
class Devsim : public TDevsim {
public:
    Devsim(const std::string& dir, const std::string& profile) : TDevsim(DEVSIM_EXE, dir, profile) {}
};
using WebServer = TWebServer;

} // namespace

class TestDeviceWindow : public QObject {
    Q_OBJECT

private:
    std::unique_ptr<TWindowFixture> fx_;

    std::string tools() const { return fx_->tools(); }
    std::string catalogue() const { return tools() + "devices.ini"; }

    // Settings with a port and a web site where nothing answers (so nothing waits on a network).
    void start(const std::string& port, const std::string& site = {})
    {
        fx_->start("[Comms]\nExtraPorts=" + port + "\nPort=1\n[Web]\nSite="
                   + (site.empty() ? "http://127.0.0.1:" + std::to_string(freeLocalPort()) : site) + "\n");
    }

    void stop() { fx_->stop(); }

    void connectPort()
    {
        frmTerm->spdConnect->click();
        QVERIFY2(frmTerm->VaComm1->Active(), qPrintable(fx_->errors.join("; ")));
    }

    void pick(const QString& name)
    {
        const int index = frmTerm->cboDevice->findText(name);
        QVERIFY2(index >= 0, qPrintable(name));
        frmTerm->cboDevice->setCurrentIndex(index);
        emit frmTerm->cboDevice->activated(index);
    }

private slots:
    void initTestCase()
    {
        fx_ = std::make_unique<TWindowFixture>("qxdevwin");
        writeFileAtomically(tools() + "defaultLocal.htm", "<html><body>local intro</body></html>");
        writeFileAtomically(tools() + "page2.htm", "<html><body>display page</body></html>");
    }

    void cleanup()
    {
        stop();
        replyTerminator = "*";
        fx_->answerYes = true;
    }

    void cleanupTestCase() { fx_.reset(); }

    void selectingTheDisplayIdentifiesIt()
    {
        Devsim devsim(fx_->dir(), kDisplayProfile);
        QVERIFY(devsim.ok());
        writeFileAtomically(catalogue(), "[TOOLS]\nDevices=none,QX-Display,\n"
                                         "[none]\nDescription=No device selected\n"
                                         "[QX-Display]\nDescription=The display\nBaud=13\nStopBits=0\nDataBits=4\n"
                                         "Init=#27c, ; reset\nIDstring=#27[c\nUpdate=!boot,U\nBFFFILE=a.bff,b.bff,\n"
                                         "Echo=on\nTabs=BMP,Strings,Nonesuch,\nCurrentPage=1\nIntroUrl=page2.htm\n"
                                         "StringFilePath=snippets/\nBFFPosition=0\n");
        start(devsim.link());
        QCOMPARE(items(frmTerm->cboDevice), (QStringList {"none", "QX-Display"}));
        QVERIFY(!frmTerm->cboDevice->isEnabled());
        QVERIFY(frmTerm->Info->wbIntro->toPlainText().contains("local intro"));
        QVERIFY(frmTerm->Info->wbIntro->source().toString().endsWith("qxtools/defaultLocal.htm"));
        connectPort();
        QVERIFY(frmTerm->cboDevice->isEnabled());

        pick("QX-Display");
        QVERIFY2(fx_->errors.isEmpty(), qPrintable(fx_->errors.join("; ")));
        const std::string status = statusText();
        QVERIFY2(status.find("Device QX-Display selected\nThe display\nSending initialisation string\n"
                             "checking to see if QX-Display connected - ok\nEnabling tabs [BMP,Strings,Nonesuch,]\n")
                     != std::string::npos,
                 status.c_str());
        const QTextCharFormat ok = statusFormatOf(" - ok");
        QCOMPARE(ok.foreground().color(), QColor(0, 128, 0));
        QCOMPARE(ok.fontWeight(), int(QFont::Bold));
        QCOMPARE(statusFormatOf("The display").fontWeight(), int(QFont::Bold));

        // The line settings were applied and the port reopened.
        QCOMPARE(frmTerm->cboBaudRate->currentText(), QString("115200"));
        QCOMPARE(frmTerm->VaComm1->UserBaudrate(), 115200);
        QCOMPARE(frmTerm->VaComm1->Stopbits(), sb1);
        QVERIFY(frmTerm->VaComm1->Active());
        QVERIFY(frmTerm->spdConnect->isChecked());

        // Tabs enabled and moved to the front in reverse order of the list; the current page.
        QCOMPARE(tabOrder(), (QStringList {"Strings", "BMP", "Info", "ASI"}));
        QVERIFY(frmTerm->PageControl1->isTabEnabled(0) && frmTerm->PageControl1->isTabEnabled(1));
        QCOMPARE(frmTerm->PageControl1->currentIndex(), 1);
        QVERIFY(frmTerm->Update1->isEnabled());
        QVERIFY(frmTerm->Echo1->isChecked());
        QVERIFY(!frmTerm->HWFlow1->isChecked());
        QCOMPARE(items(frmTerm->BMP->cboBFFfileName), (QStringList {"a.bff", "b.bff"}));
        QCOMPARE(items(frmTerm->BMP->cboBMPfileName), (QStringList {"none"}));
        QCOMPARE(frmTerm->BMP->cboBFFfileName->currentIndex(), 0);
        QCOMPARE(frmTerm->Strings->lblCurrentPath->text().toStdString(), tools() + "snippets/");
        QVERIFY(frmTerm->Info->wbIntro->toPlainText().contains("display page"));
        QCOMPARE(homeUrl, "file://" + tools() + "page2.htm");

        // The Info tab's buttons: back to the local intro, forward again, home, refresh.
        frmTerm->Info->SpeedButton2->click();
        QVERIFY(frmTerm->Info->wbIntro->toPlainText().contains("local intro"));
        frmTerm->Info->SpeedButton1->click();
        QVERIFY(frmTerm->Info->wbIntro->toPlainText().contains("display page"));
        writeFileAtomically(tools() + "page2.htm", "<html><body>changed page</body></html>");
        frmTerm->Info->SpeedButton4->click();
        QVERIFY(frmTerm->Info->wbIntro->toPlainText().contains("changed page"));
        frmTerm->Info->SpeedButton2->click();
        frmTerm->Info->SpeedButton3->click();
        QVERIFY(frmTerm->Info->wbIntro->toPlainText().contains("changed page"));

        // A second selection appends the file lists again.
        pick("QX-Display");
        QCOMPARE(items(frmTerm->BMP->cboBFFfileName), (QStringList {"a.bff", "b.bff", "a.bff", "b.bff"}));

        // A re-activation reloads the list but keeps the device shown.
        frmTerm->FormActivate();
        QCOMPARE(frmTerm->cboDevice->currentText(), QString("QX-Display"));

        // Closing writes the device's state back.
        // (An activation shows the first tab again.)
        QCOMPARE(frmTerm->PageControl1->currentIndex(), 0);
        frmTerm->PageControl1->setCurrentIndex(1);
        frmTerm->cboBaudRate->setCurrentIndex(12);
        frmTerm->BMP->cboBFFfileName->setCurrentIndex(2);
        stop();
        const TIniFile ini(catalogue());
        QCOMPARE(ini.ReadInteger("QX-Display", "Baud", -1), 12);
        QCOMPARE(ini.ReadInteger("QX-Display", "StopBits", -1), 0);
        QCOMPARE(ini.ReadInteger("QX-Display", "CurrentPage", -1), 1);
        QCOMPARE(ini.ReadInteger("QX-Display", "BFFPosition", -1), 2);
        QCOMPARE(ini.ReadString("QX-Display", "BFFFILE", ""), std::string("a.bff,b.bff,a.bff,b.bff,"));
        QCOMPARE(ini.ReadString("QX-Display", "BMPFILE", ""), std::string("none,none,"));
        QCOMPARE(ini.ReadString("QX-Display", "Init", ""), std::string("#27c, ; reset"));
    }

    void identificationInAnyCaseOrNotFound()
    {
        writeFileAtomically(catalogue(), "[TOOLS]\nDevices=qx-display,\n[qx-display]\nStopBits=0\nInit=#27c\n"
                                         "IDstring=#27[c\nTabs=\n");
        {
            Devsim devsim(fx_->dir(), kDisplayProfile);
            QVERIFY(devsim.ok());
            start(devsim.link());
            connectPort();
            pick("qx-display");
            QVERIFY(statusText().find("checking to see if qx-display connected - ok\n") != std::string::npos);
            stop();
        }
        {
            Devsim devsim(fx_->dir(), "[Device]\nIDanswer=Other v1*\n" + std::string(kDisplayProfile).substr(9));
            QVERIFY(devsim.ok());
            start(devsim.link());
            connectPort();
            pick("qx-display");
            const std::string status = statusText();
            QVERIFY2(status.find("checking to see if qx-display connected\nNo device found, Device returns [Other v1*]\n")
                         != std::string::npos,
                     status.c_str());
            // No "Update" field: the menu item stays disabled.
            QVERIFY(!frmTerm->Update1->isEnabled());
            stop();
        }
    }

    void addressedDevice()
    {
        Devsim devsim(fx_->dir(), "[Device]\nName=QX-ASI\nType=ASI\nAddress=7\nTerminator=>\n"
                            "[Line]\nBaud=9600\nDataBits=8\nStopBits=1\nParity=N\n[Flash]\nTypes=1-2:m\n");
        QVERIFY(devsim.ok());
        writeFileAtomically(catalogue(), "[TOOLS]\nDevices=none,QX-ASI,\n[QX-ASI]\nType=ASI\nBaud=6\nStopBits=0\n"
                                         "Init=#27c,\nIDstring=#27[c\nTabs=Info,ASI,\n");
        start(devsim.link());
        connectPort();
        QCOMPARE(replyTerminator, std::string("*"));
        pick("QX-ASI");
        QVERIFY2(statusText().find("checking to see if QX-ASI connected - ok\n") != std::string::npos,
                 statusText().c_str());
        QCOMPARE(deviceType, std::string("ASI"));
        QCOMPARE(deviceAddress, std::string("7"));
        QCOMPARE(frmTerm->ASI->txtAddress->text(), QString("7"));
        QCOMPARE(replyTerminator, std::string(">"));
        QCOMPARE(tabOrder(), (QStringList {"ASI", "Info", "BMP", "Strings"}));
        // Commands now wait for ">": a block query answered by the device.
        const TReply r = frmTerm->context->channel.sendAndWait("\x1b{1q", replyTerminator, 10);
        QVERIFY(r.found);
        QCOMPARE(r.text, std::string("m"));
    }

    void initStringsInOrderAndMalformedEscapes()
    {
        PtyPeer pty;
        QVERIFY(!pty.SlavePath().empty());
        writeFileAtomically(catalogue(), "[TOOLS]\nDevices=Peer,Broken,\n"
                                         "[Peer]\nStopBits=0\nInit=#27c,A#44B,;second, third\nIDstring=#27[c ; id\n"
                                         "[Broken]\nStopBits=0\nInit=#27c,#2x\nIDstring=#27[c\n");
        PtyResponder device(pty, answeringIdentification("PEER v1*"));
        start(pty.SlavePath());
        connectPort();
        pick("Peer");
        QVERIFY(statusText().find("checking to see if Peer connected - ok\n") != std::string::npos);
        QCOMPARE(device.Received(), std::string("\r\r\x1b" "cA,B\x1b[c"));

        // A malformed character code: the selection stops with an error before anything is sent.
        pick("Broken");
        QCOMPARE(fx_->errors.size(), 1);
        QVERIFY2(fx_->errors[0].contains("#2x"), qPrintable(fx_->errors[0]));
        QTest::qWait(100);
        QCOMPARE(device.Received(), std::string("\r\r\x1b" "cA,B\x1b[c"));
        QVERIFY(statusText().find("Device Broken selected\n\n") != std::string::npos);
        QVERIFY(statusText().find("Sending initialisation string", statusText().find("Broken")) == std::string::npos);
    }

    void noneAndClosedPortAndLongLists()
    {
        PtyPeer pty;
        QVERIFY(!pty.SlavePath().empty());
        std::string list = "[TOOLS]\nDevices=none,";
        for (int i = 1; i <= 9; ++i)
            list += "D" + std::to_string(i) + ",";
        writeFileAtomically(catalogue(), list + "\n[none]\nDescription=Nothing\nBFFFILE=x.bff\n"
                                                "[D1]\nDescription=First\nBaud=13\nTabs=Strings\nBMPFILE=p.bmp,\n");
        start(pty.SlavePath());
        QCOMPARE(frmTerm->cboDevice->count(), 8);
        QCOMPARE(frmTerm->cboDevice->itemText(7), QString("D7"));
        connectPort();
        frmTerm->spdConnect->click(); // disconnected again
        QVERIFY(!frmTerm->VaComm1->Active());

        // The port closed: no checking, but lists, marks, tabs and intro page are loaded.
        pick("D1");
        QVERIFY(statusText().find("First\nCom port not set so no device checking can be done\n") != std::string::npos);
        QCOMPARE(items(frmTerm->BMP->cboBMPfileName), (QStringList {"p.bmp"}));
        QCOMPARE(tabOrder().value(0), QString("Strings"));
        QVERIFY(frmTerm->PageControl1->isTabEnabled(0));
        QCOMPARE(frmTerm->cboBaudRate->currentIndex(), 6); // line settings untouched

        // "none" reads its description only.
        pick("none");
        QVERIFY(statusText().find("Device none selected\nNothing\n") != std::string::npos);
        QCOMPARE(items(frmTerm->BMP->cboBFFfileName), (QStringList {"none"}));
        QCOMPARE(items(frmTerm->BMP->cboBMPfileName), (QStringList {"p.bmp"}));
        QCOMPARE(tabOrder().value(0), QString("Strings"));
        QCOMPARE(frmTerm->PageControl1->currentWidget(), static_cast<QWidget*>(frmTerm->Info));

        // Closing with "none" saves its file lists and nothing else.
        stop();
        const TIniFile ini(catalogue());
        QCOMPARE(ini.ReadString("none", "BFFFILE", ""), std::string("none,"));
        QVERIFY(!ini.KeyExists("none", "Baud"));
    }

    void commandReplies()
    {
        PtyPeer pty;
        QVERIFY(!pty.SlavePath().empty());
        writeFileAtomically(catalogue(), "[TOOLS]\nDevices=none,\n");
        start(pty.SlavePath());

        // The port closed: nothing is sent, not found, empty reply.
        rxBuffer = "old";
        TReply r = frmTerm->context->channel.sendAndWait("\x1b{1q", "*", 2);
        QVERIFY(!r.found);
        QCOMPARE(r.text, std::string());
        QCOMPARE(rxBuffer, std::string());

        connectPort();
        // An answer that comes in pieces.
        QTimer::singleShot(20, frmTerm, [&] { pty.Write("O"); });
        QTimer::singleShot(80, frmTerm, [&] { pty.Write("K*"); });
        r = frmTerm->context->channel.sendAndWait("\x1b{1q", "*", 20);
        QVERIFY(r.found);
        QCOMPARE(r.text, std::string("OK"));
        QCOMPARE(pty.ReadCount(4), std::string("\x1b{1q"));

        // Two characters after the terminator: found, and only the last character is taken off.
        pty.Write("OK*ab");
        r = frmTerm->context->channel.sendAndWait("", "*", 20);
        // (The text may have arrived before the wait emptied the buffer; send it again then.)
        if (!r.found) {
            QTimer::singleShot(10, frmTerm, [&] { pty.Write("OK*ab"); });
            r = frmTerm->context->channel.sendAndWait("", "*", 20);
        }
        QVERIFY(r.found);
        QCOMPARE(r.text, std::string("OK*a"));

        // Letter case is ignored; a reply that never ends gives everything received.
        QTimer::singleShot(10, frmTerm, [&] { pty.Write("QX-DISPLAY v2.4*"); });
        r = frmTerm->context->channel.sendAndWait("\x1b[c", "qx-display", 20);
        QVERIFY(r.found);
        QTimer::singleShot(10, frmTerm, [&] { pty.Write("partial"); });
        r = frmTerm->context->channel.sendAndWait("\x1b{2q", "*", 4);
        QVERIFY(!r.found);
        QCOMPARE(r.text, std::string("partial"));
    }

    void pacedUploadCancelledWhileCtsIsLow()
    {
        PtyPeer pty;
        QVERIFY(!pty.SlavePath().empty());
        writeFileAtomically(catalogue(), "[TOOLS]\nDevices=none,\n");
        start(pty.SlavePath());
        connectPort();
        QCOMPARE(sendPaced(*frmTerm->context, "abcdef", 4, 4), size_t(4));
        QCOMPARE(pty.ReadCount(4), std::string("abcd"));
        QVERIFY(frmTerm->ProgressBar1->isHidden());

        auto lowCts = std::make_shared<TFakeModemLines>();
        lowCts->cts = false;
        frmTerm->spdConnect->click();
        frmTerm->VaComm1->SetModemLines(lowCts);
        connectPort();
        QTimer::singleShot(50, frmTerm, [] {
            QVERIFY(frmTerm->btnCancel->isVisible());
            frmTerm->btnCancel->click();
        });
        QCOMPARE(sendPaced(*frmTerm->context, "abc", 3, 3), size_t(0));
        QVERIFY(frmTerm->ProgressBar1->isHidden());
        QVERIFY(frmTerm->btnCancel->isHidden());
        QVERIFY(!cancelFlag);
        QCOMPARE(pty.ReadSome(50), std::string());
    }

    void selectingTheDisplayThroughSer2net()
    {
        // ser2net serves the simulated display; the port list has its URL from ExtraPorts, where
        // the "?" of the options must not act as a wildcard.
        Devsim devsim(fx_->dir(), kDisplayProfile);
        QVERIFY(devsim.ok());
        Ser2net server(devsim.link());
        writeFileAtomically(catalogue(), "[TOOLS]\nDevices=none,QX-Display,\n"
                                         "[QX-Display]\nDescription=The display\nBaud=13\nStopBits=0\nDataBits=4\n"
                                         "IDstring=#27[c\nTabs=BMP,\n");
        const std::string url = server.url("?timeout=1");
        start(url);
        QCOMPARE(frmTerm->cboPort->currentText().toStdString(), url);
        connectPort();
        pick("QX-Display");
        QVERIFY2(fx_->errors.isEmpty(), qPrintable(fx_->errors.join("; ")));
        const std::string status = statusText();
        QVERIFY2(status.find("checking to see if QX-Display connected - ok") != std::string::npos, status.c_str());
        // ser2net reports no modem lines: the choice made for CTS is shown.
        QVERIFY2(status.find("CTS and DSR count as on") != std::string::npos, status.c_str());
        QCOMPARE(frmTerm->VaComm1->UserBaudrate(), 115200);
        frmTerm->spdConnect->click();
    }

    void remotePortPacesOnCtsAndReadsTouchOnRing()
    {
        // A server that reports its lines: CTS low holds a paced upload, RING asks for the touch.
        using namespace rfc2217;
        Rfc2217Peer::Options options;
        options.firstModemState = MODEM_DSR; // known lines: DSR on, CTS off
        options.answer = [](const std::string& piece) {
            return piece.find("\x1b[l") != std::string::npos ? std::string("120,45*") : std::string();
        };
        Rfc2217Peer peer(options);
        writeFileAtomically(catalogue(), "[TOOLS]\nDevices=none,\n");
        start(peer.url());
        frmTerm->VaComm1->SetMonitorEvents(TVaCommEvents(frmTerm->VaComm1->MonitorEvents()).Include(ceRing));
        connectPort();
        QVERIFY(!frmTerm->VaComm1->CTS());
        QTimer::singleShot(100, frmTerm, [] { frmTerm->btnCancel->click(); });
        QCOMPARE(sendPaced(*frmTerm->context, "abc", 3, 3), size_t(0));
        QCOMPARE(peer.data(), std::string());
        peer.sendReport(NOTIFY_MODEMSTATE + SERVER_OFFSET, {MODEM_DELTA_CTS | MODEM_CTS | MODEM_DSR});
        QTRY_VERIFY_WITH_TIMEOUT(frmTerm->VaComm1->CTS(), 5000);
        QCOMPARE(sendPaced(*frmTerm->context, "abc", 3, 3), size_t(3));
        QVERIFY(peer.waitForData("abc"));

        TReply reply;
        int rings = 0;
        frmTerm->VaComm1->OnRing = [&](TVaCustomComm*) {
            ++rings;
            reply = frmTerm->context->channel.sendAndWaitDirect("\x1b[l", "*", 500);
        };
        peer.sendReport(NOTIFY_MODEMSTATE + SERVER_OFFSET, {MODEM_RING_EDGE | MODEM_RING | MODEM_CTS | MODEM_DSR});
        QTRY_COMPARE_WITH_TIMEOUT(rings, 1, 5000);
        QVERIFY(reply.found);
        QCOMPARE(reply.text, std::string("120,45"));
        frmTerm->VaComm1->OnRing = nullptr;
        frmTerm->spdConnect->click();
    }

    void directReplyInsideARingEvent()
    {
        // The device answers the touch request; the request is made inside the port's ring event,
        // while the port's event thread waits for the handler and reads nothing itself.
        PtyPeer pty;
        start(pty.SlavePath());
        auto lines = std::make_shared<TFakeModemLines>();
        frmTerm->VaComm1->SetModemLines(lines);
        frmTerm->VaComm1->SetMonitorEvents(TVaCommEvents(frmTerm->VaComm1->MonitorEvents()).Include(ceRing));
        connectPort();
        PtyResponder device(pty, [](const std::string&, const std::string& piece) {
            return piece.find("\x1b[l") != std::string::npos ? std::string("120,45*") : std::string();
        });
        TReply reply;
        int rings = 0;
        frmTerm->VaComm1->OnRing = [&](TVaCustomComm*) {
            ++rings;
            reply = frmTerm->context->channel.sendAndWaitDirect("\x1b[l", "*", 50);
        };
        lines->ring = true;
        QTRY_COMPARE_WITH_TIMEOUT(rings, 1, 5000);
        QVERIFY(reply.found);
        QCOMPARE(reply.text, std::string("120,45"));
        // The receive text was not touched and the terminal did not see the answer.
        QVERIFY(rxBuffer.find("120,45") == std::string::npos);
        frmTerm->VaComm1->OnRing = nullptr;
    }

    void catalogueUpdateFromTheWebSite()
    {
        const std::string web = fx_->dir() + "web/";
        std::system(("mkdir -p '" + web + "qxtools' '" + web + "b/qxtools'").c_str());
        writeFileAtomically(web + "qxtools/marker.txt", "QXT,1.02,2\n");
        writeFileAtomically(web + "qxtools/defaultInet.htm", "<html><body>internet intro</body></html>");
        const std::string published = "[TOOLS]\nDevices=none,NEW,\nVersion=1\n[NEW]\nDescription=new device\n";
        writeFileAtomically(web + "qxtools/devices.ini", published);
        writeFileAtomically(web + "b/qxtools/marker.txt", "QXT,1.03,3");
        writeFileAtomically(web + "b/qxtools/defaultUpdate.htm", "<html><body>newer program</body></html>");
        WebServer server(web);
        const std::string old = "[TOOLS]\nDevices=none,\nVersion=1\n[none]\nDescription=Nothing\n";
        writeFileAtomically(catalogue(), old);

        // The marker names another catalogue version: the offer, answered No, changes nothing.
        start("/nonexistent/tty", server.site());
        QCOMPARE(toolsBaseUrl, server.site() + "/qxtools/");
        QCOMPARE(publishedVersion, std::string("2"));
        QVERIFY2(frmTerm->Info->wbIntro->toPlainText().contains("internet intro"),
                 qPrintable(frmTerm->Info->wbIntro->toPlainText()));
        fx_->answerYes = false;
        pick("none");
        QCOMPARE(fx_->questions, QStringList {"More devices have been added would you like to update the ini file"});
        QCOMPARE(readAll(catalogue()), old);

        // Yes: the published catalogue replaces it, with the announced version.
        fx_->answerYes = true;
        pick("none");
        QVERIFY(statusText().find("Updating int file  ok\n") != std::string::npos);
        QCOMPARE(statusFormatOf(" ok").foreground().color(), QColor(0, 128, 0));
        QCOMPARE(TIniFile(catalogue()).ReadString("TOOLS", "Version", ""), std::string("2"));
        QCOMPARE(TIniFile(catalogue()).ReadString("NEW", "Description", ""), std::string("new device"));
        // No offer once the versions agree; the device list is read afresh on activation.
        fx_->questions.clear();
        pick("none");
        QVERIFY(fx_->questions.isEmpty());
        frmTerm->FormActivate();
        QCOMPARE(items(frmTerm->cboDevice), (QStringList {"none", "NEW"}));
        stop();

        // A site announcing a newer program, whose catalogue download fails: the file stays.
        const std::string before = readAll(catalogue());
        start("/nonexistent/tty", server.site() + "/b");
        QVERIFY(frmTerm->Info->wbIntro->toPlainText().contains("newer program"));
        QCOMPARE(publishedVersion, std::string("3"));
        pick("none");
        QVERIFY(statusText().find("Could not update ini file does not exist\n") != std::string::npos);
        QCOMPARE(readAll(catalogue()), before);
        stop();

        // Pages of the site are browsed over http.
        start("/nonexistent/tty", server.site());
        frmTerm->Info->wbIntro->navigate(server.site() + "/b/qxtools/defaultUpdate.htm");
        QVERIFY(frmTerm->Info->wbIntro->toPlainText().contains("newer program"));
        frmTerm->Info->SpeedButton3->click();
        QVERIFY(frmTerm->Info->wbIntro->toPlainText().contains("internet intro"));
    }

    void unansweredDownloadEndsAtItsTimeOut()
    {
        // A server that accepts and never answers, and a port where nothing listens.
        QTcpServer silent;
        QVERIFY(silent.listen(QHostAddress::LocalHost, 0));
        QCOMPARE(fetchUrl("http://127.0.0.1:" + std::to_string(silent.serverPort()) + "/qxtools/marker.txt", 300),
                 std::string());
        QCOMPARE(fetchUrl("http://127.0.0.1:" + std::to_string(freeLocalPort()) + "/marker.txt"), std::string());
        QCOMPARE(fetchUrl("not an address"), std::string());
    }
};

QTEST_MAIN(TestDeviceWindow)
#include "test_device_window.moc"
