#include "Update.h"

#include "Activation.h"
#include "AtomicFile.h"
#include "Catalogue.h"
#include "DeviceChannel.h"
#include "IniFile.h"
#include "Latin1.h"
#include "Messages.h"
#include "Places.h"
#include "ToolContext.h"
#include "Values.h"

#include "VaClasses.h"
#include "VaComm.h"
#include "VaProtocol.h"

#include <QCheckBox>
#include <QComboBox>
#include <QFileDialog>
#include <QFileInfo>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QToolButton>
#include <QVBoxLayout>

#include <algorithm>
#include <chrono>
#include <climits>
#include <stdexcept>
#include <thread>

TfrmUpdate* frmUpdate = nullptr;

namespace {
constexpr char kAck = 0x06;
constexpr char kNak = 0x15;
constexpr char kEot = 0x04;
constexpr size_t kChunk = 2000;
// How often the waits look at conditions no port event announces (the port closing, Cancel).
constexpr int kPollMs = 20;

int progressValue(int64_t value)
{
    return static_cast<int>(std::clamp<int64_t>(value, 0, INT_MAX));
}

// Switches CTS output flow control of the port off for its lifetime, then back to the state of the
// main window's menu mark, however the update ends.
class TCtsFlowOff {
public:
    explicit TCtsFlowOff(TToolContext& context) : context_(context)
    {
        context_.VaComm1.FlowControl().SetOutCtsFlow(false);
    }
    ~TCtsFlowOff() { context_.VaComm1.FlowControl().SetOutCtsFlow(context_.frame.ctsFlowMark()); }
    TCtsFlowOff(const TCtsFlowOff&) = delete;
    TCtsFlowOff& operator=(const TCtsFlowOff&) = delete;

private:
    TToolContext& context_;
};
} // namespace

std::string visibleReply(const std::string& reply)
{
    std::string shown;
    for (char c : reply) {
        const auto code = static_cast<unsigned char>(c);
        if (code < 32 || code > 126)
            shown += "#" + std::to_string(code);
        else
            shown += c;
    }
    return shown;
}

