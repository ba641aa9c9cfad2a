#include "XModem.h"

#include "Activation.h"
#include "IniFile.h"
#include "Messages.h"
#include "Latin1.h"
#include "Places.h"
#include "ToolContext.h"

#include "VaComm.h"
#include "VaProtocol.h"

#include <QCheckBox>
#include <QComboBox>
#include <QEvent>
#include <QFileDialog>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QFileInfo>
#include <QPushButton>
#include <QVBoxLayout>

TfrmXModem* frmXModem = nullptr;

namespace {
constexpr const char* kSection = "XModem";

// A transfer code with its meaning: "-1 (...)".
QString codeText(int32_t code)
{
    return QString::number(code) + " (" + QString::fromLatin1(VaTransferCodeMeaning(code)) + ")";
}

// The entries of the protocol list from this one on are YMODEM's; the list keeps the order of the
// XMODEM entries, so that an index means the same as before.
constexpr int kFirstBatchEntry = 3;
} // namespace

std::vector<std::string> fileNameList(const std::string& text)
{
    if (text.find('"') == std::string::npos)
        return text.empty() ? std::vector<std::string>{} : std::vector<std::string>{text};
    std::vector<std::string> files;
    for (size_t open = text.find('"'); open != std::string::npos; open = text.find('"', open + 1)) {
        const size_t close = text.find('"', open + 1);
        if (close == std::string::npos)
            break;
        if (close > open + 1)
            files.push_back(text.substr(open + 1, close - open - 1));
        open = close;
    }
    return files;
}

std::string expandSpecialChars(const std::string& text)
{
    std::string out;
    size_t i = 0;
    while (i < text.size() && out.size() < 100) {
        if (text[i] != '#') {
            out += text[i++];
            continue;
        }
        ++i;
        unsigned value = 0;
        // Every character up to the terminator counts as a digit worth its code minus 48.
        while (i < text.size() && text[i] != ' ' && text[i] != '\r' && text[i] != '\n') {
            value = value * 10 + static_cast<unsigned>(static_cast<unsigned char>(text[i]) - 48);
            ++i;
        }
        out += static_cast<char>(value & 0xFF);
    }
    const size_t nul = out.find('\0');
    if (nul != std::string::npos)
        out.resize(nul);
    return out;
}

