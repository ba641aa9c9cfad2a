// The Telnet side of a remote serial port (RFC 854, 856, 858 and the COM-PORT-OPTION of RFC 2217),
// as plain byte processing without sockets: the option negotiation, the data stream with its
// doubled 0xFF, and the com-port subnegotiations a server answers with.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <vector>

namespace telnet {
constexpr uint8_t SE = 240, NOP = 241, SB = 250, WILL = 251, WONT = 252, DO = 253, DONT = 254, IAC = 255;
constexpr uint8_t BINARY = 0, SGA = 3, COM_PORT = 44;
} // namespace telnet

// COM-PORT-OPTION commands as the client sends them; the server answers with the same code + 100.
namespace rfc2217 {
constexpr uint8_t SIGNATURE = 0, SET_BAUDRATE = 1, SET_DATASIZE = 2, SET_PARITY = 3, SET_STOPSIZE = 4,
                  SET_CONTROL = 5, NOTIFY_LINESTATE = 6, NOTIFY_MODEMSTATE = 7, FLOWCONTROL_SUSPEND = 8,
                  FLOWCONTROL_RESUME = 9, SET_LINESTATE_MASK = 10, SET_MODEMSTATE_MASK = 11, PURGE_DATA = 12;
constexpr uint8_t SERVER_OFFSET = 100;
// SET-CONTROL values.
constexpr uint8_t FLOW_NONE = 1, FLOW_XONXOFF = 2, FLOW_HARDWARE = 3, BREAK_ON = 5, BREAK_OFF = 6, DTR_ON = 8,
                  DTR_OFF = 9, RTS_ON = 11, RTS_OFF = 12, INFLOW_NONE = 14, INFLOW_XONXOFF = 15,
                  INFLOW_HARDWARE = 16;
// NOTIFY-MODEMSTATE bits.
constexpr uint8_t MODEM_DELTA_CTS = 0x01, MODEM_DELTA_DSR = 0x02, MODEM_RING_EDGE = 0x04,
                  MODEM_DELTA_RLSD = 0x08, MODEM_CTS = 0x10, MODEM_DSR = 0x20, MODEM_RING = 0x40,
                  MODEM_RLSD = 0x80;
// NOTIFY-LINESTATE bits.
constexpr uint8_t LINE_OVERRUN = 0x02, LINE_PARITY = 0x04, LINE_FRAMING = 0x08, LINE_BREAK = 0x10;
} // namespace rfc2217

// One com-port subnegotiation: its code (a server's are 100 and up) and value.
struct TVaComPortReply {
    uint8_t code = 0;
    std::vector<uint8_t> value;
    // The value as a big-endian number (SET-BAUDRATE has four bytes, the others one).
    uint32_t Number() const;
};

class TVaTelnetCodec {
public:
    // Longest subnegotiation kept; a longer one is dropped whole (and counted as malformed).
    static constexpr size_t kMaxSubnegotiation = 64;

    // The opening offers: we will and want BINARY and SUPPRESS-GO-AHEAD both ways, and we will
    // speak COM-PORT-OPTION.
    void Start(std::vector<uint8_t>& out);

    // Parses bytes from the other side: data bytes are appended to data, com-port subnegotiations
    // to replies, and the answers the negotiation calls for to answers (to be sent back).
    void Receive(const uint8_t* in, size_t count, std::vector<uint8_t>& data, std::vector<TVaComPortReply>& replies,
                 std::vector<uint8_t>& answers);

    // The server agreed to COM-PORT-OPTION / refused it.
    bool ComPortAccepted() const { return local_[telnet::COM_PORT] == qYes; }
    bool ComPortRefused() const { return local_[telnet::COM_PORT] == qNo && asked_; }
    // Subnegotiations dropped as malformed or too long.
    size_t Malformed() const { return malformed_; }

    // Appends data with every 0xFF doubled.
    static void EncodeData(const uint8_t* in, size_t count, std::vector<uint8_t>& out);
    // Appends one com-port command: IAC SB COM-PORT-OPTION code value IAC SE (0xFF doubled in code
    // and value).
    static void EncodeCommand(uint8_t code, const uint8_t* value, size_t count, std::vector<uint8_t>& out);

private:
    enum TState : uint8_t { sData, sIac, sOption, sSub, sSubIac };
    enum TQ : uint8_t { qNo, qYes, qWantYes };
    void Negotiate(uint8_t verb, uint8_t option, std::vector<uint8_t>& answers);
    void EndSubnegotiation(std::vector<TVaComPortReply>& replies);

    TState state_ = sData;
    uint8_t verb_ = 0;
    std::vector<uint8_t> sub_;
    bool subTooLong_ = false;
    size_t malformed_ = 0;
    bool asked_ = false;
    std::array<TQ, 256> local_{};  // our side of each option
    std::array<TQ, 256> remote_{}; // the server's side
};
