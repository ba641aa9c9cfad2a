// The protocol engine and the XMODEM state machines against a peer scripted in the test, which
// holds the master side of a pseudo-terminal and runs on a thread of its own (the main thread keeps
// serving the worker's hand-overs).
#include "VaCrc16.h"
#include "VaFileName.h"
#include "XferTestUtil.h"

#include <filesystem>
#include <future>
#include <gtest/gtest.h>
#include <sys/stat.h>

using namespace VaXModem;

namespace {

Bytes Frame(uint32_t number, Bytes data, bool crc)
{
    const size_t size = data.size() <= 128 ? 128 : 1024;
    data.resize(size, 0);
    Bytes f = {size == 128 ? SOH : STX, static_cast<uint8_t>(number), static_cast<uint8_t>(255 - (number & 0xFF))};
    f.insert(f.end(), data.begin(), data.end());
    if (crc) {
        const uint16_t c = VaCrc16(data.data(), data.size());
        f.push_back(static_cast<uint8_t>(c >> 8));
        f.push_back(static_cast<uint8_t>(c));
    } else {
        uint8_t sum = 0;
        for (uint8_t b : data)
            sum = static_cast<uint8_t>(sum + b);
        f.push_back(sum);
    }
    return f;
}

const Bytes kCanCan = {CAN, CAN};

} // namespace

TEST(Crc16, MatchesTheCatalogueCheckValue)
{
    const std::string check = "123456789";
    EXPECT_EQ(VaCrc16(check.data(), check.size()), 0x31C3);
    EXPECT_EQ(VaCrc16Table()[1], 0x1021);
    // Continuing from a partial CRC gives the CRC of the whole.
    EXPECT_EQ(VaCrc16(check.data() + 4, 5, VaCrc16(check.data(), 4)), 0x31C3);
}

TEST(MakeUniqueFileName, SkipsEveryTakenName)
{
    TempDir dir;
    const std::string path = dir.File("received.bin");
    EXPECT_EQ(MakeUniqueFileName(path), path);
    WriteFileBytes(path, {1});
    WriteFileBytes(dir.File("received-1.bin"), {1});
    EXPECT_EQ(MakeUniqueFileName(path), dir.File("received-2.bin"));

    // No extension; a dot in the folder name is not one; a dangling link counts as taken.
    std::filesystem::create_directory(dir.File("a.d"));
    WriteFileBytes(dir.File("a.d/data"), {1});
    EXPECT_EQ(MakeUniqueFileName(dir.File("a.d/data")), dir.File("a.d/data-1"));
    std::filesystem::create_symlink(dir.File("nowhere"), dir.File("link.txt"));
    EXPECT_EQ(MakeUniqueFileName(dir.File("link.txt")), dir.File("link-1.txt"));
}

// ---- Engine ------------------------------------------------------------------------------------------

TEST(Engine, StartWhileBusyAndAbort)
{
    TempDir dir;
    Pty pty;
    XEnd end(pty.SlavePath());
    int starts = 0;
    end.xmodem.OnTransferStart = [&](TVaProtocol*) { ++starts; };
    end.xmodem.AbortTransfer(); // idle: nothing happens
    EXPECT_FALSE(end.xmodem.Busy());

    end.Start(tmDownload, dir.File("r.bin"), TVaXProtocol::XModem1K);
    EXPECT_TRUE(end.xmodem.Busy());
    try {
        end.xmodem.StartTransfer();
        ADD_FAILURE() << "a second transfer started";
    } catch (const EVaCommError& e) {
        EXPECT_STREQ(e.what(), "Transfer already in progress...");
    }
    EXPECT_EQ(starts, 1);
    EXPECT_TRUE(RunWithPeer(end, [&] {
        EXPECT_EQ(pty.Read(1), Bytes{CRC_START});
        VaQueue([&] { end.xmodem.AbortTransfer(); });
        EXPECT_EQ(pty.Read(2), kCanCan);
    }));
    EXPECT_EQ(end.exitCode, VaCode::Cancelled);
    EXPECT_EQ(end.ends, 1);
    EXPECT_FALSE(end.busyAtEnd);
    EXPECT_EQ(end.xmodem.ErrorCount(), 0);
}

