#include "FlashPanel.h"

#include "DeviceChannel.h"
#include "Latin1.h"
#include "Messages.h"
#include "ToolContext.h"

#include "VaComm.h"

#include <QGridLayout>
#include <QLabel>
#include <QLineEdit>
#include <QMouseEvent>
#include <QPainter>
#include <QPushButton>
#include <QStyle>
#include <QVBoxLayout>

// --- The grid ----------------------------------------------------------------------------------------

TFlashGrid::TFlashGrid(QWidget* parent) : QWidget(parent)
{
    setObjectName("Grid");
    setFixedSize(sizeHint());
    setToolTip("Flash blocks, ten to a row: click one to select it");
    resetColours();
}

QSize TFlashGrid::sizeHint() const
{
    return {kColumns * (kColWidth + kLine) + kLine, kRows * (kRowHeight + kLine) + kLine};
}

void TFlashGrid::resetColours()
{
    blockColour.assign(kColumns, std::vector<QColor>(kRows, Qt::white));
    blockTextColour.assign(kColumns, std::vector<QColor>(kRows, Qt::black));
    cells.assign(kColumns, std::vector<QString>(kRows));
    update();
}

void TFlashGrid::setCell(int column, int row, const QColor& colour)
{
    blockColour[column][row] = colour;
    cells[column][row].clear();
    update(cellRect(column, row));
}

QRect TFlashGrid::cellRect(int column, int row)
{
    return {kLine + column * (kColWidth + kLine), kLine + row * (kRowHeight + kLine), kColWidth, kRowHeight};
}

bool TFlashGrid::cellAt(const QPoint& p, int& column, int& row)
{
    if (p.x() < 0 || p.y() < 0)
        return false;
    column = p.x() / (kColWidth + kLine);
    row = p.y() / (kRowHeight + kLine);
    return column < kColumns && row < kRows;
}

void TFlashGrid::GridDrawCell(QPainter& painter, int column, int row)
{
    const QRect rect = cellRect(column, row);
    painter.fillRect(rect, blockColour[column][row]);
    if (!cells[column][row].isEmpty()) {
        painter.setPen(blockTextColour[column][row]);
        painter.drawText(rect.topLeft() + QPoint(2, 2 + painter.fontMetrics().ascent()), cells[column][row]);
    }
}

void TFlashGrid::paintEvent(QPaintEvent* event)
{
    QPainter painter(this);
    painter.fillRect(rect(), QColor(160, 160, 160)); // the grid lines
    for (int r = 0; r < kRows; ++r) {
        for (int c = 0; c < kColumns; ++c) {
            if (event->rect().intersects(cellRect(c, r)))
                GridDrawCell(painter, c, r);
        }
    }
    if (col >= 0 && row >= 0) {
        // The selected cell: a dark frame over the lines around it.
        painter.setPen(QPen(Qt::black, 1));
        painter.setBrush(Qt::NoBrush);
        painter.drawRect(cellRect(col, row).adjusted(-1, -1, 0, 0));
    }
}

void TFlashGrid::mousePressEvent(QMouseEvent* event)
{
    int c, r;
    if (event->button() != Qt::LeftButton || !cellAt(event->position().toPoint(), c, r))
        return;
    const QRect old = col >= 0 ? cellRect(col, row).adjusted(-1, -1, 1, 1) : QRect();
    col = c;
    row = r;
    update(old);
    update(cellRect(c, r).adjusted(-1, -1, 1, 1));
    emit GridClick(c, r);
}

// --- The panel ---------------------------------------------------------------------------------------

