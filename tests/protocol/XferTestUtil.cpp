#include "XferTestUtil.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <poll.h>
#include <pty.h>
#include <random>
#include <signal.h>
#include <spawn.h>
#include <stdexcept>
#include <sys/socket.h>
#include <sys/wait.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

extern char** environ;

bool ServeUntil(const std::function<bool()>& pred, int ms)
{
    return VaWaitServing(pred, std::chrono::steady_clock::now() + std::chrono::milliseconds(ms));
}

SocketPair::SocketPair()
{
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fd) != 0)
        throw std::runtime_error("socketpair failed");
}

SocketPair::~SocketPair()
{
    ::close(fd[0]);
    ::close(fd[1]);
}

bool RunWithPeer(const Watched& end, const std::function<void()>& script, int ms)
{
    std::atomic<bool> done{false};
    std::thread peer([&] {
        script();
        done.store(true);
        VaNotifyWaiters();
    });
    const bool ended = ServeUntil([&] { return end.Done() && done.load(); }, ms);
    peer.join();
    return ended;
}

Bytes RandomBytes(size_t size, uint32_t seed)
{
    std::mt19937 rng(seed);
    Bytes out(size);
    for (auto& b : out)
        b = static_cast<uint8_t>(rng());
    return out;
}

void WriteFileBytes(const std::string& path, const Bytes& data)
{
    std::ofstream f(path, std::ios::binary | std::ios::trunc);
    f.write(reinterpret_cast<const char*>(data.data()), static_cast<std::streamsize>(data.size()));
    if (!f)
        throw std::runtime_error("cannot write " + path);
}

Bytes ReadFileBytes(const std::string& path)
{
    std::ifstream f(path, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>());
}

bool IsPaddedCopy(const Bytes& sent, const Bytes& received, uint8_t pad, size_t block, std::string* why)
{
    auto fail = [&](const std::string& text) {
        if (why)
            *why = text;
        return false;
    };
    if (received.size() < sent.size())
        return fail("received " + std::to_string(received.size()) + " bytes, sent " +
                    std::to_string(sent.size()));
    const auto mismatch = std::mismatch(sent.begin(), sent.end(), received.begin());
    if (mismatch.first != sent.end())
        return fail("content differs at byte " + std::to_string(mismatch.first - sent.begin()));
    for (size_t i = sent.size(); i < received.size(); ++i)
        if (received[i] != pad)
            return fail("byte " + std::to_string(i) + " of the padding is " + std::to_string(received[i]));
    if (received.size() % block != 0)
        return fail("length " + std::to_string(received.size()) + " is not a multiple of " +
                    std::to_string(block));
    if (received.size() - sent.size() >= block && !(sent.empty() && received.size() == block))
        return fail("more than one block of padding");
    return true;
}

// ---- TempDir -------------------------------------------------------------------------------------------

// ---- Child -------------------------------------------------------------------------------------------

Child::Child(const std::vector<std::string>& argv, int fd, const std::string& dir)
{
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, fd, 0);
    posix_spawn_file_actions_adddup2(&actions, fd, 1);
    const int devnull = ::open("/dev/null", O_WRONLY | O_CLOEXEC);
    if (devnull >= 0)
        posix_spawn_file_actions_adddup2(&actions, devnull, 2);
    posix_spawn_file_actions_addchdir_np(&actions, dir.c_str());
    std::vector<char*> args;
    for (const auto& a : argv)
        args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    const int rc = posix_spawnp(&pid_, args[0], &actions, nullptr, args.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (devnull >= 0)
        ::close(devnull);
    if (rc != 0)
        throw std::runtime_error("cannot start " + argv[0] + ": " + std::strerror(rc));
    waiter_ = std::thread([this] {
        int status = 0;
        while (::waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
        }
        status_.store(WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status));
        exited_.store(true);
        VaNotifyWaiters();
    });
}

Child::~Child()
{
    Kill();
    if (waiter_.joinable())
        waiter_.join();
}

void Child::Kill()
{
    if (!exited_.load())
        ::kill(pid_, SIGKILL);
}

// ---- Relay -------------------------------------------------------------------------------------------

