// The text transfer settings dialog: end-of-line pacing, display options and the automation rows
// of the text file send. Its settings live in the [Transfer] section of the settings file.
#pragma once

#include "Settings.h"

#include <QDialog>

class QCheckBox;
class QLineEdit;
class QPushButton;

class TfrmTransfer : public QDialog {
    Q_OBJECT
public:
    explicit TfrmTransfer(QWidget* parent = nullptr);

    void getSettings();
    void WriteSettings();
    // The settings as the dialog's controls hold them now (also unsaved changes), and setting the
    // controls from them.
    const TTransferSettings& settings() const { return settings_; }
    void showSettings(const TTransferSettings& settings);

    QCheckBox* chkEolChar;
    QLineEdit* txtEolChar;
    QLineEdit* txtOnErrCH;
    QCheckBox* chkOnError;
    QCheckBox* chkEOPstr;
    QLineEdit* txtEOPstr;
    QCheckBox* chkEolDel;
    QLineEdit* txtEolDel;
    QCheckBox* chkAddCR;
    QCheckBox* chkAddLF;
    QCheckBox* chkLoadingEcho;
    QLineEdit* txtTransfer;
    QCheckBox* chkXferOpt;
    QLineEdit* txtFile[4];
    QLineEdit* txtSend[4];
    QLineEdit* txtWait[4];
    QPushButton* btnOk;

    void chkXferOptClick();
    void btnOkClick();

private:
    TTransferSettings fromControls() const;
    void trackControls();

    TTransferSettings settings_;
};

extern TfrmTransfer* frmTransfer;
