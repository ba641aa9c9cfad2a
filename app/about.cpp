#include "about.h"

#include "Activation.h"
#include "Latin1.h"
#include "Places.h"
#include "QxBuildInfo.h"

#include <QLabel>
#include <QPushButton>
#include <QVBoxLayout>

TAboutBox* AboutBox = nullptr;

TAboutBox::TAboutBox(QWidget* parent) : QDialog(parent)
{
    setObjectName("AboutBox");
    setWindowTitle("About");
    setWindowFlag(Qt::WindowContextHelpButtonHint, false);
    auto* layout = new QVBoxLayout(this);
    ProductName = new QLabel("<b>QX-Com</b>", this);
    Version = new QLabel(QString("Version ") + kQxVersion, this);
    Comments = new QLabel("Serial terminal and tools for serial graphic display modules\n" + latin1(makerSite()), this);
    OKButton = new QPushButton("OK", this);
    layout->addWidget(ProductName);
    layout->addWidget(Version);
    layout->addWidget(Comments);
    layout->addWidget(OKButton, 0, Qt::AlignCenter);
    connect(OKButton, &QPushButton::clicked, this, &QDialog::accept);
    // One of the program's windows: closing it hands activation back to the main window.
    TProgramActivation::instance().watch(this, {});
}
