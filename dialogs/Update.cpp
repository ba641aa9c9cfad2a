#include "Update.h"

#include "Activation.h"

#include <QComboBox>
#include <QLabel>
#include <QVBoxLayout>

TfrmUpdate* frmUpdate = nullptr;

TfrmUpdate::TfrmUpdate(TToolContext& context, QWidget* parent) : QDialog(parent), context_(context)
{
    setObjectName("frmUpdate");
    setWindowTitle("Device Update");
    auto* layout = new QVBoxLayout(this);
    lblDeviceName = new QLabel("Update Device ", this);
    lblDeviceName->setObjectName("lblDeviceName");
    cboUpdate = new QComboBox(this);
    cboUpdate->setObjectName("cboUpdate");
    cboUpdate->setEditable(true);
    layout->addWidget(lblDeviceName);
    layout->addWidget(cboUpdate);
    resize(420, 300);
    // One of the program's windows: activation passes between it and the others.
    TProgramActivation::instance().watch(this, {});
}
