// Transfers through a relay that damages, drops and delays bytes: a transfer may fail, but it must
// never report success with a file that differs from the one sent. A lost acknowledgement is
// survived when the peer repeats, as lrzsz does.
#include "XferTestUtil.h"

#include <filesystem>
#include <gtest/gtest.h>
#include <set>
#include <sys/socket.h>
#include <unistd.h>

namespace {

struct Outcome {
    int completed = 0;
    int failed = 0;
    int faulted = 0; // runs in which the relay did damage
};

// Our two ends, each on its own pty, used for many runs (opening and closing ports is slow). Each
// run starts on an empty line: a byte of the run before, such as the last EOT of a sender that
// failed, would make a run's outcome depend on the one before it.
struct Line {
    TempDir dir;
    Pty a, b;
    XEnd sender{a.SlavePath()};
    XEnd receiver{b.SlavePath()};
    int run = 0;

    // One transfer through a relay with these faults. Fails the test when the receiver reports
    // success with wrong content or when the ends do not stop.
    void Transfer(TVaXProtocol protocol, const Faults& forward, const Faults& backward, size_t size,
                  Outcome& outcome)
    {
        const Bytes data = RandomBytes(size, forward.seed);
        const std::string src = dir.File("src" + std::to_string(run) + ".bin");
        const std::string out = dir.File("out" + std::to_string(run) + ".bin");
        ++run;
        WriteFileBytes(src, data);
        sender.ends = receiver.ends = 0;
        ClearLine(sender.port, a, receiver.port, b);
        Relay relay(a.Master(), b.Master(), forward, backward);
        sender.Start(tmUpload, src, TVaXProtocol::XModem, 100, 3);
        receiver.Start(tmDownload, out, protocol, 100, 3);
        EXPECT_TRUE(ServeUntil([&] { return sender.Done() && receiver.Done(); }, 30000))
            << "seed " << forward.seed << " did not end";
        relay.Stop();
        if (relay.Faulted() > 0)
            ++outcome.faulted;
        if (receiver.exitCode != VaCode::Completed) {
            ++outcome.failed;
            return;
        }
        ++outcome.completed;
        std::string why;
        const size_t block = protocol == TVaXProtocol::XModem ? 128 : 1024;
        EXPECT_TRUE(IsPaddedCopy(data, ReadFileBytes(out), 0x00, block, &why))
            << "seed " << forward.seed << " reported success with wrong content: " << why;
    }
};

class CrcFaults : public ::testing::TestWithParam<TVaXProtocol> {};

TEST_P(CrcFaults, NeverSuccessWithWrongContent)
{
    const TVaXProtocol protocol = GetParam();
    Outcome outcome;
    Line line;
    for (uint32_t seed = 1; seed <= 30; ++seed) {
        Faults f;
        f.seed = seed;
        f.flip = 1.5e-4;
        f.drop = 0.5e-4;
        f.delay = 1e-3;
        f.maxDelayMs = 20;
        if (protocol == TVaXProtocol::XModemG)
            f.bytesPerSecond = 200000; // G has no flow control; give the line a rate
        Faults back = f;
        back.seed = seed + 1000;
        back.flip = back.drop = 0.02; // answers are few: hit them more often
        line.Transfer(protocol, f, back, 5000, outcome);
    }
    std::printf("%s: %d completed, %d failed, %d runs with damage\n",
                protocol == TVaXProtocol::XModemG ? "G" : "1K", outcome.completed, outcome.failed,
                outcome.faulted);
    RecordProperty("completed", outcome.completed);
    RecordProperty("failed", outcome.failed);
    // The seeds must exercise both outcomes, or the test proves little.
    EXPECT_GT(outcome.completed, 0);
    EXPECT_GT(outcome.failed, 0);
}

INSTANTIATE_TEST_SUITE_P(Modes, CrcFaults, ::testing::Values(TVaXProtocol::XModem1K, TVaXProtocol::XModemG),
                         [](const auto& info) {
                             return std::string(info.param == TVaXProtocol::XModemG ? "G" : "Crc1k");
                         });

// The 8-bit sum cannot see two damaged bytes that cancel out, so checksum mode is held to losses.
TEST(ChecksumFaults, DroppedBytesAndAnswers)
{
    Outcome outcome;
    Line line;
    for (uint32_t seed = 1; seed <= 12; ++seed) {
        Faults f;
        f.seed = seed;
        f.drop = 1e-4;
        Faults back;
        back.seed = seed + 500;
        back.drop = 0.02;
        line.Transfer(TVaXProtocol::XModem, f, back, 4000, outcome);
    }
    std::printf("checksum: %d completed, %d failed\n", outcome.completed, outcome.failed);
    EXPECT_GT(outcome.completed, 0);
}

// ---- YMODEM batches through the damaging relay ---------------------------------------------------

// Every file the receiver reports complete is the one sent, byte for byte; the others are left
// only under their partial names; a completed batch is whole; nothing lands outside the folder.
class YModemFaults : public ::testing::TestWithParam<TVaYProtocol> {};

TEST_P(YModemFaults, CompletedFilesAreExactAndTheRestPartial)
{
    const TVaYProtocol protocol = GetParam();
    TempDir dir;
    Pty a, b;
    YEnd sender(a.SlavePath());
    YEnd receiver(b.SlavePath());
    Outcome outcome;
    int filesCompleted = 0;
    for (uint32_t seed = 1; seed <= 24; ++seed) {
        const std::string run = dir.File("run" + std::to_string(seed));
        std::filesystem::create_directories(run + "/src");
        std::filesystem::create_directories(run + "/dst");
        const std::vector<std::string> names = {"one.bin", "two.bin"};
        std::vector<std::string> paths;
        for (size_t i = 0; i < names.size(); ++i) {
            paths.push_back(run + "/src/" + names[i]);
            WriteFileBytes(paths.back(), RandomBytes(2500 + 1500 * i, seed * 2 + static_cast<uint32_t>(i)));
        }
        Faults f;
        f.seed = seed;
        f.flip = 1.5e-4;
        f.drop = 0.5e-4;
        f.delay = 1e-3;
        if (protocol == TVaYProtocol::YModemG)
            f.bytesPerSecond = 200000;
        Faults back = f;
        back.seed = seed + 1000;
        back.flip = back.drop = 0.02; // answers are few: hit them more often
        sender.ends = receiver.ends = 0;
        receiver.fileEnds.clear();
        ClearLine(sender.port, a, receiver.port, b);
        Relay relay(a.Master(), b.Master(), f, back);
        sender.Send(paths, 100, 3);
        receiver.Receive(run + "/dst", protocol, 100, 3);
        EXPECT_TRUE(ServeUntil([&] { return sender.Done() && receiver.Done(); }, 30000))
            << "seed " << seed << " did not end";
        relay.Stop();
        if (relay.Faulted() > 0)
            ++outcome.faulted;
        ++(receiver.exitCode == VaCode::Completed ? outcome.completed : outcome.failed);

        std::set<std::string> completed;
        for (const auto& end : receiver.fileEnds) {
            if (end.code != 0)
                continue;
            const std::string name = std::filesystem::path(end.name).filename().string();
            EXPECT_EQ(ReadFileBytes(end.name), ReadFileBytes(run + "/src/" + name))
                << "seed " << seed << ": " << name << " reported complete with other content";
            completed.insert(name);
        }
        filesCompleted += static_cast<int>(completed.size());
        for (const auto& [name, content] : FolderFiles(run + "/dst"))
            EXPECT_TRUE(completed.count(name) == 1 || name.ends_with(VaYModem::kPartialSuffix))
                << "seed " << seed << ": " << name << " is neither complete nor partial";
        if (receiver.exitCode == VaCode::Completed) {
            EXPECT_EQ(completed.size(), names.size()) << "seed " << seed;
        }
        EXPECT_EQ(FolderFiles(run).size(), 0u) << "seed " << seed << ": a file beside the folders";
    }
    std::printf("%s: %d batches completed, %d failed, %d with damage, %d files completed\n",
                protocol == TVaYProtocol::YModemG ? "YMODEM-G" : "YMODEM", outcome.completed, outcome.failed,
                outcome.faulted, filesCompleted);
    EXPECT_GT(outcome.completed, 0);
    EXPECT_GT(outcome.failed, 0);
}

INSTANTIATE_TEST_SUITE_P(Modes, YModemFaults, ::testing::Values(TVaYProtocol::YModem, TVaYProtocol::YModemG),
                         [](const auto& info) {
                             return std::string(info.param == TVaYProtocol::YModemG ? "G" : "Plain");
                         });

// ---- A lost ACK against lrzsz, which repeats the block (sx) or asks again (rx) ------------------

// rx asks again after its time-out; our sender repeats the block and rx takes the repetition.
// (sx repeats a block only after a minute, too slow for a test; a repeated block reaching our
// receiver is covered with a scripted peer.)
TEST(LostAck, RxAsksAgainAndTheTransferCompletes)
{
    TempDir dir;
    const Bytes data = RandomBytes(5000, 77);
    WriteFileBytes(dir.File("src.bin"), data);
    Pty pty;
    XEnd end(pty.SlavePath());
    SocketPair sp;
    Faults theirs; // the second ACK that rx sends is lost
    theirs.dropValue = 0x06;
    theirs.dropNth = 2;
    Relay relay(pty.Master(), sp.fd[0], {}, theirs);
    end.Start(tmUpload, dir.File("src.bin"), TVaXProtocol::XModem, 1000, 40);
    Child rx({"rx", "-X", "-c", "-t", "10", "out.bin"}, sp.fd[1], dir.Path());
    ASSERT_TRUE(ServeUntil([&] { return end.Done() && rx.Exited(); }, 60000));
    EXPECT_EQ(relay.Faulted(), 1);
    EXPECT_EQ(rx.Status(), 0);
    EXPECT_EQ(end.exitCode, VaCode::Completed);
    std::string why;
    EXPECT_TRUE(IsPaddedCopy(data, ReadFileBytes(dir.File("out.bin")), 0x00, 1024, &why)) << why;
    // The repetition was asked for with a NAK, which our sender counts.
    EXPECT_FALSE(end.errors.empty());
}

} // namespace
