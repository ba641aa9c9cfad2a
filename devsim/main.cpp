// qx-devsim: a simulated serial display module on a pseudo-terminal.
//
// It opens a pty, prints the path of its terminal side, optionally links a
// fixed path to it, and answers what a terminal program sends there as the
// display module described by its profile does. It runs until SIGTERM, SIGINT
// or SIGHUP, or until the process given with --exit-with-pid ends.

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <fcntl.h>
#include <poll.h>
#include <string>
#include <sys/signalfd.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <termios.h>
#include <unistd.h>

#include "QxBuildInfo.h"
#include "device.h"
#include "files.h"
#include "line_settings.h"
#include "profile.h"

using devsim::Clock;

namespace {

struct Options {
    std::string profile;
    std::string link;
    std::string outDir = "devsim-out";
    std::string logFile;  // default: outDir/devsim.log
    std::string png;      // default: outDir/screen.png
    bool pngOnExit = false;
    bool verbose = false;
    long exitWithPid = 0;
};

void usage(FILE* to)
{
    std::fputs(
        "usage: qx-devsim --profile FILE [options]\n"
        "  --profile FILE        device profile (INI)\n"
        "  --link PATH           make PATH a symbolic link to the device's terminal\n"
        "  --out DIR             folder for received pictures, fonts, firmware (default devsim-out)\n"
        "  --log FILE            log of understood and not understood commands (default DIR/devsim.log)\n"
        "  --png FILE            where the screen is written (default DIR/screen.png)\n"
        "  --png-on-exit         also write the screen when ending\n"
        "  --exit-with-pid PID   end when process PID ends\n"
        "  --verbose             copy the log to standard error\n"
        "  --version             print the version and end\n"
        "signals: SIGUSR1 writes the screen, SIGUSR2 makes the device start a block transfer (sends D),\n"
        "         SIGTSTP unplugs it (back on a new pseudo-terminal after the profile's AwayMs),\n"
        "         SIGTERM, SIGINT, SIGHUP end it\n",
        to);
}

bool parseArgs(int argc, char** argv, Options& o)
{
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        auto value = [&](std::string& v) {
            if (i + 1 >= argc) return false;
            v = argv[++i];
            return true;
        };
        std::string pid;
        if (a == "--profile") { if (!value(o.profile)) return false; }
        else if (a == "--link") { if (!value(o.link)) return false; }
        else if (a == "--out") { if (!value(o.outDir)) return false; }
        else if (a == "--log") { if (!value(o.logFile)) return false; }
        else if (a == "--png") { if (!value(o.png)) return false; }
        else if (a == "--png-on-exit") o.pngOnExit = true;
        else if (a == "--verbose") o.verbose = true;
        else if (a == "--exit-with-pid") {
            if (!value(pid)) return false;
            char* end = nullptr;
            o.exitWithPid = std::strtol(pid.c_str(), &end, 10);
            if (*end != '\0' || o.exitWithPid <= 0) return false;
        } else if (a == "--help" || a == "-h") {
            usage(stdout);
            std::exit(0);
        } else if (a == "--version") {
            std::printf("qx-devsim %s\n", kQxVersion);
            std::exit(0);
        } else {
            return false;
        }
    }
    return !o.profile.empty();
}

class Logger {
public:
    Logger(const std::string& path, bool verbose) : verbose_(verbose), start_(Clock::now())
    {
        file_ = std::fopen(path.c_str(), "a");
        if (!file_) std::fprintf(stderr, "qx-devsim: cannot open log %s: %s\n", path.c_str(), std::strerror(errno));
    }
    ~Logger()
    {
        if (file_) std::fclose(file_);
    }
    Logger(const Logger&) = delete;
    Logger& operator=(const Logger&) = delete;

    void operator()(const std::string& line)
    {
        const double t = std::chrono::duration<double>(Clock::now() - start_).count();
        if (file_) {
            std::fprintf(file_, "[%9.3f] %s\n", t, line.c_str());
            std::fflush(file_);
        }
        if (verbose_) std::fprintf(stderr, "qx-devsim [%9.3f] %s\n", t, line.c_str());
    }

private:
    FILE* file_ = nullptr;
    bool verbose_;
    Clock::time_point start_;
};