Relay::Relay(int a, int b, Faults aToB, Faults bToA) : a_(a), b_(b), faults_{aToB, bToA}
{
    if (::pipe2(wake_, O_CLOEXEC) != 0)
        throw std::runtime_error("pipe failed");
    thread_ = std::thread([this] {
        Run();
        timespec t{};
        ::clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
        cpuSeconds_ = static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) / 1e9;
    });
}

Relay::~Relay()
{
    Stop();
    ::close(wake_[0]);
    ::close(wake_[1]);
}

void Relay::Stop()
{
    if (!stop_.exchange(true)) {
        const char c = 0;
        [[maybe_unused]] ssize_t n = ::write(wake_[1], &c, 1);
    }
    if (thread_.joinable())
        thread_.join();
}

namespace {

bool WriteAll(int fd, const uint8_t* data, size_t count, const std::atomic<bool>& stop)
{
    size_t done = 0;
    while (done < count && !stop.load()) {
        const ssize_t n = ::write(fd, data + done, count - done);
        if (n > 0) {
            done += static_cast<size_t>(n);
        } else if (n < 0 && errno == EAGAIN) {
            pollfd p{fd, POLLOUT, 0};
            ::poll(&p, 1, 50);
        } else if (n < 0 && errno != EINTR) {
            return false;
        }
    }
    return true;
}

} // namespace

void Relay::Run()
{
    std::mt19937 rng[2] = {std::mt19937(faults_[0].seed), std::mt19937(faults_[1].seed * 7919u + 17u)};
    std::uniform_real_distribution<double> unit(0.0, 1.0);
    int seen[2] = {0, 0};
    // Pacing: the time at which the next byte of each direction may leave.
    std::chrono::steady_clock::time_point next[2] = {std::chrono::steady_clock::now(),
                                                     std::chrono::steady_clock::now()};
    const int from[2] = {a_, b_};
    const int to[2] = {b_, a_};
    uint8_t buf[4096];
    Bytes out;
    while (!stop_.load()) {
        pollfd p[3] = {{a_, POLLIN, 0}, {b_, POLLIN, 0}, {wake_[0], POLLIN, 0}};
        if (::poll(p, 3, -1) < 0) {
            if (errno == EINTR)
                continue;
            return;
        }
        if (p[2].revents != 0)
            return;
        for (int d = 0; d < 2; ++d) {
            if (p[d].revents == 0)
                continue;
            const ssize_t n = ::read(from[d], buf, sizeof buf);
            if (n <= 0) {
                if (n < 0 && (errno == EINTR || errno == EAGAIN))
                    continue;
                if (n < 0 && errno == EIO) {
                    // A pty master whose slave is not open (yet, or for the moment).
                    std::this_thread::sleep_for(std::chrono::milliseconds(5));
                    continue;
                }
                return; // one side closed
            }
            const Faults& f = faults_[d];
            out.clear();
            for (ssize_t i = 0; i < n; ++i) {
                uint8_t b = buf[i];
                if (f.dropNth > 0 && b == f.dropValue && ++seen[d] == f.dropNth) {
                    faulted_.fetch_add(1);
                    continue;
                }
                if (f.delay > 0 && unit(rng[d]) < f.delay) {
                    WriteAll(to[d], out.data(), out.size(), stop_);
                    out.clear();
                    std::this_thread::sleep_for(
                        std::chrono::milliseconds(1 + static_cast<int>(rng[d]() % f.maxDelayMs)));
                }
                if (f.drop > 0 && unit(rng[d]) < f.drop) {
                    faulted_.fetch_add(1);
                    continue;
                }
                if (f.flip > 0 && unit(rng[d]) < f.flip) {
                    b = static_cast<uint8_t>(b ^ (1 + rng[d]() % 255));
                    faulted_.fetch_add(1);
                }
                out.push_back(b);
            }
            if (!out.empty()) {
                if (traffic_[d].bytes == 0)
                    traffic_[d].first = std::chrono::steady_clock::now();
                traffic_[d].bytes += out.size();
            }
            if (f.bytesPerSecond > 0) {
                // Release the bytes at the line rate, in small slices so both directions flow.
                const auto perByte = std::chrono::duration<double>(1.0 / f.bytesPerSecond);
                size_t sent = 0;
                const auto now = std::chrono::steady_clock::now();
                if (next[d] < now)
                    next[d] = now;
                while (sent < out.size() && !stop_.load()) {
                    const size_t slice = std::min<size_t>(64, out.size() - sent);
                    next[d] += std::chrono::duration_cast<std::chrono::steady_clock::duration>(perByte * slice);
                    std::this_thread::sleep_until(next[d]);
                    if (!WriteAll(to[d], out.data() + sent, slice, stop_))
                        return;
                    sent += slice;
                }
            } else if (!WriteAll(to[d], out.data(), out.size(), stop_)) {
                return;
            }
            if (!out.empty())
                traffic_[d].last = std::chrono::steady_clock::now();
        }
    }
}

