// qx-devsim's command parser on any bytes from a terminal, in pieces at any times, for each sample
// profile: it never fails, says a bounded amount, and settles once the terminal is silent.
#include "FuzzSupport.h"
#include "device.h"

#include <vector>

namespace {

const std::vector<devsim::Profile>& profiles()
{
    static const std::vector<devsim::Profile> all = [] {
        std::vector<devsim::Profile> list;
        for (const char* name : {"display", "asi", "loader1", "loader2", "loader2-nak", "loader2-both", "loader-none"}) {
            devsim::Profile p;
            std::string error;
            const std::string path = std::string(QX_SOURCE_DIR) + "qxtools/devsim/" + name + ".ini";
            FUZZ_CHECK(devsim::loadProfile(path, p, &error), "profile %s: %s", path.c_str(), error.c_str());
            list.push_back(std::move(p));
        }
        return list;
    }();
    return all;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    FuzzedDataProvider in(data, size);
    const auto& all = profiles();
    devsim::Profile profile = all[in.ConsumeIntegralInRange<size_t>(0, all.size() - 1)];
    profile.echo = in.ConsumeBool();
    profile.startAsleep = in.ConsumeBool();
    if (in.ConsumeBool())
        profile.blockTestTrigger = "BT";
    // A flood is the one answer meant to be long: kept short here, it is counted in the bound below
    // once for each time its trigger could have been sent.
    profile.floodBytes = std::min<int64_t>(profile.floodBytes, 4000);

    devsim::Device device(profile, fuzz::tempDir() + "out", [](const std::string&) {});
    auto now = devsim::Clock::time_point{} + std::chrono::hours(1);
    size_t received = 0, said = 0, steps = 0;
    device.connected(now);
    while (in.remaining_bytes() > 0) {
        ++steps;
        switch (in.ConsumeIntegralInRange<int>(0, 7)) {
        case 0:
            now += std::chrono::milliseconds(in.ConsumeIntegralInRange<int>(0, 5000));
            device.tick(now);
            break;
        case 1:
            device.lineSettings({in.ConsumeBool() ? 9600 : 115200, in.ConsumeIntegralInRange<int>(5, 8),
                                 in.ConsumeIntegralInRange<int>(1, 2), in.ConsumeBool() ? 'N' : 'E'});
            break;
        case 2:
            device.requestBlockTransfer(now);
            break;
        default: {
            const std::string piece = in.ConsumeRandomLengthString(512);
            received += piece.size();
            device.receive(piece, now);
            break;
        }
        }
        if (auto due = device.deadline(); due && *due <= now)
            device.tick(now);
        said += device.takeOutput(now).size();
        said += device.takeFlood(65536, now).size();
    }
    // Left alone, the device ends what it was doing: its time-outs run out.
    size_t ticks = 0;
    for (auto due = device.deadline(); due; due = device.deadline()) {
        FUZZ_CHECK(++ticks < 2000, "still busy after %zu time-outs", ticks);
        now = std::max(now, *due);
        device.tick(now);
        said += device.takeOutput(now).size();
        said += device.takeFlood(65536, now).size();
    }
    // A reply per command, the line acknowledgements, the echo and the loaders' requests.
    // And each flood the terminal asked for.
    const size_t floods = profile.floodTrigger.empty() ? 0 : 1 + received / profile.floodTrigger.size();
    const size_t bound = 64 * received + 256 * (steps + ticks) + 4096 + floods * static_cast<size_t>(profile.floodBytes);
    FUZZ_CHECK(said <= bound, "said %zu bytes for %zu received in %zu steps and %zu time-outs", said, received, steps,
               ticks);
    return 0;
}
