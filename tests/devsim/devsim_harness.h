// Runs qx-devsim as a child process and talks to it through its pty, the way
// a terminal program does.
#pragma once

#include <chrono>
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
    // Reads until the received text contains want; returns everything read
    // (which holds want unless the patience ran out).
    std::string expect(const std::string& want, std::chrono::milliseconds patience = kPatience);
    // Reads exactly n bytes, or fewer if the patience runs out.
    std::string readBytes(std::size_t n, std::chrono::milliseconds patience = kPatience);
    // Everything that arrives within the given time.
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
    std::string dir_;
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
