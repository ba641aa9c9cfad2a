#include "BmpTab.h"

#include "DeviceChannel.h"
#include "FlashPanel.h"
#include "Latin1.h"
#include "Places.h"
#include "Messages.h"
#include "ToolContext.h"
#include "TouchPanel.h"

#include "VaComm.h"

#include <QAbstractButton>
#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QDir>
#include <QFileDialog>
#include <QFileInfo>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPainter>
#include <QPushButton>
#include <QScrollArea>
#include <QToolButton>
#include <QVBoxLayout>

#include <functional>

namespace {

constexpr int kScreenWidth = 240;
constexpr int kScreenHeight = 320;
// The font command of the display (not of the ESC "{" family).
const char* const kFontToDisplay = "\x1B(0";

QToolButton* clearButton(QWidget* parent, const char* name)
{
    auto* b = new QToolButton(parent);
    b->setObjectName(name);
    b->setText("X");
    b->setToolTip("Clear list");
    b->setAutoRaise(true);
    return b;
}

QComboBox* historyBox(QWidget* parent, const char* name, const char* hint)
{
    auto* box = new QComboBox(parent);
    box->setObjectName(name);
    box->setEditable(true);
    box->setInsertPolicy(QComboBox::NoInsert);
    box->setToolTip(hint);
    box->setSizeAdjustPolicy(QComboBox::AdjustToMinimumContentsLengthWithIcon);
    box->setMinimumContentsLength(16);
    return box;
}

QLabel* valueLabel(QWidget* parent, const char* name)
{
    auto* l = new QLabel(parent);
    l->setObjectName(name);
    l->setMinimumWidth(36);
    return l;
}

// The first two rows of a file group: Browse, the history box and its clear button, then the file
// name on a row of its own.
void addFileRows(QGridLayout* grid, QPushButton* browse, QComboBox* box, QToolButton* clear, QLabel* name)
{
    grid->addWidget(browse, 0, 0);
    grid->addWidget(box, 0, 1, 1, 3);
    grid->addWidget(clear, 0, 4);
    grid->addWidget(name, 1, 0, 1, 5);
}

QString fileNamePart(const QString& path)
{
    return QFileInfo(path).fileName();
}

bool fileExists(const QString& path)
{
    const QFileInfo info(path);
    return !path.isEmpty() && info.exists() && info.isFile();
}

} // namespace

