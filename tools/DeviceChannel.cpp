#include "DeviceChannel.h"

#include "HandOver.h"
#include "Values.h"

#include "VaClasses.h"
#include "VaComm.h"

#include <QTimer>

#include <algorithm>
#include <chrono>

std::string replyTerminator = "*";

std::string deviceCommand(const std::string& arguments, char letter)
{
    return std::string{'\x1B', '{'} + arguments + letter;
}

namespace {

using Clock = std::chrono::steady_clock;

TReply replyOf(const std::string& received, const std::string& expected, bool found)
{
    TReply r;
    r.found = found;
    r.text = received;
    if (found)
        r.text.erase(r.text.size() - std::min(expected.size(), r.text.size()));
    return r;
}

} // namespace

bool waitForCondition(const std::function<bool()>& done, int ms, const std::function<bool()>& keepWaiting, int pollMs)
{
    const auto deadline = Clock::now() + std::chrono::milliseconds(std::max(ms, 0));
    // The timers only wake the event loop; the loop itself sleeps until something happens.
    QTimer end;
    end.setSingleShot(true);
    end.setTimerType(Qt::PreciseTimer);
    end.start(std::max(ms, 0));
    QTimer poll;
    if (pollMs > 0)
        poll.start(pollMs);
    while (!done()) {
        if (Clock::now() >= deadline || (keepWaiting && !keepWaiting()))
            return done();
        processMessages(true);
    }
    return true;
}

TReply TDeviceChannel::sendAndWait(const std::string& command, const std::string& expected, int tries)
{
    rx_.clear();
    if (!port_.Active())
        return {};
    port_.WriteText(command);
    const bool found = waitForCondition([&] { return containsNoCase(rx_, expected); }, std::max(tries, 0) * kReplyTryMs,
                                        [this] { return port_.Active(); });
    return replyOf(rx_, expected, found);
}

TReply TDeviceChannel::sendAndWaitDirect(const std::string& command, const std::string& expected, int tries)
{
    if (!port_.Active())
        return {};
    std::string received;
    port_.WriteText(command);
    // Called from a port event, the port's event thread waits for this call to end and announces
    // nothing meanwhile: the port is read on a short clock.
    const bool found = waitForCondition(
        [&] {
            if (port_.Active())
                received += port_.ReadText();
            return containsNoCase(received, expected);
        },
        std::max(tries, 0) * kReplyTryMs, [this] { return port_.Active(); }, 5);
    return replyOf(received, expected, found);
}