TfrmUpdate::TfrmUpdate(TToolContext& context, QWidget* parent) : QDialog(parent), context_(context)
{
    setObjectName("frmUpdate");
    setWindowTitle("Device Update");

    lblDeviceName = new QLabel("Update Device 1234", this);
    lblDeviceName->setObjectName("lblDeviceName");
    QFont heading = lblDeviceName->font();
    heading.setBold(true);
    heading.setPointSizeF(heading.pointSizeF() * 1.5);
    lblDeviceName->setFont(heading);
    Label1 = new QLabel("Update File Name", this);
    cboUpdate = new QComboBox(this);
    cboUpdate->setObjectName("cboUpdate");
    cboUpdate->setEditable(true);
    cboUpdate->setInsertPolicy(QComboBox::NoInsert);
    cboUpdate->setMinimumWidth(320);
    spDelBMP = new QToolButton(this);
    spDelBMP->setObjectName("spDelBMP");
    spDelBMP->setText("X");
    spDelBMP->setToolTip("Clear list");
    cmdBrows = new QPushButton("Browse", this);
    lblFileName = new QLabel("File Name", this);
    Label2 = new QLabel("Packet", this);
    lblPacket = new QLabel("0", this);
    lblPacket->setObjectName("lblPacket");
    pbUpload = new QProgressBar(this);
    pbUpload->setObjectName("pbUpload");
    pbUpload->setRange(0, 1);
    pbUpload->setValue(0);
    chkCloseonComplete = new QCheckBox("Close on Complete", this);
    chkCloseonComplete->setChecked(true);
    cmdUpdate = new QPushButton("Update", this);
    cmdCancel = new QPushButton("Cancel", this);
    for (QPushButton* b : {cmdBrows, cmdUpdate, cmdCancel})
        b->setAutoDefault(false);
    dlgOpen = new QFileDialog(this);
    dlgOpen->setFileMode(QFileDialog::ExistingFile);
    // Qt's own dialog, as the BMP tab's, so that tests can drive it.
    dlgOpen->setOption(QFileDialog::DontUseNativeDialog);

    auto* grid = new QGridLayout;
    grid->addWidget(Label1, 0, 0, 1, 3);
    grid->addWidget(cboUpdate, 1, 0, 1, 2);
    grid->addWidget(spDelBMP, 1, 2);
    grid->addWidget(cmdBrows, 1, 3);
    grid->addWidget(lblFileName, 2, 0, 1, 4);
    auto* packet = new QHBoxLayout;
    packet->addWidget(Label2);
    packet->addWidget(lblPacket);
    packet->addWidget(pbUpload, 1);
    auto* buttons = new QHBoxLayout;
    buttons->addWidget(chkCloseonComplete);
    buttons->addStretch(1);
    buttons->addWidget(cmdUpdate);
    buttons->addWidget(cmdCancel);
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(lblDeviceName);
    layout->addLayout(grid);
    layout->addLayout(packet);
    layout->addLayout(buttons);

    // The idle port the transfer component is parked on after a transfer: never opened.
    VaComm3 = std::make_unique<TVaComm>();
    VaComm3->SetDeviceName("COM%d");
    {
        TVaFlowControl& flow = VaComm3->FlowControl();
        flow.SetOutCtsFlow(false);
        flow.SetOutDsrFlow(false);
        flow.SetXonXoffOut(false);
        flow.SetXonXoffIn(false);
        flow.SetControlDtr(dtrDisabled);
        flow.SetControlRts(rtsDisabled);
    }
    VaXModem2 = std::make_unique<TVaXModem>();
    VaXModem2->SetMode(tmUpload);
    VaXModem2->SetProtocol(TVaXProtocol::XModem1K);
    VaXModem2->OnTransferStart = [this](TVaProtocol*) { VaXModem2TransferStart(); };
    VaXModem2->OnPacketEvent = [this](TVaProtocol*, int32_t packet, int64_t count) {
        VaXModem2PacketEvent(packet, count);
    };
    VaXModem2->OnError = [this](TVaProtocol*, int32_t errorCode, int32_t) { VaXModem2Error(errorCode); };
    VaXModem2->OnFileInfo = [this](TVaProtocol*, const std::string&, int64_t) { VaXModem2FileInfo(); };
    VaXModem2->OnTransferEnd = [this](TVaProtocol*, int32_t exitCode) { VaXModem2TransferEnd(exitCode); };

    connect(cboUpdate, &QComboBox::currentTextChanged, this, [this] { cboUpdateChange(); });
    connect(cmdBrows, &QPushButton::clicked, this, [this] { cmdBrowsClick(); });
    connect(spDelBMP, &QToolButton::clicked, this, [this] { spDelBMPClick(); });
    connect(cmdCancel, &QPushButton::clicked, this, [this] { cmdCancelClick(); });
    connect(cmdUpdate, &QPushButton::clicked, this, [this] { guarded([this] { cmdUpdateClick(); }); });

    resize(460, 220);
    // One of the program's windows: activation passes between it and the others.
    TProgramActivation::instance().watch(this, {});
}

TfrmUpdate::~TfrmUpdate()
{
    // A transfer still running ends on its own without reaching this window.
    VaXModem2->OnTransferStart = nullptr;
    VaXModem2->OnTransferEnd = nullptr;
    VaXModem2->OnError = nullptr;
    VaXModem2->OnFileInfo = nullptr;
    VaXModem2->OnPacketEvent = nullptr;
}

void TfrmUpdate::showEvent(QShowEvent* event)
{
    QDialog::showEvent(event);
    FormShow();
}

void TfrmUpdate::hideEvent(QHideEvent* event)
{
    if (!device_.isEmpty() && !cboUpdate->currentText().isEmpty())
        lastFiles_[device_] = cboUpdate->currentText();
    QDialog::hideEvent(event);
    TProgramActivation::instance().hidden(this);
}