// ---- Our ends --------------------------------------------------------------------------------------

void Watched::Watch(TVaXYModem& component)
{
    component.OnError = [this](TVaProtocol*, int32_t code, int32_t count) { errors.emplace_back(code, count); };
    component.OnPacketEvent = [this](TVaProtocol*, int32_t packet, int64_t bytes) {
        packets.emplace_back(packet, bytes);
    };
    component.OnFileInfo = [this](TVaProtocol*, const std::string& name, int64_t size) {
        fileInfoName = name;
        fileInfoSize = size;
    };
    component.OnFileEnd = [this](TVaProtocol*, const std::string& name, int64_t bytes, int32_t code) {
        fileEnds.push_back({name, bytes, code});
    };
    component.OnTransferEnd = [this](TVaProtocol* p, int32_t code) {
        ++ends;
        exitCode = code;
        busyAtEnd = p->Busy();
        finished.store(true);
    };
}

OpenPort::OpenPort(const std::string& device)
{
    SetDeviceName(device);
    SetUserBaudrate(115200);
    Open();
}

namespace {

// Ends a transfer that a test left running, and parks the component.
void StopAndPark(TVaProtocol& component)
{
    if (component.Busy()) {
        component.AbortTransfer();
        ServeUntil([&] { return !component.Busy(); }, 10000);
    }
    component.SetComm(nullptr);
}

} // namespace

XEnd::XEnd(const std::string& device) : port(device)
{
    xmodem.SetComm(&port);
    Watch(xmodem);
}

XEnd::~XEnd()
{
    StopAndPark(xmodem);
}

void XEnd::Start(TVaTransferMode mode, const std::string& file, TVaXProtocol protocol, int timeoutMs,
                 int maxErrors)
{
    xmodem.SetMode(mode);
    xmodem.SetFileName(file);
    xmodem.SetProtocol(protocol);
    xmodem.SetTimeout(timeoutMs);
    xmodem.SetMaxErrors(maxErrors);
    finished.store(false);
    xmodem.StartTransfer();
}

YEnd::YEnd(const std::string& device) : port(device)
{
    ymodem.SetComm(&port);
    Watch(ymodem);
}

YEnd::~YEnd()
{
    StopAndPark(ymodem);
}

void YEnd::Send(const std::vector<std::string>& files, int timeoutMs, int maxErrors)
{
    ymodem.SetMode(tmUpload);
    ymodem.SetFileNames(files);
    Start(timeoutMs, maxErrors);
}

void YEnd::Receive(const std::string& folder, TVaYProtocol protocol, int timeoutMs, int maxErrors)
{
    ymodem.SetMode(tmDownload);
    ymodem.SetFolder(folder);
    ymodem.SetProtocol(protocol);
    Start(timeoutMs, maxErrors);
}

void YEnd::Start(int timeoutMs, int maxErrors)
{
    ymodem.SetTimeout(timeoutMs);
    ymodem.SetMaxErrors(maxErrors);
    finished.store(false);
    ymodem.StartTransfer();
}

void ClearLine(TVaCustomComm& portA, Pty& a, TVaCustomComm& portB, Pty& b)
{
    portA.PurgeReadWrite();
    portB.PurgeReadWrite();
    a.ReadSome(0);
    b.ReadSome(0);
}

std::vector<std::pair<std::string, Bytes>> FolderFiles(const std::string& folder)
{
    std::vector<std::pair<std::string, Bytes>> files;
    for (const auto& entry : std::filesystem::directory_iterator(folder))
        if (entry.is_regular_file())
            files.emplace_back(entry.path().filename().string(), ReadFileBytes(entry.path().string()));
    std::sort(files.begin(), files.end());
    return files;
}
