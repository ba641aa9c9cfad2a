// Helpers for transfer tests and benchmarks: files, child processes (lrzsz), a relay between two
// descriptors that can damage, drop, delay or pace bytes, and one of our own transfer ends on a port.
#pragma once

#include "PtyPeer.h"
#include "TestSupport.h"
#include "VaProtocol.h"

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <sys/types.h>
#include <thread>
#include <vector>

using Bytes = std::vector<uint8_t>;

// Serves hand-overs on the main thread until pred holds or ms pass.
bool ServeUntil(const std::function<bool()>& pred, int ms = 30000);

// A connected pair of stream sockets, closed at destruction. lrzsz runs on one (on a pty it eats
// its last answer as it exits, and its line settings would reach our end of the pty too).
struct SocketPair {
    int fd[2] = {-1, -1};
    SocketPair();
    ~SocketPair();
};

Bytes RandomBytes(size_t size, uint32_t seed);
void WriteFileBytes(const std::string& path, const Bytes& data);
Bytes ReadFileBytes(const std::string& path);

// True when received is sent followed by pad bytes up to a multiple of block (or, for an empty
// file, by nothing or by one block of padding). why tells what differs.
bool IsPaddedCopy(const Bytes& sent, const Bytes& received, uint8_t pad, size_t block, std::string* why);

// A fresh directory under the system's temporary folder, removed with its files at destruction.
class TempDir : public TTempDir {
public:
    TempDir() : TTempDir("qx-xfer-") {}
    std::string Path() const { return path().substr(0, path().size() - 1); }
    std::string File(const std::string& name) const { return path() + name; }
};

// A pty whose slave our port opens, with the master held here, reading and writing byte vectors.
class Pty : public PtyPeer {
public:
    using PtyPeer::Write;
    // Reads until count bytes arrived or ms passed.
    Bytes Read(size_t count, int ms = 10000)
    {
        const std::string got = PtyPeer::Read(count, std::chrono::milliseconds(ms));
        return Bytes(got.begin(), got.end());
    }
};

// A child process whose standard input and output are fd; it runs in dir.
class Child {
public:
    Child(const std::vector<std::string>& argv, int fd, const std::string& dir);
    ~Child();
    bool Exited() const { return exited_.load(); }
    // The exit status (or 128 + signal); valid once Exited.
    int Status() const { return status_.load(); }
    void Kill();

private:
    pid_t pid_ = -1;
    std::atomic<bool> exited_{false};
    std::atomic<int> status_{-1};
    std::thread waiter_;
};

// What the relay does to the bytes of one direction.
struct Faults {
    uint32_t seed = 1;
    double flip = 0;   // probability that a byte is replaced by a different random value
    double drop = 0;   // probability that a byte is lost
    double delay = 0;  // probability of a pause of up to maxDelayMs before a byte
    int maxDelayMs = 20;
    // Drop the n-th (from 1) byte of this value; 0 for none.
    int dropValue = -1;
    int dropNth = 0;
    // Pace the bytes at this many bytes a second (0: as fast as they come).
    double bytesPerSecond = 0;
};

// Copies bytes between a and b in both directions on a thread of its own until stopped or one
// side closes. Descriptors are not owned.
class Relay {
public:
    Relay(int a, int b, Faults aToB = {}, Faults bToA = {});
    ~Relay();
    void Stop();
    // Bytes damaged or lost so far in both directions.
    int Faulted() const { return faulted_.load(); }
    // What went through one direction (0: a to b, 1: b to a); read it after Stop.
    struct Traffic {
        size_t bytes = 0;
        std::chrono::steady_clock::time_point first, last;
    };
    const Traffic& TrafficOf(int direction) const { return traffic_[direction]; }
    // CPU seconds the relay's thread used; read it after Stop (benchmarks leave it out of what
    // the transfer ends cost).
    double CpuSeconds() const { return cpuSeconds_; }

private:
    void Run();
    int a_, b_;
    Faults faults_[2];
    std::atomic<bool> stop_{false};
    std::atomic<int> faulted_{0};
    int wake_[2] = {-1, -1};
    Traffic traffic_[2];
    double cpuSeconds_ = 0;
    std::thread thread_;
};

// The events of one of our transfer components, recorded on the main thread.
struct Watched {
    struct FileEnd {
        std::string name;
        int64_t bytes = 0;
        int code = 1;
    };
    std::vector<std::pair<int, int>> errors; // code, count
    std::vector<std::pair<int, int64_t>> packets;
    std::vector<FileEnd> fileEnds;
    std::string fileInfoName;
    int64_t fileInfoSize = -1;
    int ends = 0;
    int exitCode = 1;
    bool busyAtEnd = true;
    std::atomic<bool> finished{false};

    void Watch(TVaXYModem& component);
    // Safe to ask from any thread.
    bool Done() const { return finished.load(); }
};

// Runs script (a peer) on a thread of its own while the main thread serves hand-overs until both
// the transfer of end and the script are done; false when that took more than ms.
bool RunWithPeer(const Watched& end, const std::function<void()>& script, int ms = 20000);

// A port opened on a tty at 115200 baud.
struct OpenPort : TVaComm {
    explicit OpenPort(const std::string& device);
};

// One of our ends: a port on a tty and an XMODEM component on it, with the events recorded.
struct XEnd : Watched {
    OpenPort port;
    TVaXModem xmodem;

    explicit XEnd(const std::string& device);
    ~XEnd();
    void Start(TVaTransferMode mode, const std::string& file, TVaXProtocol protocol = TVaXProtocol::XModem,
               int timeoutMs = 2000, int maxErrors = 10);
};

// The same with a YMODEM component.
struct YEnd : Watched {
    OpenPort port;
    TVaYModem ymodem;

    explicit YEnd(const std::string& device);
    ~YEnd();
    void Send(const std::vector<std::string>& files, int timeoutMs = 2000, int maxErrors = 10);
    void Receive(const std::string& folder, TVaYProtocol protocol = TVaYProtocol::YModem, int timeoutMs = 2000,
                 int maxErrors = 10);

private:
    void Start(int timeoutMs, int maxErrors);
};

// Empties a line that an earlier transfer used: what the two ports still queue or hold and what
// their ptys hold unread is thrown away, so that no byte of that transfer reaches the next one.
void ClearLine(TVaCustomComm& portA, Pty& a, TVaCustomComm& portB, Pty& b);

// The regular files of a folder by name, with their contents.
std::vector<std::pair<std::string, Bytes>> FolderFiles(const std::string& folder);
