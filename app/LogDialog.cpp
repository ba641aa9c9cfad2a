#include "LogDialog.h"

#include <QCheckBox>
#include <QComboBox>
#include <QDialogButtonBox>
#include <QFileDialog>
#include <QFileInfo>
#include <QFormLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QVBoxLayout>

TLogDialog::TLogDialog(QWidget* parent) : QDialog(parent)
{
    setObjectName("frmLog");
    setWindowTitle("Log to File");
    edtLogFile = new QLineEdit(this);
    edtLogFile->setObjectName("edtLogFile");
    edtLogFile->setMinimumWidth(320);
    btnBrowse = new QPushButton("&Browse...", this);
    btnBrowse->setObjectName("btnBrowse");
    cboLogFormat = new QComboBox(this);
    cboLogFormat->setObjectName("cboLogFormat");
    cboLogFormat->addItems({"Raw bytes, exactly as received", "Text as shown, with time stamps"});
    chkLogSent = new QCheckBox("&Also what is sent", this);
    chkLogSent->setObjectName("chkLogSent");
    lblLogNote = new QLabel(this);
    lblLogNote->setObjectName("lblLogNote");
    lblLogNote->setWordWrap(true);

    auto* fileRow = new QHBoxLayout;
    fileRow->addWidget(edtLogFile, 1);
    fileRow->addWidget(btnBrowse);
    auto* form = new QFormLayout;
    auto* fileLabel = new QLabel("&File:", this);
    fileLabel->setBuddy(edtLogFile);
    form->addRow(fileLabel, fileRow);
    form->addRow("F&ormat:", cboLogFormat);
    form->addRow("", chkLogSent);
    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Cancel, this);
    btnStart = buttons->addButton("&Start Log", QDialogButtonBox::AcceptRole);
    btnStart->setObjectName("btnStart");
    btnStart->setDefault(true);
    auto* layout = new QVBoxLayout(this);
    layout->addLayout(form);
    layout->addWidget(lblLogNote);
    layout->addWidget(buttons);

    connect(btnBrowse, &QPushButton::clicked, this, &TLogDialog::browse);
    connect(edtLogFile, &QLineEdit::textChanged, this, &TLogDialog::updateNote);
    connect(cboLogFormat, &QComboBox::currentIndexChanged, this, &TLogDialog::updateNote);
    connect(chkLogSent, &QCheckBox::toggled, this, &TLogDialog::updateNote);
    connect(buttons, &QDialogButtonBox::accepted, this, &QDialog::accept);
    connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
    updateNote();
}

QString TLogDialog::file() const
{
    const QString name = edtLogFile->text().trimmed();
    return name.isEmpty() ? name : QFileInfo(name).absoluteFilePath();
}

TLogFormat TLogDialog::format() const
{
    return cboLogFormat->currentIndex() == 1 ? TLogFormat::text : TLogFormat::raw;
}

bool TLogDialog::withSent() const
{
    return chkLogSent->isChecked();
}

void TLogDialog::setChoice(const QString& file, TLogFormat format, bool withSent)
{
    edtLogFile->setText(file);
    cboLogFormat->setCurrentIndex(format == TLogFormat::text ? 1 : 0);
    chkLogSent->setChecked(withSent);
}

void TLogDialog::browse()
{
    // Choosing an existing file asks nothing: the log appends to it, as the note then says.
    QFileDialog dialog(this, "Log File");
    dialog.setAcceptMode(QFileDialog::AcceptSave);
    dialog.setOption(QFileDialog::DontConfirmOverwrite);
    dialog.setNameFilters({"Log Files (*.log)", "All Files (*)"});
    if (!file().isEmpty()) {
        dialog.setDirectory(QFileInfo(file()).path());
        dialog.selectFile(QFileInfo(file()).fileName());
    }
    if (dialog.exec() == QDialog::Accepted && !dialog.selectedFiles().isEmpty())
        edtLogFile->setText(dialog.selectedFiles().first());
}

void TLogDialog::updateNote()
{
    const QString name = file();
    const bool folder = !name.isEmpty() && QFileInfo(name).isDir();
    btnStart->setEnabled(!name.isEmpty() && !folder);
    QString note;
    if (name.isEmpty())
        note = "Choose the file the log goes to.";
    else if (folder)
        note = "This is a folder: choose a file.";
    else if (QFileInfo::exists(name))
        note = "The file exists: the log is appended to it.";
    else
        note = "A new file is created.";
    if (withSent()) {
        if (format() == TLogFormat::raw)
            note += QString(" What is sent goes to %1%2, so that the log holds only the received bytes.")
                        .arg(QFileInfo(name).fileName(), kSentLogSuffix);
        else
            note += " What is sent gets lines of its own, starting with \"> \".";
    }
    lblLogNote->setText(note);
}
