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
    trackControls();
    connect(btnOk, &QPushButton::clicked, this, [this] { guarded([this] { btnOkClick(); }); });

    chkXferOptClick();
    guarded([this] { getSettings(); });
}

void TfrmTransfer::trackControls()
{
    // The settings as a value, kept up to date with every change of a control (the terminal asks
    // for them with every received chunk).
    for (QCheckBox* box : findChildren<QCheckBox*>())
        connect(box, &QCheckBox::toggled, this, [this] { settings_ = fromControls(); });
    for (QLineEdit* edit : findChildren<QLineEdit*>())
        connect(edit, &QLineEdit::textChanged, this, [this] { settings_ = fromControls(); });
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
    showSettings(TTransferSettings::read(TIniFile(placeOf(TQxPlace::qpSettingsFile))));
}

void TfrmTransfer::WriteSettings()
{
    TIniFile ini(placeOf(TQxPlace::qpSettingsFile));
    settings().write(ini);
}

TTransferSettings TfrmTransfer::fromControls() const
{
    TTransferSettings s;
    s.eolCharOn = chkEolChar->isChecked();
    s.eolChar = text(txtEolChar);
    s.onErrorOn = chkOnError->isChecked();
    s.onErrorChar = text(txtOnErrCH);
    s.eopOn = chkEOPstr->isChecked();
    s.eopString = text(txtEOPstr);
    s.eolDelayOn = chkEolDel->isChecked();
    s.addCR = chkAddCR->isChecked();
    s.addLF = chkAddLF->isChecked();
    s.loadingEcho = chkLoadingEcho->isChecked();
    s.filePath = text(txtTransfer);
    s.eolDelay = text(txtEolDel);
    for (int i = 0; i < 4; ++i)
        s.rows[i] = {text(txtFile[i]), text(txtSend[i]), text(txtWait[i])};
    s.automationOn = chkXferOpt->isChecked();
    return s;
}

void TfrmTransfer::showSettings(const TTransferSettings& s)
{
    chkEolChar->setChecked(s.eolCharOn);
    setText(txtEolChar, s.eolChar);
    chkOnError->setChecked(s.onErrorOn);
    setText(txtOnErrCH, s.onErrorChar);
    chkEOPstr->setChecked(s.eopOn);
    setText(txtEOPstr, s.eopString);
    chkEolDel->setChecked(s.eolDelayOn);
    chkAddCR->setChecked(s.addCR);
    chkAddLF->setChecked(s.addLF);
    chkLoadingEcho->setChecked(s.loadingEcho);
    setText(txtTransfer, s.filePath);
    setText(txtEolDel, s.eolDelay);
    for (int i = 0; i < 4; ++i) {
        setText(txtFile[i], s.rows[i].file);
        setText(txtSend[i], s.rows[i].send);
        setText(txtWait[i], s.rows[i].wait);
    }
    chkXferOpt->setChecked(s.automationOn);
    settings_ = fromControls();
}
