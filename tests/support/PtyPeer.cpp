#include "PtyPeer.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <stdexcept>
#include <termios.h>
#include <unistd.h>

PtyPeer::PtyPeer()
{
    int slave = -1;
    char name[256];
    struct termios raw;
    std::memset(&raw, 0, sizeof raw);
    cfmakeraw(&raw);
    if (::openpty(&master_, &slave, name, &raw, nullptr) != 0)
        throw std::runtime_error(std::string("openpty: ") + std::strerror(errno));
    slavePath_ = name;
    // The program opens the slave itself; keeping ours open would hide a closed line.
    ::close(slave);
    ::fcntl(master_, F_SETFD, FD_CLOEXEC);
}

PtyPeer::~PtyPeer()
{
    CloseMaster();
}

void PtyPeer::CloseMaster()
{
    if (master_ >= 0)
        ::close(master_);
    master_ = -1;
}

void PtyPeer::Write(const std::string& bytes)
{
    size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t n = ::write(master_, bytes.data() + done, bytes.size() - done);
        if (n > 0) {
            done += static_cast<size_t>(n);
        } else if (n < 0 && errno != EINTR && errno != EAGAIN) {
            throw std::runtime_error(std::string("pty write: ") + std::strerror(errno));
        } else if (n < 0 && errno == EAGAIN) {
            pollfd p{master_, POLLOUT, 0};
            ::poll(&p, 1, 100);
        }
    }
}

void PtyPeer::Write(const std::vector<uint8_t>& bytes)
{
    Write(std::string(bytes.begin(), bytes.end()));
}

std::string PtyPeer::Read(size_t count, std::chrono::milliseconds timeout)
{
    std::string out;
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    char buf[65536];
    while (out.size() < count) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0)
            break;
        pollfd p{master_, POLLIN, 0};
        if (::poll(&p, 1, static_cast<int>(left.count())) <= 0)
            continue;
        const ssize_t n = ::read(master_, buf, std::min(sizeof buf, count - out.size()));
        if (n > 0)
            out.append(buf, static_cast<size_t>(n));
        else if (n == 0 || (errno != EINTR && errno != EAGAIN))
            break;
    }
    return out;
}

std::string PtyPeer::ReadFor(std::chrono::milliseconds timeout)
{
    return Read(SIZE_MAX, timeout);
}

std::string PtyPeer::ReadSome(int waitMs)
{
    std::string out;
    pollfd p{master_, POLLIN, 0};
    if (::poll(&p, 1, waitMs) <= 0 || !(p.revents & POLLIN))
        return out;
    char buf[65536];
    do {
        const ssize_t n = ::read(master_, buf, sizeof buf);
        if (n <= 0)
            break;
        out.append(buf, static_cast<size_t>(n));
        p.revents = 0;
    } while (::poll(&p, 1, 0) > 0 && (p.revents & POLLIN));
    return out;
}

std::string PtyPeer::ReadCount(size_t count, int idleMs)
{
    std::string out;
    while (out.size() < count) {
        const std::string part = ReadSome(idleMs);
        if (part.empty())
            break;
        out += part;
    }
    return out;
}

PtyResponder::PtyResponder(PtyPeer& pty, Answer answer) : pty_(pty), answer_(std::move(answer))
{
    thread_ = std::thread([this] {
        while (!stop_) {
            const std::string piece = pty_.ReadSome(20);
            if (piece.empty())
                continue;
            std::string reply;
            {
                std::lock_guard lock(mutex_);
                received_ += piece;
                if (answer_)
                    reply = answer_(received_, piece);
            }
            if (!reply.empty())
                pty_.Write(reply);
        }
    });
}

PtyResponder::~PtyResponder()
{
    Stop();
}

void PtyResponder::Stop()
{
    stop_ = true;
    if (thread_.joinable())
        thread_.join();
}

std::string PtyResponder::Received()
{
    std::lock_guard lock(mutex_);
    return received_;
}

TVanishingDevice::TVanishingDevice(std::string link) : link_(std::move(link)), pty_(std::make_unique<PtyPeer>())
{
    relink();
}

TVanishingDevice::~TVanishingDevice()
{
    stopPlaying();
    ::unlink(link_.c_str());
}

void TVanishingDevice::relink()
{
    ::unlink(link_.c_str());
    if (::symlink(pty_->SlavePath().c_str(), link_.c_str()) != 0)
        throw std::runtime_error("symlink " + link_ + ": " + std::strerror(errno));
}

void TVanishingDevice::play(const std::string& first, Answer answer, Condition vanishWhen)
{
    stopPlaying();
    stop_ = false;
    vanished_ = false;
    {
        std::lock_guard lock(mutex_);
        received_.clear();
    }
    thread_ = std::thread([this, first, answer = std::move(answer), vanishWhen = std::move(vanishWhen)] {
        // A line that breaks while the device writes ends the play.
        try {
            if (!first.empty())
                pty_->Write(first);
        } catch (const std::runtime_error&) {
            return;
        }
        while (!stop_) {
            const std::string piece = pty_->ReadSome(20);
            if (piece.empty())
                continue;
            std::string reply, all;
            {
                std::lock_guard lock(mutex_);
                received_ += piece;
                all = received_;
            }
            if (vanishWhen(all)) {
                vanish();
                return;
            }
            reply = answer ? answer(all, piece) : std::string();
            try {
                if (!reply.empty())
                    pty_->Write(reply);
            } catch (const std::runtime_error&) {
                return;
            }
        }
    });
}

void TVanishingDevice::vanish()
{
    pty_->CloseMaster();
    ::unlink(link_.c_str());
    vanished_ = true;
}

void TVanishingDevice::stopPlaying()
{
    stop_ = true;
    if (thread_.joinable())
        thread_.join();
}

std::string TVanishingDevice::received()
{
    std::lock_guard lock(mutex_);
    return received_;
}

void TVanishingDevice::comeBack(const std::function<void(const std::string& slave)>& beforeLink)
{
    stopPlaying();
    pty_ = std::make_unique<PtyPeer>();
    if (beforeLink)
        beforeLink(pty_->SlavePath());
    relink();
}
