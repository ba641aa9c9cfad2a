#include "HandOver.h"

#include "Messages.h"

#include "VaClasses.h"

#include <QCoreApplication>
#include <QMetaObject>

#include <atomic>

namespace {
// Set while a call to CheckSynchronize is posted and has not started: further wake-ups add nothing.
std::atomic<bool> wakePosted{false};
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
                CheckSynchronize();
            },
            Qt::QueuedConnection);
    });
    VaSetExceptionHandler([](std::exception_ptr error) { showException(error); });
}

void processMessages()
{
    QCoreApplication::processEvents();
    CheckSynchronize();
}