void TfrmUpdate::FormShow()
{
    if (!cboUpdate->currentText().isEmpty())
        lblFileName->setText(QFileInfo(cboUpdate->currentText()).fileName());
}

void TfrmUpdate::cboUpdateChange()
{
    lblFileName->setText(QFileInfo(cboUpdate->currentText()).fileName());
}

void TfrmUpdate::cmdBrowsClick()
{
    dlgOpen->setNameFilters({"All Files (*)", "BIN (*.bin)"});
    dlgOpen->selectNameFilter("BIN (*.bin)");
    if (dlgOpen->exec() != QDialog::Accepted || dlgOpen->selectedFiles().isEmpty())
        return;
    cboUpdate->addItem(dlgOpen->selectedFiles().first());
    cboUpdate->setCurrentIndex(cboUpdate->count() - 1);
    cboUpdateChange();
}

void TfrmUpdate::prepare(const QString& device)
{
    lblDeviceName->setText("Update Device " + device);
    // Nothing of an earlier run stays on show.
    lblPacket->setText("0");
    pbUpload->setValue(0);
    selectFileOf(device, cboUpdate->currentIndex());
}

void TfrmUpdate::setFileHistory(const std::vector<std::string>& files)
{
    cboUpdate->clear();
    for (const auto& file : files)
        cboUpdate->addItem(latin1(file));
    cboUpdate->setCurrentIndex(cboUpdate->count() - 1);
}

std::vector<std::string> TfrmUpdate::fileHistory() const
{
    std::vector<std::string> files;
    for (int i = 0; i < cboUpdate->count(); ++i)
        files.push_back(bytes(cboUpdate->itemText(i)));
    return files;
}

void TfrmUpdate::selectFileOf(const QString& device, int position)
{
    device_ = device;
    const auto last = lastFiles_.find(device);
    const int at = last != lastFiles_.end() ? cboUpdate->findText(last->second) : -1;
    cboUpdate->setCurrentIndex(at >= 0 ? at : position);
    cboUpdateChange();
}

int TfrmUpdate::selectedEntry() const
{
    return cboUpdate->currentIndex();
}

void TfrmUpdate::spDelBMPClick()
{
    cboUpdate->clear();
    cboUpdate->setEditText(QString());
}

void TfrmUpdate::cmdCancelClick()
{
    // An update in progress is cancelled; an idle dialog closes, as Cancel does everywhere.
    if (running_)
        updateCancelled = true;
    else
        reject();
}

void TfrmUpdate::VaXModem2TransferStart()
{
    context_.addStatus("Transfer Started\n");
}

void TfrmUpdate::VaXModem2PacketEvent(int32_t packet, int64_t byteCount)
{
    lblPacket->setText(QString::number(packet));
    pbUpload->setValue(std::min(progressValue(byteCount), pbUpload->maximum()));
}

void TfrmUpdate::VaXModem2Error(int32_t errorCode)
{
    context_.addStatus("Error: " + std::to_string(errorCode) + "\n", fsPlain, kErrorRed);
}

void TfrmUpdate::VaXModem2FileInfo() {}

void TfrmUpdate::VaXModem2TransferEnd(int32_t)
{
    context_.addStatus("Transfer ended\n");
    park();
    context_.frame.focusTerminal();
    if (chkCloseonComplete->isChecked())
        close();
}

void TfrmUpdate::park()
{
    VaXModem2->SetComm(VaComm3.get());
}

bool TfrmUpdate::interrupted() const
{
    return updateCancelled || context_.closing() || !context_.VaComm1.Active();
}

TUpdateOutcome TfrmUpdate::interruption() const
{
    if (context_.closing())
        return TUpdateOutcome::Closing;
    if (!context_.VaComm1.Active())
        return TUpdateOutcome::PortLost;
    return TUpdateOutcome::Cancelled;
}

bool TfrmUpdate::waitFor(const std::function<bool()>& done)
{
    return waitForCondition(done, INT_MAX, [this] { return !interrupted(); }, kPollMs);
}