TBmpTab::TBmpTab(TToolContext& context, QWidget* parent) : QWidget(parent), context_(context)
{
    setObjectName("BMP");
    auto* outer = new QVBoxLayout(this);
    outer->setContentsMargins(0, 0, 0, 0);
    // The tab's content keeps its size; a small window scrolls it.
    auto* scroll = new QScrollArea(this);
    scroll->setFrameShape(QFrame::NoFrame);
    scroll->setWidgetResizable(true);
    outer->addWidget(scroll);
    auto* content = new QWidget(scroll);
    scroll->setWidget(content);
    auto* columns = new QHBoxLayout(content);
    columns->setContentsMargins(4, 4, 4, 4);
    columns->setSpacing(6);

    // --- The bitmap group -------------------------------------------------------------------------
    grpBMP = new QGroupBox("BMP Picture", content);
    grpBMP->setObjectName("grpBMP");
    auto* bmp = new QGridLayout(grpBMP);
    bmp->setContentsMargins(4, 4, 4, 4);
    bmp->setSpacing(3);
    cmdBMPBrowse = new QPushButton("Browse", grpBMP);
    cmdBMPBrowse->setObjectName("cmdBMPBrowse");
    cboBMPfileName = historyBox(grpBMP, "cboBMPfileName", "BMP File Name");
    spDelBMP = clearButton(grpBMP, "spDelBMP");
    lblBMPfileName = new QLabel(grpBMP);
    lblBMPfileName->setObjectName("lblBMPfileName");
    addFileRows(bmp, cmdBMPBrowse, cboBMPfileName, spDelBMP, lblBMPfileName);

    auto* position = new QGroupBox("Picture Position", grpBMP);
    auto* positionLayout = new QHBoxLayout(position);
    positionLayout->setContentsMargins(4, 2, 4, 2);
    txtX = new QLineEdit(position);
    txtX->setObjectName("txtX");
    txtY = new QLineEdit(position);
    txtY->setObjectName("txtY");
    for (QLineEdit* e : {txtX, txtY})
        e->setMaximumWidth(56);
    positionLayout->addWidget(new QLabel("X", position));
    positionLayout->addWidget(txtX);
    positionLayout->addWidget(new QLabel("Y", position));
    positionLayout->addWidget(txtY);
    positionLayout->addStretch(1);
    bmp->addWidget(position, 2, 0, 1, 5);

    lblWidth = valueLabel(grpBMP, "lblWidth");
    lblHeight = valueLabel(grpBMP, "lblHeight");
    lblDepth = valueLabel(grpBMP, "lblDepth");
    auto* info = new QHBoxLayout;
    info->addWidget(new QLabel("Width", grpBMP));
    info->addWidget(lblWidth);
    info->addWidget(new QLabel("Height", grpBMP));
    info->addWidget(lblHeight);
    info->addWidget(new QLabel("Depth", grpBMP));
    info->addWidget(lblDepth);
    info->addStretch(1);
    bmp->addLayout(info, 3, 0, 1, 5);

    cmdBMPsend = new QPushButton("<< Send To", grpBMP);
    cmdBMPsend->setObjectName("cmdBMPsend");
    cmdBMPsend->setToolTip("Send the picture to the display's screen at the position");
    cmdSendBMPtoFlash = new QPushButton("Send To >>", grpBMP);
    cmdSendBMPtoFlash->setObjectName("cmdSendBMPtoFlash");
    cmdSendBMPtoFlash->setToolTip("Store the picture in the empty flash block selected on the right");
    bmp->addWidget(cmdBMPsend, 4, 0, 1, 2);
    bmp->addWidget(cmdSendBMPtoFlash, 4, 2, 1, 3);

    // --- The font group ---------------------------------------------------------------------------
    crpBFFFont = new QGroupBox("BFF Font", content);
    crpBFFFont->setObjectName("crpBFFFont");
    auto* font = new QGridLayout(crpBFFFont);
    font->setContentsMargins(4, 4, 4, 4);
    font->setSpacing(3);
    cmdFontBrows = new QPushButton("Browse", crpBFFFont);
    cmdFontBrows->setObjectName("cmdFontBrows");
    cboBFFfileName = historyBox(crpBFFFont, "cboBFFfileName", "BFF File Name");
    spDelBFF = clearButton(crpBFFFont, "spDelBFF");
    lblFontFileName = new QLabel(crpBFFFont);
    lblFontFileName->setObjectName("lblFontFileName");
    addFileRows(font, cmdFontBrows, cboBFFfileName, spDelBFF, lblFontFileName);
    chkFontHead = new QCheckBox("Create .h file", crpBFFFont);
    chkFontHead->setObjectName("chkFontHead");
    chkFontBinary = new QCheckBox("Create Binary File", crpBFFFont);
    chkFontBinary->setObjectName("chkFontBinary");
    cmdCreateFontFiles = new QPushButton("Create File", crpBFFFont);
    cmdCreateFontFiles->setObjectName("cmdCreateFontFiles");
    cmdCreateFontFiles->setToolTip("Write the ticked files beside the font file");
    font->addWidget(chkFontHead, 2, 0, 1, 2);
    font->addWidget(chkFontBinary, 2, 2, 1, 3);
    font->addWidget(cmdCreateFontFiles, 3, 0, 1, 2);
    cndFontSend = new QPushButton("<< Send To", crpBFFFont);
    cndFontSend->setObjectName("cndFontSend");
    cndFontSend->setToolTip("Send the font to the display");
    cmdSendBFFtoFlash = new QPushButton("Send To >>", crpBFFFont);
    cmdSendBFFtoFlash->setObjectName("cmdSendBFFtoFlash");
    cmdSendBFFtoFlash->setToolTip("Store the font in the empty flash block selected on the right");
    font->addWidget(cndFontSend, 4, 0, 1, 2);
    font->addWidget(cmdSendBFFtoFlash, 4, 2, 1, 3);
    lblFontInfo = new QLabel(crpBFFFont);
    lblFontInfo->setObjectName("lblFontInfo");
    font->addWidget(lblFontInfo, 5, 0, 1, 5);
    auto* fontScroll = new QScrollArea(crpBFFFont);
    fontScroll->setMinimumHeight(90);
    imgFont = new QLabel(fontScroll);
    imgFont->setObjectName("imgFont");
    imgFont->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    fontScroll->setWidget(imgFont);
    fontScroll->setWidgetResizable(true);
    font->addWidget(fontScroll, 6, 0, 1, 5);
    font->setRowStretch(6, 1);

    auto* left = new QVBoxLayout;
    left->addWidget(grpBMP);
    left->addWidget(crpBFFFont, 1);
    columns->addLayout(left, 1);

    // --- The preview: the display's screen ---------------------------------------------------------
    Image1 = new QLabel(content);
    Image1->setObjectName("Image1");
    Image1->setFixedSize(kScreenWidth, kScreenHeight);
    Image1->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    Image1->setToolTip("The picture as the display will show it, drawn from the bytes that will be sent");
    Image1->setStyleSheet("QLabel { background: black; }");
    auto* middle = new QVBoxLayout;
    middle->addWidget(Image1);
    middle->addStretch(1);
    columns->addLayout(middle);

    // --- The flash blocks --------------------------------------------------------------------------
    flash = new TFlashPanel(context_, content);
    lblBlockNumber = flash->lblBlockNumber;
    lblFlashType = flash->lblFlashType;
    columns->addWidget(flash);
    touch = new TTouchPanel(context_, content);
    auto* right = new QVBoxLayout;
    right->addWidget(touch);
    right->addStretch(1);
    columns->addLayout(right);

    dlgOpen = new QFileDialog(this);
    dlgOpen->setObjectName("dlgOpen");
    dlgOpen->setFileMode(QFileDialog::ExistingFile);
    dlgOpen->setOption(QFileDialog::DontUseNativeDialog);

    // Every action ends with the refresh; an error of the port (a full output queue) is shown in
    // the error box and still leaves the tab refreshed.
    const auto action = [this](QAbstractButton* button, std::function<void()> fn) {
        connect(button, &QAbstractButton::clicked, this, [this, fn] {
            guarded(fn);
            refreshTools();
        });
    };
    action(cmdBMPBrowse, [this] { cmdBmpBrowsClick(); });
    action(cmdFontBrows, [this] { cmdFontBrowsClick(); });
    connect(spDelBMP, &QToolButton::clicked, this, [this] { clearList(cboBMPfileName); });
    connect(spDelBFF, &QToolButton::clicked, this, [this] { clearList(cboBFFfileName); });
    // A choice in a history box, or a name typed and confirmed, refreshes the tab.
    for (QComboBox* box : {cboBMPfileName, cboBFFfileName}) {
        connect(box, &QComboBox::activated, this, &TBmpTab::refreshTools);
        connect(box->lineEdit(), &QLineEdit::editingFinished, this, [this] {
            // Leaving the box also ends an edit; only a changed name needs a refresh.
            if (cboBMPfileName->currentText() != shownBmp_ || cboBFFfileName->currentText() != shownBff_)
                refreshTools();
        });
    }
    action(cmdBMPsend, [this] { sendBmp(cboBMPfileName->currentText(), "com"); });
    action(cmdSendBMPtoFlash, [this] { sendBmp(cboBMPfileName->currentText(), "flash"); });
    action(cmdCreateFontFiles, [this] {
        const int at = cboBFFfileName->currentIndex();
        createFontFiles(at >= 0 ? cboBFFfileName->itemText(at) : QString());
    });
    action(cndFontSend, [this] { sendFont(cboBFFfileName->currentText(), "com"); });
    action(cmdSendBFFtoFlash, [this] { sendFont(cboBFFfileName->currentText(), "flash"); });
    for (QWidget* command : {cmdBMPsend, cmdSendBMPtoFlash, cndFontSend, cmdSendBFFtoFlash})
        context_.disableWhileBusy(command);
}

