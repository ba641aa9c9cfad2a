#include "DeviceChannel.h"

#include "VaClasses.h"
#include "VaComm.h"

#include <QCoreApplication>
#include <QEventLoop>
#include <QTimer>

#include <algorithm>
#include <cctype>
#include <chrono>

std::string replyTerminator = "*";

namespace {

using Clock = std::chrono::steady_clock;

bool containsNoCase(const std::string& text, const std::string& part)
{
    const auto it = std::search(text.begin(), text.end(), part.begin(), part.end(), [](char a, char b) {
        return std::tolower(static_cast<unsigned char>(a)) == std::tolower(static_cast<unsigned char>(b));
    });
    return it != text.end();
}

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
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
        CheckSynchronize();
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
