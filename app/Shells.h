// The device update dialog as it stands until its own code exists: the window with its caption, and
// the parts the main window already uses.
#pragma once

#include <QDialog>

class QComboBox;
class QLabel;

class TfrmUpdate : public QDialog {
    Q_OBJECT
public:
    explicit TfrmUpdate(QWidget* parent = nullptr);

    QLabel* lblDevice;
    QComboBox* cboUpdate; // firmware files, kept in the settings file's [UPDATE] section
};

extern TfrmUpdate* frmUpdate;
