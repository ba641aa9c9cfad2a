#include "xmodem_receiver.h"

namespace devsim {

namespace {
constexpr unsigned char SOH = 0x01;
constexpr unsigned char STX = 0x02;
constexpr unsigned char EOT = 0x04;
constexpr unsigned char ACK = 0x06;
constexpr unsigned char NAK = 0x15;
constexpr unsigned char CAN = 0x18;
// After a damaged block the rest of it is dropped until the line is quiet
// this long; then the block is asked for again.
constexpr std::chrono::milliseconds kDrainQuiet{100};
}  // namespace

std::uint16_t crc16Xmodem(std::string_view data, std::uint16_t crc)
{
    for (unsigned char c : data) {
        crc = static_cast<std::uint16_t>(crc ^ (c << 8));
        for (int i = 0; i < 8; ++i)
            crc = static_cast<std::uint16_t>((crc & 0x8000) ? (crc << 1) ^ 0x1021 : crc << 1);
    }
    return crc;
}

void XmodemReceiver::start(Clock::time_point now)
{
    state_ = State::Running;
    phase_ = Phase::Header;
    data_.clear();
    expected_ = 1;
    blocks_ = errors_ = cans_ = 0;
    started_ = false;
    starts_ = 1;
    out_ += 'C';
    deadline_ = now + settings_.startInterval;
}

std::optional<Clock::time_point> XmodemReceiver::deadline() const
{
    if (state_ != State::Running) return std::nullopt;
    return deadline_;
}

std::string XmodemReceiver::takeOutput()
{
    std::string out;
    out.swap(out_);
    return out;
}

void XmodemReceiver::fail(const std::string& why)
{
    state_ = State::Failed;
    failure_ = why;
}

void XmodemReceiver::error(Clock::time_point now)
{
    if (++errors_ > settings_.maxErrors) {
        out_.append(3, static_cast<char>(CAN));
        fail("too many errors");
        return;
    }
    phase_ = Phase::Drain;
    deadline_ = now + kDrainQuiet;
}

void XmodemReceiver::tick(Clock::time_point now)
{
    if (state_ != State::Running || now < deadline_) return;
    switch (phase_) {
    case Phase::Header:
        if (!started_) {
            if (starts_ >= settings_.startTries) {
                fail("no sender answered");
                return;
            }
            ++starts_;
            out_ += 'C';
            deadline_ = now + settings_.startInterval;
        } else {
            error(now);
        }
        break;
    case Phase::Block:
        error(now);
        break;
    case Phase::Drain:
        // The line has gone quiet: ask for the block again.
        out_ += static_cast<char>(started_ ? NAK : 'C');
        phase_ = Phase::Header;
        deadline_ = now + (started_ ? settings_.blockTimeout : settings_.startInterval);
        break;
    }
}

void XmodemReceiver::receive(std::string_view bytes, Clock::time_point now)
{
    for (unsigned char c : bytes) {
        if (state_ != State::Running) return;
        handleByte(c, now);
    }
}

void XmodemReceiver::handleByte(unsigned char c, Clock::time_point now)
{
    switch (phase_) {
    case Phase::Drain:
        deadline_ = now + kDrainQuiet;
        return;
    case Phase::Header:
        if (c == SOH || c == STX) {
            cans_ = 0;
            blockSize_ = c == SOH ? 128 : 1024;
            block_.clear();
            phase_ = Phase::Block;
            deadline_ = now + settings_.byteTimeout;
        } else if (c == EOT && started_) {
            out_ += static_cast<char>(ACK);
            state_ = State::Done;
        } else if (c == CAN) {
            if (++cans_ >= 2) fail("cancelled by the sender");
        }
        // Anything else between blocks is line noise and is ignored.
        return;
    case Phase::Block:
        block_ += static_cast<char>(c);
        deadline_ = now + settings_.byteTimeout;
        if (block_.size() == blockSize_ + 4) finishBlock(now);
        return;
    }
}

void XmodemReceiver::finishBlock(Clock::time_point now)
{
    const auto num = static_cast<std::uint8_t>(block_[0]);
    const auto inv = static_cast<std::uint8_t>(block_[1]);
    const std::string_view payload(block_.data() + 2, blockSize_);
    const auto crc = static_cast<std::uint16_t>((static_cast<std::uint8_t>(block_[blockSize_ + 2]) << 8) |
                                                static_cast<std::uint8_t>(block_[blockSize_ + 3]));
    if (static_cast<std::uint8_t>(num ^ inv) != 0xFF || crc16Xmodem(payload) != crc) {
        error(now);
        return;
    }
    phase_ = Phase::Header;
    deadline_ = now + settings_.blockTimeout;
    if (num == expected_) {
        if (data_.size() + payload.size() > settings_.maxBytes) {
            out_.append(3, static_cast<char>(CAN));
            fail("image larger than the firmware memory");
            return;
        }
        data_.append(payload);
        ++expected_;
        ++blocks_;
        started_ = true;
        errors_ = 0;
        out_ += static_cast<char>(ACK);
    } else if (num == static_cast<std::uint8_t>(expected_ - 1) && started_) {
        // The sender missed our ACK and repeated the block.
        out_ += static_cast<char>(ACK);
    } else {
        out_.append(3, static_cast<char>(CAN));
        fail("block sequence lost");
    }
}

}  // namespace devsim
