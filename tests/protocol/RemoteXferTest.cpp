// XMODEM-1K both ways with lrzsz through Debian's ser2net: our end on an rfc2217:// port, lrzsz on
// the pseudo-terminal that ser2net serves; qx-xmodem on such a port; and a server stopped in the
// middle of a transfer.
#include "Ser2net.h"
#include "XferTestUtil.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

TEST(RemoteXmodem, OursToRxThroughSer2net)
{
    TempDir dir;
    const Bytes data = RandomBytes(100000, 7);
    WriteFileBytes(dir.File("src.bin"), data);
    Pty pty;
    Ser2net server(pty.SlavePath());
    XEnd end(server.url());
    // rx eats its last ACK when it sits on a pty as it exits; a socket pair in between keeps it.
    SocketPair sp;
    Relay relay(pty.Master(), sp.fd[0]);
    end.Start(tmUpload, dir.File("src.bin"), TVaXProtocol::XModem1K);
    Child rx({"rx", "-X", "-c", "out.bin"}, sp.fd[1], dir.Path());
    ASSERT_TRUE(ServeUntil([&] { return end.Done() && rx.Exited(); }, 60000));
    EXPECT_EQ(end.exitCode, 0);
    EXPECT_EQ(rx.Status(), 0);
    std::string why;
    EXPECT_TRUE(IsPaddedCopy(data, ReadFileBytes(dir.File("out.bin")), 0x00, 1024, &why)) << why;
}

TEST(RemoteXmodem, SxToOursThroughSer2net)
{
    TempDir dir;
    const Bytes data = RandomBytes(100000, 8);
    WriteFileBytes(dir.File("src.bin"), data);
    Pty pty;
    Ser2net server(pty.SlavePath());
    XEnd end(server.url());
    Child sx({"sx", "-X", "-k", "src.bin"}, pty.Master(), dir.Path());
    end.Start(tmDownload, dir.File("out.bin"), TVaXProtocol::XModem1K);
    ASSERT_TRUE(ServeUntil([&] { return end.Done() && sx.Exited(); }, 60000));
    EXPECT_EQ(end.exitCode, 0);
    EXPECT_EQ(sx.Status(), 0);
    std::string why;
    EXPECT_TRUE(IsPaddedCopy(data, ReadFileBytes(dir.File("out.bin")), 0x1A, 128, &why)) << why;
}

TEST(RemoteXmodem, CommandLineToolSendsThroughSer2net)
{
    TempDir dir;
    const Bytes data = RandomBytes(30000, 9);
    WriteFileBytes(dir.File("src.bin"), data);
    Pty pty;
    Ser2net server(pty.SlavePath());
    SocketPair sp;
    Relay relay(pty.Master(), sp.fd[0]);
    Child rx({"rx", "-X", "-c", "out.bin"}, sp.fd[1], dir.Path());
    const int quiet = ::open("/dev/null", O_RDWR | O_CLOEXEC);
    Child tool({QX_XMODEM_EXE, "send", "--protocol", "1k", server.url("?timeout=1"), dir.File("src.bin")}, quiet,
               dir.Path());
    ::close(quiet);
    ASSERT_TRUE(ServeUntil([&] { return tool.Exited() && rx.Exited(); }, 60000));
    EXPECT_EQ(tool.Status(), 0);
    EXPECT_EQ(rx.Status(), 0);
    std::string why;
    EXPECT_TRUE(IsPaddedCopy(data, ReadFileBytes(dir.File("out.bin")), 0x00, 1024, &why)) << why;
}

TEST(RemoteXmodem, Ser2netStoppedMidTransferEndsTheUploadAsFailed)
{
    TempDir dir;
    const Bytes data = RandomBytes(400000, 10);
    WriteFileBytes(dir.File("src.bin"), data);
    Pty pty;
    Ser2net server(pty.SlavePath());
    XEnd end(server.url());
    SocketPair sp;
    Relay relay(pty.Master(), sp.fd[0]);
    end.Start(tmUpload, dir.File("src.bin"), TVaXProtocol::XModem1K, 500, 4);
    Child rx({"rx", "-X", "-c", "out.bin"}, sp.fd[1], dir.Path());
    ASSERT_TRUE(ServeUntil([&] { return end.packets.size() >= 20 || end.Done(); }, 60000));
    ASSERT_FALSE(end.Done());
    server.stop();
    // Ended by the lost connection or at the latest by its own time-outs, never reported done.
    ASSERT_TRUE(ServeUntil([&] { return end.Done(); }, 60000));
    EXPECT_NE(end.exitCode, VaCode::Completed);
    ASSERT_TRUE(ServeUntil([&] { return !end.xmodem.Busy(); }, 10000));
}