TBmpTab::~TBmpTab() = default;

void TBmpTab::addError(const std::string& message)
{
    context_.addStatus(message + "\n", fsPlain, kErrorRed);
}

// --- Refresh and preview -----------------------------------------------------------------------------

void TBmpTab::refreshTools()
{
    // A refresh gives the terminal the focus, which can end an edit of a history box and so ask
    // for another refresh; one is enough.
    if (refreshing_)
        return;
    refreshing_ = true;
    shownBmp_ = cboBMPfileName->currentText();
    shownBff_ = cboBFFfileName->currentText();
    lblFontFileName->setText(fileNamePart(cboBFFfileName->currentText()));
    lblBMPfileName->setText(fileNamePart(cboBMPfileName->currentText()));
    const QString bitmap = cboBMPfileName->currentText();
    if (fileExists(bitmap)) {
        showPreview(bitmap);
        showBmpInfo(bitmap);
    } else {
        clearPicture();
        // With no picture chosen yet (a new user, a cleared list) there is nothing that failed.
        if (!bitmap.trimmed().isEmpty())
            context_.addStatus("Can't open bmp file\n", fsPlain, kErrorRed);
    }
    showFontPreview(cboBFFfileName->currentText());
    context_.addStatus("Ready\n", fsBold, kOkGreen);
    context_.frame.showTermText("\n");
    context_.frame.focusTerminal();
    refreshing_ = false;
}

