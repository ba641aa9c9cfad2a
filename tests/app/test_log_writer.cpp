// The log without a window: the writing thread's appending, its stop when it falls
// behind (a reader that does not read), its failures, and the text format's lines.
#include "LogWriter.h"
#include "TestSupport.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <fcntl.h>
#include <fstream>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

namespace {

} // namespace

TEST(LogWriter, AppendsNeverTruncatesAndStartsAgain)
{
    TTempDir dir("qxlogw");
    const std::string path = dir / "a.log";
    std::ofstream(path) << "before\n";
    TLogWriter log;
    ASSERT_EQ(log.open(path), "");
    EXPECT_TRUE(log.running());
    EXPECT_TRUE(log.write(TLogWriter::Stream::main, "one "));
    EXPECT_TRUE(log.write(TLogWriter::Stream::main, std::string("\0\xff", 2)));
    log.stop();
    EXPECT_FALSE(log.running());
    EXPECT_EQ(log.written(), 6u);
    EXPECT_FALSE(log.write(TLogWriter::Stream::main, "lost"));
    // A log without a file for what is sent ignores it.
    ASSERT_EQ(log.open(path), "");
    EXPECT_TRUE(log.write(TLogWriter::Stream::sent, "ignored"));
    log.stop();
    ASSERT_EQ(log.open(path, path + kSentLogSuffix), "");
    EXPECT_TRUE(log.write(TLogWriter::Stream::sent, "AT\r"));
    EXPECT_TRUE(log.write(TLogWriter::Stream::main, "two"));
    log.stop();
    EXPECT_EQ(fileBytes(path), std::string("before\none \0\xfftwo", 16));
    EXPECT_EQ(fileBytes(path + kSentLogSuffix), "AT\r");
    EXPECT_EQ(log.failure(), "");
}

TEST(LogWriter, RefusesWhatItCannotOpen)
{
    TTempDir dir("qxlogw");
    TLogWriter log;
    EXPECT_EQ(log.open(dir / "none/a.log"), dir / "none/a.log" + ": No such file or directory");
    EXPECT_FALSE(log.running());
    // The second file failing leaves nothing open either.
    EXPECT_NE(log.open(dir / "b.log", dir / "none/b.sent"), "");
    EXPECT_FALSE(log.running());
}

TEST(LogWriter, FallingBehindStopsWithoutHoles)
{
    // A pipe nobody reads from stands for a disk slower than the port.
    TTempDir dir("qxlogw");
    const std::string fifo = dir / "slow";
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    const int reader = ::open(fifo.c_str(), O_RDONLY | O_NONBLOCK);
    ASSERT_GE(reader, 0);
    TLogWriter log;
    ASSERT_EQ(log.open(fifo), "");

    std::string sent;
    const std::string block(64 * 1024, 'x');
    size_t blocks = 0;
    while (log.write(TLogWriter::Stream::main, block)) {
        sent += static_cast<char>('a' + blocks % 26);
        ++blocks;
        ASSERT_LT(blocks * block.size(), 4 * TLogWriter::kQueueLimit);
    }
    EXPECT_GE(blocks * block.size(), TLogWriter::kQueueLimit);
    EXPECT_NE(log.failure().find("it fell behind the port by 8."), std::string::npos) << log.failure();
    EXPECT_EQ(log.failedPath(), fifo);

    // What was queued before still arrives, whole: the reader drains while the log stops.
    std::atomic<bool> stopped{false};
    std::thread stopper([&] {
        log.stop();
        stopped = true;
    });
    size_t got = 0;
    char buf[65536];
    for (;;) {
        const ssize_t n = ::read(reader, buf, sizeof buf);
        if (n > 0)
            got += static_cast<size_t>(n);
        else if (stopped && n == 0)
            break;
        else
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    stopper.join();
    ::close(reader);
    EXPECT_EQ(got, blocks * block.size());
    EXPECT_EQ(log.written(), got);
}

TEST(LogText, LinesWithStampsAcrossReads)
{
    TLogText text;
    const TTermOptions options;
    // A line end split over two reads, a bare CR, a bare LF; an empty line gets no stamp.
    EXPECT_EQ(text.received(options, "boot\r", "[1] ", false), "[1] boot\n");
    EXPECT_EQ(text.received(options, "\nok\rtwo\n\nend", "[2] ", false), "[2] ok\n[2] two\n\n[2] end");
    // The open line goes on without a stamp; after a pause it is ended first.
    EXPECT_EQ(text.received(options, " more", "[3] ", false), " more");
    EXPECT_EQ(text.received(options, "> ", "[4] ", true), "\n[4] > ");
    // The clear-screen escape keeps what came before it; no stamps when they are off.
    EXPECT_EQ(text.received(options, "a\r\n\x1b[2Jb\r\n", "", false), "a\nb\n");
    TTermOptions ctrl;
    ctrl.showCtrl = true;
    EXPECT_EQ(text.received(ctrl, "\x01z\r\n", "", false), "[01]z\n");
}

TEST(LogText, SentLinesMarkedAndEscaped)
{
    TLogText text;
    const TTermOptions options;
    EXPECT_EQ(text.received(options, "prompt", "", false), "prompt");
    // Keys one by one make one line, ended by the line end; a received line ends a sent one.
    EXPECT_EQ(text.sent("l", "[5] "), "\n[5] > l");
    EXPECT_EQ(text.sent("s", "[6] "), "s");
    EXPECT_EQ(text.sent("\r", "[6] "), "\\r");
    EXPECT_EQ(text.sent("\n", "[6] "), "\\n\n");
    EXPECT_EQ(text.sent("a\tb\\\x1b\x7f\xe9\r", "[7] "), "[7] > a\\tb\\\\\\x1B\\x7F\xe9\\r");
    EXPECT_EQ(text.sent("x", "[8] "), "\n[8] > x");
    EXPECT_EQ(text.received(options, "reply\r\n", "[9] ", false), "\n[9] reply\n");
    EXPECT_EQ(text.sent("q\r\n", ""), "> q\\r\\n\n");
}
