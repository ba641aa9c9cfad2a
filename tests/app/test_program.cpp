// The program entry's additions: the command line, connecting to a port named on it, and the end
// on SIGTERM / SIGINT / SIGHUP, in process (real signals, the real windows offscreen) and with the
// real qx-com started the way a user or a desktop session starts it.
#include "AtomicFile.h"
#include "IniFile.h"
#include "Program.h"
#include "PtyPeer.h"
#include "Rfc2217Peer.h"
#include "Ser2net.h"
#include "SnippetLibrary.h"
#include "StringsTab.h"
#include "WindowFixture.h"
#include "qx_com.h"

#include "VaComm.h"

#include <QComboBox>
#include <QCoreApplication>
#include <QDir>
#include <QLineEdit>
#include <QProcess>
#include <QTabWidget>
#include <QTest>
#include <QTextBlock>
#include <QTextCursor>
#include <QTimer>
#include <QToolButton>

#include <csignal>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// True while another process holds the port's device open: the program locks what it opens.
bool deviceLocked(const std::string& path)
{
    const int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return false;
    const bool locked = ::flock(fd, LOCK_EX | LOCK_NB) != 0 && errno == EWOULDBLOCK;
    ::close(fd);
    return locked;
}

std::string fileText(const std::string& path)
{
    std::string data;
    readWholeFile(path, data);
    return data;
}

// Clicks the line of a Strings tab pane that holds text.
void clickLine(TSnippetPane* pane, const QString& text)
{
    const QTextBlock block = pane->document()->find(text).block();
    QVERIFY2(block.isValid(), qPrintable(text));
    QTextCursor cursor(block);
    cursor.movePosition(QTextCursor::Right);
    QTest::mouseClick(pane->viewport(), Qt::LeftButton, {}, pane->cursorRect(cursor).center());
}

const char* const kLibrary = "// qxtools - test library\r\n[Alpha]\r\nalpha text\r\n";

} // namespace

class TestProgram : public QObject {
    Q_OBJECT

private:
    std::unique_ptr<TWindowFixture> fx_;

private slots:
    void initTestCase() { fx_ = std::make_unique<TWindowFixture>("qxprog"); }
    void cleanup() { fx_->stop(); }
    void cleanupTestCase() { fx_.reset(); }

    void commandLine()
    {
        // No argument: the program as it always starts.
        QCOMPARE(parseCommandLine({}).action, TCommandLine::caRun);
        QVERIFY(parseCommandLine({}).port.isEmpty());
        const TCommandLine port = parseCommandLine({"/dev/ttyACM0"});
        QCOMPARE(port.action, TCommandLine::caRun);
        QCOMPARE(port.port, QString("/dev/ttyACM0"));
        // --help and --version answer whatever else is there, a wrong argument included.
        QCOMPARE(parseCommandLine({"ttyUSB0", "--bogus", "--version"}).action, TCommandLine::caVersion);
        QCOMPARE(parseCommandLine({"--version", "-h"}).action, TCommandLine::caHelp);
        // Nothing else is taken silently: an unknown option, a second port, an empty name.
        const TCommandLine unknown = parseCommandLine({"--baud", "9600"});
        QCOMPARE(unknown.action, TCommandLine::caError);
        QCOMPARE(unknown.error, QString("unknown option '--baud'"));
        const TCommandLine two = parseCommandLine({"ttyUSB0", "ttyUSB1"});
        QCOMPARE(two.action, TCommandLine::caError);
        QVERIFY(two.error.contains("ttyUSB0") && two.error.contains("ttyUSB1"));
        QCOMPARE(parseCommandLine({""}).action, TCommandLine::caError);
        // After "--" a name may start with "-"; "-" alone is a name too.
        QCOMPARE(parseCommandLine({"--", "-odd"}).port, QString("-odd"));
        QCOMPARE(parseCommandLine({"--", "--help"}).action, TCommandLine::caRun);
        QCOMPARE(parseCommandLine({"-"}).port, QString("-"));
        QVERIFY(usageText().contains("qx-com [PORT]"));
    }

