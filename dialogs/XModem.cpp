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
} // namespace

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
    cboXModemProtocol->addItems({"XMODEM", "XMODEM-1K", "XMODEM-G"});
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
    for (QPushButton* b : {cmdXModemAbort, cmdOK, cmdXModemRecieve, cmdXModemSend, btnXModemBrowes})
        b->setAutoDefault(false);

    auto* grid = new QGridLayout;
    grid->addWidget(Label5, 0, 0);
    grid->addWidget(txtXModemFileName, 0, 1, 1, 3);
    grid->addWidget(btnXModemBrowes, 0, 4);
    grid->addWidget(Label7, 1, 0);
    grid->addWidget(cboXModemProtocol, 1, 1);
    grid->addWidget(Label1, 2, 0);
    grid->addWidget(Label2, 2, 1);
    grid->addWidget(Label3, 2, 2);
    grid->addWidget(Label6, 2, 3);
    grid->addWidget(Label8, 3, 0);
    grid->addWidget(Label10, 3, 1, 1, 4);
    grid->addWidget(Label9, 4, 0);
    grid->addWidget(Label11, 4, 1, 1, 4);
    grid->addWidget(Label12, 5, 0);
    grid->addWidget(txtStringOnOpen, 5, 1, 1, 3);
    grid->addWidget(chkOnOpen, 5, 4);
    grid->addWidget(Label13, 6, 0);
    grid->addWidget(txtStringOnClose, 6, 1, 1, 3);
    grid->addWidget(chkOnClose, 6, 4);
    grid->addWidget(chkOnComplete, 7, 1, 1, 3);
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
    VaXModem1->OnTransferStart = [this](TVaProtocol*) { addLine("Transfer started."); };
    VaXModem1->OnTransferEnd = [this](TVaProtocol*, int32_t exitCode) {
        setTransferRunning(false);
        // A receiver announces its file before it knows the size: show what arrived.
        if (VaXModem1->Mode() == tmDownload && !Label10->text().isEmpty())
            Label11->setText(QString::number(received_));
        addLine("Transfer ended.");
        addLine("Exitcode: " + codeText(exitCode));
        park();
        if (chkOnComplete->isChecked())
            hide();
    };
    VaXModem1->OnError = [this](TVaProtocol*, int32_t errorCode, int32_t) {
        addLine("Error: " + codeText(errorCode));
    };
    VaXModem1->OnFileInfo = [this](TVaProtocol*, const std::string& name, int64_t size) {
        received_ = 0;
        Label10->setText(latin1(name));
        Label11->setText(QString::number(size));
    };
    VaXModem1->OnPacketEvent = [this](TVaProtocol*, int32_t packet, int64_t count) {
        Label2->setText(QString::number(packet));
        Label6->setText(QString::number(count));
        received_ = count;
    };

    connect(cboXModemProtocol, &QComboBox::currentIndexChanged, this, [this] { cboXModemProtocolChange(); });
    connect(btnXModemBrowes, &QPushButton::clicked, this, [this] { btnXModemBrowesClick(); });
    connect(cmdXModemSend, &QPushButton::clicked, this, [this] { guarded([this] { cmdXModemSendClick(); }); });
    connect(cmdXModemRecieve, &QPushButton::clicked, this, [this] { guarded([this] { cmdXModemRecieveClick(); }); });
    connect(cmdXModemAbort, &QPushButton::clicked, this, [this] { cmdXModemAbortClick(); });
    connect(cmdOK, &QPushButton::clicked, this, [this] { cmdOKClick(); });

    TProgramActivation::instance().watch(
        this, [this] { guarded([this] { FormActivate(); }); }, [this] { FormDeactivate(); });

    // FormCreate
    guarded([this] { GetSettings(); });
    cboXModemProtocol->setCurrentIndex(0);
}

TfrmXModem::~TfrmXModem()
{
    // A transfer still running ends on its own without reaching this window.
    VaXModem1->OnTransferStart = nullptr;
    VaXModem1->OnTransferEnd = nullptr;
    VaXModem1->OnError = nullptr;
    VaXModem1->OnFileInfo = nullptr;
    VaXModem1->OnPacketEvent = nullptr;
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
    if (index >= 0 && index < 3)
        VaXModem1->SetProtocol(protocols[index]);
}

void TfrmXModem::btnXModemBrowesClick()
{
    QFileDialog dialog(this);
    dialog.setNameFilters({"All Files (*)", "Binary (*.bin)"});
    dialog.setDefaultSuffix("bin");
    dialog.setFileMode(QFileDialog::AnyFile);
    if (dialog.exec() == QDialog::Accepted && !dialog.selectedFiles().isEmpty())
        txtXModemFileName->setText(dialog.selectedFiles().first());
}

void TfrmXModem::startTransfer(bool download)
{
    // Without an open port the transfer could only wait out its time-outs.
    if (!context_.VaComm1.Active()) {
        addLine("The COM port is closed: connect first.");
        return;
    }
    VaXModem1->SetFileName(bytes(txtXModemFileName->text()));
    VaXModem1->SetMode(download ? tmDownload : tmUpload);
    // The transfer borrows the main window's port: the terminal sees nothing of it meanwhile.
    VaXModem1->SetComm(&context_.VaComm1);
    VaXModem1->StartTransfer();
    setTransferRunning(true);
}

void TfrmXModem::setTransferRunning(bool running)
{
    cmdXModemSend->setEnabled(!running);
    cmdXModemRecieve->setEnabled(!running);
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
    VaXModem1->AbortTransfer();
    // A running transfer stays on the line until it has told the device (two CAN); its end parks it.
    if (!VaXModem1->Busy())
        park();
    hide();
}

void TfrmXModem::cmdOKClick()
{
    if (!VaXModem1->Busy())
        park();
    hide();
}

void TfrmXModem::deviceDisconnected()
{
    if (!VaXModem1->Busy())
        return;
    addLine("Device disconnected");
    VaXModem1->AbortTransfer();
}

void TfrmXModem::park()
{
    VaXModem1->SetComm(VaComm2.get());
}

void TfrmXModem::addLine(const QString& line)
{
    Memo1->appendPlainText(line);
}