TEST(Engine, ErrorLimit)
{
    TempDir dir;
    WriteFileBytes(dir.File("s.bin"), {1, 2, 3});
    // No port: nothing is written, nothing arrives, every wait times out.
    TVaXModem xm;
    std::vector<std::pair<int, int>> errors;
    int ends = 0;
    xm.OnError = [&](TVaProtocol*, int32_t code, int32_t count) { errors.emplace_back(code, count); };
    xm.OnTransferEnd = [&](TVaProtocol*, int32_t) { ++ends; };
    xm.SetFileName(dir.File("s.bin"));
    xm.SetTimeout(20);

    xm.SetMaxErrors(1); // the first error ends it, without OnError
    xm.StartTransfer();
    ASSERT_TRUE(ServeUntil([&] { return ends == 1; }));
    EXPECT_EQ(xm.ExitCode(), VaCode::TooManyErrors);
    EXPECT_TRUE(errors.empty());

    xm.SetMaxErrors(4); // OnError for the first three only
    xm.StartTransfer();
    ASSERT_TRUE(ServeUntil([&] { return ends == 2; }));
    EXPECT_EQ(xm.ExitCode(), VaCode::TooManyErrors);
    const std::vector<std::pair<int, int>> expected = {{-1, 1}, {-1, 2}, {-1, 3}};
    EXPECT_EQ(errors, expected);

    errors.clear();
    xm.SetMaxErrors(0); // no limit: still waiting after many errors
    xm.StartTransfer();
    ASSERT_TRUE(ServeUntil([&] { return errors.size() >= 12; }));
    EXPECT_TRUE(xm.Busy());
    EXPECT_EQ(xm.ErrorCode(), VaCode::Timeout);
    xm.AbortTransfer();
    ASSERT_TRUE(ServeUntil([&] { return ends == 3; }));
    EXPECT_EQ(xm.ExitCode(), VaCode::Cancelled);
}

TEST(Engine, OverflowCancelsThePeer)
{
    TempDir dir;
    Pty pty;
    XEnd end(pty.SlavePath());
    end.Start(tmDownload, dir.File("r.bin"));
    EXPECT_TRUE(RunWithPeer(end, [&] {
        EXPECT_EQ(pty.Read(1), Bytes{NAK});
        // One chunk of more than 4096 bytes, as the port hands it over.
        VaQueue([&] {
            const Bytes chunk(4097, SOH);
            end.xmodem.HandleCommData(chunk.data(), static_cast<int32_t>(chunk.size()));
        });
        EXPECT_EQ(pty.Read(2), kCanCan);
    }));
    EXPECT_EQ(end.exitCode, VaCode::Overflow);
}

TEST(Engine, DestroyedDuringTransfer)
{
    TempDir dir;
    Pty pty;
    TVaComm port;
    port.SetDeviceName(pty.SlavePath());
    port.Open();
    int ends = 0;
    for (const bool inHandOver : {false, true}) {
        auto xm = std::make_unique<TVaXModem>();
        xm->SetComm(&port);
        xm->SetMode(tmDownload);
        xm->SetFileName(dir.File("r.bin"));
        xm->SetTimeout(2000);
        xm->OnTransferEnd = [&](TVaProtocol*, int32_t) { ++ends; };
        // Destroyed while the worker waits for the main thread to show a block's progress.
        xm->OnPacketEvent = [&](TVaProtocol*, int32_t, int64_t) { xm.reset(); };
        xm->StartTransfer();
        std::atomic<bool> done{false};
        std::thread peer([&] {
            EXPECT_EQ(pty.Read(1), Bytes{NAK});
            if (inHandOver)
                pty.Write(Frame(1, Bytes(128, 7), false));
            else
                VaQueue([&] { xm.reset(); });
            done.store(true);
            VaNotifyWaiters();
        });
        ASSERT_TRUE(ServeUntil([&] { return done.load() && !xm && TVaProtocolThread::LiveWorkers() == 0; }));
        peer.join();
        if (inHandOver) { // the block was acknowledged before its progress was shown
            EXPECT_EQ(pty.Read(1), Bytes{ACK});
        }
        // Nothing more reaches the peer: a destroyed component's worker writes nothing.
        EXPECT_TRUE(pty.Read(1, 200).empty());
    }
    EXPECT_EQ(ends, 0);
    // The partial file of the second run stays, with the block it had received.
    EXPECT_EQ(ReadFileBytes(dir.File("r-1.bin")), Bytes(128, 7));
    EXPECT_TRUE(ReadFileBytes(dir.File("r.bin")).empty());
}

