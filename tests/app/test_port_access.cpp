// A port held by another program: the error box keeps its message, and a red status line
// beside it says which process holds the port.
#include "PortAccess.h"
#include "PtyPeer.h"
#include "WindowFixture.h"
#include "qx_com.h"

#include "VaComm.h"

#include <QComboBox>
#include <QTest>
#include <QTextEdit>
#include <QToolButton>

#include <csignal>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

// Another program that holds a device open and locked, as a second terminal program would: a
// child that opens and locks the device and then runs "sleep" with it.
class THolder {
public:
    explicit THolder(const std::string& path)
    {
        int ready[2];
        if (::pipe2(ready, O_CLOEXEC) != 0)
            return;
        pid_ = ::fork();
        if (pid_ == 0) {
            const int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY);
            const char ok = fd >= 0 && ::flock(fd, LOCK_EX | LOCK_NB) == 0 ? '1' : '0';
            (void)::write(ready[1], &ok, 1);
            ::execlp("sleep", "sleep", "60", static_cast<char*>(nullptr));
            ::_exit(127);
        }
        ::close(ready[1]);
        char ok = '0';
        holding_ = pid_ > 0 && ::read(ready[0], &ok, 1) == 1 && ok == '1';
        ::close(ready[0]);
    }
    ~THolder()
    {
        if (pid_ > 0) {
            ::kill(pid_, SIGKILL);
            ::waitpid(pid_, nullptr, 0);
        }
    }
    THolder(const THolder&) = delete;
    THolder& operator=(const THolder&) = delete;

    bool holding() const { return holding_; }
    pid_t pid() const { return pid_; }

private:
    pid_t pid_ = -1;
    bool holding_ = false;
};

} // namespace

class TestPortAccess : public QObject {
    Q_OBJECT

private:
    std::unique_ptr<TWindowFixture> fx_;

private slots:
    void initTestCase() { fx_ = std::make_unique<TWindowFixture>("qxaccess"); }
    void cleanupTestCase() { fx_.reset(); }

    void busyPortNamesItsHolder()
    {
        PtyPeer pty;
        // The port is known by a link, as /dev/serial/by-id names an adapter; the holder opened the
        // device itself.
        const std::string link = fx_->dir() + "busy-port";
        QCOMPARE(::symlink(pty.SlavePath().c_str(), link.c_str()), 0);
        THolder holder(pty.SlavePath());
        QVERIFY(holder.holding());
        // It has become "sleep" once the holder's listing shows the device under that name.
        QTRY_VERIFY_WITH_TIMEOUT(!portHolders(link).empty() && portHolders(link)[0].command == "sleep", 5000);
        const std::vector<TPortHolder> holders = portHolders(link);
        QCOMPARE(holders.size(), size_t(1));
        QCOMPARE(holders[0].pid, int(holder.pid()));

        fx_->start("[Comms]\nExtraPorts=" + link + "\nPort=1\n");
        QCOMPARE(frmTerm->cboPort->currentText().toStdString(), link);
        frmTerm->spdConnect->click();
        const std::string refused =
            "Can't open specified device " + link + " (Error 11, Resource temporarily unavailable)";
        QCOMPARE(fx_->errors, QStringList{QString::fromStdString(refused)});
        QVERIFY(!frmTerm->VaComm1->Active());
        QVERIFY(!frmTerm->spdConnect->isChecked());
        const QString line = QString::fromStdString(link + " is in use by another program: sleep (process " +
                                                    std::to_string(holder.pid()) + ").");
        QTRY_VERIFY_WITH_TIMEOUT(QString::fromStdString(TWindowFixture::statusText()).contains(line), 5000);
        QCOMPARE(TWindowFixture::statusFormatOf(line).foreground().color(), QColor(Qt::red));
        fx_->stop();
        ::unlink(link.c_str());
    }

    void holdersAndTheirLine()
    {
        PtyPeer pty;
        TVaComm port; // this program's own hold does not count
        port.SetDeviceName(pty.SlavePath());
        port.Open();
        QVERIFY(portHolders(pty.SlavePath()).empty());
        port.Close();
        QVERIFY(portHolders(fx_->dir() + "no-such-port").empty());
        QCOMPARE(busyHint("/dev/ttyUSB0", {}), std::string("/dev/ttyUSB0 is in use by another program.\n"));
        QCOMPARE(busyHint("/dev/ttyUSB0", {{12, "minicom"}, {40, "screen"}}),
                 std::string("/dev/ttyUSB0 is in use by another program: minicom (process 12), screen (process "
                             "40).\n"));
    }
};

QTEST_MAIN(TestPortAccess)
#include "test_port_access.moc"