TfrmXModem::TfrmXModem(TToolContext& context, QWidget* parent) : QDialog(parent), context_(context)
{
    setObjectName("frmXModem");
    setWindowTitle("XModem Protocol Transfer");

    Label4 = new QLabel("Status:", this);
    Memo1 = new QPlainTextEdit(this);
    Memo1->setReadOnly(true);
    Memo1->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    Label5 = new QLabel("Filename", this);
    txtXModemFileName = new QLineEdit(this);
    btnXModemBrowes = new QPushButton("Browes", this);
    Label7 = new QLabel("Protocol", this);
    cboXModemProtocol = new QComboBox(this);
    cboXModemProtocol->addItems({"XMODEM", "XMODEM-1K", "XMODEM-G", "YMODEM", "YMODEM-G"});
    Label1 = new QLabel("Packet", this);
    Label2 = new QLabel("0", this);
    Label3 = new QLabel("Count", this);
    Label6 = new QLabel("0", this);
    Label8 = new QLabel("Filename: ", this);
    Label10 = new QLabel("-", this);
    Label9 = new QLabel("Filesize:", this);
    Label11 = new QLabel("-", this);
    Label12 = new QLabel("String to send on open", this);
    txtStringOnOpen = new QLineEdit(this);
    txtStringOnOpen->setToolTip("use #n for special charaters");
    chkOnOpen = new QCheckBox(this);
    Label13 = new QLabel("Strint to send on close", this);
    txtStringOnClose = new QLineEdit(this);
    txtStringOnClose->setToolTip("use #n for special charaters");
    chkOnClose = new QCheckBox(this);
    chkOnComplete = new QCheckBox("Close on transfer complete", this);
    cmdXModemAbort = new QPushButton("Abort", this);
    cmdOK = new QPushButton("OK", this);
    cmdXModemRecieve = new QPushButton("Receive", this);
    cmdXModemSend = new QPushButton("Send", this);
    Label14 = new QLabel("Folder", this);
    txtYModemFolder = new QLineEdit(this);
    txtYModemFolder->setToolTip("YMODEM: received files go into this folder, each under its own name");
    btnYModemFolder = new QPushButton("Browse", this);
    for (QPushButton* b : {cmdXModemAbort, cmdOK, cmdXModemRecieve, cmdXModemSend, btnXModemBrowes, btnYModemFolder})
        b->setAutoDefault(false);

    auto* grid = new QGridLayout;
    grid->addWidget(Label5, 0, 0);
    grid->addWidget(txtXModemFileName, 0, 1, 1, 3);
    grid->addWidget(btnXModemBrowes, 0, 4);
    grid->addWidget(Label7, 1, 0);
    grid->addWidget(cboXModemProtocol, 1, 1);
    grid->addWidget(Label14, 2, 0);
    grid->addWidget(txtYModemFolder, 2, 1, 1, 3);
    grid->addWidget(btnYModemFolder, 2, 4);
    grid->addWidget(Label1, 3, 0);
    grid->addWidget(Label2, 3, 1);
    grid->addWidget(Label3, 3, 2);
    grid->addWidget(Label6, 3, 3);
    grid->addWidget(Label8, 4, 0);
    grid->addWidget(Label10, 4, 1, 1, 4);
    grid->addWidget(Label9, 5, 0);
    grid->addWidget(Label11, 5, 1, 1, 4);
    grid->addWidget(Label12, 6, 0);
    grid->addWidget(txtStringOnOpen, 6, 1, 1, 3);
    grid->addWidget(chkOnOpen, 6, 4);
    grid->addWidget(Label13, 7, 0);
    grid->addWidget(txtStringOnClose, 7, 1, 1, 3);
    grid->addWidget(chkOnClose, 7, 4);
    grid->addWidget(chkOnComplete, 8, 1, 1, 3);
    auto* buttons = new QHBoxLayout;
    for (QPushButton* b : {cmdXModemSend, cmdXModemRecieve, cmdXModemAbort, cmdOK})
        buttons->addWidget(b);
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(Label4);
    layout->addWidget(Memo1, 1);
    layout->addLayout(grid);
    layout->addLayout(buttons);
    layout->setSizeConstraint(QLayout::SetFixedSize); // a fixed border
    Memo1->setMinimumSize(420, 140);

    // The idle port the transfer component is parked on: never opened.
    VaComm2 = std::make_unique<TVaComm>();
    VaComm2->SetDeviceName("COM%d");
    VaXModem1 = std::make_unique<TVaXModem>();
    VaXModem1->SetMode(tmUpload);
    VaXModem1->SetProtocol(TVaXProtocol::XModem);
    VaYModem1 = std::make_unique<TVaYModem>();
    wire(*VaXModem1);
    wire(*VaYModem1);
    // Each file of a batch is logged with its outcome.
    VaYModem1->OnFileEnd = [this](TVaProtocol* sender, const std::string& name, int64_t bytes, int32_t code) {
        const QString file = latin1(name) + " (" + QString::number(bytes) + " bytes)";
        if (code == VaCode::Completed)
            addLine((sender->Mode() == tmDownload ? "Received " : "Sent ") + file);
        else
            addLine("Not completed: " + file + ", exit code " + codeText(code));
    };

    connect(cboXModemProtocol, &QComboBox::currentIndexChanged, this, [this] { cboXModemProtocolChange(); });
    connect(btnXModemBrowes, &QPushButton::clicked, this, [this] { btnXModemBrowesClick(); });
    connect(btnYModemFolder, &QPushButton::clicked, this, [this] { btnYModemFolderClick(); });
    connect(cmdXModemSend, &QPushButton::clicked, this, [this] { guarded([this] { cmdXModemSendClick(); }); });
    connect(cmdXModemRecieve, &QPushButton::clicked, this, [this] { guarded([this] { cmdXModemRecieveClick(); }); });
    connect(&context_, &TToolContext::busyChanged, this, [this] { enableStartButtons(); });
    connect(cmdXModemAbort, &QPushButton::clicked, this, [this] { cmdXModemAbortClick(); });
    connect(cmdOK, &QPushButton::clicked, this, [this] { cmdOKClick(); });

    TProgramActivation::instance().watch(
        this, [this] { guarded([this] { FormActivate(); }); }, [this] { FormDeactivate(); });

    // FormCreate
    guarded([this] { GetSettings(); });
    cboXModemProtocol->setCurrentIndex(0);
    cboXModemProtocolChange();
}

