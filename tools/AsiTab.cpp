#include "AsiTab.h"

#include "ToolContext.h"

#include <QFormLayout>
#include <QLineEdit>

TAsiTab::TAsiTab(TToolContext& context, QWidget* parent) : QWidget(parent), context_(context)
{
    setObjectName("ASI");
    auto* layout = new QFormLayout(this);
    txtAddress = new QLineEdit(this);
    txtAddress->setObjectName("txtAddress");
    layout->addRow("Address", txtAddress);
}
