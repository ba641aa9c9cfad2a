// Transfers between our XMODEM ends and lrzsz (sx, rx), and between our own two ends for XMODEM-G,
// over real pseudo-terminals.
#include "XferTestUtil.h"

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

enum class Pairing { OursToRx, OursToRxCrc, SxToOurs, Sx1kToOurs };

const char* PairingName(Pairing p)
{
    switch (p) {
    case Pairing::OursToRx: return "OursToRx";
    case Pairing::OursToRxCrc: return "OursToRxCrc";
    case Pairing::SxToOurs: return "SxToOurs";
    case Pairing::Sx1kToOurs: return "Sx1kToOurs";
    }
    return "";
}

using Param = std::tuple<Pairing, size_t>;

class LrzszInterop : public ::testing::TestWithParam<Param> {};

TEST_P(LrzszInterop, FileArrivesWhole)
{
    const auto [pairing, size] = GetParam();
    TempDir dir;
    const Bytes data = RandomBytes(size, static_cast<uint32_t>(size) + 11);
    WriteFileBytes(dir.File("src.bin"), data);
    Pty pty;
    XEnd end(pty.SlavePath());

    if (pairing == Pairing::OursToRx || pairing == Pairing::OursToRxCrc) {
        // rx eats its last ACK when it sits on a pty as it exits; a socket pair in between keeps it.
        SocketPair sp;
        Relay relay(pty.Master(), sp.fd[0]);
        end.Start(tmUpload, dir.File("src.bin"));
        std::vector<std::string> args = {"rx", "-X"};
        if (pairing == Pairing::OursToRxCrc)
            args.push_back("-c");
        args.push_back("out.bin"); // rx refuses absolute paths
        Child rx(args, sp.fd[1], dir.Path());
        ASSERT_TRUE(ServeUntil([&] { return end.Done() && rx.Exited(); }, 60000));
        EXPECT_EQ(end.exitCode, 0);
        EXPECT_EQ(rx.Status(), 0);
        std::string why;
        const size_t block = pairing == Pairing::OursToRx ? 128 : 1024;
        EXPECT_TRUE(IsPaddedCopy(data, ReadFileBytes(dir.File("out.bin")), 0x00, block, &why)) << why;
        EXPECT_EQ(end.fileInfoSize, static_cast<int64_t>(size));
        ASSERT_FALSE(end.packets.empty());
        EXPECT_EQ(end.packets.back().second, static_cast<int64_t>(size));
    } else {
        std::vector<std::string> args = {"sx", "-X"};
        if (pairing == Pairing::Sx1kToOurs)
            args.push_back("-k");
        args.push_back("src.bin");
        Child sx(args, pty.Master(), dir.Path());
        end.Start(tmDownload, dir.File("out.bin"),
                  pairing == Pairing::Sx1kToOurs ? TVaXProtocol::XModem1K : TVaXProtocol::XModem);
        ASSERT_TRUE(ServeUntil([&] { return end.Done() && sx.Exited(); }, 60000));
        EXPECT_EQ(end.exitCode, 0);
        EXPECT_EQ(sx.Status(), 0);
        // sx -k falls back to 128-byte blocks for the tail, so both end on a 128-byte boundary.
        std::string why;
        EXPECT_TRUE(IsPaddedCopy(data, ReadFileBytes(dir.File("out.bin")), 0x1A, 128, &why)) << why;
        EXPECT_TRUE(end.errors.empty());
    }
    EXPECT_EQ(end.ends, 1);
    EXPECT_FALSE(end.busyAtEnd);
}

INSTANTIATE_TEST_SUITE_P(Sizes, LrzszInterop,
                         ::testing::Combine(::testing::Values(Pairing::OursToRx, Pairing::OursToRxCrc,
                                                              Pairing::SxToOurs, Pairing::Sx1kToOurs),
                                            ::testing::Values(0, 1, 127, 128, 1000, 1024, 1025, 2100,
                                                              100000)),
                         [](const ::testing::TestParamInfo<Param>& info) {
                             return std::string(PairingName(std::get<0>(info.param))) + "_" +
                                    std::to_string(std::get<1>(info.param));
                         });

std::string ModeName(TVaXProtocol p)
{
    switch (p) {
    case TVaXProtocol::XModem: return "Checksum";
    case TVaXProtocol::XModem1K: return "Crc1k";
    case TVaXProtocol::XModemG: return "G";
    }
    return "";
}

// lrzsz has no XMODEM-G, so G runs between our own two ends, each on its own pty, joined by a relay.
class OwnEnds : public ::testing::TestWithParam<std::tuple<TVaXProtocol, size_t>> {};

TEST_P(OwnEnds, FileArrivesWhole)
{
    const auto [protocol, size] = GetParam();
    TempDir dir;
    const Bytes data = RandomBytes(size, static_cast<uint32_t>(size) * 3 + 1);
    WriteFileBytes(dir.File("src.bin"), data);
    Pty a, b;
    XEnd sender(a.SlavePath());
    XEnd receiver(b.SlavePath());
    // A line with a rate: XMODEM-G has no flow control, and an unpaced pty lets the sender outrun a
    // receiver in the same process until its 4096-byte queue overflows.
    Faults line;
    line.bytesPerSecond = 200000;
    Relay relay(a.Master(), b.Master(), line, line);
    // The receiver asks only once, so the sender must be listening first.
    sender.Start(tmUpload, dir.File("src.bin"));
    receiver.Start(tmDownload, dir.File("out.bin"), protocol);
    ASSERT_TRUE(ServeUntil([&] { return sender.Done() && receiver.Done(); }, 60000));
    EXPECT_EQ(sender.exitCode, 0);
    EXPECT_EQ(receiver.exitCode, 0);
    std::string why;
    const size_t block = protocol == TVaXProtocol::XModem ? 128 : 1024;
    EXPECT_TRUE(IsPaddedCopy(data, ReadFileBytes(dir.File("out.bin")), 0x00, block, &why)) << why;
    EXPECT_TRUE(sender.errors.empty());
    EXPECT_TRUE(receiver.errors.empty());
    ASSERT_FALSE(receiver.packets.empty());
    EXPECT_EQ(receiver.packets.back().first, static_cast<int>(receiver.packets.size()));
}

INSTANTIATE_TEST_SUITE_P(Modes, OwnEnds,
                         ::testing::Combine(::testing::Values(TVaXProtocol::XModem, TVaXProtocol::XModem1K,
                                                              TVaXProtocol::XModemG),
                                            ::testing::Values(0, 1025, 40000)),
                         [](const auto& info) {
                             return ModeName(std::get<0>(info.param)) + "_" +
                                    std::to_string(std::get<1>(info.param));
                         });

} // namespace