TBmpTab::TPicture& TBmpTab::picture(const QString& fileName)
{
    const QFileInfo info(fileName);
    if (picture_.path != info.absoluteFilePath() || picture_.modified != info.lastModified()
        || picture_.size != info.size()) {
        picture_ = TPicture{};
        picture_.path = info.absoluteFilePath();
        picture_.modified = info.lastModified();
        picture_.size = info.size();
        picture_.error = head_bmp(fileName, picture_.header);
        picture_.headed = picture_.error.empty();
        if (picture_.headed)
            picture_.error = fill_bmp(fileName, picture_.stream);
    }
    return picture_;
}

void TBmpTab::showPreview(const QString& fileName)
{
    const TPicture& p = picture(fileName);
    QPixmap screen(kScreenWidth, kScreenHeight);
    screen.fill(Qt::black);
    const QImage image = pictureFromStream(p.stream);
    if (!image.isNull()) {
        // The display draws the picture pixel for pixel from its top left corner; a picture
        // larger than the screen is shown whole, scaled down without distortion.
        QPainter painter(&screen);
        const QSize fit = image.size().boundedTo(screen.size());
        painter.drawImage(QRect(QPoint(0, 0), image.size().scaled(fit, Qt::KeepAspectRatio)), image);
    }
    Image1->setPixmap(screen);
    Image1->setToolTip(image.isNull() ? QString::fromStdString(p.error)
                                      : QString("%1 x %2, %3 bytes to send")
                                            .arg(image.width())
                                            .arg(image.height())
                                            .arg(p.stream.size()));
}

void TBmpTab::showBmpInfo(const QString& fileName)
{
    if (!fileExists(fileName)) {
        clearPicture();
        context_.addStatus("Can't open bmp file\n", fsPlain, kErrorRed);
        return;
    }
    TPicture& p = picture(fileName);
    // What the converter says about a picture is said once; a send it refuses says it again.
    if (!p.error.empty() && !p.reported) {
        addError(p.error);
        p.reported = true;
    }
    if (!p.headed) {
        // Not a bitmap the converter can read: nothing of an earlier picture stays on show.
        clearPicture();
        return;
    }
    lblHeight->setText(QString::number(bmpHeight(p.header)));
    lblWidth->setText(QString::number(bmpWidth(p.header)));
    lblDepth->setText(QString::number(bmpDepth(p.header)));
    setWindowColour(bmpDepth(p.header) != 24 ? QColor(Qt::red) : QApplication::palette().color(QPalette::Button));
}

void TBmpTab::clearPicture()
{
    QPixmap screen(kScreenWidth, kScreenHeight);
    screen.fill(Qt::black);
    Image1->setPixmap(screen);
    Image1->setToolTip(QString());
    for (QLabel* label : {lblWidth, lblHeight, lblDepth})
        label->clear();
    setWindowColour(QApplication::palette().color(QPalette::Button));
}