TFlashPanel::TFlashPanel(TToolContext& context, QWidget* parent) : QWidget(parent), context_(context)
{
    setObjectName("flashPanel");
    auto* layout = new QGridLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(3);

    Grid = new TFlashGrid(this);
    layout->addWidget(Grid, 0, 0, 9, 1, Qt::AlignTop);

    cmdFlashRefresh = new QPushButton(style()->standardIcon(QStyle::SP_BrowserReload), "Refresh", this);
    cmdFlashRefresh->setObjectName("cmdFlashRefresh");
    cmdFlashRefresh->setToolTip("Ask the device for the type of every flash block");
    lblBlockNumber = new QLabel("Block", this);
    lblBlockNumber->setObjectName("lblBlockNumber");
    lblFlashType = new QLabel("Type", this);
    lblFlashType->setObjectName("lblFlashType");
    cmdSendr = new QPushButton("<< Send Seected <<", this);
    cmdSendr->setObjectName("cmdSendr");
    cmdSendr->setToolTip("Have the device show the selected block");
    cmdBlank = new QPushButton("Erase", this);
    cmdBlank->setObjectName("cmdBlank");
    cmdBlank->setToolTip("Erase Number of Blocks blocks from From Block on");
    txtFromBlock = new QLineEdit("1", this);
    txtFromBlock->setObjectName("txtFromBlock");
    txtNumberofBlocks = new QLineEdit("1", this);
    txtNumberofBlocks->setObjectName("txtNumberofBlocks");
    for (QLineEdit* e : {txtFromBlock, txtNumberofBlocks})
        e->setMaximumWidth(64);

    auto* selected = new QHBoxLayout;
    selected->addWidget(lblBlockNumber);
    selected->addWidget(lblFlashType);
    selected->addStretch(1);
    layout->addWidget(cmdFlashRefresh, 0, 1);
    layout->addLayout(selected, 1, 1);
    layout->addWidget(cmdSendr, 2, 1);
    layout->addWidget(new QLabel("From Block", this), 3, 1);
    layout->addWidget(txtFromBlock, 4, 1);
    layout->addWidget(new QLabel("Number of Blocks", this), 5, 1);
    layout->addWidget(txtNumberofBlocks, 6, 1);
    layout->addWidget(cmdBlank, 7, 1);
    layout->setRowStretch(8, 1);

    // An error of the port (a full output queue) is shown in the error box.
    connect(cmdFlashRefresh, &QPushButton::clicked, this, [this] { guarded([this] { cmdFlashRefreshClick(); }); });
    connect(Grid, &TFlashGrid::GridClick, this, [this](int c, int r) { guarded([this, c, r] { GridClick(c, r); }); });
    connect(cmdSendr, &QPushButton::clicked, this, [this] { guarded([this] { cmdSendrClick(); }); });
    connect(cmdBlank, &QPushButton::clicked, this, [this] { guarded([this] { cmdBlankClick(); }); });
    for (QWidget* command : std::initializer_list<QWidget*>{Grid, cmdFlashRefresh, cmdSendr, cmdBlank})
        context_.disableWhileBusy(command);
}

bool TFlashPanel::colourOfCode(const std::string& code, QColor& colour)
{
    if (code == "0")
        colour = QColor(0, 255, 0);
    else if (code == "1")
        colour = QColor(255, 0, 0);
    else if (code == "b")
        colour = QColor(0, 0, 255);
    else if (code == "m")
        colour = QColor(255, 255, 0);
    else if (code == "f")
        colour = QColor(0, 255, 255);
    else
        return false;
    return true;
}

TReply TFlashPanel::askBlock(const std::string& block)
{
    return context_.channel.sendAndWait(deviceCommand(block, 'q'), context_.terminator, 10);
}

void TFlashPanel::showCode(QLabel* label, const std::string& code)
{
    label->setText(latin1(code));
    QPalette palette = label->palette();
    palette.setColor(QPalette::WindowText, code == "0" ? kOkGreen : kErrorRed);
    label->setPalette(palette);
}

std::string TFlashPanel::queryBlock(const std::string& block, QLabel* label)
{
    const TReply reply = askBlock(block);
    showCode(label, reply.text);
    return reply.text;
}

void TFlashPanel::markOutOfDate()
{
    cmdFlashRefresh->setText("Refresh *");
}

