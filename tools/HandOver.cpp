#include "HandOver.h"

#include "Messages.h"

#include "VaClasses.h"

#include <QCoreApplication>
#include <QEventLoop>
#include <QMetaObject>

#include <atomic>
#include <chrono>

namespace {
// Set while a call to CheckSynchronize is posted and has not started: further wake-ups add nothing.
std::atomic<bool> wakePosted{false};

// One posted call runs rounds of hand-overs for at most this long: a flood of received chunks is
// shown several at a time between repaints, and timers, input and painting still get their turn
// several times a frame.
constexpr auto kHandOverSlice = std::chrono::milliseconds(8);
} // namespace

void installHandOver()
{
    VaSetMainThread();
    VaSetWakeMainThread([] {
        if (wakePosted.exchange(true))
            return;
        QMetaObject::invokeMethod(
            QCoreApplication::instance(),
            [] {
                wakePosted.store(false);
                const auto end = std::chrono::steady_clock::now() + kHandOverSlice;
                while (CheckSynchronize() && std::chrono::steady_clock::now() < end) {
                }
            },
            Qt::QueuedConnection);
    });
    VaSetExceptionHandler([](std::exception_ptr error) { showException(error); });
}

void processMessages(bool waitForMore)
{
    QCoreApplication::processEvents(waitForMore ? QEventLoop::WaitForMoreEvents : QEventLoop::AllEvents);
    CheckSynchronize();
}
