#include "VaNetTransport.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <utility>

#include <fcntl.h>
#include <linux/sockios.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

using namespace std::chrono;

namespace {

constexpr uint32_t kThreeWire = MS_CTS_ON | MS_DSR_ON;
// The worker reads the port's output only while less than this waits for the connection, and the
// connection only while less than kFromServerLimit waits for room in the pair: the queues stay
// small, and the kernel's buffers hold the rest.
constexpr size_t kToServerLimit = 16384;
constexpr size_t kFromServerLimit = 65536;
constexpr size_t kChunk = 16384;
// How long a raw connection is watched right after connecting for a server that turns it away.
constexpr auto kRawGreeting = milliseconds(150);
// How long Close waits for queued output to reach the connection.
constexpr auto kCloseFlush = seconds(2);
// How long an RFC 2217 server that accepted the option is given to send its first report.
constexpr auto kBusyGrace = milliseconds(300);
constexpr auto kModemPollInterval = milliseconds(500);

std::string Lower(std::string s)
{
    std::transform(s.begin(), s.end(), s.begin(), [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return s;
}

// A port number 1..65535 written in decimal, nothing else.
std::optional<uint16_t> PortNumber(const std::string& text)
{
    if (text.empty() || text.size() > 5 || text.find_first_not_of("0123456789") != std::string::npos)
        return std::nullopt;
    const long n = std::strtol(text.c_str(), nullptr, 10);
    if (n < 1 || n > 65535)
        return std::nullopt;
    return static_cast<uint16_t>(n);
}

void SetOption(int fd, int level, int name, int value)
{
    (void)::setsockopt(fd, level, name, &value, sizeof value);
}

int Pending(int fd)
{
    int n = 0;
    return ::ioctl(fd, FIONREAD, &n) == 0 ? n : 0;
}

std::string HostPort(const TVaRemoteName& name)
{
    const bool v6 = name.host.find(':') != std::string::npos;
    return (v6 ? "[" + name.host + "]" : name.host) + ":" + std::to_string(name.port);
}

} // namespace

// ---- Names ------------------------------------------------------------------------------------------

bool VaIsPortUrl(const std::string& name)
{
    const size_t scheme = name.find("://");
    return scheme != std::string::npos && scheme > 0 &&
           name.find_first_not_of("abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789+-.") == scheme;
}

std::optional<TVaRemoteName> VaParseRemoteName(const std::string& name, std::string& error)
{
    TVaRemoteName r;
    const size_t schemeEnd = name.find("://");
    if (!VaIsPortUrl(name)) {
        error = "not a URL";
        return std::nullopt;
    }
    const std::string scheme = Lower(name.substr(0, schemeEnd));
    if (scheme != "rfc2217" && scheme != "socket") {
        error = "unknown kind of remote port \"" + scheme + "://\" (rfc2217:// or socket://)";
        return std::nullopt;
    }
    r.rfc2217 = scheme == "rfc2217";
    std::string rest = name.substr(schemeEnd + 3);
    std::string options;
    if (const size_t q = rest.find('?'); q != std::string::npos) {
        options = rest.substr(q + 1);
        rest.resize(q);
    }
    if (!rest.empty() && rest.back() == '/')
        rest.pop_back();
    std::string portText;
    if (!rest.empty() && rest[0] == '[') {
        const size_t close = rest.find(']');
        if (close == std::string::npos || close + 1 >= rest.size() || rest[close + 1] != ':') {
            error = "an IPv6 address is written [ADDRESS]:PORT";
            return std::nullopt;
        }
        r.host = rest.substr(1, close - 1);
        portText = rest.substr(close + 2);
    } else {
        const size_t colon = rest.find(':');
        if (colon == std::string::npos) {
            error = "the port number is missing (HOST:PORT)";
            return std::nullopt;
        }
        if (rest.find(':', colon + 1) != std::string::npos) {
            error = "an IPv6 address needs brackets: [ADDRESS]:PORT";
            return std::nullopt;
        }
        r.host = rest.substr(0, colon);
        portText = rest.substr(colon + 1);
    }
    if (r.host.empty() || r.host.find_first_of("/ \t@") != std::string::npos) {
        error = "the host name is missing or malformed";
        return std::nullopt;
    }
    const auto port = PortNumber(portText);
    if (!port) {
        error = "\"" + portText + "\" is no TCP port number (1 to 65535)";
        return std::nullopt;
    }
    r.port = *port;
    size_t start = 0;
    while (!options.empty() && start <= options.size()) {
        size_t end = options.find('&', start);
        if (end == std::string::npos)
            end = options.size();
        const std::string option = options.substr(start, end - start);
        start = end + 1;
        if (option.empty())
            continue;
        if (!r.rfc2217) {
            error = "a socket:// port takes no options";
            return std::nullopt;
        }
        if (option == "ign_set_control") {
            r.ignSetControl = true;
        } else if (option == "poll_modem") {
            r.pollModem = true;
        } else if (option.rfind("timeout=", 0) == 0) {
            const std::string value = option.substr(8);
            char* endp = nullptr;
            const double t = std::strtod(value.c_str(), &endp);
            if (value.empty() || *endp != '\0' || !(t > 0) || t > 600) {
                error = "timeout wants a number of seconds above 0 (at most 600)";
                return std::nullopt;
            }
            r.timeout = t;
        } else {
            error = "unknown option \"" + option + "\" (timeout=SECONDS, ign_set_control, poll_modem)";
            return std::nullopt;
        }
    }
    return r;
}

// ---- Opening and closing ----------------------------------------------------------------------------

TVaNetTransport::TVaNetTransport() = default;

TVaNetTransport::~TVaNetTransport()
{
    Close();
}

TVaOpenResult TVaNetTransport::Open(const std::string& path)
{
    Close();
    std::string error;
    const auto name = VaParseRemoteName(path, error);
    if (!name)
        return TVaOpenResult::Failure(ekBadSetting, EINVAL, error);
    name_ = *name;
    url_ = path;
    TVaOpenResult result = Connect(name_);
    if (result.ok)
        result = Negotiate();
    if (!result.ok) {
        {
            std::lock_guard lock(mutex_);
            stop_ = true;
        }
        Close();
    }
    return result;
}

TVaOpenResult TVaNetTransport::Connect(const TVaRemoteName& name)
{
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_NUMERICSERV;
    addrinfo* list = nullptr;
    const int lookup = ::getaddrinfo(name.host.c_str(), std::to_string(name.port).c_str(), &hints, &list);
    if (lookup != 0) {
        if (lookup == EAI_AGAIN)
            return TVaOpenResult::Failure(ekTimedOut, 0, "the name " + name.host + " could not be looked up now");
        if (lookup == EAI_SYSTEM)
            return TVaOpenResult::Failure(VaErrorKindOf(errno), errno, std::strerror(errno));
        return TVaOpenResult::Failure(ekNotFound, 0, "no host is called " + name.host);
    }
    const auto deadline = steady_clock::now() + duration_cast<milliseconds>(duration<double>(name.timeout));
    TVaOpenResult result = TVaOpenResult::Failure(ekNotFound, 0, "no address for " + name.host);
    for (addrinfo* a = list; a; a = a->ai_next) {
        const int fd = ::socket(a->ai_family, a->ai_socktype | SOCK_NONBLOCK | SOCK_CLOEXEC, a->ai_protocol);
        if (fd < 0)
            continue;
        int err = ::connect(fd, a->ai_addr, a->ai_addrlen) == 0 ? 0 : errno;
        if (err == EINPROGRESS) {
            pollfd p{fd, POLLOUT, 0};
            const auto left = duration_cast<milliseconds>(deadline - steady_clock::now()).count();
            int r;
            do {
                r = ::poll(&p, 1, static_cast<int>(std::max<long long>(left, 0)));
            } while (r < 0 && errno == EINTR);
            socklen_t len = sizeof err;
            if (r == 0)
                err = ETIMEDOUT;
            else if (r < 0 || ::getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &len) != 0)
                err = errno;
        }
        if (err == 0) {
            socket_ = fd;
            result = {};
            break;
        }
        ::close(fd);
        const std::string where = HostPort(name);
        if (err == ECONNREFUSED)
            result = TVaOpenResult::Failure(ekNotFound, err, "connection refused: no server listens at " + where);
        else if (err == ETIMEDOUT)
            result = TVaOpenResult::Failure(ekTimedOut, err, "no answer from " + where);
        else if (err == EHOSTUNREACH || err == ENETUNREACH)
            result = TVaOpenResult::Failure(ekNotFound, err, where + " cannot be reached");
        else
            result = TVaOpenResult::Failure(VaErrorKindOf(err), err, std::strerror(err));
        if (steady_clock::now() >= deadline)
            break;
    }
    ::freeaddrinfo(list);
    if (!result.ok)
        return result;

    // Small writes go out at once and received blocks are acknowledged at once: a server without
    // TCP_NODELAY (ser2net) otherwise waits for our delayed acknowledgement before each block.
    SetOption(socket_, IPPROTO_TCP, TCP_NODELAY, 1);
    SetOption(socket_, IPPROTO_TCP, TCP_QUICKACK, 1);
    // A network that goes silent is noticed: idle probes after 10 s, and sent data that stays
    // unacknowledged for 20 s ends the connection.
    SetOption(socket_, SOL_SOCKET, SO_KEEPALIVE, 1);
    SetOption(socket_, IPPROTO_TCP, TCP_KEEPIDLE, 10);
    SetOption(socket_, IPPROTO_TCP, TCP_KEEPINTVL, 3);
    SetOption(socket_, IPPROTO_TCP, TCP_KEEPCNT, 3);
    SetOption(socket_, IPPROTO_TCP, TCP_USER_TIMEOUT, 20000);

    int pair[2];
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0, pair) != 0)
        return TVaOpenResult::Failure(VaErrorKindOf(errno), errno, std::strerror(errno));
    local_ = pair[0];
    bridge_ = pair[1];
    // The pair holds little, so that the output queue's count stays close to what is unsent.
    SetOption(local_, SOL_SOCKET, SO_SNDBUF, 32768);
    SetOption(bridge_, SOL_SOCKET, SO_SNDBUF, 65536);
    return {};
}

