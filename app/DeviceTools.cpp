// The frame's side of the tools: the tool tab sheets, the device selector's wiring, and what the
// tools ask of the frame (line settings, menu marks, the Update item, the terminal).
#include "qx_com.h"

#include "AsiTab.h"
#include "BmpTab.h"
#include "DeviceSelection.h"
#include "InfoTab.h"
#include "Latin1.h"
#include "StringsTab.h"
#include "ToolContext.h"
#include "Update.h"

#include <QAction>
#include <QComboBox>
#include <QLabel>
#include <QPlainTextEdit>
#include <QTabWidget>

void TfrmTerm::buildToolTabs()
{
    Info = new TInfoTab(PageControl1);
    Info->setObjectName("Info");
    BMP = new TBmpTab(*context, PageControl1);
    Strings = new TStringsTab(*context, PageControl1);
    ASI = new TAsiTab(*context, PageControl1);
    PageControl1->addTab(Info, "Info");
    PageControl1->addTab(BMP, "BMP");
    PageControl1->addTab(Strings, "Stings");
    PageControl1->addTab(ASI, "ASI");
    PageControl1->setTabEnabled(1, false);
    PageControl1->setTabEnabled(2, false);

    deviceSelection = std::make_unique<TDeviceSelection>(*context, *cboDevice, *PageControl1, *Info, *BMP, *ASI);
    deviceSelection->onLibraryFolder = [this](const std::string& folder, const std::string& mask) {
        Strings->setLibraryFolder(folder, mask);
    };
}

void TfrmTerm::cboDeviceChange()
{
    if (context->refuseWhileBusy())
        return;
    deviceSelection->selectDevice();
    refreshTools();
}

void TfrmTerm::watchBusy()
{
    for (QAction* command : {SendText1, ResendText1, SendBinary1, ToolButton9, Xmodem1})
        context->disableWhileBusy(command);
    // The Update item and the device selector have rules of their own besides.
    connect(context.get(), &TToolContext::busyChanged, this, [this](bool busy) {
        Update1->setEnabled(updateAllowed_ && !busy);
        cboDevice->setEnabled(deviceChoice_ && !busy);
    });
}

void TfrmTerm::refreshTools()
{
    BMP->refreshTools();
}

void TfrmTerm::setLineChoice(const TLineChoice& choice)
{
    cboBaudRate->setCurrentIndex(choice.baud);
    cboStopBits->setCurrentIndex(choice.stopBits);
    cboDataBits->setCurrentIndex(choice.dataBits);
    reSetAll();
    PortChange();
}

TLineChoice TfrmTerm::lineChoice() const
{
    return TLineChoice{cboBaudRate->currentIndex(), cboStopBits->currentIndex(), cboDataBits->currentIndex()};
}

void TfrmTerm::setDeviceMarks(bool echo, bool ctsFlow)
{
    Echo1->setChecked(echo);
    HWFlow1->setChecked(ctsFlow);
}

void TfrmTerm::enableUpdate()
{
    updateAllowed_ = true;
    Update1->setEnabled(!context->busy());
}

void TfrmTerm::focusTerminal()
{
    mmoTerm->setFocus();
}

std::string TfrmTerm::selectedDevice() const
{
    return bytes(cboDevice->currentText());
}

bool TfrmTerm::dtrLowMark() const
{
    return DTRlow1->isChecked();
}

bool TfrmTerm::ctsFlowMark() const
{
    return HWFlow1->isChecked();
}

QColor TfrmTerm::terminalColour() const
{
    return mmoTerm->palette().color(QPalette::Base);
}

void TfrmTerm::paintTerminal(const QColor& background)
{
    applyPaneColours(background);
    repaint();
}

void TfrmTerm::showPortClosed()
{
    setConnectDown(false);
}

void TfrmTerm::showNote(const QString& text)
{
    staPanel1->setText(text);
}

void TfrmTerm::setUpdatePosition(int position)
{
    if (frmUpdate)
        frmUpdate->selectFileOf(cboDevice->currentText(), position);
}

int TfrmTerm::updatePosition() const
{
    return frmUpdate ? frmUpdate->selectedEntry() : 0;
}
