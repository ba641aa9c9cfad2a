// The log to a file in the main window offscreen, with a pseudo-terminal as the device: the raw file
// against every byte the device sent, the text format with stamps and sent lines, appending,
// stopping and starting again, the menu and its dialog, a full disk and a folder removed.
#include "LogDialog.h"
#include "PtyPeer.h"
#include "TestSupport.h"
#include "WindowFixture.h"
#include "qx_com.h"

#include <QAction>
#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTest>
#include <QTimer>
#include <QToolButton>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <sys/mount.h>
#include <thread>

namespace {

void writeFile(const std::string& path, const std::string& text)
{
    std::ofstream(path, std::ios::binary) << text;
}

// A stream of every byte value in changing order, so that a lost, doubled or moved block shows.
std::string allBytes(size_t size)
{
    std::string data(size, '\0');
    uint32_t x = 12345;
    for (size_t i = 0; i < size; ++i) {
        x = x * 1103515245 + 12345;
        data[i] = static_cast<char>((x >> 16) ^ i);
    }
    return data;
}

QString logLine()
{
    return frmTerm->staLog->isVisible() ? frmTerm->staLog->text() : QString();
}

bool statusHas(const std::string& text)
{
    return TWindowFixture::statusText().find(text) != std::string::npos;
}

} // namespace

class TestLogWindow : public QObject {
    Q_OBJECT

private:
    std::unique_ptr<TWindowFixture> fx_;
    std::unique_ptr<PtyPeer> pty_;

    void startConnected(const std::string& more = {})
    {
        fx_->start("[Comms]\nExtraPorts=" + pty_->SlavePath() + "\nPort=1\n" + more);
        frmTerm->spdConnect->click();
        QVERIFY2(frmTerm->VaComm1->Active(), qPrintable(fx_->errors.join("; ")));
    }

    // The device sends data from a thread of its own, the window keeps working meanwhile.
    static void deviceSends(PtyPeer& pty, const std::string& data)
    {
        std::atomic<bool> done{false};
        std::thread writer([&] {
            pty.Write(data);
            done = true;
        });
        QTRY_VERIFY_WITH_TIMEOUT(done.load(), 120000);
        writer.join();
    }

    static void waitForSize(const std::string& path, size_t size)
    {
        QTRY_VERIFY_WITH_TIMEOUT(std::filesystem::exists(path) && std::filesystem::file_size(path) >= size, 60000);
    }

private slots:
    void initTestCase() { fx_ = std::make_unique<TWindowFixture>("qxlog"); }

    void init()
    {
        pty_ = std::make_unique<PtyPeer>();
        QVERIFY(!pty_->SlavePath().empty());
    }

    void cleanup()
    {
        fx_->stop();
        pty_.reset();
    }

    void cleanupTestCase() { fx_.reset(); }

    void rawLogHoldsEveryByteReceived()
    {
        startConnected();
        const std::string path = fx_->dir() + "raw.log";
        QVERIFY(frmTerm->startLog(QString::fromStdString(path), TLogFormat::raw, true));
        QVERIFY(frmTerm->StopLog1->isEnabled());
        QVERIFY(!frmTerm->LogToFile1->isEnabled());
        QTRY_VERIFY(logLine().startsWith("Log: raw.log"));

        // Stamps on, the hex view on and typed keys: none of them enters the raw file.
        frmTerm->StampTime1->setChecked(true);
        frmTerm->HexView1->trigger();
        frmTerm->mmoTerm->setFocus();
        QTest::keyClicks(frmTerm->mmoTerm, "ab");
        QCOMPARE(pty_->Read(2), std::string("ab"));
        const std::string data = allBytes(10 * 1000 * 1000);
        deviceSends(*pty_, data);
        waitForSize(path, data.size());
        frmTerm->StopLog1->trigger();
        QVERIFY(!frmTerm->StopLog1->isEnabled());
        QVERIFY(frmTerm->LogToFile1->isEnabled());
        QVERIFY(logLine().isEmpty());
        const std::string logged = fileBytes(path);
        QCOMPARE(logged.size(), data.size());
        QVERIFY(logged == data);
        // What was sent is beside it, byte for byte.
        QCOMPARE(fileBytes(path + ".sent"), std::string("ab"));
        QVERIFY(statusHas("Log to " + path + " ended"));
    }

