#include "Program.h"

#include "Messages.h"
#include "Shells.h"
#include "XModem.h"
#include "TextSet.h"
#include "about.h"
#include "qx_com.h"

#include "VaClasses.h"

#include <QCoreApplication>
#include <QMetaObject>

#include <atomic>

namespace {
// Set while a call to CheckSynchronize is posted and has not started: further wake-ups add nothing.
std::atomic<bool> wakePosted{false};
}

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

void createWindows()
{
    frmTerm = new TfrmTerm;
    frmTransfer = new TfrmTransfer;
    AboutBox = new TAboutBox;
    frmXModem = new TfrmXModem;
    frmUpdate = new TfrmUpdate;
}

void destroyWindows()
{
    delete frmUpdate;
    frmUpdate = nullptr;
    delete frmXModem;
    frmXModem = nullptr;
    delete AboutBox;
    AboutBox = nullptr;
    delete frmTransfer;
    frmTransfer = nullptr;
    delete frmTerm;
    frmTerm = nullptr;
}