void TfrmUpdate::resetPulse()
{
    TToolFrame& frame = context_.frame;
    const bool resting = frame.dtrLowMark();
    const QColor background = frame.terminalColour();
    context_.VaComm1.SetDTR(!resting);
    frame.paintTerminal(Qt::black);
    // The pulse is timed without handling messages, so nothing stretches it.
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    context_.VaComm1.SetDTR(resting);
    frame.paintTerminal(background);
}

void TfrmUpdate::cmdUpdateClick()
{
    updateCancelled = false;
    TVaComm& port = context_.VaComm1;
    if (context_.refuseWhileBusy())
        return;
    if (!port.Active()) {
        context_.addStatus("COM port ");
        context_.addStatus("NOT OPEN", fsBold, kErrorRed);
        return;
    }
    const std::string path = bytes(cboUpdate->currentText());
    const QFileInfo file(cboUpdate->currentText());
    if (path.empty() || !file.exists() || !file.isFile()) {
        context_.addStatus("File " + path + " ");
        context_.addStatus(" Does not exist\n", fsBold);
        return;
    }

    // A second click while an update waits would start another inside it.
    const TBusyState busy(context_);
    cmdUpdate->setEnabled(false);
    running_ = true;
    struct TEnable {
        TfrmUpdate& dialog;
        ~TEnable()
        {
            dialog.cmdUpdate->setEnabled(true);
            dialog.running_ = false;
        }
    } enableAgain{*this};
    lblPacket->setText("0");
    pbUpload->setRange(0, std::max(1, progressValue(file.size())));
    pbUpload->setValue(0);

    port.WriteChar('\r');
    context_.waitMs(250);

    const TIniFile catalogue(catalogueFile(placeOf(TQxPlace::qpToolFolder)));
    const std::string update = catalogue.ReadString(context_.frame.selectedDevice(), "Update", "");
    const std::string entry = getField(update, 1);
    const std::string answer = getField(update, 2);

    TUpdateOutcome outcome;
    {
        const TCtsFlowOff flowOff(context_);
        resetPulse();
        context_.waitMs(10);
        port.WriteText(entry);
        context_.rx.clear();
        context_.waitMs(300);
        replyShown_ = visibleReply(context_.rx);

        if (interrupted())
            outcome = interruption();
        else if (context_.rx.find("DDD") != std::string::npos)
            outcome = appLoader2Upload();
        else
            outcome = appLoader1Upload(answer);
        outcome_ = outcome;
        reportOutcome(outcome);
    }
    if (chkCloseonComplete->isChecked()) {
        context_.frame.focusTerminal();
        close();
    }
}

void TfrmUpdate::reportOutcome(TUpdateOutcome outcome)
{
    switch (outcome) {
    case TUpdateOutcome::Uploaded:
        context_.addStatus("Updating Complete\n");
        break;
    case TUpdateOutcome::NoLoader:
        context_.addStatus("No boot loader answered, received: \"" + replyShown_ + "\"\n", fsPlain, kErrorRed);
        break;
    case TUpdateOutcome::Refused:
        break; // the refusal has been reported where it came
    case TUpdateOutcome::EndedEarly:
        context_.addStatus("The boot loader ended the upload before the whole file was sent\n", fsPlain,
                           kErrorRed);
        break;
    case TUpdateOutcome::Failed:
        context_.addStatus("Update failed: transfer exit code " + std::to_string(VaXModem2->ExitCode()) + " ("
                               + VaTransferCodeMeaning(VaXModem2->ExitCode()) + ")\n",
                           fsPlain, kErrorRed);
        break;
    case TUpdateOutcome::Cancelled:
        context_.addStatus("Update cancelled\n", fsPlain, kErrorRed);
        break;
    case TUpdateOutcome::PortLost:
        context_.addStatus("Update failed: the COM port closed\n", fsPlain, kErrorRed);
        break;
    case TUpdateOutcome::Closing:
        break;
    }
}