void TfrmXModem::wire(TVaXYModem& component)
{
    component.OnTransferStart = [this](TVaProtocol*) { addLine("Transfer started."); };
    component.OnTransferEnd = [this](TVaProtocol* sender, int32_t exitCode) {
        setTransferRunning(false);
        // A receiver announces its file before it knows the size: show what arrived.
        if (sender->Mode() == tmDownload && !Label10->text().isEmpty())
            Label11->setText(QString::number(received_));
        addLine("Transfer ended.");
        addLine("Exitcode: " + codeText(exitCode));
        park();
        if (chkOnComplete->isChecked())
            hide();
    };
    component.OnError = [this](TVaProtocol*, int32_t errorCode, int32_t) {
        addLine("Error: " + codeText(errorCode));
    };
    component.OnFileInfo = [this](TVaProtocol*, const std::string& name, int64_t size) {
        received_ = 0;
        Label10->setText(latin1(name));
        Label11->setText(QString::number(size));
    };
    component.OnPacketEvent = [this](TVaProtocol*, int32_t packet, int64_t count) {
        Label2->setText(QString::number(packet));
        Label6->setText(QString::number(count));
        received_ = count;
    };
}

TVaXYModem& TfrmXModem::transfer() const
{
    if (batchChosen())
        return *VaYModem1;
    return *VaXModem1;
}

bool TfrmXModem::batchChosen() const
{
    return cboXModemProtocol->currentIndex() >= kFirstBatchEntry;
}

TfrmXModem::~TfrmXModem()
{
    // A transfer still running ends on its own without reaching this window.
    for (TVaXYModem* component : components()) {
        component->OnTransferStart = nullptr;
        component->OnTransferEnd = nullptr;
        component->OnError = nullptr;
        component->OnFileInfo = nullptr;
        component->OnPacketEvent = nullptr;
        component->OnFileEnd = nullptr;
    }
}

void TfrmXModem::GetSettings()
{
    const TIniFile ini(placeOf(TQxPlace::qpSettingsFile));
    txtXModemFileName->setText(latin1(ini.ReadString(kSection, "FileName", "")));
    txtStringOnOpen->setText(latin1(ini.ReadString(kSection, "TextOnOpen", "")));
    txtStringOnClose->setText(latin1(ini.ReadString(kSection, "TextOnClose", "")));
    chkOnOpen->setChecked(ini.ReadBool(kSection, "ChkOnOpen", false));
    chkOnClose->setChecked(ini.ReadBool(kSection, "ChkOnClose", false));
    chkOnComplete->setChecked(ini.ReadBool(kSection, "ChkOnComplete", false));
    txtYModemFolder->setText(latin1(ini.ReadString(kSection, "Folder", "")));
}

void TfrmXModem::WriteSettings()
{
    TIniFile ini(placeOf(TQxPlace::qpSettingsFile));
    ini.WriteString(kSection, "FileName", bytes(txtXModemFileName->text()));
    ini.WriteString(kSection, "TextOnOpen", bytes(txtStringOnOpen->text()));
    ini.WriteString(kSection, "TextOnClose", bytes(txtStringOnClose->text()));
    ini.WriteBool(kSection, "ChkOnOpen", chkOnOpen->isChecked());
    ini.WriteBool(kSection, "ChkOnClose", chkOnClose->isChecked());
    ini.WriteBool(kSection, "ChkOnComplete", chkOnComplete->isChecked());
    ini.WriteString(kSection, "Folder", bytes(txtYModemFolder->text()));
}

void TfrmXModem::FormActivate()
{
    Label10->clear();
    Label11->clear();
    Label2->setText("0");
    Label6->setText("0");
    if (chkOnOpen->isChecked())
        context_.writeToCom(expandSpecialChars(bytes(txtStringOnOpen->text())));
}

void TfrmXModem::FormDeactivate()
{
    guarded([this] {
        WriteSettings();
        if (chkOnClose->isChecked())
            context_.writeToCom(expandSpecialChars(bytes(txtStringOnClose->text())));
    });
}

void TfrmXModem::hideEvent(QHideEvent* event)
{
    QDialog::hideEvent(event);
    TProgramActivation::instance().hidden(this);
}

void TfrmXModem::cboXModemProtocolChange()
{
    static constexpr TVaXProtocol protocols[] = {TVaXProtocol::XModem, TVaXProtocol::XModem1K,
                                                 TVaXProtocol::XModemG};
    const int index = cboXModemProtocol->currentIndex();
    if (index >= 0 && index < kFirstBatchEntry)
        VaXModem1->SetProtocol(protocols[index]);
    else if (index >= kFirstBatchEntry)
        VaYModem1->SetProtocol(index == kFirstBatchEntry ? TVaYProtocol::YModem : TVaYProtocol::YModemG);
    // The folder is where a batch is received.
    for (QWidget* w : {static_cast<QWidget*>(Label14), static_cast<QWidget*>(txtYModemFolder),
                       static_cast<QWidget*>(btnYModemFolder)})
        w->setEnabled(batchChosen());
}

