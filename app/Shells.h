// The XMODEM transfer dialog and the device update dialog as they stand until their own code
// exists: windows with their captions, and the parts the main window already uses.
#pragma once

#include <QDialog>

class QComboBox;
class QLabel;

class TfrmXModem : public QDialog {
    Q_OBJECT
public:
    explicit TfrmXModem(QWidget* parent = nullptr);
};

class TfrmUpdate : public QDialog {
    Q_OBJECT
public:
    explicit TfrmUpdate(QWidget* parent = nullptr);

    QLabel* lblDevice;
    QComboBox* cboUpdate; // firmware files, kept in the settings file's [UPDATE] section
};

extern TfrmXModem* frmXModem;
extern TfrmUpdate* frmUpdate;
