// Our XMODEM receiver against a scripted sender: good blocks, damaged blocks, repeated blocks,
// blocks out of sequence, silences, stray bytes, an early end or a cancel, in any order. The
// received file is always the blocks the sender got acknowledged (or, streaming, a prefix of the
// blocks it sent), every answer is the right one, and the transfer ends.
#include "XmodemFuzz.h"
#include "VaFileName.h"

using namespace fuzz;

namespace {

struct Script {
    std::string file;       // the file being sent; the blocks pad it with SUB
    size_t delivered = 0;   // bytes of the padded file acknowledged (streaming: sent) in good blocks
    uint32_t number = 1;    // the block due
    size_t lastSize = 0;    // size of the last good block
    bool refused = false;   // the block due was refused and not yet sent again
    bool strict = true;     // no stray bytes sent: every answer is known
    bool sentEot = false, eotAcked = false, sentCan = false, outOfSequence = false;
    size_t bytesSent = 0;

    std::string blockData(size_t from, size_t size) const
    {
        std::string data = from < file.size() ? file.substr(from, size) : std::string();
        data.resize(size, '\x1A');
        return data;
    }
};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    FuzzedDataProvider in(data, size);
    const TVaXProtocol protocol = in.PickValueInArray({TVaXProtocol::XModem, TVaXProtocol::XModem1K, TVaXProtocol::XModemG});
    const int timeout = in.PickValueInArray({10, 25});
    const int maxErrors = in.ConsumeIntegralInRange(0, 10);
    Script s;
    s.file = in.ConsumeRandomLengthString(3000);

    const std::string path = tempDir() + "in.bin";
    ::unlink(path.c_str());
    XmodemSession session(tmDownload);
    session.xmodem.SetFileName(path);
    session.xmodem.SetProtocol(protocol);
    session.xmodem.SetTimeout(timeout);
    session.xmodem.SetMaxErrors(maxErrors);

    const bool crc = protocol != TVaXProtocol::XModem;
    const bool streaming = protocol == TVaXProtocol::XModemG;
    const int patience = 5000; // for an answer that must come (a transfer that ends stops the wait)
    auto send = [&](const std::string& bytes) {
        session.put(bytes);
        s.bytesSent += bytes.size();
    };
    // The answer to a block: ACK or NAK as expected, or CAN when the receiver gave up (too many
    // errors). Returns false when the transfer is over.
    auto answer = [&](uint8_t expected, const char* what) {
        const int c = session.get(patience);
        if (!s.strict)
            return c >= 0;
        if (c == CAN || c < 0) {
            FUZZ_CHECK(session.waitEnded(patience) && session.exitCode() == VaCode::TooManyErrors,
                       "%s answered %d, the transfer ended with %d", what, c, session.exitCode());
            return false;
        }
        FUZZ_CHECK(c == expected, "%s answered %02X, not %02X", what, c, expected);
        return true;
    };
    // A good block; false when the transfer is over.
    auto goodBlock = [&] {
        const size_t n = crc && in.ConsumeBool() ? 1024 : 128;
        send(xmodemFrame(s.number, s.blockData(s.delivered, n), crc));
        if (!streaming && !answer(ACK, "a good block"))
            return false;
        s.delivered += n;
        s.lastSize = n;
        s.refused = false;
        ++s.number;
        // Streaming has no answer; a receiver that gave up says so with CAN.
        if (streaming && s.strict) {
            if (const int c = session.get(0); c >= 0) {
                FUZZ_CHECK(c == CAN && session.waitEnded(patience) && session.exitCode() == VaCode::TooManyErrors,
                           "a streamed block answered %d", c);
                return false;
            }
        }
        return true;
    };