void TBmpTab::setWindowColour(const QColor& colour)
{
    QPalette palette = context_.window.palette();
    palette.setColor(QPalette::Window, colour);
    context_.window.setPalette(palette);
}

void TBmpTab::showFontPreview(const QString& fileName)
{
    TFontData font;
    if (!fileExists(fileName) || !fo_getFontData(fileName, font).empty()) {
        imgFont->clear();
        lblFontInfo->clear();
        return;
    }
    imgFont->setPixmap(QPixmap::fromImage(fontPreview(font)));
    lblFontInfo->setText(QString("%1 x %2 cells, %3 characters from %4, %5 data bytes")
                             .arg(font.cellWidth())
                             .arg(font.cellHeight())
                             .arg(font.count())
                             .arg(font.firstChar())
                             .arg(font.data.size()));
}

// --- File choice -------------------------------------------------------------------------------------

bool TBmpTab::browse(QComboBox* box, const QString& filter)
{
    dlgOpen->setNameFilters({"All Files (*)", filter});
    dlgOpen->selectNameFilter(filter);
    // The dialog opens where the current file is, or at first at the sample files.
    const QFileInfo current(box->currentText());
    if (!box->currentText().isEmpty() && current.absoluteDir().exists())
        dlgOpen->setDirectory(current.absoluteDir());
    else if (const QString samples = latin1(placeOf(TQxPlace::qpToolFolder)) + "samples"; QFileInfo(samples).isDir())
        dlgOpen->setDirectory(samples);
    if (dlgOpen->exec() != QDialog::Accepted || dlgOpen->selectedFiles().isEmpty())
        return false;
    const QString file = dlgOpen->selectedFiles().first();
    // A file already in the history is selected there rather than listed twice.
    int at = box->findText(file);
    if (at < 0) {
        box->addItem(file);
        at = box->count() - 1;
    }
    box->setCurrentIndex(at);
    return true;
}

void TBmpTab::cmdBmpBrowsClick()
{
    browse(cboBMPfileName, "BMP (*.bmp *.BMP)");
}

void TBmpTab::cmdFontBrowsClick()
{
    browse(cboBFFfileName, "BFF (*.bff *.BFF)");
}

void TBmpTab::clearList(QComboBox* box)
{
    box->clear();
    box->setEditText(QString());
}

// --- Sending a picture -------------------------------------------------------------------------------

void TBmpTab::sendBmp(const QString& fileName, const std::string& destination)
{
    TVaComm& port = context_.VaComm1;
    if (context_.refuseWhileBusy())
        return;
    const TBusyState busy(context_);
    if (!fileExists(fileName)) {
        context_.addStatus("Can't open BMP file\n", fsPlain, kErrorRed);
        return;
    }
    if (!port.Active()) {
        context_.addStatus("Com Port must be open first\n", fsPlain, kErrorRed);
        return;
    }
    bool number = false;
    const int depth = lblDepth->text().toInt(&number);
    if (!number) {
        addError("'" + bytes(lblDepth->text()) + "' is not a valid integer value");
        return;
    }
    if (depth != 24) {
        context_.addStatus("Colour depth must be 24\n", fsPlain, kErrorRed);
        return;
    }
    TPicture& p = picture(fileName);
    if (p.stream.empty()) {
        addError(p.error);
        p.reported = true;
        return;
    }
    // The stream goes out whole: it was converted from the file as it is now.
    const std::string stream(p.stream.begin(), p.stream.end());

    std::string x = bytes(txtX->text());
    std::string y = bytes(txtY->text());
    if (x.empty() != y.empty())
        (x.empty() ? x : y) = "0";
    context_.rx.clear();
    bool commanded = false;
    if (destination == "com") {
        port.WriteText(deviceCommand(x.empty() ? std::string() : x + "," + y, 'b'));
        commanded = true;
    } else if (destination == "flash") {
        if (lblFlashType->text() == "0") {
            port.WriteText(deviceCommand(bytes(lblBlockNumber->text()), 'B'));
            commanded = true;
            flash->markOutOfDate();
        } else {
            context_.addStatus("Block must be empty and selected first\n", fsPlain, kErrorRed);
        }
    }
    context_.waitMs(5);
    if (!commanded) {
        context_.addStatus("Nothing to do, Check flash destination\n");
        return;
    }
    const size_t sent = sendPaced(context_, stream, stream.size(), static_cast<int>(stream.size()) - 1);
    if (context_.deviceGone() && sent < stream.size())
        addError("Picture upload stopped after " + std::to_string(sent) + " of " + std::to_string(stream.size())
                 + " bytes");
    if (destination == "flash" && sent == stream.size())
        flash->showStoredBlocks(bytes(lblBlockNumber->text()));
}

