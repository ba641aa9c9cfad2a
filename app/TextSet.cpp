#include "TextSet.h"

#include "Activation.h"
#include "IniFile.h"
#include "Latin1.h"
#include "Messages.h"
#include "Places.h"

#include <QCheckBox>
#include <QGridLayout>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QVBoxLayout>

TfrmTransfer* frmTransfer = nullptr;

namespace {

const char* const kSection = "Transfer";
const char* const kFileDefaults[4] = {"*.tcb", "*.hex", "*.flb", "*.fth"};
const char* const kSendDefaults[4] = {"loadb", "loadh", "loadf", "loadf"};
const char* const kWaitDefaults[4] = {"500", "500", "100", "100"};

std::string text(const QLineEdit* edit)
{
    return bytes(edit->text());
}

void setText(QLineEdit* edit, const std::string& value)
{
    edit->setText(latin1(value));
}

} // namespace

TfrmTransfer::TfrmTransfer(QWidget* parent) : QDialog(parent)
{
    setObjectName("frmTransfer");
    setWindowTitle("Text Transfer Settings");
    TProgramActivation::instance().watch(this, {});
    setWindowFlag(Qt::WindowContextHelpButtonHint, false);

    auto* layout = new QVBoxLayout(this);

    auto* eol = new QGroupBox("End of line action", this);
    auto* grid = new QGridLayout(eol);
    chkEolChar = new QCheckBox("End of line wait for Character", eol);
    txtEolChar = new QLineEdit(eol);
    chkOnError = new QCheckBox("On error Character", eol);
    chkOnError->setEnabled(false);
    txtOnErrCH = new QLineEdit(eol);
    chkEOPstr = new QCheckBox("Loading end string", eol);
    txtEOPstr = new QLineEdit(eol);
    chkEolDel = new QCheckBox("End of line wait delay ms", eol);
    txtEolDel = new QLineEdit(eol);
    chkAddCR = new QCheckBox("Add CR", eol);
    chkAddLF = new QCheckBox("Add LF", eol);
    chkLoadingEcho = new QCheckBox("Loading Echo", eol);
    for (QLineEdit* e : {txtEolChar, txtOnErrCH, txtEOPstr, txtEolDel})
        e->setMaximumWidth(60);
    grid->addWidget(chkEolChar, 0, 0);
    grid->addWidget(txtEolChar, 0, 1);
    grid->addWidget(chkOnError, 1, 0);
    grid->addWidget(txtOnErrCH, 1, 1);
    grid->addWidget(chkEOPstr, 2, 0);
    grid->addWidget(txtEOPstr, 2, 1);
    grid->addWidget(chkEolDel, 3, 0);
    grid->addWidget(txtEolDel, 3, 1);
    grid->addWidget(chkAddCR, 4, 0);
    grid->addWidget(chkAddLF, 5, 0);
    grid->addWidget(chkLoadingEcho, 6, 0);
    layout->addWidget(eol);

    auto* pathLabel = new QLabel("Transfer Default Path", this);
    txtTransfer = new QLineEdit(this);
    txtTransfer->setToolTip("This path is added to the put filename transfer");
    layout->addWidget(pathLabel);
    layout->addWidget(txtTransfer);

    chkXferOpt = new QCheckBox("Activate transfer options", this);
    layout->addWidget(chkXferOpt);

    auto* automation = new QGroupBox("Text transfer automation", this);
    auto* rows = new QGridLayout(automation);
    rows->addWidget(new QLabel("For this file", automation), 0, 0);
    rows->addWidget(new QLabel("Send", automation), 0, 1);
    rows->addWidget(new QLabel("Then wait for ms", automation), 0, 2);
    for (int i = 0; i < 4; ++i) {
        txtFile[i] = new QLineEdit(automation);
        txtSend[i] = new QLineEdit(automation);
        txtWait[i] = new QLineEdit(automation);
        txtFile[i]->setObjectName(QString("txtFile%1").arg(i + 1));
        txtSend[i]->setObjectName(QString("txtSend%1").arg(i + 1));
        txtWait[i]->setObjectName(QString("txtWait%1").arg(i + 1));
        rows->addWidget(txtFile[i], i + 1, 0);
        rows->addWidget(txtSend[i], i + 1, 1);
        rows->addWidget(txtWait[i], i + 1, 2);
    }
    layout->addWidget(automation);

    btnOk = new QPushButton("Ok", this);
    layout->addWidget(btnOk, 0, Qt::AlignRight);

    resize(299, 438);

    connect(chkXferOpt, &QCheckBox::toggled, this, [this] { chkXferOptClick(); });
    connect(btnOk, &QPushButton::clicked, this, [this] { guarded([this] { btnOkClick(); }); });

    chkXferOptClick();
    guarded([this] { getSettings(); });
}