speed_t speedConstant(long baud)
{
    switch (baud) {
    case 300: return B300;
    case 1200: return B1200;
    case 2400: return B2400;
    case 4800: return B4800;
    case 9600: return B9600;
    case 19200: return B19200;
    case 38400: return B38400;
    case 57600: return B57600;
    case 115200: return B115200;
    case 230400: return B230400;
    case 460800: return B460800;
    case 921600: return B921600;
    default: return B9600;
    }
}

// Opens the pty and puts its terminal side in raw mode at the profile's line
// settings, so that a terminal that changes nothing gets bytes unaltered.
int openPty(const devsim::Profile& p, std::string& slavePath)
{
    const int master = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (master < 0 || ::grantpt(master) != 0 || ::unlockpt(master) != 0) return -1;
    const char* name = ::ptsname(master);
    if (!name) return -1;
    slavePath = name;
    const int slave = ::open(name, O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (slave >= 0) {
        termios t{};
        if (::tcgetattr(slave, &t) == 0) {
            ::cfmakeraw(&t);
            t.c_cflag |= CLOCAL | CREAD;
            t.c_cflag &= ~(CSIZE | CSTOPB | PARENB | PARODD);
            t.c_cflag |= p.dataBits == 7 ? CS7 : p.dataBits == 6 ? CS6 : p.dataBits == 5 ? CS5 : CS8;
            if (p.stopBits == 2) t.c_cflag |= CSTOPB;
            if (p.parity == 'E' || p.parity == 'O') t.c_cflag |= PARENB;
            if (p.parity == 'O') t.c_cflag |= PARODD;
            ::cfsetspeed(&t, speedConstant(p.baud));
            ::tcsetattr(slave, TCSANOW, &t);
        }
        ::close(slave);
    }
    ::fcntl(master, F_SETFL, ::fcntl(master, F_GETFL) | O_NONBLOCK);
    return master;
}

// Points link at target, replacing an existing link atomically.
bool makeLink(const std::string& link, const std::string& target, std::string& error)
{
    struct stat st {};
    if (::lstat(link.c_str(), &st) == 0 && !S_ISLNK(st.st_mode)) {
        error = link + " exists and is not a symbolic link";
        return false;
    }
    const std::string tmp = link + ".tmp" + std::to_string(::getpid());
    ::unlink(tmp.c_str());
    if (::symlink(target.c_str(), tmp.c_str()) != 0 || ::rename(tmp.c_str(), link.c_str()) != 0) {
        error = std::string("cannot link ") + link + ": " + std::strerror(errno);
        ::unlink(tmp.c_str());
        return false;
    }
    return true;
}

void removeLink(const std::string& link, const std::string& target)
{
    char buf[4096];
    const ssize_t n = ::readlink(link.c_str(), buf, sizeof buf - 1);
    if (n > 0 && std::string(buf, static_cast<std::size_t>(n)) == target) ::unlink(link.c_str());
}

bool masterHungUp(int master)
{
    pollfd p{master, POLLIN, 0};
    return ::poll(&p, 1, 0) > 0 && (p.revents & POLLHUP);
}

}  // namespace

