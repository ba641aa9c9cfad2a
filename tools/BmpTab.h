// The BMP tab: pictures and fonts for the display and its flash blocks.
#pragma once

#include <QWidget>

class QComboBox;
class TToolContext;

class TBmpTab : public QWidget {
    Q_OBJECT
public:
    explicit TBmpTab(TToolContext& context, QWidget* parent = nullptr);

    QComboBox* cboBFFfileName; // font file history
    QComboBox* cboBMPfileName; // bitmap file history

    // The refresh that ends every tool action.
    void refreshTools();

private:
    TToolContext& context_;
};