TVaOpenResult TVaNetTransport::Negotiate()
{
    std::unique_lock lock(mutex_);
    if (name_.rfc2217)
        codec_.Start(toServer_);
    worker_ = std::thread([this] { Run(); });
    const auto now = steady_clock::now();
    const auto wait = name_.rfc2217 ? duration_cast<steady_clock::duration>(duration<double>(name_.timeout))
                                    : duration_cast<steady_clock::duration>(kRawGreeting);
    WaitFor(lock, now + wait, [this] { return gone_ || codec_.ComPortAccepted() || codec_.ComPortRefused(); });
    if (codec_.ComPortAccepted()) {
        // ser2net agrees to everything before it turns a second client away: a server that
        // serves us reports the modem state right after, one that does not closes.
        WaitFor(lock, std::min(now + wait, steady_clock::now() + kBusyGrace),
                [this] { return gone_ || replyCount_ > 0; });
    }
    if (gone_) {
        // ser2net turns a second client away with a line of text and an end of file.
        std::string text(fromServer_.begin(), fromServer_.end());
        char peek[256];
        const ssize_t got = ::recv(local_, peek, sizeof peek, MSG_PEEK | MSG_DONTWAIT);
        if (got > 0)
            text.insert(0, peek, static_cast<size_t>(got));
        if (Lower(text).find("in use") != std::string::npos)
            return TVaOpenResult::Failure(ekBusy, EBUSY, "Port already in use");
        return TVaOpenResult::Failure(ekGone, goneError_, "the server closed the connection");
    }
    if (!name_.rfc2217)
        return {};
    if (codec_.ComPortRefused())
        return TVaOpenResult::Failure(ekOther, EPROTONOSUPPORT,
                                      "the server at " + HostPort(name_) + " does not speak RFC 2217");
    if (!codec_.ComPortAccepted())
        return TVaOpenResult::Failure(ekTimedOut, ETIMEDOUT,
                                      "the server at " + HostPort(name_) + " did not answer the RFC 2217 negotiation");
    // Line errors (overrun, parity, framing, break) and every modem line are to be reported.
    SendCommand(rfc2217::SET_LINESTATE_MASK, {rfc2217::LINE_OVERRUN | rfc2217::LINE_PARITY |
                                              rfc2217::LINE_FRAMING | rfc2217::LINE_BREAK});
    SendCommand(rfc2217::SET_MODEMSTATE_MASK, {0xFF});
    Wake();
    return {};
}