// --- Fonts -------------------------------------------------------------------------------------------

void TBmpTab::createFontFiles(const QString& fileName)
{
    if (!fileExists(fileName)) {
        context_.addStatus("Can't open font file\n", fsPlain, kErrorRed);
        return;
    }
    if (!chkFontHead->isChecked() && !chkFontBinary->isChecked()) {
        context_.addStatus("Nothing created: tick \"Create .h file\" or \"Create Binary File\" first\n", fsPlain,
                           kErrorRed);
        return;
    }
    QString written;
    if (chkFontHead->isChecked()) {
        const std::string error = fo_head(fileName, &written);
        if (!error.empty()) {
            addError(error);
            return;
        }
        context_.addStatus(".h File created at " + bytes(written) + "\n", fsPlain, kOkGreen);
    }
    if (chkFontBinary->isChecked()) {
        const std::string error = fo_binary(fileName, &written);
        if (!error.empty()) {
            addError(error);
            return;
        }
        context_.addStatus("Binary File created at " + bytes(written) + "\n", fsPlain, kOkGreen);
    }
}

void TBmpTab::sendFont(const QString& fileName, const std::string& destination)
{
    if (context_.refuseWhileBusy())
        return;
    const TBusyState busy(context_);
    if (!fileExists(fileName)) {
        context_.addStatus("Can't open font file\n", fsPlain, kErrorRed);
        return;
    }
    if (!context_.VaComm1.Active()) {
        context_.addStatus("Com port not open\n", fsPlain, kErrorRed);
        return;
    }
    TFontData font;
    const std::string error = fo_getFontData(fileName, font);
    if (!error.empty()) {
        addError(error);
        return;
    }
    sendFontData(font, destination);
}

void TBmpTab::sendFontData(const TFontData& font, const std::string& destination)
{
    TVaComm& port = context_.VaComm1;
    const TBusyState operation(context_);
    if (!port.Active()) {
        context_.addStatus("Com port not open\n", fsPlain, kErrorRed);
        return;
    }
    const int size = font.size();
    if (static_cast<unsigned>(size) > 8190) {
        context_.addStatus("Selected file Exceeds 8k in Size\n", fsPlain, kErrorRed);
        return;
    }
    context_.rx.clear();
    if (destination == "flash") {
        if (lblFlashType->text() != "0") {
            context_.addStatus("Select empty flash block destination\n", fsPlain, kErrorRed);
            return;
        }
        port.WriteText(deviceCommand(bytes(lblBlockNumber->text()), 'F'));
        flash->markOutOfDate();
    } else {
        port.WriteText(kFontToDisplay);
    }
    context_.waitMs(5);

    TBusyGuard busy(context_, size);
    // The data length goes first, unpaced, so the display knows what follows; then the header and
    // the data, each byte only while the display asserts CTS. Cancel also ends a wait for CTS.
    port.WriteChar(static_cast<char>(font.header[5]));
    port.WriteChar(static_cast<char>(font.header[6]));
    const auto paced = [&](const std::uint8_t* bytes, size_t count) {
        return sendCtsPaced(context_, busy, reinterpret_cast<const char*>(bytes), count);
    };
    paced(font.header.data(), font.header.size());
    const size_t sent = paced(font.data.data(), font.data.size());
    if (context_.deviceGone() && sent < font.data.size())
        addError("Font upload stopped after " + std::to_string(sent) + " of " + std::to_string(font.data.size())
                 + " data bytes");
    if (destination == "flash" && sent == font.data.size())
        flash->showStoredBlocks(bytes(lblBlockNumber->text()));
}