    void textLogHasStampedLinesAndSentLines()
    {
        startConnected();
        const std::string path = fx_->dir() + "text.log";
        frmTerm->StampElapsed1->setChecked(true);
        QVERIFY(frmTerm->startLog(QString::fromStdString(path), TLogFormat::text, true));
        // A line end split over two reads, a bare LF, a clear-screen escape, a prompt after a pause.
        pty_->Write("first line\r");
        QTRY_VERIFY(rxBuffer.ends_with("line\r"));
        pty_->Write("\nsecond\n\x1b[2Jthird\r\n");
        QTRY_VERIFY(rxBuffer.ends_with("third\r\n"));
        frmTerm->mmoTerm->setFocus();
        QTest::keyClicks(frmTerm->mmoTerm, "go");
        QTest::keyClick(frmTerm->mmoTerm, Qt::Key_Return);
        QCOMPARE(pty_->Read(3), std::string("go\r"));
        pty_->Write("ok\r\n> ");
        QTRY_VERIFY(rxBuffer.ends_with("> "));
        QTest::qWait(700); // the pause after which what follows is stamped on a line of its own
        pty_->Write("x\r\n");
        QTRY_VERIFY(rxBuffer.ends_with("x\r\n"));
        frmTerm->StopLog1->trigger();

        std::string log = fileBytes(path);
        // Stamps "[s.mmm] ": each line has one, no other text has one.
        std::vector<std::string> lines;
        std::istringstream in(log);
        for (std::string line; std::getline(in, line);)
            lines.push_back(line);
        std::vector<std::string> bare;
        for (const std::string& line : lines) {
            QVERIFY2(line.starts_with("["), line.c_str());
            const size_t end = line.find("] ");
            QVERIFY2(end != std::string::npos && end > 2, line.c_str());
            QVERIFY2(line.find_first_not_of("0123456789.", 1) == end, line.c_str());
            bare.push_back(line.substr(end + 2));
        }
        QCOMPARE(bare, (std::vector<std::string>{"first line", "second", "third", "> go\\r", "ok", "> ", "x"}));
        QVERIFY(log.ends_with("\n"));
    }

    void appendsAndStartsAgainFromTheMenu()
    {
        startConnected();
        const std::string path = fx_->dir() + "menu.log";
        writeFile(path, "kept\n");

        // The dialog: the file typed, the note says it is appended to.
        QString note;
        bool startEnabled = false;
        QTimer::singleShot(0, frmTerm, [&] {
            auto* dialog = qobject_cast<TLogDialog*>(QApplication::activeModalWidget());
            QVERIFY(dialog);
            dialog->edtLogFile->setText(QString::fromStdString(path));
            dialog->cboLogFormat->setCurrentIndex(0);
            dialog->chkLogSent->setChecked(false);
            note = dialog->lblLogNote->text();
            startEnabled = dialog->btnStart->isEnabled();
            dialog->btnStart->click();
        });
        frmTerm->LogToFile1->trigger();
        QVERIFY(note.contains("appended"));
        QVERIFY(startEnabled);
        QVERIFY(frmTerm->logRunning());
        pty_->Write("one\r\n");
        waitForSize(path, 10);
        // Sent bytes are not logged when not asked for.
        QTest::keyClicks(frmTerm->mmoTerm, "z");
        QCOMPARE(pty_->Read(1), std::string("z"));
        frmTerm->StopLog1->trigger();

        // Started again: the dialog offers the last choice, the file grows.
        QString offered;
        QTimer::singleShot(0, frmTerm, [&] {
            auto* dialog = qobject_cast<TLogDialog*>(QApplication::activeModalWidget());
            QVERIFY(dialog);
            offered = dialog->edtLogFile->text();
            dialog->btnStart->click();
        });
        frmTerm->LogToFile1->trigger();
        QCOMPARE(offered, QString::fromStdString(path));
        pty_->Write("two\n");
        waitForSize(path, 14);
        frmTerm->StopLog1->trigger();
        QCOMPARE(fileBytes(path), std::string("kept\none\r\ntwo\n"));
        QVERIFY(!std::filesystem::exists(path + ".sent"));

        // The choice is in the settings file and comes back at the next start.
        fx_->stop();
        const std::string ini = fileBytes(fx_->settingsPath());
        QVERIFY(ini.find("LogFile=" + path) != std::string::npos);
        QVERIFY(ini.find("LogFormat=0") != std::string::npos);
        fx_->start("", true);
        QTimer::singleShot(0, frmTerm, [&] {
            auto* dialog = qobject_cast<TLogDialog*>(QApplication::activeModalWidget());
            QVERIFY(dialog);
            offered = dialog->edtLogFile->text();
            dialog->reject();
        });
        frmTerm->LogToFile1->trigger();
        QCOMPARE(offered, QString::fromStdString(path));
        QVERIFY(!frmTerm->logRunning());
    }