TEST(Engine, MovedToAnotherPortDuringTheTransfer)
{
    // The worker waits on the first port's device when the component moves on; from then on only
    // the second port's bytes reach it, and the first port's go to its own handler again.
    TempDir dir;
    Pty a, b;
    TVaComm first, second;
    first.SetDeviceName(a.SlavePath());
    second.SetDeviceName(b.SlavePath());
    std::string atFirst;
    first.OnRxChar = [&](TVaCustomComm* port, int32_t) { atFirst += port->ReadText(); };
    first.Open();
    second.Open();
    TVaXModem xm;
    int exitCode = 1;
    bool ended = false;
    xm.OnTransferEnd = [&](TVaProtocol*, int32_t code) {
        exitCode = code;
        ended = true;
    };
    xm.SetComm(&first);
    xm.SetMode(tmDownload);
    xm.SetFileName(dir.File("r.bin"));
    xm.SetTimeout(5000);
    xm.StartTransfer();
    std::atomic<bool> done{false};
    std::promise<void> moved;
    std::thread peer([&] {
        EXPECT_EQ(a.Read(1), Bytes{NAK});
        VaQueue([&] {
            xm.SetComm(&second);
            moved.set_value();
        });
        moved.get_future().wait();
        a.Write(Bytes{'x'});
        b.Write(Frame(1, Bytes(128, 5), false));
        EXPECT_EQ(b.Read(1), Bytes{ACK});
        b.Write(Bytes{EOT});
        EXPECT_EQ(b.Read(1), Bytes{ACK});
        done = true;
        VaNotifyWaiters();
    });
    EXPECT_TRUE(ServeUntil([&] { return ended && done && atFirst == "x"; }));
    peer.join();
    EXPECT_EQ(exitCode, VaCode::Completed);
    EXPECT_EQ(ReadFileBytes(dir.File("r.bin")), Bytes(128, 5));
    xm.SetComm(nullptr);
}

TEST(Engine, ProgressReachesTheMainThreadWhileThePeerIsSilent)
{
    // Blocks that follow each other quickly have their progress handed over together; when the
    // line falls silent the last of them is still shown, long before the transfer ends.
    TempDir dir;
    WriteFileBytes(dir.File("s.bin"), RandomBytes(10 * 128, 4));
    Pty pty;
    XEnd end(pty.SlavePath());
    // Progress that only came with the next time-out would come with the end of the transfer.
    end.Start(tmUpload, dir.File("s.bin"), TVaXProtocol::XModem, 3000, 1);
    std::promise<void> aborted;
    std::atomic<bool> done{false};
    std::thread peer([&] {
        pty.Write(Bytes{NAK});
        for (int n = 1; n <= 3; ++n) {
            EXPECT_EQ(pty.Read(132).size(), 132u);
            pty.Write(Bytes{ACK});
        }
        EXPECT_EQ(pty.Read(132).size(), 132u); // block 4 stays unanswered
        aborted.get_future().wait();
        EXPECT_EQ(pty.Read(2), kCanCan);
        done = true;
        VaNotifyWaiters();
    });
    // Nothing here wakes the main thread but the worker.
    ServeUntil([&] { return end.packets.size() == 3 || end.Done(); });
    EXPECT_FALSE(end.Done());
    end.xmodem.AbortTransfer();
    aborted.set_value();
    EXPECT_TRUE(ServeUntil([&] { return end.Done() && done; }));
    peer.join();
    EXPECT_EQ(end.exitCode, VaCode::Cancelled);
    ASSERT_EQ(end.packets.size(), 3u);
    EXPECT_EQ(end.packets.back(), std::make_pair(3, int64_t{384}));
}

