// A pseudo-terminal whose master side plays the device in the tests and benchmarks.
#pragma once

#include <cerrno>
#include <chrono>
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <string>
#include <termios.h>
#include <unistd.h>

class PtyPeer {
public:
    PtyPeer()
    {
        int slave = -1;
        char name[256] = {};
        if (::openpty(&master_, &slave, name, nullptr, nullptr) == 0) {
            slavePath_ = name;
            termios t {};
            ::tcgetattr(master_, &t);
            ::cfmakeraw(&t);
            ::tcsetattr(master_, TCSANOW, &t);
            ::close(slave);
            ::fcntl(master_, F_SETFL, ::fcntl(master_, F_GETFL) | O_NONBLOCK);
        }
    }
    ~PtyPeer() { closeMaster(); }
    PtyPeer(const PtyPeer&) = delete;
    PtyPeer& operator=(const PtyPeer&) = delete;

    bool ok() const { return master_ >= 0; }
    int fd() const { return master_; }
    const std::string& slavePath() const { return slavePath_; }

    void closeMaster()
    {
        if (master_ >= 0)
            ::close(master_);
        master_ = -1;
    }

    bool write(const std::string& data)
    {
        size_t done = 0;
        while (done < data.size()) {
            const ssize_t n = ::write(master_, data.data() + done, data.size() - done);
            if (n > 0) {
                done += static_cast<size_t>(n);
            } else if (n < 0 && errno == EAGAIN) {
                pollfd p {master_, POLLOUT, 0};
                ::poll(&p, 1, 100);
            } else {
                return false;
            }
        }
        return true;
    }

    // Reads what is there now, waiting at most waitMs for the first byte.
    std::string readSome(int waitMs)
    {
        std::string out;
        pollfd p {master_, POLLIN, 0};
        if (::poll(&p, 1, waitMs) <= 0 || !(p.revents & POLLIN))
            return out;
        char buf[65536];
        for (;;) {
            const ssize_t n = ::read(master_, buf, sizeof buf);
            if (n <= 0)
                break;
            out.append(buf, static_cast<size_t>(n));
        }
        return out;
    }

    // Reads until count bytes have come or nothing arrives for idleMs.
    std::string readCount(size_t count, int idleMs = 2000)
    {
        std::string out;
        while (out.size() < count) {
            const std::string part = readSome(idleMs);
            if (part.empty())
                break;
            out += part;
        }
        return out;
    }

    termios attributes() const
    {
        termios t {};
        ::tcgetattr(master_, &t);
        return t;
    }

private:
    int master_ = -1;
    std::string slavePath_;
};
