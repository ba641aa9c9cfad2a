#include "CommTestUtil.h"
#include "TestSupport.h"
#include "VaLinux.h"

#include <cstdio>
#include <fcntl.h>
#include <grp.h>
#include <sys/file.h>
#include <sys/wait.h>
#include <unistd.h>

TEST(Port, OpenCloseAndItsErrors)
{
    PtyPeer peer;
    TVaComm port;
    int opened = 0, closed = 0;
    port.OnOpen = [&](TVaCustomComm*) { ++opened; };
    port.OnClose = [&](TVaCustomComm*) { ++closed; };

    port.SetDeviceName("/dev/qx-no-such-tty");
    EXPECT_EQ(ErrorOf([&] { port.Open(); }), "Specified device not found (/dev/qx-no-such-tty).");
    EXPECT_FALSE(port.Active());

    UsePty(port, peer);
    for (int cycle = 0; cycle < 3; ++cycle) {
        port.Open();
        ASSERT_TRUE(port.Active());
        port.Close();
        EXPECT_FALSE(port.Active());
    }
    EXPECT_EQ(opened, 3);
    EXPECT_EQ(closed, 3);
    port.Close(); // closed already: no event, no pause
    EXPECT_EQ(closed, 3);

    port.Open();
    EXPECT_EQ(ErrorOf([&] { port.Open(); }), "Can't perform this operation while port is open");
    EXPECT_TRUE(port.Active());

    // A second opener of the same device is kept out, whoever it is.
    TVaComm second;
    UsePty(second, peer);
    EXPECT_EQ(ErrorOf([&] { second.Open(); }),
              "Can't open specified device " + peer.SlavePath() + " (Error 11, Resource temporarily unavailable)");
    EXPECT_FALSE(second.Active());
    const int other = ::open(peer.SlavePath().c_str(), O_RDWR | O_NOCTTY);
    if (other >= 0) {
        // Only root gets past the exclusive mode; the lock stops it all the same.
        EXPECT_NE(::flock(other, LOCK_EX | LOCK_NB), 0);
        ::close(other);
    }

    // Settings that shape the device or the threads are refused while open.
    const std::string refused = "Can't perform this operation while port is open";
    EXPECT_EQ(ErrorOf([&] { port.SetPortNum(4); }), refused);
    EXPECT_EQ(ErrorOf([&] { port.SetDeviceName("x"); }), refused);
    EXPECT_EQ(ErrorOf([&] { port.SetDirectWrite(true); }), refused);
    EXPECT_EQ(ErrorOf([&] { port.SetMonitorEvents({}); }), refused);
    EXPECT_EQ(ErrorOf([&] { port.SetBuffers(TVaBuffers()); }), refused);
    EXPECT_EQ(port.DevicePath(), peer.SlavePath());
    // A size change raises but stays, for the next opening.
    EXPECT_EQ(ErrorOf([&] { port.Buffers().SetReadSize(8192); }), refused);
    EXPECT_EQ(port.Buffers().ReadSize(), 8192);
    port.Buffers().SetWriteTimeout(50); // time-outs change freely
    port.Close();
    second.Open(); // free again once closed
    EXPECT_TRUE(second.Active());
}

TEST(Port, ClosedPortOperationsAreQuiet)
{
    TVaComm port;
    char buf[4];
    EXPECT_EQ(port.WriteBuf("abc", 3), 0);
    EXPECT_FALSE(port.WriteText("abc"));
    EXPECT_FALSE(port.WriteChar('a'));
    EXPECT_TRUE(port.WriteText("")); // nothing to write, nothing refused
    EXPECT_EQ(port.ReadBuf(buf, 4), 0);
    EXPECT_EQ(port.ReadText(), "");
    EXPECT_EQ(port.ReadBufUsed(), 0);
    EXPECT_FALSE(port.CTS());
    EXPECT_FALSE(port.DSR());
    port.SetDTR(true);
    port.SetRTS(false);
    port.PurgeReadWrite();
    uint32_t errors = 1;
    TVaComStat stat;
    stat.cbInQue = 5;
    port.GetStatistics(errors, stat);
    EXPECT_EQ(errors, 0u);
    EXPECT_EQ(stat.cbInQue, 0u);
    // The handshake refusals hold whether or not the port is open.
    port.FlowControl().SetControlDtr(dtrHandshake);
    EXPECT_EQ(ErrorOf([&] { port.SetDTR(true); }),
              "DTR line updates not allowed when flowcontrol is set to Handshake.");
    port.FlowControl().SetControlRts(rtsToggle);
    EXPECT_EQ(ErrorOf([&] { port.SetRTS(true); }),
              "RTS line updates not allowed when flowcontrol is set to Handshake or Toggle.");
}

