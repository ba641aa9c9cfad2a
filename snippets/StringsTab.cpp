#include "StringsTab.h"

#include "Latin1.h"
#include "ToolContext.h"

#include <QLabel>
#include <QVBoxLayout>

TStringsTab::TStringsTab(TToolContext& context, QWidget* parent) : QWidget(parent), context_(context)
{
    setObjectName("Strings");
    auto* layout = new QVBoxLayout(this);
    lblCurrentPath = new QLabel(this);
    lblCurrentPath->setObjectName("lblCurrentPath");
    layout->addWidget(lblCurrentPath);
    layout->addStretch(1);
}

void TStringsTab::resetStringsTab() {}

void TStringsTab::setLibraryFolder(const std::string& folder, const std::string&)
{
    lblCurrentPath->setText(latin1(folder));
}