void TfrmTransfer::chkXferOptClick()
{
    const bool on = chkXferOpt->isChecked();
    for (int i = 0; i < 4; ++i) {
        txtFile[i]->setEnabled(on);
        txtSend[i]->setEnabled(on);
        txtWait[i]->setEnabled(on);
    }
}

void TfrmTransfer::btnOkClick()
{
    WriteSettings();
    hide();
}

void TfrmTransfer::getSettings()
{
    const TIniFile ini(placeOf(TQxPlace::qpSettingsFile));
    chkEolChar->setChecked(ini.ReadBool(kSection, "chEolChar", true));
    setText(txtEolChar, ini.ReadString(kSection, "EolChar", "6"));
    chkOnError->setChecked(ini.ReadBool(kSection, "chOnError", true));
    setText(txtOnErrCH, ini.ReadString(kSection, "OnErrorCh", "5"));
    chkEOPstr->setChecked(ini.ReadBool(kSection, "EOPstrCH", true));
    setText(txtEOPstr, ini.ReadString(kSection, "EOPstr", ";ss"));
    chkEolDel->setChecked(ini.ReadBool(kSection, "chEolDel", false));
    chkAddCR->setChecked(ini.ReadBool(kSection, "chAddCR", true));
    chkAddLF->setChecked(ini.ReadBool(kSection, "chAddLF", true));
    chkLoadingEcho->setChecked(ini.ReadBool(kSection, "chLoadingEcho", false));
    setText(txtTransfer, ini.ReadString(kSection, "FilePath", ""));
    setText(txtEolDel, ini.ReadString(kSection, "EolDel", "100"));
    for (int i = 0; i < 4; ++i)
        setText(txtFile[i], ini.ReadString(kSection, "File" + std::to_string(i + 1), kFileDefaults[i]));
    for (int i = 0; i < 4; ++i)
        setText(txtSend[i], ini.ReadString(kSection, "Send" + std::to_string(i + 1), kSendDefaults[i]));
    for (int i = 0; i < 4; ++i)
        setText(txtWait[i], ini.ReadString(kSection, "Wait" + std::to_string(i + 1), kWaitDefaults[i]));
    chkXferOpt->setChecked(ini.ReadBool(kSection, "ActiveXfer", true));
}

void TfrmTransfer::WriteSettings()
{
    TIniFile ini(placeOf(TQxPlace::qpSettingsFile));
    ini.WriteBool(kSection, "chEolChar", chkEolChar->isChecked());
    ini.WriteString(kSection, "EolChar", text(txtEolChar));
    ini.WriteBool(kSection, "chOnError", chkOnError->isChecked());
    ini.WriteString(kSection, "OnErrorCh", text(txtOnErrCH));
    ini.WriteBool(kSection, "EOPstrCH", chkEOPstr->isChecked());
    ini.WriteString(kSection, "EOPstr", text(txtEOPstr));
    ini.WriteBool(kSection, "chEolDel", chkEolDel->isChecked());
    ini.WriteBool(kSection, "chAddCR", chkAddCR->isChecked());
    ini.WriteBool(kSection, "chAddLF", chkAddLF->isChecked());
    ini.WriteBool(kSection, "chLoadingEcho", chkLoadingEcho->isChecked());
    ini.WriteString(kSection, "FilePath", text(txtTransfer));
    ini.WriteString(kSection, "EolDel", text(txtEolDel));
    for (int i = 0; i < 4; ++i)
        ini.WriteString(kSection, "File" + std::to_string(i + 1), text(txtFile[i]));
    for (int i = 0; i < 4; ++i)
        ini.WriteString(kSection, "Send" + std::to_string(i + 1), text(txtSend[i]));
    for (int i = 0; i < 4; ++i)
        ini.WriteString(kSection, "Wait" + std::to_string(i + 1), text(txtWait[i]));
    ini.WriteBool(kSection, "ActiveXfer", chkXferOpt->isChecked());
}
