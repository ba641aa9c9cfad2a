// Block query round trip against qx-devsim over a pty: a plain client writes
// ESC "{" n "q" and reads until the terminator, the way the device tools do.
// Prints the median and the spread; run: build/bench/devsim/devsim_bench [COUNT]
#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <poll.h>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <thread>
#include <unistd.h>
#include <vector>

using Clock = std::chrono::steady_clock;

int main(int argc, char** argv)
{
    const int count = argc > 1 ? std::max(10, std::atoi(argv[1])) : 2000;
    char dirTemplate[] = "/tmp/qx-devsim-bench-XXXXXX";
    const std::string dir = ::mkdtemp(dirTemplate);
    const std::string link = dir + "/tty";
    const std::string profile = std::string(QX_TOOLS_DIR) + "/devsim/display.ini";

    const pid_t pid = ::fork();
    if (pid == 0) {
        const int null = ::open("/dev/null", O_WRONLY);
        ::dup2(null, 1);
        ::execl(DEVSIM_EXE, DEVSIM_EXE, "--profile", profile.c_str(), "--link", link.c_str(), "--out",
                (dir + "/out").c_str(), static_cast<char*>(nullptr));
        ::_exit(127);
    }
    struct stat st {};
    for (int i = 0; i < 1000 && ::lstat(link.c_str(), &st) != 0; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(5));
    const int fd = ::open(link.c_str(), O_RDWR | O_NOCTTY);
    if (fd < 0) {
        std::fprintf(stderr, "qx-devsim did not start\n");
        return 1;
    }
    termios t{};
    ::tcgetattr(fd, &t);
    ::cfmakeraw(&t);
    ::cfsetspeed(&t, B9600);
    ::tcsetattr(fd, TCSANOW, &t);
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    ::tcflush(fd, TCIFLUSH);  // drop the banner

    std::vector<double> us;
    us.reserve(static_cast<std::size_t>(count));
    char buf[256];
    int failures = 0;
    for (int i = 0; i < count; ++i) {
        const std::string q = "\x1b{" + std::to_string(i % 500) + "q";
        const auto t0 = Clock::now();
        if (::write(fd, q.data(), q.size()) != static_cast<ssize_t>(q.size())) return 1;
        std::string got;
        while (got.find('*') == std::string::npos) {
            pollfd p{fd, POLLIN, 0};
            if (::poll(&p, 1, 2000) <= 0) break;
            const ssize_t n = ::read(fd, buf, sizeof buf);
            if (n <= 0) break;
            got.append(buf, static_cast<std::size_t>(n));
        }
        if (got.find('*') == std::string::npos) ++failures;
        us.push_back(std::chrono::duration<double, std::micro>(Clock::now() - t0).count());
    }
    ::close(fd);
    ::kill(pid, SIGTERM);
    ::waitpid(pid, nullptr, 0);
    std::system(("rm -rf '" + dir + "'").c_str());

    std::sort(us.begin(), us.end());
    auto pct = [&](double p) { return us[static_cast<std::size_t>(p * (us.size() - 1))]; };
    std::printf("block query round trip over a pty, %d queries%s\n", count,
                failures ? (" (" + std::to_string(failures) + " unanswered)").c_str() : "");
    std::printf("  median %.1f us   p90 %.1f us   p99 %.1f us   max %.1f us   (target: median under 1000 us)\n",
                pct(0.5), pct(0.9), pct(0.99), us.back());
    return failures ? 1 : 0;
}
