// Our YMODEM receiver against a scripted sender: batches of files announced with good names, names
// with folders, refused names, sizes that are no number or larger than the data, then good,
// damaged and repeated blocks, repeated headers, silences, stray bytes, early ends and cancels. The
// files written are exactly the acknowledged ones, each under its own name in the folder and cut to
// its size; a file that did not complete is there only under its partial name; nothing is written
// outside the folder; every answer is the right one; the transfer ends.
#include "VaFileName.h"
#include "XmodemFuzz.h"

#include <dirent.h>
#include <map>
#include <sys/stat.h>

using namespace fuzz;

namespace {

struct File {
    std::string sent;      // the name in block 0
    std::string stored;    // the name it must be stored under
    std::string data;      // the file; blocks pad it with SUB
    int64_t announced = -1;
    size_t delivered = 0;  // bytes of the padded file acknowledged (streaming: sent) in good blocks

    std::string padded(size_t size) const
    {
        std::string out = data.substr(0, std::min(size, data.size()));
        out.resize(size, '\x1A');
        return out;
    }
    // What the receiver writes of the acknowledged blocks.
    std::string expected() const
    {
        return padded(announced >= 0 ? std::min<size_t>(delivered, static_cast<size_t>(announced)) : delivered);
    }
};

std::vector<std::string> listFolder(const std::string& folder)
{
    std::vector<std::string> names;
    if (DIR* d = ::opendir(folder.c_str())) {
        while (const dirent* e = ::readdir(d))
            if (std::string(e->d_name) != "." && std::string(e->d_name) != "..")
                names.emplace_back(e->d_name);
        ::closedir(d);
    }
    return names;
}

void emptyFolder(const std::string& folder)
{
    for (const std::string& name : listFolder(folder))
        ::unlink((folder + name).c_str());
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    FuzzedDataProvider in(data, size);
    const bool streaming = in.ConsumeBool();
    const int startChar = streaming ? G_START : CRC_START;
    const int timeout = in.PickValueInArray({10, 25});
    const int maxErrors = in.ConsumeIntegralInRange(0, 10);

    // The folder sits alone in a folder of its own, so that anything written beside it shows.
    const std::string root = tempDir() + "batch/";
    const std::string folder = root + "dst/";
    ::mkdir(root.c_str(), 0700);
    ::mkdir(folder.c_str(), 0700);
    emptyFolder(folder);

    YmodemSession session(tmDownload);
    session.xmodem.SetFolder(folder.substr(0, folder.size() - 1));
    session.xmodem.SetProtocol(streaming ? TVaYProtocol::YModemG : TVaYProtocol::YModem);
    session.xmodem.SetTimeout(timeout);
    session.xmodem.SetMaxErrors(maxErrors);

    std::vector<File> files;
    std::map<std::string, size_t> completed; // stored name -> file
    bool strict = true, sentCan = false, refusedHeader = false, batchEnded = false;
    const int patience = 5000;
    auto bytesOut = [&](const std::string& bytes) { session.put(bytes); };
    // The answer expected, or CAN (or nothing) from a receiver that gave up after too many errors.
    // False when the transfer is over.
    auto answer = [&](const std::string& expected, const char* what) {
        const std::string got = session.get(expected.size(), patience);
        if (!strict)
            return !got.empty();
        if (got.empty() || got[0] == static_cast<char>(CAN)) {
            FUZZ_CHECK(session.waitEnded(patience) && session.exitCode() == VaCode::TooManyErrors,
                       "%s answered %s; the transfer ended with %d", what, shown(got).c_str(), session.exitCode());
            return false;
        }
        FUZZ_CHECK(got == expected, "%s answered %s, not %s", what, shown(got).c_str(), shown(expected).c_str());
        return true;
    };
    auto header = [&](const std::string& text) { return xmodemFrame(0, [&] {
                                                      std::string b = text.substr(0, 128);
                                                      b.resize(128, '\0');
                                                      return b;
                                                  }(), true); };
    const std::string dataAsked = streaming ? std::string(1, static_cast<char>(G_START))
                                            : std::string{static_cast<char>(ACK), static_cast<char>(CRC_START)};

    session.run(
        [&] {
            const int start = session.get(patience);
            FUZZ_CHECK(start == startChar, "start character %d", start);
            bool alive = true;
            while (alive && in.remaining_bytes() > 0 && files.size() < 4) {
                File f;
                f.data = in.ConsumeRandomLengthString(2500);
                const std::string plain = "f" + std::to_string(files.size()) + ".bin";
                std::string info;
                const int kind = in.ConsumeIntegralInRange(0, 9);
                f.sent = kind == 6 ? "sub/../" + plain : kind == 7 ? in.PickValueInArray({"..", "a\x01" "b", "dir/"}) : plain;
                f.stored = kind == 7 ? "" : plain;
                if (kind == 8) {
                    info = "12x";
                } else if (kind != 9) {
                    f.announced = static_cast<int64_t>(f.data.size());
                    if (in.ConsumeIntegralInRange(0, 7) == 0)
                        f.announced += in.ConsumeIntegralInRange(1, 500);
                    info = std::to_string(f.announced) + " 14000000000 100644";
                }
                bytesOut(header(f.sent + std::string(1, '\0') + info));
                files.push_back(f);
                File& file = files.back();
                if (kind == 7 || kind == 8) {
                    refusedHeader = true;
                    alive = false;
                    if (strict)
                        FUZZ_CHECK(session.get(2, patience) == std::string(2, static_cast<char>(CAN)),
                                   "a refused header was not cancelled");
                    break;
                }
                alive = answer(dataAsked, "a header");
                uint32_t number = 1;
                size_t lastSize = 0;
                bool refused = false, endNow = false;
                auto goodBlock = [&] {
                    const size_t n = in.ConsumeBool() ? 1024 : 128;
                    bytesOut(xmodemFrame(number, file.padded(file.delivered + n).substr(file.delivered), true));
                    if (!streaming && !answer(std::string(1, static_cast<char>(ACK)), "a good block"))
                        return false;
                    file.delivered += n;
                    lastSize = n;
                    refused = false;
                    ++number;
                    if (streaming && strict) {
                        if (const int c = session.get(0); c >= 0) {
                            FUZZ_CHECK(c == CAN && session.waitEnded(patience) &&
                                           session.exitCode() == VaCode::TooManyErrors,
                                       "a streamed block answered %d", c);
                            return false;
                        }
                    }
                    return true;
                };
                while (alive && !endNow && in.remaining_bytes() > 0) {
                    switch (in.ConsumeIntegralInRange(0, 9)) {
                    case 0:
                    case 1:
                    case 2:
                    case 3: alive = goodBlock(); break;
                    case 4: { // one bit of a good block changed
                        const size_t n = in.ConsumeBool() ? 1024 : 128;
                        std::string frame = xmodemFrame(number, file.padded(file.delivered + n).substr(file.delivered), true);
                        const size_t at = in.ConsumeIntegralInRange<size_t>(1, frame.size() - 1);
                        frame[at] = static_cast<char>(frame[at] ^ (1 << in.ConsumeIntegralInRange(0, 7)));
                        bytesOut(frame);
                        alive = answer(std::string(1, static_cast<char>(NAK)), "a damaged block");
                        refused = true;
                        break;
                    }
                    case 5: // the block before again, as after a lost answer; block 0 too
                        if (number > 1) {
                            bytesOut(xmodemFrame(number - 1, file.padded(file.delivered).substr(file.delivered - lastSize), true));
                            alive = answer(std::string(1, static_cast<char>(ACK)), "a repeated block");
                        } else {
                            bytesOut(header(file.sent + std::string(1, '\0') + info));
                            alive = answer(std::string{static_cast<char>(ACK), static_cast<char>(startChar)},
                                           "a repeated header");
                        }
                        break;
                    case 6: silence(in, timeout); break;
                    case 7: strict = strayBytes(in, bytesOut) && strict; break;
                    case 8:
                        bytesOut(std::string(2, static_cast<char>(CAN)));
                        sentCan = true;
                        alive = false;
                        break;
                    case 9: endNow = true; break;
                    }
                }
                while (alive && !endNow && strict && file.delivered < file.data.size())
                    alive = goodBlock();
                if (!alive)
                    break;
                bytesOut(std::string(1, static_cast<char>(EOT)));
                const bool shortFile = file.announced >= 0 && file.delivered < static_cast<size_t>(file.announced);
                if (!strict) {
                    alive = !session.get(2, patience + timeout).empty();
                    continue;
                }
                if (refused || shortFile) {
                    const std::string got = session.get(2, patience + timeout);
                    FUZZ_CHECK(got == std::string(2, static_cast<char>(CAN)) ||
                                   (session.waitEnded(patience) && session.exitCode() == VaCode::TooManyErrors),
                               "an EOT owed a block (%d) or data (%d) and was answered %s", refused, shortFile,
                               shown(got).c_str());
                    alive = false;
                    break;
                }
                alive = answer(std::string{static_cast<char>(ACK), static_cast<char>(startChar)}, "an EOT");
                if (alive)
                    completed[file.stored] = files.size() - 1;
            }
            if (alive && strict) {
                bytesOut(header(""));
                batchEnded = answer(std::string(1, static_cast<char>(ACK)), "the end of the batch");
            }
            session.waitEnded(strict ? patience : 3 * timeout + 50);
        },
        2 * timeout + 100);

    const int code = session.exitCode();
    // Nothing beside the folder.
    const std::vector<std::string> besides = listFolder(root);
    FUZZ_CHECK(besides.size() == 1 && besides[0] == "dst", "%zu entries beside the folder", besides.size());
    // Each file there is a completed one, or a partial one under its marked name.
    const std::string partial = VaYModem::kPartialSuffix;
    for (const std::string& name : listFolder(folder)) {
        const bool isPartial = name.size() > partial.size() && name.ends_with(partial);
        const std::string got = readFile(folder + name);
        if (isPartial)
            continue;
        size_t index = files.size();
        for (size_t i = 0; i < files.size(); ++i)
            if (files[i].stored == name)
                index = i;
        FUZZ_CHECK(index < files.size(), "%s was never sent", shown(name).c_str());
        const File& f = files[index];
        if (strict) {
            FUZZ_CHECK(completed.count(name) == 1, "%s is there but its end was not acknowledged", name.c_str());
            FUZZ_CHECK(got == f.expected(), "%s holds %zu bytes, not the %zu acknowledged", name.c_str(), got.size(),
                       f.expected().size());
        } else {
            FUZZ_CHECK(got == f.padded(got.size()) && (f.announced < 0 || got.size() <= static_cast<size_t>(f.announced)),
                       "%s holds %zu bytes that were not sent so", name.c_str(), got.size());
        }
    }
    if (strict)
        for (const auto& [name, index] : completed)
            FUZZ_CHECK(readFile(folder + name) == files[index].expected() &&
                           ::access((folder + name).c_str(), F_OK) == 0,
                       "the completed %s is missing or differs", name.c_str());
    if (strict && batchEnded)
        FUZZ_CHECK(code == VaCode::Completed, "an acknowledged end of the batch gave %d", code);
    if (code == VaCode::Completed)
        FUZZ_CHECK(!strict || batchEnded, "completed without the end of the batch");
    if (sentCan && strict)
        FUZZ_CHECK(code == VaCode::PeerCancelled || code == VaCode::TooManyErrors, "a cancel ended with %d", code);
    if (refusedHeader && strict)
        FUZZ_CHECK(code == VaCode::ProtocolFailure || code == VaCode::TooManyErrors, "a refused header ended with %d",
                   code);
    if (code == VaCode::Cancelled)
        FUZZ_CHECK(session.aborted(), "cancelled without a cancel");
    return 0;
}
