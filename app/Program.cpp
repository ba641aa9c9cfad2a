#include "Program.h"

#include "DeviceSelection.h"
#include "TextSet.h"
#include "Update.h"
#include "XModem.h"
#include "about.h"
#include "qx_com.h"

#include <memory>

namespace {

// The five windows, owned here for the program's run; the window globals point at them.
struct TWindows {
    std::unique_ptr<TfrmTerm> term;
    std::unique_ptr<TfrmTransfer> transfer;
    std::unique_ptr<TAboutBox> about;
    std::unique_ptr<TfrmXModem> xmodem;
    std::unique_ptr<TfrmUpdate> update;
};
TWindows windows;
} // namespace

void createWindows()
{
    windows.term = std::make_unique<TfrmTerm>();
    frmTerm = windows.term.get();
    windows.transfer = std::make_unique<TfrmTransfer>();
    frmTransfer = windows.transfer.get();
    windows.about = std::make_unique<TAboutBox>();
    AboutBox = windows.about.get();
    windows.xmodem = std::make_unique<TfrmXModem>(*frmTerm->context);
    frmXModem = windows.xmodem.get();
    windows.update = std::make_unique<TfrmUpdate>(*frmTerm->context);
    frmUpdate = windows.update.get();
}

void destroyWindows()
{
    frmUpdate = nullptr;
    windows.update.reset();
    frmXModem = nullptr;
    windows.xmodem.reset();
    AboutBox = nullptr;
    windows.about.reset();
    frmTransfer = nullptr;
    windows.transfer.reset();
    frmTerm = nullptr;
    windows.term.reset();
}