void TVaNetTransport::Close()
{
    if (worker_.joinable()) {
        {
            std::lock_guard lock(mutex_);
            closing_ = true;
        }
        Wake();
        worker_.join();
    }
    for (int* fd : {&socket_, &local_, &bridge_}) {
        if (*fd >= 0)
            ::close(*fd);
        *fd = -1;
    }
    std::lock_guard lock(mutex_);
    closing_ = stop_ = false;
    gone_ = suspended_ = false;
    goneError_ = 0;
    codec_ = TVaTelnetCodec();
    toServer_.clear();
    fromServer_.clear();
    controls_.clear();
    replyCount_ = 0;
    ackCount_ = {};
    controlsUnconfirmed_ = modemReported_ = linesReal_ = false;
    modem_ = firstModem_ = 0;
    counters_ = {};
    applied_.reset();
    notices_.clear();
    toldNoLines_ = toldNoSettings_ = toldNoControl_ = false;
    modemQueries_ = 0;
    lastDtr_.reset();
    lastRts_.reset();
}

TVaPortCaps TVaNetTransport::Capabilities() const
{
    TVaPortCaps caps;
    caps.modemLines = caps.lineSettings = caps.breakSignal = caps.lineCounters = name_.rfc2217;
    return caps;
}

// ---- The worker -------------------------------------------------------------------------------------

