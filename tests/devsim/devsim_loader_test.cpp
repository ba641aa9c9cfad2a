// The two boot loaders of qx-devsim: the first fed by lrzsz's XMODEM-1K
// sender, the second driven byte by byte as the update dialog does.
#include <gtest/gtest.h>

#include <cctype>
#include <random>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

#include "devsim_harness.h"

using namespace devsim_test;

namespace {

std::string shippedProfile(const std::string& name)
{
    return readFile(std::string(QX_TOOLS_DIR) + "/devsim/" + name);
}

std::string firmware(std::size_t size, unsigned seed)
{
    std::mt19937 rng(seed);
    std::string s;
    for (std::size_t i = 0; i < size; ++i) s += static_cast<char>(rng() & 0xFF);
    return s;
}

// Runs "sx -k file" with the device as its line; returns its exit status or -1.
int runSx(int fd, const std::string& file)
{
    const pid_t pid = ::fork();
    if (pid == 0) {
        ::dup2(fd, 0);
        ::dup2(fd, 1);
        ::execlp("sx", "sx", "-k", file.c_str(), static_cast<char*>(nullptr));
        ::_exit(127);
    }
    for (int i = 0; i < 6000; ++i) {  // up to a minute
        int st = 0;
        if (::waitpid(pid, &st, WNOHANG) == pid) return st;
        std::this_thread::sleep_for(10ms);
    }
    ::kill(pid, SIGKILL);
    ::waitpid(pid, nullptr, 0);
    return -1;
}

}  // namespace

TEST(DevsimLoader, FirstLoaderTakesFirmwareFromAnXmodem1kSender)
{
    DevsimProcess dev(shippedProfile("loader1.ini"));
    dev.open();
    dev.expect("v3.1\r\n");
    dev.send("\r");
    dev.send("!boot");
    EXPECT_NE(dev.expect("Press").find("Press"), std::string::npos);
    dev.send("U");

    const std::string image = firmware(5000, 11);  // four 1K blocks and a short one
    const std::string file = dev.dir() + "/firmware.bin";
    writeFile(file, image);
    const int st = runSx(dev.fd(), file);
    ASSERT_TRUE(WIFEXITED(st)) << st;
    EXPECT_EQ(WEXITSTATUS(st), 0);

    // The application runs again and has kept the image, padded to whole blocks.
    dev.expect("v3.1\r\n");
    EXPECT_EQ(dev.queryUntilAnswered(0), "0*");
    const std::string kept = readFile(dev.out("firmware-v1-001.bin"));
    ASSERT_GE(kept.size(), image.size());
    EXPECT_EQ(kept.size() % 128, 0u);
    EXPECT_EQ(kept.substr(0, image.size()), image);
    EXPECT_EQ(kept.substr(image.size()).find_first_not_of('\x1a'), std::string::npos) << "padding only";
    EXPECT_EQ(dev.stop(), 0);
}

TEST(DevsimLoader, SecondLoaderTakesImagesInAckedChunks)
{
    DevsimProcess dev(shippedProfile("loader2.ini"));
    dev.open();
    dev.expect("v4.0\r\n");

    // 3000 bytes: length 3010 = 00 00 0B C2; chunk 1 of 2000 bytes, chunk 2 of 1000.
    const std::string big = firmware(3000, 21);
    dev.send("\r!boot");
    EXPECT_NE(dev.expect("DDD").find("DDD"), std::string::npos);
    dev.send("v");
    EXPECT_EQ(dev.readBytes(1), "\x02");
    dev.send(bytes({0x00, 0x00, 0x0B, 0xC2}));
    EXPECT_EQ(dev.readBytes(1), "\x06");
    dev.send(big.substr(0, 2000));
    EXPECT_EQ(dev.readBytes(1), "\x06");
    dev.send(big.substr(2000));
    EXPECT_EQ(dev.readBytes(1), "\x04");
    dev.expect("v4.0\r\n");
    EXPECT_EQ(readFile(dev.out("firmware-v2-001.bin")), big);

    // 100 bytes: length 110, one chunk after one ACK, then EOT.
    const std::string small = firmware(100, 22);
    dev.send("!boot");
    dev.expect("DDD");
    dev.send("v");
    EXPECT_EQ(dev.readBytes(1), "\x02");
    dev.send(bytes({0, 0, 0, 110}));
    EXPECT_EQ(dev.readBytes(1), "\x06");
    dev.send(small);
    EXPECT_EQ(dev.readBytes(1), "\x04");
    dev.expect("v4.0\r\n");
    EXPECT_EQ(readFile(dev.out("firmware-v2-002.bin")), small);

    // A length beyond the firmware memory is refused with NAK.
    dev.send("!boot");
    dev.expect("DDD");
    dev.send("v");
    dev.readBytes(1);
    dev.send(bytes({0x01, 0, 0, 0}));
    EXPECT_EQ(dev.readBytes(1), "\x15");
    dev.expect("v4.0\r\n");
    EXPECT_EQ(dev.queryUntilAnswered(0), "0*");
    EXPECT_FALSE(fileExists(dev.out("firmware-v2-003.bin")));
    EXPECT_EQ(dev.stop(), 0);
}