TEST(Port, LineSettingsReachTheTty)
{
    PtyPeer peer;
    TVaComm port;
    UsePty(port, peer);
    port.Open();
    VaLineSettings seen;
    for (int rate : {9600, 232558, 476190, 1000000, 5000000, 256000}) {
        port.SetUserBaudrate(rate);
        ASSERT_EQ(VaReadLineSettings(peer.Master(), seen), 0);
        EXPECT_EQ(seen.baudrate, rate);
    }
    port.SetBaudrate(br115200);
    VaReadLineSettings(peer.Master(), seen);
    EXPECT_EQ(seen.baudrate, 115200);

    // A pseudo-terminal forces 8 data bits without parity whatever it is given, so those two are
    // checked on the flags we write (every other setting is read back from the tty itself).
    for (int bits = 5; bits <= 8; ++bits) {
        for (int parity = 0; parity <= 4; ++parity) {
            VaLineSettings s, back;
            s.dataBits = bits;
            s.parity = parity;
            uint32_t cflag, iflag;
            ASSERT_TRUE(VaEncodeLineFlags(s, cflag, iflag));
            VaDecodeLineFlags(cflag, iflag, back);
            EXPECT_EQ(back.dataBits, bits);
            EXPECT_EQ(back.parity, parity);
        }
    }
    port.SetDatabits(db7);
    port.SetParity(paMark);
    port.SetStopbits(sb2);
    port.FlowControl().SetOutCtsFlow(true);
    VaReadLineSettings(peer.Master(), seen);
    EXPECT_EQ(seen.stopBits, 2);
    EXPECT_TRUE(seen.ctsFlow);
    port.FlowControl().SetOutCtsFlow(false);
    VaReadLineSettings(peer.Master(), seen);
    EXPECT_FALSE(seen.ctsFlow);

    // A setting the device cannot take is reported, and stays stored.
    EXPECT_EQ(ErrorOf([&] { port.SetDatabits(db4); }), "Error writing dcb (22), Invalid argument");
    EXPECT_EQ(port.Databits(), db4);
    EXPECT_TRUE(port.Active());
    port.Close();

    // Without UpdateDCB the device keeps what it had.
    port.SetUpdateDCB(false);
    port.SetDatabits(db8);
    port.Open();
    port.SetUserBaudrate(300);
    VaReadLineSettings(peer.Master(), seen);
    EXPECT_EQ(seen.baudrate, 115200);
    port.Close();
}

TEST(Port, PseudoTerminalActsAsThreeWireCable)
{
    PtyPeer peer;
    TVaComm port;
    UsePty(port, peer);
    EXPECT_FALSE(port.Capabilities().lineSettings); // closed: nothing known
    port.Open();
    EXPECT_TRUE(port.Capabilities().lineSettings);
    EXPECT_FALSE(port.Capabilities().modemLines);
    EXPECT_TRUE(port.CTS());
    EXPECT_TRUE(port.DSR());
    EXPECT_FALSE(port.Ring());
    EXPECT_FALSE(port.RLSD());
    port.SetDTR(true); // accepted, no effect
    port.SetRTS(false);
    port.Close();
}