TEST(Engine, SenderCancelAtEachStage)
{
    TempDir dir;
    WriteFileBytes(dir.File("s.bin"), RandomBytes(100, 1));
    Pty pty;
    XEnd end(pty.SlavePath());
    auto abort = [&] { VaQueue([&] { end.xmodem.AbortTransfer(); }); };
    // 0: waiting for the start character; 1: waiting for a block's ACK; 2: waiting for EOT's ACK.
    for (int stage = 0; stage < 3; ++stage) {
        end.ends = 0;
        end.Start(tmUpload, dir.File("s.bin"));
        EXPECT_TRUE(RunWithPeer(end, [&] {
            if (stage > 0) {
                pty.Write(Bytes{CRC_START});
                EXPECT_EQ(pty.Read(1029).size(), 1029u);
            }
            if (stage > 1) {
                pty.Write(Bytes{ACK});
                EXPECT_EQ(pty.Read(1), Bytes{EOT});
            }
            abort();
            EXPECT_EQ(pty.Read(2), kCanCan);
        }));
        EXPECT_EQ(end.exitCode, VaCode::Cancelled) << "stage " << stage;
    }
}

TEST(XModemSender, ZeroBytesAreStrayBytesNotACancel)
{
    // A NUL from the line (noise, a device powering up) while the start request and the EOT's
    // answer are awaited counts as one stray byte; the transfer goes on and completes.
    TempDir dir;
    WriteFileBytes(dir.File("s.bin"), RandomBytes(100, 2));
    Pty pty;
    XEnd end(pty.SlavePath());
    end.Start(tmUpload, dir.File("s.bin"));
    EXPECT_TRUE(RunWithPeer(end, [&] {
        pty.Write(Bytes{0, CRC_START});
        EXPECT_EQ(pty.Read(1029).size(), 1029u);
        pty.Write(Bytes{ACK});
        EXPECT_EQ(pty.Read(1), Bytes{EOT});
        pty.Write(Bytes{0});
        EXPECT_EQ(pty.Read(1), Bytes{EOT});
        pty.Write(Bytes{ACK});
    }));
    EXPECT_EQ(end.exitCode, VaCode::Completed);
    const std::vector<std::pair<int, int>> errors = {{VaCode::Unexpected, 1}, {VaCode::Unexpected, 2}};
    EXPECT_EQ(end.errors, errors);
}

TEST(Engine, UnopenableFiles)
{
    TempDir dir;
    Pty pty;
    XEnd end(pty.SlavePath());
    end.Start(tmUpload, dir.File("missing.bin"));
    EXPECT_TRUE(RunWithPeer(end, [&] { EXPECT_EQ(pty.Read(2), kCanCan); }));
    EXPECT_EQ(end.exitCode, VaCode::OpenFailed);
    end.ends = 0;
    end.Start(tmDownload, dir.File("no-such-folder/r.bin"));
    EXPECT_TRUE(RunWithPeer(end, [&] { EXPECT_EQ(pty.Read(2), kCanCan); }));
    EXPECT_EQ(end.exitCode, VaCode::CreateFailed);
}

// ---- Sender on the wire ----------------------------------------------------------------------------

TEST(XModemSender, ChecksumBlocksNumberingAndRepeat)
{
    TempDir dir;
    // 258 blocks of 128 bytes: block 256 goes out numbered 0.
    const Bytes data = RandomBytes(258 * 128 - 50, 5);
    WriteFileBytes(dir.File("s.bin"), data);
    Pty pty;
    XEnd end(pty.SlavePath());
    end.Start(tmUpload, dir.File("s.bin"));
    EXPECT_TRUE(RunWithPeer(end, [&] {
        pty.Write(Bytes{NAK});
        for (uint32_t n = 1; n <= 258; ++n) {
            const Bytes slice(data.begin() + (n - 1) * 128, data.begin() + std::min<size_t>(n * 128, data.size()));
            const Bytes expected = Frame(n, slice, false);
            EXPECT_EQ(pty.Read(132), expected) << "block " << n;
            if (n == 3) { // refused once: the same block comes again
                pty.Write(Bytes{NAK});
                EXPECT_EQ(pty.Read(132), expected);
            }
            pty.Write(Bytes{ACK});
        }
        EXPECT_EQ(pty.Read(1), Bytes{EOT});
        pty.Write(Bytes{ACK});
    }));
    EXPECT_EQ(end.exitCode, VaCode::Completed);
    const std::vector<std::pair<int, int>> errors = {{VaCode::BadBlock, 1}};
    EXPECT_EQ(end.errors, errors);
    ASSERT_EQ(end.packets.size(), 258u);
    EXPECT_EQ(end.packets[255].first, 256);
    EXPECT_EQ(end.packets.back().second, static_cast<int64_t>(data.size()));
    EXPECT_EQ(end.fileInfoSize, static_cast<int64_t>(data.size()));
}

