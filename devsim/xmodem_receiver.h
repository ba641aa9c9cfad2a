// XMODEM receiver of the first-generation boot loader: CRC-16 mode, accepts
// 128-byte (SOH) and 1024-byte (STX) blocks, asks to start with 'C'.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace devsim {

using Clock = std::chrono::steady_clock;

// CRC-16/XMODEM: polynomial 0x1021, initial value 0, no reflection.
std::uint16_t crc16Xmodem(std::string_view data, std::uint16_t crc = 0);

class XmodemReceiver {
public:
    enum class State { Idle, Running, Done, Failed };

    struct Settings {
        std::chrono::milliseconds startInterval{1000};  // between two 'C'
        int startTries = 60;
        std::chrono::milliseconds blockTimeout{10000};  // waiting for the next block
        std::chrono::milliseconds byteTimeout{1000};    // inside a block
        int maxErrors = 10;
        std::size_t maxBytes = 262144;
    };

    explicit XmodemReceiver(Settings s) : settings_(s) {}

    void start(Clock::time_point now);
    void receive(std::string_view bytes, Clock::time_point now);
    void tick(Clock::time_point now);
    std::optional<Clock::time_point> deadline() const;

    // Bytes to send to the sender (C, ACK, NAK, CAN).
    std::string takeOutput();

    State state() const { return state_; }
    const std::string& data() const { return data_; }
    const std::string& failure() const { return failure_; }
    int blocks() const { return blocks_; }

private:
    enum class Phase { Header, Block, Drain };
    void handleByte(unsigned char c, Clock::time_point now);
    void finishBlock(Clock::time_point now);
    void error(Clock::time_point now);
    void fail(const std::string& why);

    Settings settings_;
    State state_ = State::Idle;
    Phase phase_ = Phase::Header;
    std::string out_;
    std::string data_;
    std::string block_;
    std::size_t blockSize_ = 0;
    std::uint8_t expected_ = 1;
    int blocks_ = 0;
    int starts_ = 0;
    int errors_ = 0;
    int cans_ = 0;
    bool started_ = false;  // a first block has arrived
    Clock::time_point deadline_{};
    std::string failure_;
};

}  // namespace devsim
