#include "VaTelnet.h"

using namespace telnet;

namespace {

// Options we take on ourselves (local) and accept from the server (remote).
bool LocalSupported(uint8_t option)
{
    return option == BINARY || option == SGA || option == COM_PORT;
}

bool RemoteSupported(uint8_t option)
{
    return option == BINARY || option == SGA;
}

void Send(std::vector<uint8_t>& out, uint8_t verb, uint8_t option)
{
    out.insert(out.end(), {IAC, verb, option});
}

} // namespace

uint32_t TVaComPortReply::Number() const
{
    uint32_t n = 0;
    for (size_t i = 0; i < value.size() && i < 4; ++i)
        n = (n << 8) | value[i];
    return n;
}

void TVaTelnetCodec::Start(std::vector<uint8_t>& out)
{
    for (uint8_t option : {BINARY, SGA, COM_PORT}) {
        local_[option] = qWantYes;
        Send(out, WILL, option);
    }
    for (uint8_t option : {BINARY, SGA}) {
        remote_[option] = qWantYes;
        Send(out, DO, option);
    }
    asked_ = true;
}

void TVaTelnetCodec::Negotiate(uint8_t verb, uint8_t option, std::vector<uint8_t>& answers)
{
    // The Q method of RFC 1143 for the options we support, so that no answer loops; any other
    // option is refused each time it is offered or asked for, as RFC 854 says.
    switch (verb) {
    case WILL:
        if (!RemoteSupported(option))
            Send(answers, DONT, option);
        else if (remote_[option] == qNo)
            Send(answers, DO, option);
        if (RemoteSupported(option))
            remote_[option] = qYes;
        break;
    case WONT:
        if (remote_[option] == qYes)
            Send(answers, DONT, option);
        remote_[option] = qNo;
        break;
    case DO:
        if (!LocalSupported(option))
            Send(answers, WONT, option);
        else if (local_[option] == qNo)
            Send(answers, WILL, option);
        if (LocalSupported(option))
            local_[option] = qYes;
        break;
    case DONT:
        if (local_[option] == qYes)
            Send(answers, WONT, option);
        local_[option] = qNo;
        break;
    }
}

void TVaTelnetCodec::EndSubnegotiation(std::vector<TVaComPortReply>& replies)
{
    if (subTooLong_ || sub_.size() < 2) {
        ++malformed_;
    } else if (sub_[0] == COM_PORT) {
        TVaComPortReply reply;
        reply.code = sub_[1];
        reply.value.assign(sub_.begin() + 2, sub_.end());
        replies.push_back(std::move(reply));
    }
    sub_.clear();
    subTooLong_ = false;
}

void TVaTelnetCodec::Receive(const uint8_t* in, size_t count, std::vector<uint8_t>& data,
                             std::vector<TVaComPortReply>& replies, std::vector<uint8_t>& answers)
{
    for (size_t i = 0; i < count; ++i) {
        const uint8_t b = in[i];
        switch (state_) {
        case sData:
            if (b == IAC)
                state_ = sIac;
            else
                data.push_back(b);
            break;
        case sIac:
            state_ = sData;
            if (b == IAC)
                data.push_back(IAC);
            else if (b >= WILL) {
                verb_ = b;
                state_ = sOption;
            } else if (b == SB) {
                sub_.clear();
                subTooLong_ = false;
                state_ = sSub;
            }
            // Any other command (NOP, GA, a stray SE, ...) carries nothing for a serial port.
            break;
        case sOption:
            Negotiate(verb_, b, answers);
            state_ = sData;
            break;
        case sSub:
            if (b == IAC)
                state_ = sSubIac;
            else if (sub_.size() < kMaxSubnegotiation)
                sub_.push_back(b);
            else
                subTooLong_ = true;
            break;
        case sSubIac:
            if (b == IAC) {
                state_ = sSub;
                if (sub_.size() < kMaxSubnegotiation)
                    sub_.push_back(IAC);
                else
                    subTooLong_ = true;
            } else if (b == SE) {
                state_ = sData;
                EndSubnegotiation(replies);
            } else {
                // A command inside a subnegotiation ends it unfinished: drop it and take the
                // command as it stands.
                ++malformed_;
                sub_.clear();
                subTooLong_ = false;
                state_ = sIac;
                --i;
            }
            break;
        }
    }
}

void TVaTelnetCodec::EncodeData(const uint8_t* in, size_t count, std::vector<uint8_t>& out)
{
    out.reserve(out.size() + count);
    for (size_t i = 0; i < count; ++i) {
        out.push_back(in[i]);
        if (in[i] == IAC)
            out.push_back(IAC);
    }
}

void TVaTelnetCodec::EncodeCommand(uint8_t code, const uint8_t* value, size_t count, std::vector<uint8_t>& out)
{
    out.insert(out.end(), {IAC, SB, COM_PORT});
    EncodeData(&code, 1, out);
    EncodeData(value, count, out);
    out.insert(out.end(), {IAC, SE});
}
