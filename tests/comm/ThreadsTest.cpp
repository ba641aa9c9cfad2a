#include "CommTestUtil.h"

#include <algorithm>

#include <atomic>
#include <random>
#include <sys/resource.h>
#include <thread>

namespace {

std::string RandomBytes(size_t n, unsigned seed)
{
    std::mt19937 rng(seed);
    std::string s(n, '\0');
    for (auto& c : s)
        c = static_cast<char>(rng());
    return s;
}

double CpuSeconds()
{
    rusage u{};
    ::getrusage(RUSAGE_SELF, &u);
    return static_cast<double>(u.ru_utime.tv_sec + u.ru_stime.tv_sec) +
           static_cast<double>(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

} // namespace

TEST(Threads, OneMebibyteEachWayByteExact)
{
    PtyPeer peer;
    TVaComm port;
    UsePty(port, peer);
    std::string received;
    port.OnRxChar = [&](TVaCustomComm* sender, int32_t) { received += sender->ReadText(); };
    port.Open();

    const std::string out = RandomBytes(1 << 20, 1);
    std::string atPeer;
    std::atomic<bool> read{false};
    std::thread reader([&] {
        atPeer = peer.Read(out.size(), std::chrono::seconds(60));
        read = true;
        VaNotifyWaiters();
    });
    // Writes of many sizes, several larger than the whole output queue.
    size_t pos = 0;
    std::mt19937 rng(2);
    while (pos < out.size()) {
        const size_t n = std::min<size_t>(out.size() - pos, 1 + rng() % 9000);
        ASSERT_EQ(port.WriteBuf(out.data() + pos, static_cast<int32_t>(n)), static_cast<int32_t>(n));
        pos += n;
    }
    ServeUntil([&] { return read.load(); }, 60000); // hand-overs run meanwhile
    reader.join();
    EXPECT_TRUE(atPeer == out);

    const std::string in = RandomBytes(1 << 20, 3);
    std::thread writer([&] { peer.Write(in); });
    EXPECT_TRUE(ServeUntil([&] { return received.size() >= in.size(); }, 60000));
    writer.join();
    EXPECT_TRUE(received == in);
    port.Close();
}

TEST(Threads, RxCharBatchesWhatIsWaiting)
{
    PtyPeer peer;
    TVaComm port;
    UsePty(port, peer);
    port.SetMonitorEvents({ceRxChar});
    std::vector<int32_t> counts;
    bool readIt = false;
    port.OnRxChar = [&](TVaCustomComm* sender, int32_t count) {
        counts.push_back(count);
        if (readIt)
            sender->ReadText();
    };
    port.Open();
    // While the main thread is busy the bytes pile up and come as one batch.
    peer.Write(std::string(100, 'a'));
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    ASSERT_TRUE(ServeUntil([&] { return !counts.empty(); }));
    EXPECT_EQ(counts, std::vector<int32_t>{100});

    // Left unread, the bytes are counted again, but only when a further byte arrives.
    ServeFor(200);
    EXPECT_EQ(counts.size(), 1u);
    peer.Write("b");
    ASSERT_TRUE(ServeUntil([&] { return counts.size() == 2; }));
    EXPECT_EQ(counts[1], 101);
    readIt = true;
    peer.Write("c");
    ASSERT_TRUE(ServeUntil([&] { return counts.size() == 3; }));
    EXPECT_EQ(port.ReadBufUsed(), 0);
    port.Close();
}

TEST(Threads, WhatArrivesWhileABatchIsHandledComesAsTheNextBatch)
{
    // One batch is with the main thread at a time. Meanwhile the event thread reads on into the
    // input queue, so a flood comes whole, in order and in few batches, and a handler that serves
    // hand-overs itself (a wait for a reply) never sees a batch inside its own.
    PtyPeer peer;
    TVaComm port;
    UsePty(port, peer);
    port.Buffers().SetReadSize(1 << 20);
    std::string flood;
    for (int i = 0; flood.size() < 300000; ++i)
        flood += std::to_string(i) + (i % 7 ? " " : "\r\n");
    std::string received;
    std::vector<size_t> chunks;
    int depth = 0;
    int deepest = 0;
    std::thread writer;
    port.OnRxChar = [&](TVaCustomComm* sender, int32_t) {
        deepest = std::max(deepest, ++depth);
        const std::string chunk = sender->ReadText();
        received += chunk;
        chunks.push_back(chunk.size());
        if (chunks.size() == 1) {
            // The flood is taken by the event thread while this batch is being handled.
            writer = std::thread([&] { peer.Write(flood); });
            const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(20);
            while (sender->ReadBufUsed() < static_cast<int32_t>(flood.size()) && std::chrono::steady_clock::now() < end)
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
            ServeFor(50);
        }
        --depth;
    };
    port.Open();
    peer.Write("start");
    ASSERT_TRUE(ServeUntil([&] { return received.size() >= flood.size() + 5; }, 30000));
    writer.join();
    EXPECT_EQ(received, "start" + flood);
    EXPECT_EQ(chunks, (std::vector<size_t>{5, flood.size()}));
    EXPECT_EQ(deepest, 1);

    // A quiet line's byte comes at once, as a batch of its own.
    peer.Write("!");
    ASSERT_TRUE(ServeUntil([&] { return chunks.size() == 3; }));
    EXPECT_EQ(chunks.back(), 1u);
    port.Close();
}

TEST(Threads, NoEventsWithoutMonitoring)
{
    PtyPeer peer;
    TVaComm port;
    UsePty(port, peer);
    port.SetMonitorEvents({});
    int rx = 0, tx = 0;
    port.OnRxChar = [&](TVaCustomComm*, int32_t) { ++rx; };
    port.OnTxEmpty = [&](TVaCustomComm*) { ++tx; };
    port.Open();
    peer.Write("xyz");
    port.WriteText("hello");
    EXPECT_TRUE(ServeUntil([&] { return tx == 1; }));
    ServeFor(200);
    EXPECT_EQ(rx, 0);
    EXPECT_EQ(port.ReadText(), "xyz"); // still readable directly
    EXPECT_EQ(peer.Read(5), "hello");
    port.Close();
}

TEST(Threads, TxEmptyOncePerDrainedQueue)
{
    PtyPeer peer;
    TVaComm port;
    UsePty(port, peer);
    int tx = 0;
    port.OnTxEmpty = [&](TVaCustomComm*) { ++tx; };
    port.Open();
    for (int i = 0; i < 50; ++i)
        port.WriteChar('x');
    ASSERT_TRUE(ServeUntil([&] { return tx >= 1; }));
    ServeFor(200);
    const int afterBurst = tx;
    EXPECT_GE(afterBurst, 1);
    EXPECT_LE(afterBurst, 50);
    EXPECT_EQ(peer.Read(50).size(), 50u);
    // The empty text queues nothing but still makes one drained-queue event.
    EXPECT_TRUE(port.WriteText(""));
    ASSERT_TRUE(ServeUntil([&] { return tx == afterBurst + 1; }));
    ServeFor(200);
    EXPECT_EQ(tx, afterBurst + 1);
    // A block written while nothing is queued goes to the driver at once; it is reported the same.
    const std::string block(200, 'b');
    EXPECT_TRUE(port.WriteText(block));
    ASSERT_TRUE(ServeUntil([&] { return tx == afterBurst + 2; }));
    EXPECT_EQ(peer.Read(200), block);
    port.Close();
}

TEST(Threads, FullQueueFailsAfterWriteTimeoutAndPurgeEmptiesIt)
{
    PtyPeer peer;
    TVaComm port;
    UsePty(port, peer);
    port.Buffers().SetWriteTimeout(100);
    port.Open();
    // Nobody reads at the other end: the line fills, then the queue.
    const std::string block(2048, 'q');
    std::string error;
    size_t written = 0;
    for (int i = 0; i < 10000 && error.empty(); ++i) {
        error = ErrorOf([&] { port.WriteBuf(block.data(), 2048); });
        if (error.empty())
            written += 2048;
    }
    EXPECT_EQ(error, "Output buffer is full. Please check comm status.");
    EXPECT_GT(written, 0u);
    // Still full: a further write fails the same way, and says it ran out of time.
    const std::optional<EVaCommError> full = CommErrorOf([&] { port.WriteBuf(block.data(), 2048); });
    ASSERT_TRUE(full);
    EXPECT_EQ(full->Kind(), ekTimedOut);

    port.PurgeReadWrite();
    // Everything queued and buffered is gone; the next write goes out normally.
    ASSERT_TRUE(port.WriteText("END"));
    std::string got;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (got.find("END") == std::string::npos && std::chrono::steady_clock::now() < deadline)
        got += peer.ReadFor(std::chrono::milliseconds(100));
    EXPECT_NE(got.find("END"), std::string::npos);
    EXPECT_LT(got.size(), written + 3);
    port.Close();
}

TEST(Threads, CloseWhileAnotherThreadWrites)
{
    PtyPeer peer;
    TVaComm port;
    UsePty(port, peer);
    port.Buffers().SetWriteTimeout(50);
    port.Open();
    std::atomic<bool> stop{false};
    std::atomic<int> zeros{0};
    std::thread writer([&] {
        while (!stop) {
            try {
                if (port.WriteBuf("0123456789", 10) == 0)
                    ++zeros;
            } catch (const EVaCommError&) {
            }
        }
    });
    std::thread drain([&] { peer.ReadFor(std::chrono::milliseconds(300)); });
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    port.Close();
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    stop = true;
    writer.join();
    drain.join();
    EXPECT_GT(zeros.load(), 0); // after the close every write returns 0
}

TEST(Threads, PeerClosingIsReportedAndNothingSpins)
{
    auto peer = std::make_unique<PtyPeer>();
    TVaComm port;
    UsePty(port, *peer);
    int lost = 0;
    port.OnDisconnect = [&](TVaCustomComm* sender) {
        ++lost;
        sender->Close();
    };
    port.Open();
    port.WriteText("bye");
    peer->CloseMaster();
    ASSERT_TRUE(ServeUntil([&] { return lost == 1; }));
    EXPECT_FALSE(port.Active());

    // Same again, but nobody closes the port: its threads must sit still.
    peer = std::make_unique<PtyPeer>();
    UsePty(port, *peer);
    port.OnDisconnect = [&](TVaCustomComm*) { ++lost; };
    port.Open();
    peer->CloseMaster();
    ASSERT_TRUE(ServeUntil([&] { return lost == 2; }));
    try {
        port.WriteText("into the void");
    } catch (const EVaCommError&) {
    }
    const double before = CpuSeconds();
    ServeFor(1000);
    const double used = CpuSeconds() - before;
    EXPECT_LT(used, 0.2) << "CPU seconds used while idle on a vanished device";
    port.Close();
    EXPECT_EQ(lost, 2);
}

TEST(Threads, HandOverRethrowsAndHandlerErrorsAreReported)
{
    ExceptionCatcher catcher;
    std::string fromWorker;
    std::atomic<bool> done{false};
    std::thread worker([&] {
        try {
            Synchronize([] { throw EVaCommError("boom"); });
        } catch (const EVaCommError& e) {
            fromWorker = e.what();
        }
        done = true;
        VaNotifyWaiters();
    });
    ASSERT_TRUE(ServeUntil([&] { return done.load(); }));
    worker.join();
    EXPECT_EQ(fromWorker, "boom");

    PtyPeer peer;
    TVaComm port;
    UsePty(port, peer);
    int calls = 0;
    port.OnRxChar = [&](TVaCustomComm* sender, int32_t) {
        ++calls;
        sender->ReadText();
        if (calls == 1)
            throw EVaCommError("handler failed");
    };
    port.Open();
    peer.Write("1");
    ASSERT_TRUE(ServeUntil([&] { return calls == 1; }));
    peer.Write("2");
    ASSERT_TRUE(ServeUntil([&] { return calls == 2; }));
    EXPECT_EQ(catcher.messages, std::vector<std::string>{"handler failed"});
    port.Close();
}
