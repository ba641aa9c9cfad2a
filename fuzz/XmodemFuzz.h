// What the XMODEM and YMODEM fuzz targets share: one transfer of our component on a port opened on
// a fresh pseudo-terminal, with a scripted peer on a thread of its own at the other end, and the
// frames the peer builds and checks.
#pragma once

#include "FuzzSupport.h"
#include "PtyPeer.h"
#include "VaComm.h"
#include "VaCrc16.h"
#include "VaProtocol.h"

#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <poll.h>
#include <thread>
#include <unistd.h>

namespace fuzz {

using namespace VaXModem;

// A frame of block number number holding data (already padded to 128 or 1024 bytes).
inline std::string xmodemFrame(uint32_t number, const std::string& data, bool crc)
{
    std::string f;
    f += static_cast<char>(data.size() == 128 ? SOH : STX);
    f += static_cast<char>(number & 0xFF);
    f += static_cast<char>(255 - (number & 0xFF));
    f += data;
    if (crc) {
        const uint16_t v = VaCrc16(data.data(), data.size());
        f += static_cast<char>(v >> 8);
        f += static_cast<char>(v & 0xFF);
    } else {
        uint8_t sum = 0;
        for (char c : data)
            sum = static_cast<uint8_t>(sum + static_cast<uint8_t>(c));
        f += static_cast<char>(sum);
    }
    return f;
}

// The line: one pseudo-terminal and our port on it for the whole run (closing a port takes a
// while, so each transfer borrows the open one).
struct XmodemLine {
    PtyPeer pty;
    TVaComm port;

    static XmodemLine& get()
    {
        static XmodemLine* line = [] {
            VaSetMainThread();
            auto* l = new XmodemLine;
            l->port.SetDeviceName(l->pty.SlavePath());
            l->port.SetUserBaudrate(115200);
            l->port.Open();
            return l;
        }();
        return *line;
    }

    // Waits until nothing is on its way in either direction and drops what came, so that a
    // transfer does not see the bytes of the one before.
    void settle()
    {
        pty.ReadCount(SIZE_MAX, 3);
        VaWaitServing([] { return false; }, std::chrono::steady_clock::now() + std::chrono::milliseconds(1));
        port.PurgeReadWrite();
    }
};

// One transfer and its peer. The peer runs on its own thread and talks through the pty master; the
// fuzz target's thread is the program's main thread and serves the component's hand-overs.
template <class Component>
class Session {
public:
    explicit Session(TVaTransferMode mode) : line_(XmodemLine::get()), pty_(line_.pty)
    {
        xmodem.SetComm(&line_.port);
        xmodem.SetMode(mode);
        xmodem.OnTransferEnd = [this](TVaProtocol*, int32_t code) {
            {
                std::lock_guard lock(mutex_);
                exitCode_ = code;
                ended_ = true;
            }
            changed_.notify_all();
        };
    }

    ~Session()
    {
        xmodem.SetComm(nullptr);
        line_.settle();
    }

    Component xmodem;

    // Starts the transfer and the peer, and returns once both have ended; a transfer still running
    // when the peer is done is given graceMs and then cancelled (aborted() tells). A transfer that
    // does not end then is a hang.
    void run(const std::function<void()>& peer, int graceMs)
    {
        xmodem.StartTransfer();
        std::thread thread([&] {
            peer();
            {
                std::lock_guard lock(mutex_);
                peerDone_ = true;
            }
            changed_.notify_all();
            VaNotifyWaiters();
        });
        const auto patience = std::chrono::steady_clock::now() + std::chrono::seconds(20);
        VaWaitServing([&] { return ended() || peerFinished(); }, patience);
        if (!ended()) {
            VaWaitServing([&] { return ended(); },
                          std::chrono::steady_clock::now() + std::chrono::milliseconds(graceMs));
            if (!ended()) {
                aborted_ = true;
                xmodem.AbortTransfer();
            }
        }
        FUZZ_CHECK(VaWaitServing([&] { return ended(); }, std::chrono::steady_clock::now() + std::chrono::seconds(10)),
                   "the transfer did not end");
        thread.join();
        // The worker is freed by a last hand-over after its end.
        VaWaitServing([] { return TVaProtocolThread::LiveWorkers() == 0; },
                      std::chrono::steady_clock::now() + std::chrono::seconds(10));
    }

    bool ended() const
    {
        std::lock_guard lock(mutex_);
        return ended_;
    }
    int exitCode() const
    {
        std::lock_guard lock(mutex_);
        return exitCode_;
    }
    bool aborted() const { return aborted_; }

    // ---- For the peer thread
    // Waits at most ms for the transfer to end; true when it has.
    bool waitEnded(int ms) const
    {
        std::unique_lock lock(mutex_);
        return changed_.wait_for(lock, std::chrono::milliseconds(ms), [this] { return ended_; });
    }
    // The next byte from our side, or -1 when none came within ms (or the transfer has ended and
    // nothing is left).
    int get(int ms)
    {
        if (pos_ < buffer_.size())
            return static_cast<uint8_t>(buffer_[pos_++]);
        buffer_.clear();
        pos_ = 0;
        auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
        bool sawEnd = false;
        for (;;) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
            if (left.count() < 0)
                return -1;
            pollfd p{pty_.Master(), POLLIN, 0};
            // Short slices, so that a transfer that has ended does not keep the peer waiting.
            if (::poll(&p, 1, static_cast<int>(std::min<long>(left.count(), 20))) > 0) {
                char buf[4096];
                const ssize_t n = ::read(pty_.Master(), buf, sizeof buf);
                if (n <= 0)
                    return -1;
                buffer_.assign(buf, static_cast<size_t>(n));
                pos_ = 1;
                return static_cast<uint8_t>(buffer_[0]);
            }
            // The end of a transfer can be known before its last bytes have left the port: they
            // are given a moment more.
            if (!sawEnd && ended()) {
                sawEnd = true;
                deadline = std::min(deadline, std::chrono::steady_clock::now() + std::chrono::milliseconds(50));
            }
        }
    }
    // count bytes, or fewer when they stop coming for ms.
    std::string get(size_t count, int ms)
    {
        std::string out;
        while (out.size() < count) {
            const int c = get(ms);
            if (c < 0)
                break;
            out += static_cast<char>(c);
        }
        return out;
    }
    void put(const std::string& bytes) { pty_.Write(bytes); }
    void put(uint8_t byte) { put(std::string(1, static_cast<char>(byte))); }

private:
    bool peerFinished() const
    {
        std::lock_guard lock(mutex_);
        return peerDone_;
    }

    XmodemLine& line_;
    PtyPeer& pty_;
    mutable std::mutex mutex_;
    mutable std::condition_variable changed_;
    bool ended_ = false;
    bool peerDone_ = false;
    int exitCode_ = 1;
    bool aborted_ = false;
    std::string buffer_;
    size_t pos_ = 0;
};

// What the scripted peers of the receivers share: a silence of up to three time-outs, and up to 16
// stray bytes (true when none went out, so every answer is still known).
inline void silence(FuzzedDataProvider& in, int timeout)
{
    std::this_thread::sleep_for(std::chrono::milliseconds(in.ConsumeIntegralInRange(0, 3 * timeout)));
}

inline bool strayBytes(FuzzedDataProvider& in, const std::function<void(const std::string&)>& send)
{
    const std::string stray = in.ConsumeRandomLengthString(16);
    send(stray);
    return stray.empty();
}

using XmodemSession = Session<TVaXModem>;
using YmodemSession = Session<TVaYModem>;

} // namespace fuzz