TEST(XModemSender, CrcBlockOfAThousandBytesAndEmptyFile)
{
    TempDir dir;
    Pty pty;
    XEnd end(pty.SlavePath());
    for (const size_t size : {1000u, 0u}) {
        const Bytes data = RandomBytes(size, 9);
        WriteFileBytes(dir.File("s.bin"), data);
        end.ends = 0;
        end.Start(tmUpload, dir.File("s.bin"));
        EXPECT_TRUE(RunWithPeer(end, [&] {
            pty.Write(Bytes{CRC_START});
            // One STX block: the file bytes, then zeros up to 1024.
            EXPECT_EQ(pty.Read(1029), Frame(1, data.empty() ? Bytes(1024, 0) : data, true));
            pty.Write(Bytes{ACK});
            EXPECT_EQ(pty.Read(1), Bytes{EOT});
            pty.Write(Bytes{ACK});
        }));
        EXPECT_EQ(end.exitCode, VaCode::Completed) << size;
    }
}

TEST(XModemSender, StreamingStopsOnCan)
{
    TempDir dir;
    WriteFileBytes(dir.File("s.bin"), RandomBytes(400 * 1024, 3));
    Pty pty;
    XEnd end(pty.SlavePath());
    end.Start(tmUpload, dir.File("s.bin"));
    EXPECT_TRUE(RunWithPeer(end, [&] {
        pty.Write(Bytes{G_START});
        EXPECT_EQ(pty.Read(1029).size(), 1029u);
        // A receiver that gives up after refusing a block: NAK, then the cancel.
        pty.Write(Bytes{NAK, CAN, CAN});
        while (!end.Done() && !pty.Read(1 << 16, 100).empty()) {
        }
    }));
    EXPECT_EQ(end.exitCode, VaCode::PeerCancelled);
    EXPECT_LT(end.packets.size(), 400u);
    EXPECT_TRUE(end.errors.empty());
}

// ---- Receiver on the wire --------------------------------------------------------------------------

TEST(XModemReceiver, RepeatedBlockIsAcknowledgedNotWrittenAgain)
{
    TempDir dir;
    // An existing file is never overwritten: the next free name is used and reported.
    WriteFileBytes(dir.File("data.bin"), {1});
    WriteFileBytes(dir.File("data-1.bin"), {1});
    Pty pty;
    XEnd end(pty.SlavePath());
    end.Start(tmDownload, dir.File("data.bin"));
    EXPECT_TRUE(RunWithPeer(end, [&] {
        EXPECT_EQ(pty.Read(1), Bytes{NAK});
        pty.Write(Frame(1, Bytes(128, 1), false));
        EXPECT_EQ(pty.Read(1), Bytes{ACK});
        pty.Write(Frame(1, Bytes(128, 1), false)); // our ACK "was lost"
        EXPECT_EQ(pty.Read(1), Bytes{ACK});
        pty.Write(Frame(2, Bytes(128, 2), false));
        EXPECT_EQ(pty.Read(1), Bytes{ACK});
        pty.Write(Bytes{EOT});
        EXPECT_EQ(pty.Read(1), Bytes{ACK});
    }));
    EXPECT_EQ(end.exitCode, VaCode::Completed);
    EXPECT_TRUE(end.errors.empty());
    EXPECT_EQ(end.fileInfoName, dir.File("data-2.bin"));
    EXPECT_EQ(end.fileInfoSize, 0);
    Bytes expected(128, 1);
    expected.resize(256, 2);
    EXPECT_EQ(ReadFileBytes(dir.File("data-2.bin")), expected);
    ASSERT_EQ(end.packets.size(), 2u);
    EXPECT_EQ(end.packets[1], std::make_pair(2, int64_t{256}));
}

TEST(XModemReceiver, OutOfSequenceBlockEndsTheTransfer)
{
    TempDir dir;
    Pty pty;
    XEnd end(pty.SlavePath());
    end.Start(tmDownload, dir.File("r.bin"), TVaXProtocol::XModem1K);
    EXPECT_TRUE(RunWithPeer(end, [&] {
        EXPECT_EQ(pty.Read(1), Bytes{CRC_START});
        pty.Write(Frame(1, Bytes(1024, 1), true));
        EXPECT_EQ(pty.Read(1), Bytes{ACK});
        pty.Write(Frame(3, Bytes(1024, 3), true));
        EXPECT_EQ(pty.Read(2), kCanCan);
    }));
    EXPECT_EQ(end.exitCode, VaCode::ProtocolFailure);
    // The partial file stays.
    EXPECT_EQ(ReadFileBytes(dir.File("r.bin")), Bytes(1024, 1));
}