namespace {

// The error of opening path as a user who is not root: in a child that gives up root first when
// the test runs as root (root is never refused), reported back through a pipe.
std::optional<EVaCommError> OpenAsUser(const std::string& path)
{
    auto open = [&] {
        TVaComm port;
        port.SetDeviceName(path);
        return CommErrorOf([&] { port.Open(); });
    };
    if (::geteuid() != 0)
        return open();
    int pipe[2];
    if (::pipe(pipe) != 0)
        return std::nullopt;
    const pid_t child = ::fork();
    if (child == 0) {
        ::close(pipe[0]);
        std::string report = "no drop";
        if (::setgroups(0, nullptr) == 0 && ::setgid(65534) == 0 && ::setuid(65534) == 0) {
            const std::optional<EVaCommError> e = open();
            report = e ? std::to_string(e->Kind()) + " " + std::to_string(e->Error()) + " " + e->what() : "opened";
        }
        (void)::write(pipe[1], report.data(), report.size());
        ::_exit(0);
    }
    ::close(pipe[1]);
    std::string report;
    char buf[256];
    for (ssize_t n; (n = ::read(pipe[0], buf, sizeof buf)) > 0;)
        report.append(buf, static_cast<size_t>(n));
    ::close(pipe[0]);
    ::waitpid(child, nullptr, 0);
    int kind = 0, error = 0, used = 0;
    if (std::sscanf(report.c_str(), "%d %d %n", &kind, &error, &used) != 2)
        return EVaCommError(report);
    return EVaCommError(report.substr(static_cast<size_t>(used)), static_cast<TVaErrorKind>(kind), error);
}

} // namespace

TEST(Port, ErrorsCarryTheirKindAndErrno)
{
    // Not there.
    TVaComm port;
    port.SetDeviceName("/dev/qx-no-such-tty");
    std::optional<EVaCommError> e = CommErrorOf([&] { port.Open(); });
    ASSERT_TRUE(e);
    EXPECT_STREQ(e->what(), "Specified device not found (/dev/qx-no-such-tty).");
    EXPECT_EQ(e->Kind(), ekNotFound);
    EXPECT_EQ(e->Error(), ENOENT);

    // Not this user's: a device file of mode 000.
    TTempDir dir;
    ASSERT_EQ(::chmod(dir.path().c_str(), 0755), 0);
    const std::string locked = dir / "ttyLOCKED";
    ::close(::open(locked.c_str(), O_CREAT | O_WRONLY, 0000));
    e = OpenAsUser(locked);
    ASSERT_TRUE(e);
    EXPECT_EQ(std::string(e->what()), "Can't open specified device " + locked + " (Error 13, Permission denied)");
    EXPECT_EQ(e->Kind(), ekPermission);
    EXPECT_EQ(e->Error(), EACCES);

    // Held by another opener.
    auto peer = std::make_unique<PtyPeer>();
    UsePty(port, *peer);
    port.Open();
    TVaComm second;
    UsePty(second, *peer);
    e = CommErrorOf([&] { second.Open(); });
    ASSERT_TRUE(e);
    EXPECT_EQ(std::string(e->what()),
              "Can't open specified device " + peer->SlavePath() + " (Error 11, Resource temporarily unavailable)");
    EXPECT_EQ(e->Kind(), ekBusy);
    EXPECT_EQ(e->Error(), EWOULDBLOCK);

    // A setting the device cannot take, and a line the flow control keeps to itself.
    e = CommErrorOf([&] { port.SetDatabits(db4); });
    ASSERT_TRUE(e);
    EXPECT_STREQ(e->what(), "Error writing dcb (22), Invalid argument");
    EXPECT_EQ(e->Kind(), ekBadSetting);
    EXPECT_EQ(e->Error(), EINVAL);
    port.SetDatabits(db8);
    port.FlowControl().SetControlDtr(dtrHandshake);
    e = CommErrorOf([&] { port.SetDTR(true); });
    ASSERT_TRUE(e);
    EXPECT_EQ(e->Kind(), ekBadSetting);
    EXPECT_EQ(e->Error(), 0);
    e = CommErrorOf([&] { port.Open(); });
    ASSERT_TRUE(e);
    EXPECT_STREQ(e->what(), "Can't perform this operation while port is open");
    EXPECT_EQ(e->Kind(), ekOther);
    port.Close();

    // Gone while open: a direct write to a device whose other end has closed.
    port.SetDirectWrite(true);
    port.Open();
    peer->CloseMaster();
    e = CommErrorOf([&] { port.WriteText("x"); });
    ASSERT_TRUE(e);
    EXPECT_STREQ(e->what(), "Write error (5), Input/output error");
    EXPECT_EQ(e->Kind(), ekGone);
    EXPECT_EQ(e->Error(), EIO);
    port.Close();
}