    void refusesAFileItCannotOpen()
    {
        startConnected();
        const std::string path = fx_->dir() + "no-such-folder/x.log";
        QVERIFY(!frmTerm->startLog(QString::fromStdString(path), TLogFormat::raw, false));
        QVERIFY(statusHas("Log not started: " + path + ": No such file or directory"));
        QVERIFY(!frmTerm->logRunning());
        QVERIFY(frmTerm->LogToFile1->isEnabled());
    }

    void fullDiskStopsTheLogAndKeepsWhatFits()
    {
        const std::string mountPoint = fx_->dir() + "small";
        std::filesystem::create_directory(mountPoint);
        if (::mount("tmpfs", mountPoint.c_str(), "tmpfs", 0, "size=64k") != 0)
            QSKIP("a small tmpfs cannot be mounted here (needs root)");
        struct Unmount {
            std::string at;
            ~Unmount() { ::umount2(at.c_str(), MNT_DETACH); }
        } unmount{mountPoint};

        startConnected();
        const std::string path = mountPoint + "/full.log";
        QVERIFY(frmTerm->startLog(QString::fromStdString(path), TLogFormat::raw, false));
        const std::string data = allBytes(256 * 1024);
        deviceSends(*pty_, data);
        QTRY_VERIFY_WITH_TIMEOUT(!frmTerm->logRunning(), 10000);
        QVERIFY(statusHas("Log stopped: " + path + ": No space left on device"));
        QCOMPARE(TWindowFixture::statusFormatOf("Log stopped").foreground().color(), QColor(Qt::red));
        QVERIFY(frmTerm->LogToFile1->isEnabled());
        QVERIFY(!frmTerm->StopLog1->isEnabled());
        // What fitted is the start of what came, nothing else.
        const std::string kept = fileBytes(path);
        QVERIFY(kept.size() > 16 * 1024);
        QVERIFY(kept.size() < data.size());
        QVERIFY(kept == data.substr(0, kept.size()));
        // The terminal went on receiving.
        QTRY_VERIFY(rxBuffer.size() > 0 && data.ends_with(rxBuffer));
    }

    void removedFolderStopsTheLog()
    {
        startConnected();
        const std::string folder = fx_->dir() + "gone";
        std::filesystem::create_directory(folder);
        const std::string path = folder + "/a.log";
        QVERIFY(frmTerm->startLog(QString::fromStdString(path), TLogFormat::text, false));
        pty_->Write("before\r\n");
        waitForSize(path, 7);
        std::filesystem::remove_all(folder);
        // Found even while the port is quiet.
        QTRY_VERIFY_WITH_TIMEOUT(!frmTerm->logRunning(), 5000);
        QVERIFY(statusHas("Log stopped: " + path + ": its folder was removed"));
        pty_->Write("after\r\n");
        QTRY_VERIFY(rxBuffer.ends_with("after\r\n"));
        QVERIFY(!std::filesystem::exists(folder));
    }
};

QTEST_MAIN(TestLogWindow)
#include "test_log_window.moc"
