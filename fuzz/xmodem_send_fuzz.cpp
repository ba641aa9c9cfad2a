// Our XMODEM sender against a scripted receiver: any start request, then for each block an ACK, a
// NAK, a stray byte, a zero byte, a silence or a cancel, in any order. Every frame the sender puts
// on the line is a whole, correct block of the file in sequence; it ends with EOT only after the
// last block, completes only when the EOT was acknowledged, and the transfer always ends.
#include "XmodemFuzz.h"

using namespace fuzz;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    FuzzedDataProvider in(data, size);
    const int timeout = in.PickValueInArray({10, 25});
    const int maxErrors = in.ConsumeIntegralInRange(0, 10);
    const std::string file = in.ConsumeRandomLengthString(3000);
    const std::string path = tempDir() + "out.bin";
    writeFile(path, file);

    XmodemSession session(tmUpload);
    session.xmodem.SetFileName(path);
    session.xmodem.SetTimeout(timeout);
    session.xmodem.SetMaxErrors(maxErrors);

    const int patience = 5000; // for an answer that must come (a transfer that ends stops the wait)
    bool ackedEot = false, sentCan = false, protocolBroken = false, sawEot = false;
    size_t acked = 0; // bytes of the file in acknowledged (streaming: received) blocks
    session.run(
        [&] {
            // The start: stray bytes first, perhaps, then the request of one of the three kinds.
            int start = -1;
            for (int tries = 0; start < 0 && tries < 12; ++tries) {
                const uint8_t c = in.remaining_bytes() > 0 ? in.ConsumeIntegral<uint8_t>() : NAK;
                session.put(c);
                if (c == NAK || c == CRC_START || c == G_START)
                    start = c;
                else if (tries >= 9)
                    break;
            }
            if (start < 0) {
                // Ten stray bytes: the sender gives up.
                protocolBroken = true;
                session.waitEnded(patience);
                return;
            }
            const bool crc = start != NAK, streaming = start == G_START;
            const size_t blockSize = crc ? 1024 : 128;
            uint32_t number = 1;
            for (;;) {
                const int header = session.get(patience);
                if (header < 0 || header == CAN) {
                    // The sender gave up (a cancel after too many errors, or silently after
                    // too many time-outs).
                    FUZZ_CHECK(session.waitEnded(patience), "the sender went silent (%d) and did not end", header);
                    return;
                }
                if (header == EOT) {
                    FUZZ_CHECK(acked >= file.size() && number > 1, "EOT after %zu of %zu bytes", acked, file.size());
                    sawEot = true;
                    const int op = in.remaining_bytes() > 0 ? in.ConsumeIntegralInRange(0, 3) : 0;
                    const uint8_t answer = op <= 1 ? ACK : op == 2 ? NAK : in.ConsumeIntegral<uint8_t>();
                    session.put(answer);
                    if (answer == ACK) {
                        ackedEot = true;
                        session.waitEnded(patience);
                        return;
                    }
                    continue;
                }
                FUZZ_CHECK(header == (crc ? STX : SOH), "frame header %02X after start %02X", header, start);
                const std::string rest = session.get(2 + blockSize + (crc ? 2 : 1), patience);
                std::string padded = file.substr(std::min(file.size(), (number - 1) * blockSize), blockSize);
                padded.resize(blockSize, '\0');
                const std::string expected = xmodemFrame(number, padded, crc);
                FUZZ_CHECK(std::string(1, static_cast<char>(header)) + rest == expected,
                           "block %u is not the file's (%zu bytes came)", number, rest.size() + 1);
                if (streaming) {
                    acked = std::min(file.size(), number * blockSize);
                    ++number;
                    if (in.remaining_bytes() > 0 && in.ConsumeIntegralInRange(0, 15) == 0) {
                        session.put(CAN);
                        session.put(CAN);
                        sentCan = true;
                        // Streaming ends at the next block; a sender already waiting for the EOT's
                        // answer waits on (and is cancelled when the peer is done).
                        session.waitEnded(3 * timeout + 50);
                        return;
                    }
                    continue;
                }
                switch (in.remaining_bytes() > 0 ? in.ConsumeIntegralInRange(0, 9) : 0) {
                case 6: // a silence before the ACK: time-outs count as errors
                    std::this_thread::sleep_for(std::chrono::milliseconds(in.ConsumeIntegralInRange(0, 3 * timeout)));
                    [[fallthrough]];
                default:
                    session.put(ACK);
                    acked = std::min(file.size(), number * blockSize);
                    ++number;
                    break;
                case 7: // the same block is sent again
                    session.put(NAK);
                    break;
                case 8: // a zero byte is no answer: the same block again
                    session.put(uint8_t(0));
                    break;
                case 9: {
                    const uint8_t c = in.ConsumeIntegral<uint8_t>();
                    if (c == ACK || c == NAK || c == 0) {
                        session.put(ACK);
                        acked = std::min(file.size(), number * blockSize);
                        ++number;
                        break;
                    }
                    session.put(c);
                    sentCan = c == CAN;
                    protocolBroken = c != CAN;
                    session.waitEnded(patience);
                    return;
                }
                }
            }
        },
        2 * timeout + 100);

    const int code = session.exitCode();
    if (code == VaCode::Completed)
        FUZZ_CHECK(ackedEot, "completed without an acknowledged EOT");
    if (ackedEot)
        FUZZ_CHECK(code == VaCode::Completed || code == VaCode::TooManyErrors, "an acknowledged EOT gave %d", code);
    if (code == VaCode::PeerCancelled)
        FUZZ_CHECK(sentCan, "cancelled by the peer without its cancel");
    if (code == VaCode::ProtocolFailure)
        FUZZ_CHECK(protocolBroken || sawEot || sentCan, "a protocol failure without a fault");
    if (code == VaCode::Cancelled)
        FUZZ_CHECK(session.aborted(), "cancelled on this side without a cancel");
    return 0;
}
