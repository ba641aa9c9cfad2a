#include "DeviceChannel.h"

#include "VaClasses.h"
#include "VaComm.h"

#include <QCoreApplication>
#include <QEventLoop>
#include <QProgressBar>
#include <QTimer>
#include <QWidget>

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

size_t TDeviceChannel::sendPaced(const std::string& data, size_t count, int progressMax, const TPacedView& view)
{
    count = std::min(count, data.size());
    bool localCancel = false;
    bool& cancel = view.cancel ? *view.cancel : localCancel;
    const auto stopped = [&] { return cancel || (view.closing && view.closing()) || !port_.Active(); };
    if (view.progress) {
        view.progress->show();
        view.progress->setValue(0);
        view.progress->setMaximum(progressMax);
    }
    if (view.cancelButton)
        view.cancelButton->show();
    cancel = false;
    size_t sent = 0;
    // Window messages are handled between bytes at most once a millisecond: a pass of the event
    // loop costs more than a byte, and a millisecond keeps the window and Cancel live.
    auto nextPass = Clock::now();
    for (size_t i = 0; i < count; ++i) {
        // Cancel also ends a wait for CTS, which might otherwise never end.
        if (!port_.CTS())
            waitForCondition([&] { return port_.CTS() || stopped(); }, INT32_MAX, {}, 2);
        if (stopped())
            break;
        port_.WriteChar(data[i]);
        ++sent;
        const auto now = Clock::now();
        if (now >= nextPass || i + 1 == count) {
            if (view.progress)
                view.progress->setValue(static_cast<int>(std::min<size_t>(sent, INT32_MAX)));
            QCoreApplication::processEvents();
            CheckSynchronize();
            nextPass = now + std::chrono::milliseconds(1);
        }
        if (stopped())
            break;
    }
    if (view.progress) {
        view.progress->hide();
        view.progress->setValue(0);
    }
    if (view.cancelButton)
        view.cancelButton->hide();
    cancel = false;
    return sent;
}
