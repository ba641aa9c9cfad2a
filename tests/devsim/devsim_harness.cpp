#include "devsim_harness.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <poll.h>
#include <sstream>
#include <stdexcept>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <thread>
#include <unistd.h>

#include "files.h"

namespace devsim_test {

using Clock = std::chrono::steady_clock;

std::string makeTempDir()
{
    const char* base = std::getenv("TMPDIR");
    std::string tmpl = std::string(base && *base ? base : "/tmp") + "/qx-devsim-test-XXXXXX";
    if (!::mkdtemp(tmpl.data())) throw std::runtime_error("mkdtemp failed");
    return tmpl;
}

std::string readFile(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

void writeFile(const std::string& path, const std::string& data)
{
    std::ofstream out(path, std::ios::binary);
    out << data;
}

bool fileExists(const std::string& path)
{
    struct stat st {};
    return ::lstat(path.c_str(), &st) == 0;
}

std::string bytes(std::initializer_list<int> values)
{
    std::string s;
    for (int v : values) s += static_cast<char>(v);
    return s;
}

DevsimProcess::DevsimProcess(const std::string& profileText, std::vector<std::string> extraArgs)
{
    dir_ = makeTempDir();
    link_ = dir_ + "/tty";
    writeFile(dir_ + "/profile.ini", profileText);
    std::vector<std::string> args = {DEVSIM_EXE, "--profile", dir_ + "/profile.ini", "--link", link_,
                                     "--out", dir_ + "/out"};
    args.insert(args.end(), extraArgs.begin(), extraArgs.end());
    pid_ = ::fork();
    if (pid_ == 0) {
        const int null = ::open("/dev/null", O_WRONLY);
        ::dup2(null, 1);
        std::vector<char*> argv;
        for (auto& a : args) argv.push_back(a.data());
        argv.push_back(nullptr);
        ::execv(argv[0], argv.data());
        ::_exit(127);
    }
    // The link appears once the device is up.
    const auto until = Clock::now() + kPatience;
    while (!fileExists(link_) && Clock::now() < until) std::this_thread::sleep_for(5ms);
    if (!fileExists(link_)) throw std::runtime_error("qx-devsim did not start");
}

DevsimProcess::~DevsimProcess()
{
    close();
    if (pid_ > 0 && status_ == -1) stop(SIGKILL);
    std::system(("rm -rf '" + dir_ + "'").c_str());
}

void DevsimProcess::open()
{
    fd_ = ::open(link_.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (fd_ < 0) throw std::runtime_error("cannot open " + link_);
    unread_.clear();
    termios t{};
    ::tcgetattr(fd_, &t);
    ::cfmakeraw(&t);
    t.c_cflag |= CLOCAL | CREAD;
    ::cfsetspeed(&t, B9600);
    ::tcsetattr(fd_, TCSANOW, &t);
}

void DevsimProcess::close()
{
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
}

void DevsimProcess::send(const std::string& data)
{
    std::size_t done = 0;
    while (done < data.size()) {
        const ssize_t n = ::write(fd_, data.data() + done, data.size() - done);
        if (n < 0) {
            if (errno == EINTR || errno == EAGAIN) continue;
            throw std::runtime_error("write to the device failed");
        }
        done += static_cast<std::size_t>(n);
    }
}

namespace {
// Reads what is there within the time left; false when nothing came.
bool readSome(int fd, std::string& into, Clock::time_point until)
{
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(until - Clock::now()).count();
    pollfd p{fd, POLLIN, 0};
    if (::poll(&p, 1, static_cast<int>(std::max<long long>(left, 0))) <= 0) return false;
    char buf[4096];
    const ssize_t n = ::read(fd, buf, sizeof buf);
    if (n <= 0) return false;
    into.append(buf, static_cast<std::size_t>(n));
    return true;
}

// How much of the earlier traffic a failure message shows.
constexpr std::size_t kReceivedShown = 160;
}  // namespace

template <class Done>
bool DevsimProcess::fill(Done done, Clock::time_point until)
{
    while (!done()) {
        if (Clock::now() >= until) return false;
        const std::size_t before = unread_.size();
        if (readSome(fd_, unread_, until)) {
            received_ += unread_.substr(before);
            if (received_.size() > 4 * kReceivedShown) received_.erase(0, received_.size() - 2 * kReceivedShown);
        }
    }
    return true;
}

std::string DevsimProcess::take(std::size_t n)
{
    n = std::min(n, unread_.size());
    std::string got = unread_.substr(0, n);
    unread_.erase(0, n);
    return got;
}

void DevsimProcess::reportTimeout(const std::string& step, std::chrono::milliseconds patience,
                                  const std::string& got, const std::source_location& where) const
{
    // The bytes that came before this step show whether an earlier read
    // already took what this one waited for.
    const std::string earlier = received_.substr(0, received_.size() - std::min(got.size(), received_.size()));
    const std::size_t from = earlier.size() > kReceivedShown ? earlier.size() - kReceivedShown : 0;
    ADD_FAILURE_AT(where.file_name(), static_cast<int>(where.line()))
        << step << " waited " << patience.count() << " ms in vain; it got: \"" << devsim::printable(got, 400)
        << "\" (" << got.size() << " bytes); earlier reads took: \""
        << devsim::printable(earlier.substr(from), kReceivedShown) << "\"";
}

std::string DevsimProcess::expect(const std::string& want, std::chrono::milliseconds patience,
                                  std::source_location where)
{
    const bool found = fill([&] { return unread_.find(want) != std::string::npos; }, Clock::now() + patience);
    if (!found) {
        const std::string got = take(unread_.size());
        reportTimeout("expect(\"" + devsim::printable(want) + "\")", patience, got, where);
        return got;
    }
    return take(unread_.find(want) + want.size());
}

std::string DevsimProcess::readBytes(std::size_t n, std::chrono::milliseconds patience, std::source_location where)
{
    const bool complete = fill([&] { return unread_.size() >= n; }, Clock::now() + patience);
    const std::string got = take(n);
    if (!complete) reportTimeout("readBytes(" + std::to_string(n) + ")", patience, got, where);
    return got;
}

std::string DevsimProcess::readFor(std::chrono::milliseconds time)
{
    fill([] { return false; }, Clock::now() + time);
    return take(unread_.size());
}

std::string DevsimProcess::queryUntilAnswered(int block, const std::string& terminator)
{
    const auto until = Clock::now() + kPatience;
    const std::string query = "\x1b{" + std::to_string(block) + "q";
    while (Clock::now() < until) {
        send(query);
        // Each unanswered try is expected while the device is busy; only
        // running out of tries is a failure, which the caller sees as "".
        if (fill([&] { return unread_.find(terminator) != std::string::npos; },
                 std::min(until, Clock::now() + 1000ms)))
            return take(unread_.find(terminator) + terminator.size());
        take(unread_.size());
    }
    return {};
}

void DevsimProcess::signal(int sig) const { ::kill(pid_, sig); }

bool DevsimProcess::alive() const
{
    if (status_ != -1) return false;
    int st = 0;
    return ::waitpid(pid_, &st, WNOHANG) == 0;
}

int DevsimProcess::waitExit(std::chrono::milliseconds patience)
{
    if (status_ != -1) return status_;
    const auto until = Clock::now() + patience;
    while (Clock::now() < until) {
        int st = 0;
        if (::waitpid(pid_, &st, WNOHANG) == pid_) {
            status_ = st;
            return st;
        }
        std::this_thread::sleep_for(5ms);
    }
    return -1;
}

int DevsimProcess::stop(int sig)
{
    if (status_ != -1) return status_;
    ::kill(pid_, sig);
    const int st = waitExit();
    if (st == -1) {
        ::kill(pid_, SIGKILL);
        waitExit();
        return -1;
    }
    return st;
}

bool decodeStoredPng(const std::string& file, Png& png)
{
    const std::string data = readFile(file);
    if (data.size() < 33 || data.compare(0, 8, "\x89PNG\r\n\x1a\n", 8) != 0) return false;
    auto be32 = [&](std::size_t at) {
        return (static_cast<unsigned char>(data[at]) << 24) | (static_cast<unsigned char>(data[at + 1]) << 16) |
               (static_cast<unsigned char>(data[at + 2]) << 8) | static_cast<unsigned char>(data[at + 3]);
    };
    png.width = static_cast<int>(be32(16));
    png.height = static_cast<int>(be32(20));
    std::string z;
    for (std::size_t at = 8; at + 8 <= data.size();) {
        const std::size_t len = be32(at);
        if (data.compare(at + 4, 4, "IDAT") == 0) z += data.substr(at + 8, len);
        at += 12 + len;
    }
    // Only stored deflate blocks are read: that is what devsim writes.
    std::string raw;
    std::size_t at = 2;
    bool last = false;
    while (!last && at + 5 <= z.size()) {
        last = z[at] & 1;
        if ((z[at] & 6) != 0) return false;
        const std::size_t len = static_cast<unsigned char>(z[at + 1]) | (static_cast<unsigned char>(z[at + 2]) << 8);
        raw += z.substr(at + 5, len);
        at += 5 + len;
    }
    const std::size_t row = static_cast<std::size_t>(png.width) * 3;
    if (raw.size() != (row + 1) * static_cast<std::size_t>(png.height)) return false;
    png.rgb.clear();
    for (int y = 0; y < png.height; ++y) png.rgb += raw.substr(y * (row + 1) + 1, row);
    return true;
}

}  // namespace devsim_test
