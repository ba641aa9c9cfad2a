// Runs qx-devsim as a child process and talks to it through its pty, the way
// a terminal program does.
#pragma once

#include <chrono>
#include <source_location>
#include <string>
#include <vector>

namespace devsim_test {

using namespace std::chrono_literals;

// Generous limit for anything that should arrive; only there to avoid hangs.
constexpr auto kPatience = 10s;

std::string makeTempDir();
std::string readFile(const std::string& path);
void writeFile(const std::string& path, const std::string& data);
bool fileExists(const std::string& path);
std::string bytes(std::initializer_list<int> values);

class DevsimProcess {
public:
    // profileText is written to a profile file in a fresh folder.
    explicit DevsimProcess(const std::string& profileText, std::vector<std::string> extraArgs = {});
    ~DevsimProcess();
    DevsimProcess(const DevsimProcess&) = delete;
    DevsimProcess& operator=(const DevsimProcess&) = delete;

    // Opens the device through the link, in raw mode at 9600 8N1 unless told otherwise.
    void open();
    void close();
    int fd() const { return fd_; }
    void send(const std::string& data);
    // The reads below take bytes from the device in order: what one of them
    // does not return stays unread for the next, so a reply that arrives
    // together with the one asked for is not lost.
    //
    // Reads until the received text contains want; returns the text up to and
    // including want. If the patience runs out it returns all it received and
    // the calling test fails with what arrived.
    std::string expect(const std::string& want, std::chrono::milliseconds patience = kPatience,
                       std::source_location where = std::source_location::current());
    // Reads exactly n bytes; if the patience runs out it returns the fewer
    // that came and the calling test fails with what arrived.
    std::string readBytes(std::size_t n, std::chrono::milliseconds patience = kPatience,
                          std::source_location where = std::source_location::current());
    // Everything that arrives within the given time, after what was left unread.
    std::string readFor(std::chrono::milliseconds time);
    // Sends a block query until one is answered; for checking that the device
    // answers again after bad input. Each try waits longer than the device's
    // upload time-out of the test profiles, so a stalled upload can end.
    // Returns the answer or "" after the patience.
    std::string queryUntilAnswered(int block, const std::string& terminator = "*");

    void signal(int sig) const;
    // Ends it with SIGTERM unless it has already ended; returns the exit
    // status as waitpid reports it, or -1 if it did not end in time.
    int stop(int sig = 15);
    // Waits for the process to end by itself.
    int waitExit(std::chrono::milliseconds patience = kPatience);
    bool alive() const;

    const std::string& dir() const { return dir_; }
    std::string out(const std::string& name) const { return dir_ + "/out/" + name; }
    std::string log() const { return readFile(dir_ + "/out/devsim.log"); }
    const std::string& link() const { return link_; }
    int pid() const { return pid_; }

private:
    // Reads from the device into unread_ until done() or the deadline; false
    // if the deadline came first.
    template <class Done> bool fill(Done done, std::chrono::steady_clock::time_point until);
    std::string take(std::size_t n);
    void reportTimeout(const std::string& step, std::chrono::milliseconds patience, const std::string& got,
                       const std::source_location& where) const;

    std::string dir_;
    std::string unread_;    // received, not yet returned by a read
    std::string received_;  // the end of everything received, for failure messages
    std::string link_;
    int pid_ = -1;
    int fd_ = -1;
    int status_ = -1;
};

// The PNG that devsim writes, decoded: size and RGB pixels.
struct Png {
    int width = 0;
    int height = 0;
    std::string rgb;
};
bool decodeStoredPng(const std::string& file, Png& png);

}  // namespace devsim_test
