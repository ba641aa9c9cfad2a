#include "about.h"

#include "IniFile.h"
#include "Places.h"

#include <QLabel>
#include <QPushButton>
#include <QVBoxLayout>

TAboutBox* AboutBox = nullptr;

QString makerSite()
{
    const TIniFile ini(placeOf(TQxPlace::qpSettingsFile));
    return QString::fromLatin1(ini.ReadString("Web", "Site", "http://www.qx-com.example").c_str());
}

TAboutBox::TAboutBox(QWidget* parent) : QDialog(parent)
{
    setObjectName("AboutBox");
    setWindowTitle("About");
    setWindowFlag(Qt::WindowContextHelpButtonHint, false);
    auto* layout = new QVBoxLayout(this);
    ProductName = new QLabel("<b>QX-Com</b>", this);
    Version = new QLabel("Version 1.03", this);
    Comments = new QLabel("Serial terminal and tools for serial graphic display modules\n" + makerSite(), this);
    OKButton = new QPushButton("OK", this);
    layout->addWidget(ProductName);
    layout->addWidget(Version);
    layout->addWidget(Comments);
    layout->addWidget(OKButton, 0, Qt::AlignCenter);
    connect(OKButton, &QPushButton::clicked, this, &QDialog::accept);
}