void TfrmXModem::btnXModemBrowesClick()
{
    QFileDialog dialog(this);
    dialog.setNameFilters({"All Files (*)", "Binary (*.bin)"});
    dialog.setDefaultSuffix("bin");
    // A batch is sent from files that exist; one of them or several.
    dialog.setFileMode(batchChosen() ? QFileDialog::ExistingFiles : QFileDialog::AnyFile);
    if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty())
        return;
    const QStringList files = dialog.selectedFiles();
    if (files.size() == 1) {
        txtXModemFileName->setText(files.first());
        return;
    }
    QStringList quoted;
    for (const QString& file : files)
        quoted << '"' + file + '"';
    txtXModemFileName->setText(quoted.join(' '));
}

void TfrmXModem::btnYModemFolderClick()
{
    const QString folder = QFileDialog::getExistingDirectory(this, "Receive into", txtYModemFolder->text());
    if (!folder.isEmpty())
        txtYModemFolder->setText(folder);
}

bool TfrmXModem::prepareBatch(bool download)
{
    if (download) {
        const QString folder = txtYModemFolder->text();
        if (folder.isEmpty() || !QFileInfo(folder).isDir()) {
            addLine("Choose an existing folder to receive into.");
            return false;
        }
        VaYModem1->SetFolder(bytes(folder));
        return true;
    }
    const std::vector<std::string> files = fileNameList(bytes(txtXModemFileName->text()));
    if (files.empty()) {
        addLine("Choose the files to send.");
        return false;
    }
    // Checked before the batch starts, so that no file of it goes out when one is missing.
    for (const std::string& file : files) {
        if (!QFileInfo(latin1(file)).isFile()) {
            addLine("File not found: " + latin1(file));
            return false;
        }
    }
    VaYModem1->SetFileNames(files);
    return true;
}

void TfrmXModem::startTransfer(bool download)
{
    if (context_.refuseWhileBusy())
        return;
    // Without an open port the transfer could only wait out its time-outs.
    if (!context_.VaComm1.Active()) {
        addLine("The COM port is closed: connect first.");
        return;
    }
    if (batchChosen() ? !prepareBatch(download) : false)
        return;
    VaXModem1->SetFileName(bytes(txtXModemFileName->text()));
    TVaXYModem& component = transfer();
    component.SetMode(download ? tmDownload : tmUpload);
    // The transfer borrows the main window's port: the terminal sees nothing of it meanwhile.
    component.SetComm(&context_.VaComm1);
    component.StartTransfer();
    setTransferRunning(true);
}

void TfrmXModem::setTransferRunning(bool running)
{
    if (running)
        transferBusy_.emplace(context_);
    else
        transferBusy_.reset();
    enableStartButtons();
}

void TfrmXModem::enableStartButtons()
{
    const bool idle = !context_.busy();
    cmdXModemSend->setEnabled(idle);
    cmdXModemRecieve->setEnabled(idle);
}

void TfrmXModem::cmdXModemSendClick()
{
    startTransfer(false);
}

void TfrmXModem::cmdXModemRecieveClick()
{
    startTransfer(true);
}

void TfrmXModem::cmdXModemAbortClick()
{
    for (TVaXYModem* component : components())
        component->AbortTransfer();
    // A running transfer stays on the line until it has told the device (two CAN); its end parks it.
    if (!busy())
        park();
    hide();
}

void TfrmXModem::cmdOKClick()
{
    if (!busy())
        park();
    hide();
}

void TfrmXModem::deviceDisconnected()
{
    if (!busy())
        return;
    addLine("Device disconnected");
    for (TVaXYModem* component : components())
        component->AbortTransfer();
}

std::array<TVaXYModem*, 2> TfrmXModem::components() const
{
    return {VaXModem1.get(), VaYModem1.get()};
}

bool TfrmXModem::busy() const
{
    return VaXModem1->Busy() || VaYModem1->Busy();
}

void TfrmXModem::park()
{
    // Only a component that is not running leaves the port: a running one is parked by its end.
    for (TVaXYModem* component : components())
        if (!component->Busy())
            component->SetComm(VaComm2.get());
}

void TfrmXModem::addLine(const QString& line)
{
    Memo1->appendPlainText(line);
}
