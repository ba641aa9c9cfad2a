// A pseudo-terminal pair for tests: the program's side opens the slave by its path, the test holds
// the master as the device on the other end of the line.
#pragma once

#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>
#include <cstdint>
#include <string>
#include <vector>

class PtyPeer {
public:
    PtyPeer();
    ~PtyPeer();
    PtyPeer(const PtyPeer&) = delete;
    PtyPeer& operator=(const PtyPeer&) = delete;

    const std::string& SlavePath() const { return slavePath_; }
    int Master() const { return master_; }
    // Writes everything (blocking until the line has taken it).
    void Write(const std::string& bytes);
    void Write(const std::vector<uint8_t>& bytes);
    // Reads until count bytes have arrived or the time-out passes; returns what arrived.
    std::string Read(size_t count, std::chrono::milliseconds timeout = std::chrono::seconds(10));
    // Reads whatever arrives within the time-out.
    std::string ReadFor(std::chrono::milliseconds timeout);
    // Reads what is there now, waiting at most waitMs for the first byte.
    std::string ReadSome(int waitMs);
    // Reads until count bytes have come or nothing arrives for idleMs.
    std::string ReadCount(size_t count, int idleMs = 2000);
    // Closes the master: to the program the device has gone.
    void CloseMaster();

private:
    int master_ = -1;
    std::string slavePath_;
};

// A device played by a thread on the master side: it records everything it receives and, for each
// piece that arrives, writes back what answer(all received so far, the new piece) returns.
class PtyResponder {
public:
    using Answer = std::function<std::string(const std::string& received, const std::string& piece)>;
    PtyResponder(PtyPeer& pty, Answer answer);
    ~PtyResponder();
    PtyResponder(const PtyResponder&) = delete;
    PtyResponder& operator=(const PtyResponder&) = delete;

    void Stop();
    std::string Received();

private:
    PtyPeer& pty_;
    Answer answer_;
    std::atomic<bool> stop_{false};
    std::mutex mutex_;
    std::string received_;
    std::thread thread_;
};

// A device at a fixed path: a symbolic link to the slave of a pseudo-terminal, the way
// /dev/serial/by-id names an adapter. While it plays it can vanish (its master is closed: to the
// program the device has gone) and it can come back at the same path on a new pseudo-terminal, as
// an adapter unplugged and plugged in again.
class TVanishingDevice {
public:
    using Answer = PtyResponder::Answer;
    using Condition = std::function<bool(const std::string& received)>;

    explicit TVanishingDevice(std::string link);
    ~TVanishingDevice();
    TVanishingDevice(const TVanishingDevice&) = delete;
    TVanishingDevice& operator=(const TVanishingDevice&) = delete;

    const std::string& link() const { return link_; }
    PtyPeer& pty() { return *pty_; }

    // Plays the device on a thread: writes first, then answers each piece it receives with what
    // answer(all received, the piece) returns, until vanishWhen(all received) holds; then it
    // vanishes at once.
    void play(const std::string& first, Answer answer, Condition vanishWhen);
    bool vanished() const { return vanished_.load(); }
    // Goes now: its pseudo-terminal closes (to the program the device has gone) and its link is
    // removed, as udev removes an unplugged adapter's by-id link.
    void vanish();
    // What it received while it played.
    std::string received();
    // A new pseudo-terminal behind the same link; beforeLink(its path) runs before the link is
    // made (e.g. another program taking the new device first).
    void comeBack(const std::function<void(const std::string& slave)>& beforeLink = {});

private:
    void relink();
    void stopPlaying();

    std::string link_;
    std::unique_ptr<PtyPeer> pty_;
    std::atomic<bool> stop_{false};
    std::atomic<bool> vanished_{false};
    std::mutex mutex_;
    std::string received_;
    std::thread thread_;
};
