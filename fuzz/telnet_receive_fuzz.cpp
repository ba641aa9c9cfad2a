// The Telnet/RFC 2217 receive parser of remote ports against any byte stream a server might send:
// it never holds more than one subnegotiation's limit, answers only with well-formed negotiation
// commands, and passes on the data bytes of the stream. A second part hides fuzzed data among
// commands, split anywhere: the data that comes out is exactly the data that went in.
#include "FuzzSupport.h"
#include "VaTelnet.h"

#include <vector>

using namespace telnet;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    FuzzedDataProvider in(data, size);
    using Bytes = std::vector<uint8_t>;

    // Any stream, in pieces as the network delivers it.
    {
        TVaTelnetCodec codec;
        Bytes offers, out, answers;
        std::vector<TVaComPortReply> replies;
        codec.Start(offers);
        const Bytes stream = in.ConsumeBytes<uint8_t>(in.ConsumeIntegralInRange<size_t>(0, 4096));
        size_t at = 0;
        while (at < stream.size()) {
            const size_t piece = std::min(stream.size() - at, in.ConsumeIntegralInRange<size_t>(1, 64));
            codec.Receive(stream.data() + at, piece, out, replies, answers);
            at += piece;
        }
        FUZZ_CHECK(out.size() <= stream.size(), "more data out (%zu) than bytes in (%zu)", out.size(), stream.size());
        FUZZ_CHECK(answers.size() % 3 == 0, "answers of %zu bytes", answers.size());
        for (size_t i = 0; i < answers.size(); i += 3)
            FUZZ_CHECK(answers[i] == IAC && answers[i + 1] >= WILL, "answer %zu is no negotiation command", i / 3);
        for (const TVaComPortReply& r : replies)
            FUZZ_CHECK(r.value.size() + 2 <= TVaTelnetCodec::kMaxSubnegotiation, "a report of %zu bytes", r.value.size());
    }

    // Data among commands: out comes what went in.
    {
        const Bytes payload = in.ConsumeBytes<uint8_t>(in.ConsumeIntegralInRange<size_t>(0, 1024));
        Bytes stream;
        size_t at = 0;
        while (at < payload.size()) {
            const size_t piece = std::min(payload.size() - at, in.ConsumeIntegralInRange<size_t>(1, 100));
            TVaTelnetCodec::EncodeData(payload.data() + at, piece, stream);
            at += piece;
            switch (in.ConsumeIntegralInRange(0, 3)) {
            case 0: {
                const Bytes value = in.ConsumeBytes<uint8_t>(in.ConsumeIntegralInRange(0, 8));
                TVaTelnetCodec::EncodeCommand(in.ConsumeIntegral<uint8_t>(), value.data(), value.size(), stream);
                break;
            }
            case 1:
                stream.insert(stream.end(), {IAC, static_cast<uint8_t>(in.ConsumeIntegralInRange(WILL, DONT)),
                                             in.ConsumeIntegral<uint8_t>()});
                break;
            case 2:
                stream.insert(stream.end(), {IAC, NOP});
                break;
            default:
                break;
            }
        }
        TVaTelnetCodec codec;
        Bytes out, answers;
        std::vector<TVaComPortReply> replies;
        const size_t split = stream.empty() ? 0 : in.ConsumeIntegralInRange<size_t>(0, stream.size());
        codec.Receive(stream.data(), split, out, replies, answers);
        codec.Receive(stream.data() + split, stream.size() - split, out, replies, answers);
        FUZZ_CHECK(out == payload, "%zu data bytes in, %zu out", payload.size(), out.size());
        FUZZ_CHECK(codec.Malformed() == 0, "well-formed stream taken as malformed");
    }
    return 0;
}
