// A small RFC 2217 server of the tests' own, for what ser2net on a pseudo-terminal cannot show:
// it answers DTR, RTS and BREAK, reports CTS and RING changes, suspends the flow, or misbehaves
// as a test asks. It serves one client at a time on 127.0.0.1, records the data and com-port
// commands the client sends, and acknowledges the line settings (and SET-CONTROL, unless told not
// to) with the values asked.
#pragma once

#include "VaTelnet.h"

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

class Rfc2217Peer {
public:
    struct Options {
        bool negotiate = true;      // false: accept and stay silent
        bool refuseComPort = false; // answer WILL COM-PORT-OPTION with DONT
        bool ackControl = true;     // acknowledge SET-CONTROL
        uint32_t baudReply = 0;     // answer SET-BAUDRATE with this rate (0: as asked)
        uint8_t firstModemState = 0; // reported right after the negotiation
        // The device behind the server: answers each piece of data received (nothing: no answer).
        std::function<std::string(const std::string& piece)> answer = nullptr;
    };
    Rfc2217Peer() : Rfc2217Peer(Options{}) {}
    explicit Rfc2217Peer(Options options);
    ~Rfc2217Peer();
    Rfc2217Peer(const Rfc2217Peer&) = delete;
    Rfc2217Peer& operator=(const Rfc2217Peer&) = delete;

    std::string url(const std::string& options = "") const;
    // Bytes as they go on the wire, and one com-port report (code: the server's, 100 and up).
    void sendRaw(const std::vector<uint8_t>& bytes);
    void sendReport(uint8_t code, std::vector<uint8_t> value);
    // Drops the client.
    void disconnect();

    // What the client sent: data bytes, com-port commands, and the raw stream.
    std::string data();
    std::vector<TVaComPortReply> commands();
    std::vector<uint8_t> raw();
    // Wait until the client has sent count com-port commands / the data text; false after ms.
    bool waitForCommands(size_t count, int ms = 10000);
    bool waitForData(const std::string& text, int ms = 10000);

private:
    void Serve();

    Options options_;
    int listener_ = -1;
    int port_ = 0;
    int client_ = -1;
    int stopPipe_[2] = {-1, -1};
    std::thread thread_;
    std::mutex mutex_;
    std::condition_variable changed_;
    TVaTelnetCodec codec_;
    std::string data_;
    std::vector<TVaComPortReply> commands_;
    std::vector<uint8_t> raw_;
};
