#include "Shells.h"

#include <QComboBox>
#include <QLabel>
#include <QVBoxLayout>

TfrmUpdate* frmUpdate = nullptr;

TfrmUpdate::TfrmUpdate(QWidget* parent) : QDialog(parent)
{
    setObjectName("frmUpdate");
    setWindowTitle("Device Update");
    auto* layout = new QVBoxLayout(this);
    lblDevice = new QLabel("Update Device ", this);
    cboUpdate = new QComboBox(this);
    cboUpdate->setEditable(true);
    layout->addWidget(lblDevice);
    layout->addWidget(cboUpdate);
    resize(420, 300);
}
