// Remote serial ports: a TCP connection to a serial port server such as ser2net, speaking RFC 2217
// ("rfc2217://HOST:PORT[?OPTIONS]") or carrying raw bytes ("socket://HOST:PORT").
//
// A worker thread of the transport moves the bytes between the connection and one end of a local
// socket pair; the port reads and writes the other end, which is the transport's wait handle. So
// the port waits on a remote port exactly as on a tty, the Telnet commands never reach it, a
// server's FLOWCONTROL-SUSPEND fills the pair and holds the writers off, and the server's
// acknowledgements arrive while the main thread waits for them.
#pragma once

#include "VaTelnet.h"
#include "VaTransport.h"

#include <array>
#include <chrono>
#include <functional>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

// A remote port's name, taken apart.
struct TVaRemoteName {
    bool rfc2217 = true; // false: raw bytes
    std::string host;    // without the brackets of an IPv6 address
    uint16_t port = 0;
    double timeout = 3.0;       // seconds to wait for the server's acknowledgements
    bool ignSetControl = false; // do not expect SET-CONTROL acknowledgements
    bool pollModem = false;     // ask for the modem state, for servers that send no notifications
};

// Whether name is a URL ("scheme://..."), which names a remote port rather than a device path.
bool VaIsPortUrl(const std::string& name);
// Parses "rfc2217://HOST:PORT[?OPTIONS]" or "socket://HOST:PORT"; on failure the reason in words.
std::optional<TVaRemoteName> VaParseRemoteName(const std::string& name, std::string& error);

class TVaNetTransport final : public TVaTransport {
public:
    TVaNetTransport();
    ~TVaNetTransport() override;

    TVaOpenResult Open(const std::string& path) override;
    void Close() override;
    TVaPortCaps Capabilities() const override;
    int WaitHandle() const override { return local_; }
    TVaIoResult Read(void* data, size_t size) override;
    TVaIoResult Write(const void* data, size_t size) override;
    int ApplyLineSettings(const VaLineSettings& wanted, VaLineSettings& taken) override;
    int ModemStatus(uint32_t& bits) override;
    int SetModemLine(bool dtr, bool on) override;
    TVaChangeNotice ChangeNotice() override;
    int ChangeDescriptor() override;
    void AcknowledgeChange() override;
    int LineCounters(VaLineCounters& counters) override;
    int SetBreak(bool on) override;
    int Purge(bool input, bool output) override;
    int InputCount(size_t& count) override;
    int OutputCount(size_t& count) override;
    std::vector<std::string> TakeNotices() override;

private:
    TVaOpenResult Connect(const TVaRemoteName& name);
    TVaOpenResult Negotiate();
    void Run();
    // With mutex_ held.
    void SendCommand(uint8_t code, std::vector<uint8_t> value);
    void SendControl(uint8_t value);
    void TakeReplies(std::vector<TVaComPortReply>& replies);
    void ModemReport(uint8_t state);
    void Lost(int error);
    void Notice(std::string text);
    void Wake();
    int GoneError() const;
    bool WaitFor(std::unique_lock<std::mutex>& lock, std::chrono::steady_clock::time_point deadline,
                 const std::function<bool()>& done);

    TVaRemoteName name_;
    std::string url_;
    int socket_ = -1; // the connection
    int local_ = -1;  // the port's end of the pair
    int bridge_ = -1; // the worker's end of the pair
    TVaWaitEvent wake_;
    TVaWaitEvent change_;
    std::thread worker_;

    mutable std::mutex mutex_;
    std::condition_variable acked_;
    TVaTelnetCodec codec_;
    std::vector<uint8_t> toServer_;   // encoded bytes waiting for the connection
    std::vector<uint8_t> fromServer_; // data bytes waiting for room in the pair
    bool stop_ = false;
    bool closing_ = false; // flush what is queued, then stop
    bool gone_ = false;
    int goneError_ = 0;
    bool suspended_ = false;
    // Acknowledgements: how many arrived for each server code, and the last value.
    std::array<uint32_t, 256> ackCount_{};
    std::array<uint32_t, 256> ackValue_{};
    uint32_t replyCount_ = 0; // com-port replies of any kind
    // SET-CONTROL requests not acknowledged yet, with the time their answer is due.
    std::deque<std::pair<uint8_t, std::chrono::steady_clock::time_point>> controls_;
    bool controlsUnconfirmed_ = false;
    // Modem lines: until the server reports a change (or any line on) they count as a three-wire
    // cable, as a pseudo-terminal's do.
    bool modemReported_ = false;
    bool linesReal_ = false;
    uint8_t firstModem_ = 0;
    uint8_t modem_ = 0;
    VaLineCounters counters_;
    std::chrono::steady_clock::time_point lastModemPoll_{};
    std::optional<VaLineSettings> applied_;
    std::vector<std::string> notices_;
    bool toldNoLines_ = false;
    bool toldNoSettings_ = false;
    bool toldNoControl_ = false;
    int modemQueries_ = 0;
    std::optional<bool> lastDtr_, lastRts_; // socket://: the levels asked for last
};
