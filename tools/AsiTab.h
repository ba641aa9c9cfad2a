// The ASI tab: the address of an addressed (ASI) device on its bus.
#pragma once

#include <QWidget>

class QLineEdit;
class TToolContext;

class TAsiTab : public QWidget {
    Q_OBJECT
public:
    explicit TAsiTab(TToolContext& context, QWidget* parent = nullptr);

    QLineEdit* txtAddress;

private:
    TToolContext& context_;
};
