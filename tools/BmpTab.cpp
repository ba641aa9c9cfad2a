#include "BmpTab.h"

#include "ToolContext.h"

#include <QComboBox>
#include <QFormLayout>

TBmpTab::TBmpTab(TToolContext& context, QWidget* parent) : QWidget(parent), context_(context)
{
    setObjectName("BMP");
    auto* layout = new QFormLayout(this);
    cboBFFfileName = new QComboBox(this);
    cboBFFfileName->setObjectName("cboBFFfileName");
    cboBMPfileName = new QComboBox(this);
    cboBMPfileName->setObjectName("cboBMPfileName");
    layout->addRow("Font file", cboBFFfileName);
    layout->addRow("Bitmap file", cboBMPfileName);
}

void TBmpTab::refreshTools()
{
    // The preview, the file names and "Ready" come with the bitmap tools.
}
