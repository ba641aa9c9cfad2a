// The flash block panel of the BMP tab: the device's 500 flash blocks as a grid of small cells
// coloured by the type code each block reports, the selection of a block (the destination of the
// tab's "Send To >>" buttons), and retrieving and erasing blocks.
#pragma once

#include "DeviceChannel.h"

#include <QColor>
#include <QWidget>

#include <string>
#include <vector>

class QLabel;
class QLineEdit;
class QPushButton;
class TToolContext;

// The grid: 10 columns by 50 rows of 20 x 6 pixel cells, block = row x 10 + column.
class TFlashGrid : public QWidget {
    Q_OBJECT
public:
    static constexpr int kColumns = 10;
    static constexpr int kRows = 50;
    static constexpr int kColWidth = 20;
    static constexpr int kRowHeight = 6;
    static constexpr int kLine = 1; // the grid lines between cells

    explicit TFlashGrid(QWidget* parent = nullptr);

    // Indexed by column, then row; blockColour is each cell's background, blockTextColour its text.
    std::vector<std::vector<QColor>> blockColour;
    std::vector<std::vector<QColor>> blockTextColour;
    std::vector<std::vector<QString>> cells;
    int col = -1; // the selected cell, none at first
    int row = -1;

    // All cells white with black text.
    void resetColours();
    void setCell(int column, int row, const QColor& colour);
    // The cell rectangle of a column and row, and the cell under a point (false off the cells).
    static QRect cellRect(int column, int row);
    static bool cellAt(const QPoint& p, int& column, int& row);

    QSize sizeHint() const override;

signals:
    void GridClick(int column, int row);

protected:
    void paintEvent(QPaintEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;

private:
    void GridDrawCell(QPainter& painter, int column, int row);
};

class TFlashPanel : public QWidget {
    Q_OBJECT
public:
    explicit TFlashPanel(TToolContext& context, QWidget* parent = nullptr);

    TFlashGrid* Grid;
    QPushButton* cmdFlashRefresh;
    QLabel* lblBlockNumber;
    QLabel* lblFlashType;
    QPushButton* cmdSendr;
    QPushButton* cmdBlank;
    QLineEdit* txtFromBlock;
    QLineEdit* txtNumberofBlocks;

    // The cell colour of a type code; false for a code the grid does not know.
    static bool colourOfCode(const std::string& code, QColor& colour);

    // Asks the device for a block's type code and shows it in label (green for an empty block).
    std::string queryBlock(const std::string& block, QLabel* label);
    void refreshFlash();
    void retrieveBlock();
    // Marks the grid as out of date ("Refresh *").
    void markOutOfDate();
    // After a picture or font went whole into block: the block and the further blocks the device
    // reports as its continuation ("m") show the types a refresh would show, in the grid and in
    // lblFlashType, so the block no longer passes for empty.
    void showStoredBlocks(const std::string& block);

    void cmdFlashRefreshClick();
    void GridClick(int column, int row);
    void cmdSendrClick();
    void cmdBlankClick();

private:
    // Colours the cell of a block by its type code (an unknown code leaves it).
    void showType(int block, const std::string& code);
    // The query of a block, and its answer shown in a label (green for an empty block).
    TReply askBlock(const std::string& block);
    static void showCode(QLabel* label, const std::string& code);

    TToolContext& context_;
};