void TFlashPanel::refreshFlash()
{
    if (!context_.VaComm1.Active()) {
        context_.addStatus("Connect to COM port first\n", fsPlain, kErrorRed);
        return;
    }
    // The progress bar counts the blocks asked so far; the window is disabled, so Cancel is not
    // offered.
    TBusyGuard busy(context_, TFlashGrid::kColumns * TFlashGrid::kRows);
    context_.cancelButton.hide();
    for (int row = 0; row < TFlashGrid::kRows; ++row) {
        for (int column = 0; column < TFlashGrid::kColumns; ++column) {
            const int block = row * TFlashGrid::kColumns + column;
            const TReply reply = askBlock(std::to_string(block));
            if (!reply.found || context_.closing()) {
                if (!context_.closing())
                    context_.addStatus("No response from query block\n", fsPlain, kErrorRed);
                return;
            }
            showType(block, reply.text);
            busy.setValue(block + 1);
        }
    }
}

void TFlashPanel::showType(int block, const std::string& code)
{
    QColor colour;
    if (block >= 0 && block < TFlashGrid::kColumns * TFlashGrid::kRows && colourOfCode(code, colour))
        Grid->setCell(block % TFlashGrid::kColumns, block / TFlashGrid::kColumns, colour);
}

void TFlashPanel::showStoredBlocks(const std::string& block)
{
    TReply reply = askBlock(block);
    showCode(lblFlashType, reply.text);
    bool number = false;
    const int first = QString::fromStdString(block).toInt(&number);
    if (!reply.found || !number)
        return;
    showType(first, reply.text);
    for (int next = first + 1; next < TFlashGrid::kColumns * TFlashGrid::kRows; ++next) {
        reply = askBlock(std::to_string(next));
        if (!reply.found)
            return;
        showType(next, reply.text);
        if (reply.text != "m")
            return;
    }
}

void TFlashPanel::cmdFlashRefreshClick()
{
    if (context_.refuseWhileBusy())
        return;
    // The window takes no other action while the blocks are asked, also when the port fails.
    struct TDisabled {
        QWidget& w;
        explicit TDisabled(QWidget& window) : w(window) { w.setEnabled(false); }
        ~TDisabled() { w.setEnabled(true); }
    };
    {
        const TDisabled disabled(context_.window);
        refreshFlash();
    }
    cmdFlashRefresh->setText("Refresh");
    context_.refreshTools();
}

void TFlashPanel::GridClick(int column, int row)
{
    if (context_.refuseWhileBusy())
        return;
    const TBusyState busy(context_);
    const std::string block = std::to_string(row * TFlashGrid::kColumns + column);
    lblBlockNumber->setText(QString::fromStdString(block));
    txtFromBlock->setText(QString::fromStdString(block));
    queryBlock(block, lblFlashType);
    context_.refreshTools();
}

void TFlashPanel::retrieveBlock()
{
    if (lblFlashType->text() == "0") {
        context_.addStatus("That block is empty\n", fsPlain, kErrorRed);
        return;
    }
    const TReply reply =
        context_.channel.sendAndWait(deviceCommand(bytes(lblBlockNumber->text()), 'r'), context_.terminator, 10);
    if (!reply.found)
        context_.addStatus("Unable to retrieve\n", fsPlain, kErrorRed);
}

void TFlashPanel::cmdSendrClick()
{
    if (context_.refuseWhileBusy())
        return;
    const TBusyState busy(context_);
    retrieveBlock();
    context_.refreshTools();
}

void TFlashPanel::cmdBlankClick()
{
    if (context_.refuseWhileBusy())
        return;
    const TBusyState busy(context_);
    const std::string arguments = bytes(txtFromBlock->text()) + " " + bytes(txtNumberofBlocks->text());
    const TReply reply = context_.channel.sendAndWait(deviceCommand(arguments, 'E'), context_.terminator, 10);
    if (reply.found)
        markOutOfDate();
    else
        context_.addStatus("Unable to retrieve\n", fsPlain, kErrorRed);
    context_.refreshTools();
}