TUpdateOutcome TfrmUpdate::appLoader1Upload(const std::string& answer)
{
    if (!containsNoCase(context_.rx, "Press"))
        return TUpdateOutcome::NoLoader;
    context_.addStatus("App Loder Version 1\n");
    TVaComm& port = context_.VaComm1;
    port.WriteText(answer);
    context_.waitMs(500);
    context_.rx.clear();
    waitFor([this] { return context_.rx.find('C') != std::string::npos; });
    // A cancel still starts the transfer, which is then cancelled at once; a closed port does not.
    if (context_.closing() || !port.Active())
        return interruption();
    context_.addStatus("C found Updating device \n");
    context_.waitMs(50);

    VaXModem2->SetFileName(bytes(cboUpdate->currentText()));
    VaXModem2->SetMode(tmUpload);
    // The transfer borrows the main window's port: the terminal sees nothing of it meanwhile.
    VaXModem2->SetComm(&port);
    VaXModem2->StartTransfer();
    waitForCondition([this] { return !VaXModem2->Busy(); }, INT_MAX, [this] { return !interrupted(); },
                     kPollMs);
    const bool stopped = VaXModem2->Busy();
    // Parked before the abort, so the cancel the transfer sends goes to the idle port: the loader
    // restarts on its own when no block comes, and a CAN would only be taken for data.
    park();
    VaXModem2->AbortTransfer();
    park();
    if (stopped)
        return interruption();
    return VaXModem2->ExitCode() == VaCode::Completed ? TUpdateOutcome::Uploaded : TUpdateOutcome::Failed;
}

TUpdateOutcome TfrmUpdate::appLoader2Upload()
{
    TVaComm& port = context_.VaComm1;
    context_.addStatus("App Loader Version 2-");
    port.WriteChar('v');
    context_.rx.clear();
    if (!waitFor([this] { return !context_.rx.empty(); })) {
        context_.addStatus("\n");
        return interruption();
    }
    context_.addStatus(std::to_string(static_cast<unsigned char>(context_.rx.back())) + "\n");
    context_.rx.clear();

    std::string data;
    const std::string path = bytes(cboUpdate->currentText());
    if (!readWholeFile(path, data))
        throw std::runtime_error("Cannot open file \"" + path + "\".");
    const uint32_t total = static_cast<uint32_t>(data.size() + 10);
    for (int shift = 24; shift >= 0; shift -= 8)
        port.WriteChar(static_cast<char>((total >> shift) & 0xFF));
    context_.rx.clear();

    const size_t count = total > kChunk ? kChunk : total;
    size_t pos = 0;
    int chunk = 1;
    // The loader paces the upload by chunks; within a chunk the bytes go out as fast as the port
    // takes them (CTS output flow control is off for the update).
    TPacing pacing;
    pacing.waitForCts = false;
    pacing.stopped = [this] { return interrupted(); };
    pacing.progress = [this, &pos](size_t) { pbUpload->setValue(progressValue(static_cast<int64_t>(pos))); };
    while (pos < data.size()) {
        if (!waitFor([this] { return context_.rx.find_first_of(std::string{kAck, kNak, kEot}) != std::string::npos; }))
            return interruption();
        if (context_.rx.find(kNak) != std::string::npos) {
            context_.addStatus("NACK recieved ", fsPlain, kErrorRed);
            context_.addStatus("Aborting upload\n", fsBold, kErrorRed);
            return TUpdateOutcome::Refused;
        }
        if (context_.rx.find(kEot) != std::string::npos)
            return TUpdateOutcome::EndedEarly;
        context_.rx.clear();
        lblPacket->setText(QString::number(chunk++));
        const size_t sent = sendBytes(
            context_,
            [&, end = pos + count](char& c) {
                if (pos >= end || pos >= data.size())
                    return false;
                c = data[pos++];
                return true;
            },
            pacing);
        if (interrupted())
            return interruption();
        if (sent < count)
            context_.addStatus("EOF\n", fsPlain, kTeal);
        if (count < kChunk)
            break;
    }
    return TUpdateOutcome::Uploaded;
}