TEST(XModemReceiver, DamagedBlocksAreRefusedAndAFalseEndIsNotTaken)
{
    TempDir dir;
    Pty pty;
    XEnd end(pty.SlavePath());
    // 0: bad check, then the block again; 1: number and complement disagree, then an EOT while
    // the block is still owed; 2: an EOT followed at once by more bytes (a damaged header).
    for (int run = 0; run < 3; ++run) {
        end.ends = 0;
        end.errors.clear();
        end.Start(tmDownload, dir.File("r" + std::to_string(run) + ".bin"), TVaXProtocol::XModem1K);
        EXPECT_TRUE(RunWithPeer(end, [&] {
            EXPECT_EQ(pty.Read(1), Bytes{CRC_START});
            Bytes bad = Frame(1, Bytes(1024, 9), true);
            if (run == 0)
                bad.back() ^= 1;
            else if (run == 1)
                bad[2] = 0;
            if (run < 2) {
                pty.Write(bad);
                EXPECT_EQ(pty.Read(1), Bytes{NAK});
            }
            if (run == 0) {
                pty.Write(Frame(1, Bytes(1024, 9), true));
                EXPECT_EQ(pty.Read(1), Bytes{ACK});
                pty.Write(Bytes{EOT});
                EXPECT_EQ(pty.Read(1), Bytes{ACK});
            } else {
                Bytes eot = {EOT};
                if (run == 2)
                    eot.insert(eot.end(), bad.begin() + 1, bad.end());
                pty.Write(eot);
                EXPECT_EQ(pty.Read(2), kCanCan);
            }
        }));
        if (run == 0) {
            EXPECT_EQ(end.exitCode, VaCode::Completed);
            EXPECT_EQ(ReadFileBytes(dir.File("r0.bin")), Bytes(1024, 9));
        } else {
            EXPECT_EQ(end.exitCode, VaCode::ProtocolFailure) << "run " << run;
        }
        if (run < 2) {
            const std::vector<std::pair<int, int>> errors = {{VaCode::BadBlock, 1}};
            EXPECT_EQ(end.errors, errors) << "run " << run;
        }
    }
}

TEST(XModemReceiver, StreamingReceiverAcknowledgesOnlyTheEnd)
{
    TempDir dir;
    Pty pty;
    XEnd end(pty.SlavePath());
    end.Start(tmDownload, dir.File("r.bin"), TVaXProtocol::XModemG);
    EXPECT_TRUE(RunWithPeer(end, [&] {
        EXPECT_EQ(pty.Read(1), Bytes{G_START});
        pty.Write(Frame(1, Bytes(1024, 1), true));
        pty.Write(Frame(2, Bytes(100, 2), true)); // a 128-byte block is taken in any mode
        EXPECT_TRUE(pty.Read(1, 300).empty());
        pty.Write(Bytes{EOT});
        EXPECT_EQ(pty.Read(1), Bytes{ACK});
    }));
    EXPECT_EQ(end.exitCode, VaCode::Completed);
    Bytes expected(1024, 1);
    expected.resize(1124, 2);
    expected.resize(1152, 0);
    EXPECT_EQ(ReadFileBytes(dir.File("r.bin")), expected);
}

TEST(XModemReceiver, VanishedPeerEndsByTimeOutAndKeepsThePartialFile)
{
    TempDir dir;
    Pty pty;
    XEnd end(pty.SlavePath());
    end.Start(tmDownload, dir.File("r.bin"), TVaXProtocol::XModem, 100, 3);
    EXPECT_TRUE(RunWithPeer(end, [&] {
        EXPECT_EQ(pty.Read(1), Bytes{NAK});
        pty.Write(Frame(1, Bytes(128, 4), false));
        EXPECT_EQ(pty.Read(1), Bytes{ACK});
        pty.CloseMaster();
    }));
    EXPECT_EQ(end.exitCode, VaCode::TooManyErrors);
    EXPECT_EQ(ReadFileBytes(dir.File("r.bin")), Bytes(128, 4));
}