void TVaNetTransport::Run()
{
    std::vector<uint8_t> chunk(kChunk);
    std::vector<TVaComPortReply> replies;
    std::unique_lock lock(mutex_);
    const auto flushSoon = [&] {
        if (toServer_.empty() || gone_)
            return;
        const ssize_t sent = ::send(socket_, toServer_.data(), toServer_.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
        if (sent > 0)
            toServer_.erase(toServer_.begin(), toServer_.begin() + sent);
        else if (sent < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR)
            Lost(errno);
    };
    bool pairShut = false;
    std::optional<steady_clock::time_point> closeBy;
    for (;;) {
        auto now = steady_clock::now();
        // SET-CONTROL requests whose acknowledgement is overdue: say so once, and expect no more.
        bool overdue = false;
        while (!controls_.empty() && controls_.front().second <= now) {
            controls_.pop_front();
            overdue = true;
        }
        if (overdue && !controlsUnconfirmed_) {
            controlsUnconfirmed_ = true;
            controls_.clear();
            Notice(url_ + ": the server did not confirm the line change (DTR, RTS, break or flow control); "
                          "carrying on without its confirmation");
        }
        if (stop_)
            break;
        if (closing_) {
            if (!closeBy)
                closeBy = now + kCloseFlush;
            if (gone_ || (toServer_.empty() && Pending(bridge_) == 0) || now >= *closeBy)
                break;
        }
        if (gone_ && fromServer_.empty() && !pairShut) {
            // Everything received has been handed on: the port reads an end of file next.
            ::shutdown(bridge_, SHUT_RDWR);
            pairShut = true;
        }
        pollfd fds[3];
        fds[0] = {wake_.Handle(), POLLIN, 0};
        fds[1] = {gone_ ? -1 : socket_,
                  static_cast<short>((fromServer_.size() < kFromServerLimit ? POLLIN : 0) |
                                     (toServer_.empty() ? 0 : POLLOUT)),
                  0};
        fds[2] = {pairShut ? -1 : bridge_,
                  static_cast<short>((!gone_ && !suspended_ && toServer_.size() < kToServerLimit ? POLLIN : 0) |
                                     (fromServer_.empty() ? 0 : POLLOUT)),
                  0};
        std::optional<steady_clock::time_point> until = closeBy;
        if (!controls_.empty())
            until = until ? std::min(*until, controls_.front().second) : controls_.front().second;
        const int timeout = until ? static_cast<int>(std::max<long long>(
                                        duration_cast<milliseconds>(*until - now).count() + 1, 0))
                                  : -1;
        lock.unlock();
        const int r = ::poll(fds, 3, timeout);
        lock.lock();
        if (r < 0 && errno != EINTR)
            break;
        if (r <= 0)
            continue;
        if (fds[0].revents & POLLIN)
            wake_.Reset();
        if (fds[1].revents & (POLLIN | POLLHUP | POLLERR)) {
            const ssize_t got = ::recv(socket_, chunk.data(), chunk.size(), MSG_DONTWAIT);
            if (got > 0) {
                std::vector<uint8_t> answers;
                if (name_.rfc2217) {
                    codec_.Receive(chunk.data(), static_cast<size_t>(got), fromServer_, replies, answers);
                    TakeReplies(replies);
                    toServer_.insert(toServer_.end(), answers.begin(), answers.end());
                } else {
                    fromServer_.insert(fromServer_.end(), chunk.begin(), chunk.begin() + got);
                }
                // The kernel falls back to delayed acknowledgements after a while: ask again.
                SetOption(socket_, IPPROTO_TCP, TCP_QUICKACK, 1);
                acked_.notify_all();
            } else if (got == 0) {
                Lost(0);
            } else if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) {
                Lost(errno);
            }
        }
        if (!fromServer_.empty() && !pairShut) {
            const ssize_t sent = ::send(bridge_, fromServer_.data(), fromServer_.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
            if (sent > 0)
                fromServer_.erase(fromServer_.begin(), fromServer_.begin() + sent);
        }
        if (fds[2].revents & POLLIN) {
            const ssize_t got = ::recv(bridge_, chunk.data(), chunk.size(), MSG_DONTWAIT);
            if (got > 0) {
                if (name_.rfc2217)
                    TVaTelnetCodec::EncodeData(chunk.data(), static_cast<size_t>(got), toServer_);
                else
                    toServer_.insert(toServer_.end(), chunk.begin(), chunk.begin() + got);
            }
        }
        flushSoon();
    }
    // Whoever waits for an acknowledgement stops waiting.
    stop_ = true;
    acked_.notify_all();
}

void TVaNetTransport::Lost(int error)
{
    if (gone_)
        return;
    gone_ = true;
    goneError_ = error;
    acked_.notify_all();
}

void TVaNetTransport::Wake()
{
    wake_.Signal();
}

void TVaNetTransport::Notice(std::string text)
{
    notices_.push_back(std::move(text));
    change_.Signal();
}

void TVaNetTransport::SendCommand(uint8_t code, std::vector<uint8_t> value)
{
    TVaTelnetCodec::EncodeCommand(code, value.data(), value.size(), toServer_);
}

void TVaNetTransport::SendControl(uint8_t value)
{
    SendCommand(rfc2217::SET_CONTROL, {value});
    if (!name_.ignSetControl && !controlsUnconfirmed_)
        controls_.emplace_back(value, steady_clock::now() + duration_cast<steady_clock::duration>(
                                                               duration<double>(name_.timeout)));
    Wake();
}

void TVaNetTransport::TakeReplies(std::vector<TVaComPortReply>& replies)
{
    using namespace rfc2217;
    for (const TVaComPortReply& reply : replies) {
        const uint8_t code = reply.code;
        const uint32_t value = reply.Number();
        if (code < SERVER_OFFSET)
            continue; // a client's command: not for us
        switch (code - SERVER_OFFSET) {
        case SET_CONTROL: {
            const auto it = std::find_if(controls_.begin(), controls_.end(),
                                         [&](const auto& c) { return c.first == value; });
            if (it != controls_.end())
                controls_.erase(it);
            break;
        }
        case NOTIFY_LINESTATE:
            if (value & LINE_OVERRUN)
                ++counters_.overrun;
            if (value & LINE_PARITY)
                ++counters_.parity;
            if (value & LINE_FRAMING)
                ++counters_.frame;
            if (value & LINE_BREAK)
                ++counters_.brk;
            change_.Signal();
            break;
        case NOTIFY_MODEMSTATE:
            ModemReport(static_cast<uint8_t>(value));
            break;
        case FLOWCONTROL_SUSPEND:
            suspended_ = true;
            break;
        case FLOWCONTROL_RESUME:
            suspended_ = false;
            break;
        default:
            break;
        }
        ackValue_[code] = value;
        ++ackCount_[code];
        ++replyCount_;
    }
    replies.clear();
}

void TVaNetTransport::ModemReport(uint8_t state)
{
    using namespace rfc2217;
    if (state & MODEM_DELTA_CTS)
        ++counters_.cts;
    if (state & MODEM_DELTA_DSR)
        ++counters_.dsr;
    if (state & MODEM_RING_EDGE)
        ++counters_.rng;
    if (state & MODEM_DELTA_RLSD)
        ++counters_.dcd;
    if (!linesReal_) {
        // A server that reports its lines once, all off, and never again (ser2net on a port
        // configured "local") tells nothing about them: they stay a three-wire cable until a
        // report shows a line on or a change.
        const uint8_t lines = state & 0xF0;
        linesReal_ = lines != 0 || (state & 0x0F) != 0 || (modemReported_ && lines != firstModem_);
        if (!modemReported_)
            firstModem_ = lines;
        modemReported_ = true;
        if (linesReal_)
            Notice(url_ + ": the server reports its modem lines; CTS, DSR, RING and RLSD follow them now");
    }
    modem_ = state;
    change_.Signal();
}

bool TVaNetTransport::WaitFor(std::unique_lock<std::mutex>& lock, steady_clock::time_point deadline,
                              const std::function<bool()>& done)
{
    return acked_.wait_until(lock, deadline, [&] { return stop_ || done(); }) && done();
}

int TVaNetTransport::GoneError() const
{
    return goneError_ != 0 ? goneError_ : ECONNRESET;
}

// ---- Data -------------------------------------------------------------------------------------------

TVaIoResult TVaNetTransport::Read(void* data, size_t size)
{
    if (size == 0)
        return {};
    for (;;) {
        const ssize_t got = ::recv(local_, data, size, MSG_DONTWAIT);
        if (got > 0)
            return {ioData, static_cast<size_t>(got), 0};
        if (got == 0) {
            std::lock_guard lock(mutex_);
            return {ioGone, 0, goneError_};
        }
        if (errno == EINTR)
            continue;
        if (errno == EAGAIN || errno == EWOULDBLOCK)
            return {ioNothing, 0, 0};
        return {ioGone, 0, errno};
    }
}

TVaIoResult TVaNetTransport::Write(const void* data, size_t size)
{
    for (;;) {
        const ssize_t sent = ::send(local_, data, size, MSG_DONTWAIT | MSG_NOSIGNAL);
        if (sent >= 0)
            return {ioData, static_cast<size_t>(sent), 0};
        if (errno == EINTR)
            continue;
        if (errno == EAGAIN || errno == EWOULDBLOCK)
            return {ioNothing, 0, 0};
        if (errno == EPIPE || errno == ECONNRESET) {
            std::lock_guard lock(mutex_);
            return {ioGone, 0, GoneError()};
        }
        return {ioFailed, 0, errno};
    }
}

int TVaNetTransport::InputCount(size_t& count)
{
    std::lock_guard lock(mutex_);
    count = static_cast<size_t>(Pending(local_)) + fromServer_.size();
    return 0;
}

int TVaNetTransport::OutputCount(size_t& count)
{
    std::lock_guard lock(mutex_);
    int unsent = 0;
    if (gone_ || ::ioctl(socket_, SIOCOUTQ, &unsent) != 0)
        unsent = 0;
    count = static_cast<size_t>(Pending(bridge_)) + toServer_.size() + static_cast<size_t>(unsent);
    return 0;
}

int TVaNetTransport::Purge(bool input, bool output)
{
    std::lock_guard lock(mutex_);
    if (!input && !output)
        return 0;
    if (name_.rfc2217 && !gone_) {
        SendCommand(rfc2217::PURGE_DATA, {static_cast<uint8_t>(input && output ? 3 : input ? 1 : 2)});
        Wake();
    }
    uint8_t sink[4096];
    if (input) {
        fromServer_.clear();
        while (::recv(local_, sink, sizeof sink, MSG_DONTWAIT) > 0) {
        }
    }
    if (output) {
        while (::recv(bridge_, sink, sizeof sink, MSG_DONTWAIT) > 0) {
        }
    }
    return 0;
}

// ---- Line settings and modem lines ------------------------------------------------------------------

int TVaNetTransport::ApplyLineSettings(const VaLineSettings& wanted, VaLineSettings& taken)
{
    using namespace rfc2217;
    std::unique_lock lock(mutex_);
    taken = wanted;
    if (gone_)
        return GoneError();
    const bool first = !applied_;
    const VaLineSettings before = applied_.value_or(VaLineSettings{});
    applied_ = wanted;
    if (!name_.rfc2217) {
        if (!first && !toldNoSettings_) {
            toldNoSettings_ = true;
            Notice(url_ + ": a socket:// port carries bytes only; the line settings stay as the server has them");
        }
        return 0;
    }
    struct TAsk {
        uint8_t code;
        std::vector<uint8_t> value;
        uint32_t count;
    };
    std::vector<TAsk> asks;
    auto ask = [&](bool changed, uint8_t code, std::vector<uint8_t> value) {
        if (first || changed)
            asks.push_back({code, std::move(value), ackCount_[code + SERVER_OFFSET]});
    };
    const auto rate = static_cast<uint32_t>(wanted.baudrate);
    ask(wanted.baudrate != before.baudrate, SET_BAUDRATE,
        {static_cast<uint8_t>(rate >> 24), static_cast<uint8_t>(rate >> 16), static_cast<uint8_t>(rate >> 8),
         static_cast<uint8_t>(rate)});
    ask(wanted.dataBits != before.dataBits, SET_DATASIZE, {static_cast<uint8_t>(wanted.dataBits)});
    ask(wanted.parity != before.parity, SET_PARITY, {static_cast<uint8_t>(wanted.parity + 1)});
    static constexpr uint8_t stopCodes[] = {1, 3, 2}; // one, one and a half, two
    ask(wanted.stopBits != before.stopBits, SET_STOPSIZE, {stopCodes[std::clamp(wanted.stopBits, 0, 2)]});
    for (const TAsk& a : asks)
        SendCommand(a.code, a.value);
    const bool outFlowChanged = wanted.ctsFlow != before.ctsFlow || wanted.xonXoffOut != before.xonXoffOut;
    if (first || outFlowChanged)
        SendControl(wanted.ctsFlow ? FLOW_HARDWARE : wanted.xonXoffOut ? FLOW_XONXOFF : FLOW_NONE);
    if (first || wanted.xonXoffIn != before.xonXoffIn)
        SendControl(wanted.xonXoffIn ? INFLOW_XONXOFF : INFLOW_NONE);
    Wake();
    const auto deadline = steady_clock::now() + duration_cast<steady_clock::duration>(duration<double>(name_.timeout));
    const bool all = WaitFor(lock, deadline, [&] {
        return gone_ || std::all_of(asks.begin(), asks.end(), [&](const TAsk& a) {
                   return ackCount_[a.code + SERVER_OFFSET] != a.count;
               });
    });
    if (gone_)
        return GoneError();
    // The server's answer is the real setting.
    static constexpr const char* parityNames[] = {"none", "odd", "even", "mark", "space"};
    static constexpr const char* stopNames[] = {"1", "1.5", "2"};
    bool unconfirmed = false;
    for (const TAsk& a : asks) {
        const uint8_t reply = a.code + SERVER_OFFSET;
        if (ackCount_[reply] == a.count) {
            unconfirmed = true;
            continue;
        }
        const uint32_t v = ackValue_[reply];
        switch (a.code) {
        case SET_BAUDRATE:
            if (v != 0 && v != rate) {
                taken.baudrate = static_cast<int32_t>(v);
                Notice(url_ + ": the server set " + std::to_string(v) + " baud instead of " + std::to_string(rate));
            }
            break;
        case SET_DATASIZE:
            if (v >= 5 && v <= 8 && static_cast<int>(v) != wanted.dataBits) {
                taken.dataBits = static_cast<int>(v);
                Notice(url_ + ": the server set " + std::to_string(v) + " data bits instead of " +
                       std::to_string(wanted.dataBits));
            }
            break;
        case SET_PARITY:
            if (v >= 1 && v <= 5 && static_cast<int>(v) - 1 != wanted.parity) {
                taken.parity = static_cast<int>(v) - 1;
                Notice(url_ + ": the server set parity " + parityNames[v - 1] + " instead of " +
                       parityNames[std::clamp(wanted.parity, 0, 4)]);
            }
            break;
        case SET_STOPSIZE: {
            const int stop = v == 1 ? 0 : v == 3 ? 1 : v == 2 ? 2 : -1;
            if (stop >= 0 && stop != wanted.stopBits) {
                taken.stopBits = stop;
                Notice(url_ + ": the server set " + stopNames[stop] + " stop bits instead of " +
                       stopNames[std::clamp(wanted.stopBits, 0, 2)]);
            }
            break;
        }
        }
    }
    if (unconfirmed && !all)
        Notice(url_ + ": the server did not confirm the line settings in time; they count as asked");
    return 0;
}

int TVaNetTransport::ModemStatus(uint32_t& bits)
{
    using namespace rfc2217;
    std::lock_guard lock(mutex_);
    if (!name_.rfc2217) {
        // The port's first look takes the starting state; a later one waits on the lines.
        if (++modemQueries_ > 1 && !toldNoLines_) {
            toldNoLines_ = true;
            Notice(url_ + ": a socket:// port has no modem lines; CTS and DSR count as on");
        }
        bits = kThreeWire;
        return 0;
    }
    if (name_.pollModem && !gone_ && steady_clock::now() - lastModemPoll_ >= kModemPollInterval) {
        lastModemPoll_ = steady_clock::now();
        SendCommand(NOTIFY_MODEMSTATE, {});
        Wake();
    }
    if (!linesReal_) {
        if (!toldNoLines_) {
            toldNoLines_ = true;
            Notice(url_ + ": CTS and DSR count as on until the server reports a change of its modem lines");
        }
        bits = kThreeWire;
        return 0;
    }
    bits = (modem_ & MODEM_CTS ? MS_CTS_ON : 0) | (modem_ & MODEM_DSR ? MS_DSR_ON : 0) |
           (modem_ & MODEM_RING ? MS_RING_ON : 0) | (modem_ & MODEM_RLSD ? MS_RLSD_ON : 0);
    return 0;
}

int TVaNetTransport::SetModemLine(bool dtr, bool on)
{
    using namespace rfc2217;
    std::lock_guard lock(mutex_);
    if (gone_)
        return GoneError();
    if (!name_.rfc2217) {
        // The first call sets the resting level at opening; a later one is a real change.
        std::optional<bool>& last = dtr ? lastDtr_ : lastRts_;
        if (last && *last != on && !toldNoControl_) {
            toldNoControl_ = true;
            Notice(url_ + ": a socket:// port has no modem lines; the DTR or RTS change does not reach the device");
        }
        last = on;
        return 0;
    }
    SendControl(dtr ? (on ? DTR_ON : DTR_OFF) : (on ? RTS_ON : RTS_OFF));
    return 0;
}

int TVaNetTransport::SetBreak(bool on)
{
    std::lock_guard lock(mutex_);
    if (gone_)
        return GoneError();
    if (name_.rfc2217)
        SendControl(on ? rfc2217::BREAK_ON : rfc2217::BREAK_OFF);
    return 0;
}

TVaChangeNotice TVaNetTransport::ChangeNotice()
{
    return cnNotified;
}

int TVaNetTransport::ChangeDescriptor()
{
    return change_.Handle();
}

void TVaNetTransport::AcknowledgeChange()
{
    change_.Reset();
}

int TVaNetTransport::LineCounters(VaLineCounters& counters)
{
    std::lock_guard lock(mutex_);
    if (name_.rfc2217)
        counters = counters_;
    return 0;
}

std::vector<std::string> TVaNetTransport::TakeNotices()
{
    std::lock_guard lock(mutex_);
    return std::exchange(notices_, {});
}