TEST(DevsimLoader, SecondLoaderRefusesTheChosenChunk)
{
    DevsimProcess dev(shippedProfile("loader2-nak.ini"));
    dev.open();
    dev.expect("v4.0\r\n");

    // 3000 bytes: the length is taken, the first chunk too, the second refused.
    const std::string big = firmware(3000, 31);
    dev.send("!boot");
    dev.expect("DDD");
    dev.send("v");
    EXPECT_EQ(dev.readBytes(1), "\x02");
    dev.send(bytes({0x00, 0x00, 0x0B, 0xC2}));
    EXPECT_EQ(dev.readBytes(1), "\x06");
    dev.send(big.substr(0, 2000));
    EXPECT_EQ(dev.readBytes(1), "\x15");
    EXPECT_NE(dev.expect("v4.0\r\n").find("QX-Board2 v4.0"), std::string::npos) << "the application restarts";
    EXPECT_EQ(dev.queryUntilAnswered(0), "0*");

    // One chunk never reaches the refused one.
    const std::string small = firmware(100, 32);
    dev.send("!boot");
    dev.expect("DDD");
    dev.send("v");
    dev.readBytes(1);
    dev.send(bytes({0, 0, 0, 110}));
    EXPECT_EQ(dev.readBytes(1), "\x06");
    dev.send(small);
    EXPECT_EQ(dev.readBytes(1), "\x04");
    dev.expect("v4.0\r\n");
    EXPECT_EQ(readFile(dev.out("firmware-v2-001.bin")), small);
    EXPECT_EQ(dev.stop(), 0);

    // Chunk 1: the NAK comes instead of the ACK that answers the length.
    DevsimProcess first(shippedProfile("loader2-nak.ini") + "\n[Loader]\nNakChunk=1\n");
    first.open();
    first.send("!boot");
    first.expect("DDD");
    first.send("v");
    first.readBytes(1);
    first.send(bytes({0, 0, 0, 110}));
    EXPECT_EQ(first.readBytes(1), "\x15");
    first.expect("v4.0\r\n");
    EXPECT_EQ(first.stop(), 0);
}

TEST(DevsimLoader, GreetingsWithBothOrNeitherOfTheWordsTerminalsLookFor)
{
    // "Press" and "DDD" together: the loader is of the second generation.
    DevsimProcess both(shippedProfile("loader2-both.ini"));
    both.open();
    both.expect("v4.0\r\n");
    both.send("!boot");
    const std::string greeting = both.expect("DDD");
    EXPECT_NE(greeting.find("Press"), std::string::npos);
    both.send("v");
    EXPECT_EQ(both.readBytes(1), "\x02");
    const std::string image = firmware(100, 41);
    both.send(bytes({0, 0, 0, 110}));
    EXPECT_EQ(both.readBytes(1), "\x06");
    both.send(image);
    EXPECT_EQ(both.readBytes(1), "\x04");
    both.expect("v4.0\r\n");
    EXPECT_EQ(readFile(both.out("firmware-v2-001.bin")), image);
    EXPECT_EQ(both.stop(), 0);

    // Neither word, in any letter case, within the time a terminal looks; the
    // unanswered loader starts the application again by itself.
    DevsimProcess none(shippedProfile("loader-none.ini") + "\n[Loader]\nPromptMs=400\n");
    none.open();
    none.expect("v3.1\r\n");
    none.send("!boot");
    std::string said = none.expect("ready\r\n");
    EXPECT_NE(said.find("Boot monitor"), std::string::npos);
    for (char& c : said) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    EXPECT_EQ(said.find("press"), std::string::npos);
    EXPECT_EQ(said.find("ddd"), std::string::npos);
    EXPECT_NE(none.expect("v3.1\r\n").find("QX-Board1 v3.1"), std::string::npos);
    EXPECT_EQ(none.queryUntilAnswered(0), "0*");
    EXPECT_EQ(none.stop(), 0);
}

TEST(DevsimLoader, RestartRightAfterTheLastAnswerIsReadAsTwoReplies)
{
    // Without a restart time the EOT and the application's banner leave in
    // one write; reading the one must leave the other for the next read.
    DevsimProcess dev(shippedProfile("loader2-both.ini") + "\n[Timing]\nLoaderDelayMs=0\n");
    dev.open();
    dev.expect("v4.0\r\n");
    dev.send("!boot");
    dev.expect("DDD");
    dev.send("v");
    EXPECT_EQ(dev.readBytes(1), "\x02");
    const std::string image = firmware(100, 42);
    dev.send(bytes({0, 0, 0, 110}));
    EXPECT_EQ(dev.readBytes(1), "\x06");
    dev.send(image);
    EXPECT_EQ(dev.readBytes(1), "\x04");
    EXPECT_EQ(dev.expect("v4.0\r\n"), "\r\nQX-Board2 v4.0\r\n");
    EXPECT_EQ(readFile(dev.out("firmware-v2-001.bin")), image);
    EXPECT_EQ(dev.stop(), 0);
}