int main(int argc, char** argv)
{
    Options opt;
    if (!parseArgs(argc, argv, opt)) {
        usage(stderr);
        return 2;
    }
    devsim::Profile profile;
    std::string error;
    if (!devsim::loadProfile(opt.profile, profile, &error)) {
        std::fprintf(stderr, "qx-devsim: %s\n", error.c_str());
        return 2;
    }
    if (!devsim::makeDirectories(opt.outDir, &error)) {
        std::fprintf(stderr, "qx-devsim: %s\n", error.c_str());
        return 2;
    }
    if (opt.logFile.empty()) opt.logFile = opt.outDir + "/devsim.log";
    if (opt.png.empty()) opt.png = opt.outDir + "/screen.png";

    // Signals arrive through a descriptor so the poll loop sees them in order.
    sigset_t mask;
    sigemptyset(&mask);
    for (int s : {SIGTERM, SIGINT, SIGHUP, SIGUSR1, SIGUSR2, SIGTSTP}) sigaddset(&mask, s);
    ::sigprocmask(SIG_BLOCK, &mask, nullptr);
    std::signal(SIGPIPE, SIG_IGN);
    const int sigFd = ::signalfd(-1, &mask, SFD_CLOEXEC | SFD_NONBLOCK);

    int pidFd = -1;
    if (opt.exitWithPid > 0) {
        pidFd = static_cast<int>(::syscall(SYS_pidfd_open, static_cast<pid_t>(opt.exitWithPid), 0));
        if (pidFd < 0 && errno == ESRCH) {
            std::fprintf(stderr, "qx-devsim: process %ld does not exist\n", opt.exitWithPid);
            return 2;
        }
    }

    std::string slavePath;
    int master = openPty(profile, slavePath);
    bool connected = false;
    std::string pending;
    if (master < 0) {
        std::fprintf(stderr, "qx-devsim: cannot open a pseudo-terminal: %s\n", std::strerror(errno));
        return 1;
    }
    if (!opt.link.empty() && !makeLink(opt.link, slavePath, error)) {
        std::fprintf(stderr, "qx-devsim: %s\n", error.c_str());
        return 1;
    }

    Logger logger(opt.logFile, opt.verbose);
    devsim::Device device(profile, opt.outDir, [&](const std::string& line) { logger(line); });
    logger("device " + profile.name + " on " + slavePath + (opt.link.empty() ? "" : " (linked from " + opt.link + ")"));
    std::printf("%s\n", slavePath.c_str());
    std::fflush(stdout);

    bool running = true;
    char buf[4096];
    // While no terminal has the port open, the master reports a hang-up on
    // every poll; the loop then looks again every so often instead of spinning.
    constexpr auto kHangupRecheck = std::chrono::milliseconds(100);

    // Unplugging: the device's pseudo-terminal goes (the terminal's side hangs up and its node
    // leaves /dev/pts) and so does the link; after the profile's AwayMs the device comes back on
    // another pseudo-terminal behind the same link, as a USB board that re-enumerates. The new one
    // is opened at once, so that it cannot get the number of the old one.
    std::optional<Clock::time_point> unplugAt, backAt;
    if (profile.unplugAfterMs > 0) unplugAt = Clock::now() + std::chrono::milliseconds(profile.unplugAfterMs);
    int nextMaster = -1;
    std::string nextPath;
    auto unplug = [&](Clock::time_point now) {
        unplugAt.reset();
        if (backAt) return;
        nextMaster = openPty(profile, nextPath);
        if (nextMaster < 0) {
            logger(std::string("info: cannot unplug, no new pseudo-terminal: ") + std::strerror(errno));
            return;
        }
        if (!opt.link.empty()) removeLink(opt.link, slavePath);
        ::close(master);
        master = -1;
        connected = false;
        pending.clear();
        backAt = now + std::chrono::milliseconds(profile.awayMs);
        logger("unplugged: " + slavePath + " gone for " + std::to_string(profile.awayMs) + " ms");
    };
    auto plugIn = [&]() {
        backAt.reset();
        master = std::exchange(nextMaster, -1);
        slavePath = nextPath;
        if (!opt.link.empty() && !makeLink(opt.link, slavePath, error)) logger("info: " + error);
        logger("plugged in again on " + slavePath);
        std::printf("%s\n", slavePath.c_str());
        std::fflush(stdout);
    };

    auto checkConnected = [&](Clock::time_point now) {
        if (!connected && master >= 0 && !masterHungUp(master)) {
            connected = true;
            device.connected(now);
        }
    };
    while (running) {
        auto now = Clock::now();
        checkConnected(now);

        pollfd fds[3];
        int n = 0;
        fds[n++] = {sigFd, POLLIN, 0};
        const int pidIndex = pidFd >= 0 ? n : -1;
        if (pidFd >= 0) fds[n++] = {pidFd, POLLIN, 0};
        const int masterIndex = connected ? n : -1;
        // A running flood waits for room in the line like output that is due.
        const bool output = !pending.empty() || device.floodDue(now);
        if (connected) fds[n++] = {master, static_cast<short>(POLLIN | (output ? POLLOUT : 0)), 0};

        auto wake = device.deadline();
        for (const auto& at : {unplugAt, backAt})
            if (at && (!wake || *at < *wake)) wake = at;
        if ((!connected && !backAt) || (pidFd < 0 && opt.exitWithPid > 0)) {
            const auto t = now + kHangupRecheck;
            if (!wake || t < *wake) wake = t;
        }
        int timeoutMs = -1;
        if (wake) {
            const auto ms = std::chrono::ceil<std::chrono::milliseconds>(*wake - now).count();
            timeoutMs = static_cast<int>(std::clamp<long long>(ms, 0, 60000));
        }
        if (::poll(fds, static_cast<nfds_t>(n), timeoutMs) < 0 && errno != EINTR) break;
        now = Clock::now();
        // A terminal may have opened the port while the loop slept; what a
        // signal makes the device say must not be dropped as unheard.
        checkConnected(now);

        if (fds[0].revents & POLLIN) {
            signalfd_siginfo si{};
            while (::read(sigFd, &si, sizeof si) == static_cast<ssize_t>(sizeof si)) {
                if (si.ssi_signo == SIGUSR1) {
                    device.writeScreenPng(opt.png);
                    devsim::writeFileAtomic(opt.png + ".txt", device.screen().text());
                } else if (si.ssi_signo == SIGUSR2) {
                    device.requestBlockTransfer(now);
                } else if (si.ssi_signo == SIGTSTP) {
                    unplug(now);
                } else {
                    logger(std::string("ending on signal ") + ::strsignal(static_cast<int>(si.ssi_signo)));
                    running = false;
                }
            }
        }
        if (pidIndex >= 0 && (fds[pidIndex].revents & POLLIN)) {
            logger("process " + std::to_string(opt.exitWithPid) + " ended - ending");
            running = false;
        }
        if (pidFd < 0 && opt.exitWithPid > 0 && ::kill(static_cast<pid_t>(opt.exitWithPid), 0) != 0 && errno == ESRCH) {
            logger("process " + std::to_string(opt.exitWithPid) + " ended - ending");
            running = false;
        }
        if (masterIndex >= 0) {
            const short re = fds[masterIndex].revents;
            if (re & POLLIN) {
                const ssize_t got = ::read(master, buf, sizeof buf);
                if (got > 0) {
                    devsim::LineSettings ls;
                    if (devsim::readLineSettings(master, ls)) device.lineSettings(ls);
                    device.receive(std::string_view(buf, static_cast<std::size_t>(got)), now);
                }
            }
            if ((re & (POLLHUP | POLLERR)) && !(re & POLLIN)) {
                connected = false;
                pending.clear();
                device.stopFlood();
                logger("info: the terminal closed the port");
            }
        }

        if (backAt && now >= *backAt) plugIn();
        if (unplugAt && now >= *unplugAt) unplug(now);

        device.tick(now);
        // A board whose loader speaks USB re-enumerates after its update, once its restart line
        // is out.
        if (device.takeUpdated() && profile.reenumerate)
            unplugAt = now + std::chrono::milliseconds(profile.loaderDelayMs + 200);
        const std::string out = device.takeOutput(now);
        if (connected) pending += out;
        // A flood goes out a slice at a time as the terminal reads, so the loop still hears it.
        constexpr std::size_t kFloodSlice = 64 << 10;
        if (connected && pending.size() < kFloodSlice) pending += device.takeFlood(kFloodSlice - pending.size(), now);
        // A terminal that has the port open but never reads must not make the
        // device hoard its replies without bound.
        constexpr std::size_t kMaxPending = 1 << 20;
        if (pending.size() > kMaxPending) {
            logger("info: the terminal is not reading; dropped " + std::to_string(pending.size() - kMaxPending) +
                   " bytes of output");
            pending.erase(0, pending.size() - kMaxPending);
        }
        while (connected && !pending.empty()) {
            const ssize_t w = ::write(master, pending.data(), pending.size());
            if (w > 0) {
                pending.erase(0, static_cast<std::size_t>(w));
            } else {
                if (w < 0 && errno == EIO) {
                    connected = false;
                    pending.clear();
                }
                break;
            }
        }
    }

    if (opt.pngOnExit) {
        device.writeScreenPng(opt.png);
        devsim::writeFileAtomic(opt.png + ".txt", device.screen().text());
    }
    if (!opt.link.empty()) removeLink(opt.link, slavePath);
    if (master >= 0) ::close(master);
    if (nextMaster >= 0) ::close(nextMaster);
    logger("ended");
    return 0;
}