    void aPortNamedAtStartIsSelectedAndConnected()
    {
        PtyPeer listed, unlisted;
        fx_->start("[Comms]\nExtraPorts=" + listed.SlavePath() + "\nPort=0\n");
        const int entries = frmTerm->cboPort->count();

        // A path the list holds: that entry, no second one.
        connectAtStart(listed.SlavePath());
        QVERIFY2(frmTerm->VaComm1->Active(), qPrintable(fx_->errors.join("; ")));
        QVERIFY(frmTerm->spdConnect->isChecked());
        QCOMPARE(frmTerm->cboPort->currentText().toStdString(), listed.SlavePath());
        QCOMPARE(frmTerm->cboPort->count(), entries);
        QVERIFY(deviceLocked(listed.SlavePath()));
        frmTerm->VaComm1->WriteText("hi");
        QCOMPARE(listed.Read(2), std::string("hi"));

        // A path it does not hold is added in its text order, and the port changes to it.
        connectAtStart(unlisted.SlavePath());
        QVERIFY2(frmTerm->VaComm1->Active(), qPrintable(fx_->errors.join("; ")));
        QCOMPARE(frmTerm->cboPort->count(), entries + 1);
        QCOMPARE(frmTerm->cboPort->currentText().toStdString(), unlisted.SlavePath());
        QCOMPARE(frmTerm->cboPort->itemText(0), QString("<none>"));
        for (int i = 2; i < frmTerm->cboPort->count(); ++i)
            QVERIFY(frmTerm->cboPort->itemText(i - 1).compare(frmTerm->cboPort->itemText(i), Qt::CaseInsensitive) <= 0);
        QVERIFY(!deviceLocked(listed.SlavePath()));
        QVERIFY(deviceLocked(unlisted.SlavePath()));

        // A device that is not there: the port's own message, the port closed, the button up.
        fx_->clearMessages();
        connectAtStart("/dev/qx-no-such-tty");
        QVERIFY(!frmTerm->VaComm1->Active());
        QVERIFY(!frmTerm->spdConnect->isChecked());
        QCOMPARE(fx_->errors.size(), 1);
        QVERIFY2(fx_->errors.front().contains("/dev/qx-no-such-tty"), qPrintable(fx_->errors.front()));
    }

    void aRemotePortTypedIntoThePortBoxIsTakenAndRemembered()
    {
        PtyPeer pty;
        Ser2net server(pty.SlavePath());
        const std::string url = server.url("?timeout=1");
        fx_->start("[Comms]\nPort=0\n");
        frmTerm->cboPort->lineEdit()->setText(QString::fromStdString(url));
        QTest::keyClick(frmTerm->cboPort->lineEdit(), Qt::Key_Return);
        QCOMPARE(frmTerm->cboPort->currentText().toStdString(), url);
        frmTerm->spdConnect->click();
        QVERIFY2(frmTerm->VaComm1->Active(), qPrintable(fx_->errors.join("; ")));
        frmTerm->VaComm1->WriteText("hi");
        QCOMPARE(pty.Read(2), std::string("hi"));
        // Refreshing the list keeps it; the next start has it chosen again.
        frmTerm->RefreshPorts1->trigger();
        QCOMPARE(frmTerm->cboPort->currentText().toStdString(), url);
        fx_->stop();
        fx_->start("", true);
        QCOMPARE(frmTerm->cboPort->currentText().toStdString(), url);
        QCOMPARE(frmTerm->VaComm1->DevicePath(), url);
    }

    void theRateBoxShowsTheRateARemoteServerChose()
    {
        Rfc2217Peer::Options options;
        options.baudReply = 9600;
        Rfc2217Peer peer(options);
        fx_->start("[Comms]\nExtraPorts=" + peer.url() + "\nPort=1\n");
        frmTerm->cboBaudRate->setCurrentIndex(frmTerm->cboBaudRate->findText("115200"));
        frmTerm->cboBaudRateChange();
        frmTerm->spdConnect->click();
        QVERIFY2(frmTerm->VaComm1->Active(), qPrintable(fx_->errors.join("; ")));
        QCOMPARE(frmTerm->VaComm1->BaudrateInForce(), 9600);
        QCOMPARE(frmTerm->cboBaudRate->currentText(), QString("9600"));
        QVERIFY(QString::fromStdString(TWindowFixture::statusText()).contains("the server set 9600 baud instead of 115200"));
        // Another choice from the list is asked for, and again the rate in force is shown.
        frmTerm->cboBaudRate->setCurrentIndex(frmTerm->cboBaudRate->findText("57600"));
        frmTerm->cboBaudRateChange();
        QVERIFY(frmTerm->VaComm1->Active());
        QCOMPARE(frmTerm->cboBaudRate->currentText(), QString("9600"));
        QVERIFY(QString::fromStdString(TWindowFixture::statusText()).contains("instead of 57600"));
        // While a rate is being typed the box keeps the keys.
        frmTerm->cboBaudRate->setEditText("19200");
        frmTerm->cboBaudRateChange(true);
        QCOMPARE(frmTerm->cboBaudRate->currentText(), QString("19200"));
    }

