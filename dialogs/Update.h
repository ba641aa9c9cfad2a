// The device update dialog as it stands until its own code exists: the window with its heading and
// the firmware file history that the settings file and the device catalogue keep.
#pragma once

#include <QDialog>

class QComboBox;
class QLabel;
class TToolContext;

class TfrmUpdate : public QDialog {
    Q_OBJECT
public:
    explicit TfrmUpdate(TToolContext& context, QWidget* parent = nullptr);

    QLabel* lblDeviceName;
    QComboBox* cboUpdate; // firmware files, kept in the settings file's [UPDATE] section

private:
    TToolContext& context_;
};

extern TfrmUpdate* frmUpdate;
