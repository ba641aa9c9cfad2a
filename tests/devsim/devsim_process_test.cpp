// qx-devsim as a process: how it ends, sleeping until woken, line settings, unplugging.
#include <gtest/gtest.h>

#include <csignal>
#include <poll.h>
#include <thread>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include "devsim_harness.h"

using namespace devsim_test;

namespace {
const std::string kProfile =
    "[Device]\nName=Tiny\nVersion=1\nIDstring=#27[c\n[Line]\nBaud=9600\nSpeedCheck=strict\n[Flash]\nBlocks=10\n";
}

TEST(DevsimProcess, EndsCleanlyWhenTheWatchedProcessEndsOrOnSignals)
{
    const pid_t watched = ::fork();
    if (watched == 0) {
        ::execlp("sleep", "sleep", "60", static_cast<char*>(nullptr));
        ::_exit(127);
    }
    DevsimProcess dev(kProfile, {"--exit-with-pid", std::to_string(watched), "--png-on-exit"});
    dev.open();
    dev.send("\x1b{1q");
    EXPECT_EQ(dev.readBytes(2), "0*");
    ::kill(watched, SIGKILL);
    ::waitpid(watched, nullptr, 0);
    const int st = dev.waitExit();
    ASSERT_TRUE(WIFEXITED(st)) << st;
    EXPECT_EQ(WEXITSTATUS(st), 0);
    EXPECT_FALSE(fileExists(dev.link())) << "link removed";
    EXPECT_TRUE(fileExists(dev.out("screen.png")));

    for (int sig : {SIGHUP, SIGTERM}) {
        DevsimProcess other(kProfile);
        const int s = other.stop(sig);
        ASSERT_TRUE(WIFEXITED(s)) << s;
        EXPECT_EQ(WEXITSTATUS(s), 0);
        EXPECT_FALSE(fileExists(other.link()));
    }
}

TEST(DevsimProcess, FloodArrivesWholeAndTheDeviceStillAnswers)
{
    // 3 MB of lines, fed as the reader takes them (several times what the device holds back), and
    // a command while it runs is still heard.
    DevsimProcess dev(kProfile + "[Flood]\nTrigger=!flood\nMegabytes=3\nLineLength=100\n");
    dev.open();
    dev.send("!flood");
    const std::string first = dev.readBytes(100);
    EXPECT_EQ(first.substr(0, 20), "flood line 00000000 ");
    EXPECT_EQ(first.substr(98), "\r\n");
    dev.send("\x1b{1q");
    const std::string rest = dev.readBytes(3000000 - 100 + 2);
    EXPECT_NE(rest.find("0*"), std::string::npos);
    EXPECT_EQ(rest.substr(rest.size() - 100, 20), "flood line 00029999 ");
    EXPECT_EQ(dev.stop(), 0);
}

TEST(DevsimProcess, SleepsUntilACarriageReturn)
{
    DevsimProcess dev(kProfile + "[Device]\nStartAsleep=1\n");
    dev.open();
    dev.send("\x1b[c");
    EXPECT_EQ(dev.readFor(300ms), "");
    dev.send("\r\x1b[c");
    EXPECT_EQ(dev.expect("*"), "Tiny v1*");
    EXPECT_EQ(dev.stop(), 0);
}

TEST(DevsimProcess, StrictDeviceIgnoresTheWrongLineSettings)
{
    DevsimProcess dev(kProfile);
    dev.open();
    termios t{};
    ::tcgetattr(dev.fd(), &t);
    ::cfsetspeed(&t, B19200);
    ::tcsetattr(dev.fd(), TCSANOW, &t);
    dev.send("\x1b[c");
    EXPECT_EQ(dev.readFor(300ms), "");
    ::cfsetspeed(&t, B9600);
    ::tcsetattr(dev.fd(), TCSANOW, &t);
    dev.send("\x1b[c");
    EXPECT_EQ(dev.expect("*"), "Tiny v1*");
    EXPECT_NE(dev.log().find("line set to 19200 8N1, device runs at 9600 8N1 - mismatch"), std::string::npos);
    EXPECT_EQ(dev.stop(), 0);
}

namespace {

std::string linkTarget(const std::string& link)
{
    char buf[512];
    const ssize_t n = ::readlink(link.c_str(), buf, sizeof buf - 1);
    return n > 0 ? std::string(buf, static_cast<std::size_t>(n)) : std::string();
}

// Waits until the terminal's side of the open port hangs up, then until the link leads to another
// pseudo-terminal than before, and talks to the device there.
void expectBackOnNewPty(DevsimProcess& dev, const std::string& before)
{
    pollfd p{dev.fd(), POLLIN, 0};
    ASSERT_EQ(::poll(&p, 1, 10000), 1);
    EXPECT_TRUE(p.revents & POLLHUP);
    dev.close();
    const auto until = std::chrono::steady_clock::now() + kPatience;
    while (linkTarget(dev.link()) == before || linkTarget(dev.link()).empty()) {
        ASSERT_LT(std::chrono::steady_clock::now(), until) << "not back";
        std::this_thread::sleep_for(10ms);
    }
    EXPECT_NE(linkTarget(dev.link()), before);
    dev.open();
    dev.send("\x1b[c");
    EXPECT_EQ(dev.expect("*"), "Tiny v1*");
    EXPECT_NE(dev.log().find("unplugged: " + before), std::string::npos) << dev.log();
    EXPECT_NE(dev.log().find("plugged in again on " + linkTarget(dev.link())), std::string::npos) << dev.log();
}

} // namespace

TEST(DevsimProcess, UnpluggedBySignalOrProfileComesBackOnANewPty)
{
    DevsimProcess dev(kProfile + "[Unplug]\nAwayMs=200\n");
    dev.open();
    const std::string before = linkTarget(dev.link());
    dev.signal(SIGTSTP);
    expectBackOnNewPty(dev, before);
    EXPECT_EQ(dev.stop(), 0);
    EXPECT_FALSE(fileExists(dev.link()));

    DevsimProcess timed(kProfile + "[Unplug]\nAfterMs=300\nAwayMs=100\n");
    timed.open();
    expectBackOnNewPty(timed, linkTarget(timed.link()));
    EXPECT_EQ(timed.stop(), 0);
}
