#include "Rfc2217Peer.h"

#include <cerrno>
#include <fcntl.h>
#include <chrono>
#include <stdexcept>

#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

using namespace telnet;

Rfc2217Peer::Rfc2217Peer(Options options) : options_(options)
{
    listener_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    if (::bind(listener_, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || ::listen(listener_, 4) != 0 ||
        ::getsockname(listener_, reinterpret_cast<sockaddr*>(&a), &len) != 0 || ::pipe2(stopPipe_, O_CLOEXEC) != 0)
        throw std::runtime_error("cannot listen on 127.0.0.1");
    port_ = ntohs(a.sin_port);
    thread_ = std::thread([this] { Serve(); });
}

Rfc2217Peer::~Rfc2217Peer()
{
    (void)::write(stopPipe_[1], "x", 1);
    thread_.join();
    for (int fd : {listener_, client_, stopPipe_[0], stopPipe_[1]})
        if (fd >= 0)
            ::close(fd);
}

std::string Rfc2217Peer::url(const std::string& options) const
{
    return "rfc2217://127.0.0.1:" + std::to_string(port_) + options;
}

void Rfc2217Peer::sendRaw(const std::vector<uint8_t>& bytes)
{
    std::unique_lock lock(mutex_);
    changed_.wait_for(lock, std::chrono::seconds(10), [this] { return client_ >= 0; });
    size_t done = 0;
    while (client_ >= 0 && done < bytes.size()) {
        const ssize_t n = ::send(client_, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
        if (n <= 0)
            break;
        done += static_cast<size_t>(n);
    }
}

void Rfc2217Peer::sendReport(uint8_t code, std::vector<uint8_t> value)
{
    std::vector<uint8_t> bytes;
    TVaTelnetCodec::EncodeCommand(code, value.data(), value.size(), bytes);
    sendRaw(bytes);
}

void Rfc2217Peer::disconnect()
{
    std::lock_guard lock(mutex_);
    if (client_ >= 0)
        ::shutdown(client_, SHUT_RDWR);
}

std::string Rfc2217Peer::data()
{
    std::lock_guard lock(mutex_);
    return data_;
}

std::vector<TVaComPortReply> Rfc2217Peer::commands()
{
    std::lock_guard lock(mutex_);
    return commands_;
}

std::vector<uint8_t> Rfc2217Peer::raw()
{
    std::lock_guard lock(mutex_);
    return raw_;
}

bool Rfc2217Peer::waitForCommands(size_t count, int ms)
{
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, std::chrono::milliseconds(ms), [&] { return commands_.size() >= count; });
}

bool Rfc2217Peer::waitForData(const std::string& text, int ms)
{
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, std::chrono::milliseconds(ms), [&] { return data_ == text; });
}

void Rfc2217Peer::Serve()
{
    for (;;) {
        pollfd fds[2] = {{stopPipe_[0], POLLIN, 0}, {client_ >= 0 ? client_ : listener_, POLLIN, 0}};
        if (::poll(fds, 2, -1) < 0 && errno != EINTR)
            return;
        if (fds[0].revents)
            return;
        if (!(fds[1].revents & (POLLIN | POLLHUP | POLLERR)))
            continue;
        std::unique_lock lock(mutex_);
        if (client_ < 0) {
            client_ = ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
            codec_ = TVaTelnetCodec();
            changed_.notify_all();
            if (client_ < 0 || !options_.negotiate)
                continue;
            std::vector<uint8_t> hello = {IAC, WILL, BINARY, IAC, DO, BINARY, IAC, WILL, SGA, IAC, DO, SGA,
                                          IAC, options_.refuseComPort ? DONT : DO, COM_PORT};
            if (!options_.refuseComPort)
                TVaTelnetCodec::EncodeCommand(rfc2217::NOTIFY_MODEMSTATE + rfc2217::SERVER_OFFSET,
                                              &options_.firstModemState, 1, hello);
            (void)::send(client_, hello.data(), hello.size(), MSG_NOSIGNAL);
            continue;
        }
        uint8_t buf[4096];
        const ssize_t got = ::recv(client_, buf, sizeof buf, 0);
        if (got <= 0) {
            ::close(client_);
            client_ = -1;
            changed_.notify_all();
            continue;
        }
        raw_.insert(raw_.end(), buf, buf + got);
        std::vector<uint8_t> data, ignored;
        std::vector<TVaComPortReply> commands;
        codec_.Receive(buf, static_cast<size_t>(got), data, commands, ignored);
        data_.append(data.begin(), data.end());
        std::vector<uint8_t> answers;
        if (options_.answer && !data.empty()) {
            const std::string reply = options_.answer(std::string(data.begin(), data.end()));
            TVaTelnetCodec::EncodeData(reinterpret_cast<const uint8_t*>(reply.data()), reply.size(), answers);
        }
        for (TVaComPortReply& c : commands) {
            using namespace rfc2217;
            std::vector<uint8_t> value = c.value;
            if (c.code == SET_BAUDRATE && options_.baudReply != 0) {
                const uint32_t b = options_.baudReply;
                value = {static_cast<uint8_t>(b >> 24), static_cast<uint8_t>(b >> 16), static_cast<uint8_t>(b >> 8),
                         static_cast<uint8_t>(b)};
            }
            const bool answer = (c.code >= SET_BAUDRATE && c.code <= SET_STOPSIZE) ||
                                (c.code == SET_CONTROL && options_.ackControl) || c.code == PURGE_DATA;
            if (answer)
                TVaTelnetCodec::EncodeCommand(c.code + SERVER_OFFSET, value.data(), value.size(), answers);
            commands_.push_back(std::move(c));
        }
        if (!answers.empty())
            (void)::send(client_, answers.data(), answers.size(), MSG_NOSIGNAL);
        changed_.notify_all();
    }
}