    void aSignalEndsTheProgramAsClosingItsWindowDoes()
    {
        PtyPeer pty;
        const std::string folder = fx_->dir() + "lib/";
        ::mkdir(folder.c_str(), 0755);
        writeFileAtomically(folder + "display.qxt", kLibrary);
        fx_->start("[Comms]\nExtraPorts=" + pty.SlavePath() + "\nPort=1\n");
        installEndingSignals();
        frmTerm->spdConnect->click();
        QVERIFY2(frmTerm->VaComm1->Active(), qPrintable(fx_->errors.join("; ")));

        // A library with an entry added and not saved.
        TStringsTab* strings = frmTerm->Strings;
        strings->setEnabled(true);
        frmTerm->PageControl1->setCurrentWidget(strings);
        strings->setLibraryFolder(folder, "*.qxt");
        clickLine(strings->reLibNames, "display.qxt");
        QCOMPARE(strings->libraryPath(), folder + "display.qxt");
        TStringsTab::setInputBoxHandler([](const QString&, const QString&, const QString&) { return QString("Beta"); });
        strings->tbAddNewClick();
        TStringsTab::setInputBoxHandler({});
        QVERIFY(strings->hasUnsavedChanges());
        // An earlier recovery is never overwritten.
        writeFileAtomically(folder + "display-recovered.qxt", "earlier");
        ::unlink(fx_->settingsPath().c_str());

        // The signal arrives while the event loop runs; the loop ends with status 0.
        QTimer::singleShot(0, [] { ::kill(::getpid(), SIGTERM); });
        QTimer::singleShot(60000, [] { QCoreApplication::exit(99); });
        QCOMPARE(QCoreApplication::exec(), 0);

        // The port is closed, the settings written, the library file as it was and the work kept.
        QVERIFY(!frmTerm->VaComm1->Active());
        QVERIFY(!deviceLocked(pty.SlavePath()));
        const TIniFile settings(fx_->settingsPath());
        QCOMPARE(settings.ReadString("Comms", "PortName", ""), pty.SlavePath());
        QVERIFY(!settings.ReadString("Date", "LastUpdate", "").empty());
        QCOMPARE(fileText(folder + "display.qxt"), std::string(kLibrary));
        QCOMPARE(fileText(folder + "display-recovered.qxt"), std::string("earlier"));
        const std::string kept = fileText(folder + "display-recovered-1.qxt");
        QVERIFY2(kept.find("[Alpha]\r\nalpha text\r\n") != std::string::npos, kept.c_str());
        QVERIFY2(kept.find("[Beta]\r\n// New entry for Beta\r\n") != std::string::npos, kept.c_str());
        const QString status = QString::fromStdString(TWindowFixture::statusText());
        QVERIFY2(status.contains(QString::fromStdString("are kept in " + folder + "display-recovered-1.qxt")),
                 qPrintable(status));
        // Nobody was asked anything.
        QVERIFY(fx_->questions.isEmpty());
    }

    void theProgramConnectsToThePortOnItsCommandLineAndEndsOnSigterm()
    {
        // The real program, laid out as installed: prefix/bin/qx-com with nothing beside it.
        TTempDir root("qxprogrun");
        const std::string bin = root.path() + "usr/bin/";
        QVERIFY(QDir().mkpath(QString::fromStdString(bin)));
        QVERIFY(QFile::copy(QX_COM_EXE, QString::fromStdString(bin + "qx-com")));
        const std::string home = root.path() + "home/";
        PtyPeer pty;

        QProcess program;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert("HOME", QString::fromStdString(home));
        env.insert("XDG_CONFIG_HOME", QString::fromStdString(home + "config"));
        env.insert("XDG_DATA_HOME", QString::fromStdString(home + "data"));
        env.insert("QT_QPA_PLATFORM", "offscreen");
        program.setProcessEnvironment(env);
        program.setProcessChannelMode(QProcess::ForwardedChannels);
        program.start(QString::fromStdString(bin + "qx-com"), {QString::fromStdString(pty.SlavePath())});
        QVERIFY(program.waitForStarted());
        QTRY_VERIFY_WITH_TIMEOUT(deviceLocked(pty.SlavePath()) || program.state() != QProcess::Running, 60000);
        QVERIFY(deviceLocked(pty.SlavePath()));

        ::kill(static_cast<pid_t>(program.processId()), SIGTERM);
        QVERIFY(program.waitForFinished(60000));
        QCOMPARE(program.exitStatus(), QProcess::NormalExit);
        QCOMPARE(program.exitCode(), 0);
        QVERIFY(!deviceLocked(pty.SlavePath()));
        const TIniFile settings(home + "config/qx-com/qx-com-103.ini");
        QCOMPARE(settings.ReadString("Comms", "PortName", ""), pty.SlavePath());
        QCOMPARE(folderEntries(bin), std::vector<std::string>{"qx-com"});
    }
};

QTEST_MAIN(TestProgram)
#include "test_program.moc"