    session.run(
        [&] {
            const int start = session.get(patience);
            FUZZ_CHECK(start == StartChar(protocol), "start character %d", start);
            bool alive = true, endNow = false;
            while (alive && !endNow && in.remaining_bytes() > 0) {
                switch (in.ConsumeIntegralInRange(0, 9)) {
                case 0:
                case 1:
                case 2: alive = goodBlock(); break;
                case 3: { // one bit of a good block's number, data or check changed
                    const size_t n = crc && in.ConsumeBool() ? 1024 : 128;
                    std::string frame = xmodemFrame(s.number, s.blockData(s.delivered, n), crc);
                    const size_t at = in.ConsumeIntegralInRange<size_t>(1, frame.size() - 1);
                    frame[at] = static_cast<char>(frame[at] ^ (1 << in.ConsumeIntegralInRange(0, 7)));
                    send(frame);
                    alive = answer(NAK, "a damaged block");
                    s.refused = true;
                    break;
                }
                case 4: // the block before again, as after a lost ACK
                    if (s.number > 1) {
                        send(xmodemFrame(s.number - 1, s.blockData(s.delivered - s.lastSize, s.lastSize), crc));
                        alive = answer(ACK, "a repeated block");
                    }
                    break;
                case 5: // a whole block with a number neither due nor the one before
                    send(xmodemFrame(s.number + in.ConsumeIntegralInRange(1, 250), s.blockData(s.delivered, 128), crc));
                    s.outOfSequence = true;
                    alive = false;
                    break;
                case 6: silence(in, timeout); break;
                case 7: s.strict = strayBytes(in, send) && s.strict; break;
                case 8:
                    send(std::string(in.ConsumeIntegralInRange(1, 2), static_cast<char>(CAN)));
                    s.sentCan = true;
                    alive = false;
                    break;
                case 9: // the end, before the file is through
                    endNow = true;
                    break;
                }
            }
            // What is left of the file, then the end.
            while (alive && !endNow && s.strict && s.delivered < s.file.size())
                alive = goodBlock();
            // Once stray bytes went out the receiver may be waiting for what it will never get.
            const int endPatience = s.strict ? patience : 3 * timeout + 50;
            if (!alive) {
                session.waitEnded(endPatience);
                return;
            }
            send(std::string(1, static_cast<char>(EOT)));
            s.sentEot = true;
            const int c = session.get(patience + timeout);
            s.eotAcked = c == ACK;
            const bool gaveUp = c < 0 && session.waitEnded(patience) && session.exitCode() == VaCode::TooManyErrors;
            if (s.strict)
                FUZZ_CHECK(c == (s.refused ? CAN : ACK) || gaveUp,
                           "EOT answered %d (a block refused: %d); the transfer ended: %d, exit code %d", c, s.refused,
                           session.ended(), session.exitCode());
            session.waitEnded(endPatience);
        },
        2 * timeout + 100);

    const std::string got = readFile(path);
    const int code = session.exitCode();
    if (!s.strict) {
        FUZZ_CHECK(got.size() % 128 == 0 && got.size() <= s.bytesSent, "received %zu bytes of %zu sent", got.size(),
                   s.bytesSent);
        return 0;
    }
    const std::string sent = s.blockData(0, s.delivered);
    if (streaming)
        FUZZ_CHECK(got.size() <= sent.size() && sent.compare(0, got.size(), got) == 0,
                   "received %zu bytes, not a prefix of the %zu sent", got.size(), sent.size());
    else
        FUZZ_CHECK(got == sent, "received %zu bytes, %zu acknowledged", got.size(), sent.size());
    if (code == VaCode::Completed)
        FUZZ_CHECK(s.sentEot && s.eotAcked && !s.refused, "completed without a proper end");
    if (s.sentCan)
        FUZZ_CHECK(code == VaCode::PeerCancelled || code == VaCode::TooManyErrors, "a cancel ended with %d", code);
    if (s.outOfSequence)
        FUZZ_CHECK(code == VaCode::ProtocolFailure || code == VaCode::TooManyErrors,
                   "a block out of sequence ended with %d", code);
    if (s.eotAcked && !s.refused)
        FUZZ_CHECK(code == VaCode::Completed, "an acknowledged end gave %d", code);
    if (code == VaCode::Cancelled)
        FUZZ_CHECK(session.aborted(), "cancelled without a cancel");
    return 0;
}
