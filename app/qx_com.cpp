#include "qx_com.h"

#include "Activation.h"
#include "BinarySend.h"
#include "DeviceSelection.h"
#include "FindBar.h"
#include "StringsTab.h"
#include "IniFile.h"
#include "Latin1.h"
#include "Messages.h"
#include "Places.h"
#include "PortAccess.h"
#include "PortBox.h"
#include "PortWatcher.h"
#include "Program.h"
#include "Settings.h"
#include "TextSend.h"
#include "TextSet.h"
#include "Update.h"
#include "Values.h"
#include "XModem.h"
#include "about.h"

#include "VaComm.h"
#include "VaPortIdentity.h"
#include "VaNetTransport.h"

#include <QAbstractItemView>
#include <QActionGroup>
#include <QApplication>
#include <QCheckBox>
#include <QCloseEvent>
#include <QColorDialog>
#include <QComboBox>
#include <QDateTime>
#include <QElapsedTimer>
#include <QFile>
#include <QFileDialog>
#include <QFileInfo>
#include <QFontDatabase>
#include <QFontDialog>
#include <QFontInfo>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QLocale>
#include <QMenuBar>
#include <QPainter>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QScrollBar>
#include <QSplitter>
#include <QStatusBar>
#include <QTabWidget>
#include <QTextBlock>
#include <QTextCharFormat>
#include <QTextEdit>
#include <QTime>
#include <QTimer>
#include <QToolBar>
#include <QToolButton>
#include <QVBoxLayout>

#include <algorithm>
#include <chrono>
#include <string_view>
#include <strings.h>
#include <thread>

TfrmTerm* frmTerm = nullptr;
TVaDeviceRoots TfrmTerm::deviceRoots;

namespace {

const char* const kBaudRates[] = {"110",    "300",    "600",    "1200",    "2400",    "4800",   "9600",
                                  "14400",  "19200",  "28800",  "38400",   "56000",   "57600",  "115200",
                                  "128000", "232558", "476190", "1000000", "2000000", "5000000"};
const char* const kNone = "<none>";
const char* const kFileFilter = "All Files (*);;BASIC (*.bas);;Hex Files (*.hex);;Forth Files (*.fth)";

// The pane takes received text at most once a frame, as one block.
constexpr qint64 kPanePaintMs = 16;
// Received text kept for drawing again when the view changes.
constexpr size_t kReceivedKept = size_t{64} << 10;
// Received text held for the pane beyond this is shown at once, whatever the frame.
constexpr size_t kPaneBacklogLimit = size_t{256} << 10;
// How much the port reads ahead while the window is busy: a flood reaches the window in a few
// large batches. Beyond it the device waits (the kernel holds its writer back).
constexpr int32_t kReadAhead = 256 << 10;
// The pauses between attempts to connect a remote port again: doubling from the first to the last.
constexpr int kFirstRemotePauseMs = 500;
constexpr int kLastRemotePauseMs = 4000;

// Where the first line that starts at or after from begins; from itself within a text of one line.
size_t lineStartFrom(std::string_view text, size_t from)
{
    if (from == 0 || text[from - 1] == '\n')
        return from;
    const size_t lf = text.find('\n', from);
    return lf == std::string_view::npos || lf + 1 >= text.size() ? from : lf + 1;
}

// The colour of the time stamps: set off from the data, and readable on the pane's background
// (light on a dark one, dark on a light one), in another hue when the data's colour is close to it.
QColor stampColourFor(const QColor& text, const QColor& background)
{
    const bool dark = background.lightness() < 128;
    const QColor first = dark ? QColor(130, 210, 255) : QColor(0, 90, 170);
    const QColor second = dark ? QColor(170, 235, 150) : QColor(0, 115, 0);
    const int distance = std::abs(text.red() - first.red()) + std::abs(text.green() - first.green())
                         + std::abs(text.blue() - first.blue());
    return distance < 150 ? second : first;
}

// A small tool-bar glyph: a rounded tile with a short caption (where the icon theme has no icon).
QIcon glyph(const QString& caption, const QColor& colour)
{
    QPixmap pm(24, 24);
    pm.fill(Qt::transparent);
    QPainter p(&pm);
    p.setRenderHint(QPainter::Antialiasing);
    p.setBrush(colour);
    p.setPen(colour.darker(160));
    p.drawRoundedRect(QRectF(1.5, 1.5, 21, 21), 4, 4);
    QFont f = p.font();
    f.setPixelSize(caption.size() > 2 ? 8 : 10);
    f.setBold(true);
    p.setFont(f);
    p.setPen(Qt::white);
    p.drawText(pm.rect(), Qt::AlignCenter, caption);
    return QIcon(pm);
}

// The desktop's icon of that name, or our glyph.
QIcon themed(const char* name, const QString& caption, const QColor& colour)
{
    return QIcon::fromTheme(QString::fromLatin1(name), glyph(caption, colour));
}

QPixmap lamp(const QColor& colour)
{
    QPixmap pm(24, 24);
    pm.fill(Qt::transparent);
    QPainter p(&pm);
    p.setRenderHint(QPainter::Antialiasing);
    QRadialGradient g(9, 9, 12);
    g.setColorAt(0, colour.lighter(170));
    g.setColorAt(1, colour);
    p.setBrush(g);
    p.setPen(colour.darker(180));
    p.drawEllipse(QRectF(2.5, 2.5, 19, 19));
    return pm;
}

} // namespace

QColor colourFromWindows(int32_t value)
{
    const auto v = static_cast<uint32_t>(value);
    if (v >> 24)
        return QApplication::palette().color(QPalette::Window);
    return QColor(static_cast<int>(v & 0xFF), static_cast<int>((v >> 8) & 0xFF), static_cast<int>((v >> 16) & 0xFF));
}

int32_t colourToWindows(const QColor& colour)
{
    return static_cast<int32_t>(static_cast<uint32_t>(colour.red()) | (static_cast<uint32_t>(colour.green()) << 8)
                                | (static_cast<uint32_t>(colour.blue()) << 16));
}

// ---------------------------------------------------------------------------------------------------
// Creation

TfrmTerm::TfrmTerm(QWidget* parent) : QMainWindow(parent), VaComm1(std::make_unique<TVaComm>())
{
    setObjectName("frmTerm");
    setWindowTitle("QX-Com -- QX Tools  " + latin1(makerSite()));
    buildMenus();
    buildToolBars();
    buildPanes();
    context = std::make_unique<TToolContext>(*VaComm1, *this, *this, *reStatus, *ProgressBar1, *btnCancel);
    textSend = std::make_unique<TTextSend>(*context, [] { return transferSettings(); });
    binarySend = std::make_unique<TBinarySend>(*context);
    buildToolTabs();
    watchBusy();
    resize(798, 787);

    VaComm1->Buffers().SetReadSize(kReadAhead);
    VaComm1->OnRxChar = [this](TVaCustomComm*, int32_t) { guarded([this] { VaComm1RxChar(); }); };
    VaComm1->OnDisconnect = [this](TVaCustomComm*) { guarded([this] { VaComm1Disconnect(); }); };
    VaComm1->OnOpen = [this](TVaCustomComm*) {
        context->setDeviceGone(false);
        showRateInForce();
    };
    VaComm1->OnNotice = [this](TVaCustomComm*, const std::string& text) {
        addStatus(latin1(text) + "\n", fsPlain, Qt::darkBlue);
    };
    buildLog();

    // The port list follows plugging; a device waited for is tried whenever it may be back, and
    // once the operation that was running when it vanished has ended. Each try reads the ports
    // anew, so that a list not yet updated never opens another device at the old name.
    portWatcher_ = new TPortWatcher(this);
    connect(portWatcher_, &TPortWatcher::changed, this, [this] { guarded([this] { refreshPortList(); }); });
    retry_.setSingleShot(true);
    connect(&retry_, &QTimer::timeout, this, [this] { guarded([this] { refreshPortList(); }); });
    connect(context.get(), &TToolContext::busyChanged, this, [this](bool busy) {
        if (!busy && waiting_)
            QTimer::singleShot(0, this, [this] { guarded([this] { refreshPortList(); }); });
    });

    // FormCreate: the placeholder selections, replaced by the settings at the first activation.
    for (const char* rate : kBaudRates)
        cboBaudRate->addItem(rate);
    cboBaudRate->setCurrentIndex(1);
    guarded([this] { RefreshPorts1Click(); });
    cboPort->setCurrentIndex(cboPort->count() > 1 ? 1 : 0);
    for (const char* s : {"1", "15", "2"})
        cboStopBits->addItem(s);
    cboStopBits->setCurrentIndex(1);
    for (const char* s : {"4", "5", "6", "7", "8"})
        cboDataBits->addItem(s);
    cboDataBits->setCurrentIndex(4);
    firstActivation_ = true;
}

TfrmTerm::~TfrmTerm()
{
    if (remoteAttempt_.joinable())
        remoteAttempt_.join();
    // FormDestroy: a port still open is closed.
    if (VaComm1->Active()) {
        try {
            VaComm1->Close();
        } catch (...) {
        }
    }
}

void TfrmTerm::buildMenus()
{
    auto act = [this](QMenu* menu, const char* caption, auto handler) {
        QAction* a = menu->addAction(caption);
        connect(a, &QAction::triggered, this, [this, handler] { guarded([this, handler] { (this->*handler)(); }); });
        return a;
    };
    auto check = [](QAction* a) {
        a->setCheckable(true);
        return a;
    };

    QMenu* file = menuBar()->addMenu("&File");
    SendText1 = act(file, "&Send Text", &TfrmTerm::SendText1Click);
    ResendText1 = act(file, "&Re-send Text", &TfrmTerm::ResendText1Click);
    CancelSend1 = act(file, "&Cancel Send", &TfrmTerm::CancelSend1Click);
    Clearscreen1 = act(file, "C&lear screen", &TfrmTerm::Clearscreen1Click);
    // Ctrl+F opens the find bar from the terminal pane too, where other Ctrl+letter keys send their
    // control codes; its code (0x06) is sent through the send box.
    Find1 = act(file, "&Find...", &TfrmTerm::Find1Click);
    Find1->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_F));
    Xmodem1 = act(file, "&Xmodem", &TfrmTerm::SendxClick);
    SendBinary1 = act(file, "Send &Binary", &TfrmTerm::SendBinary1Click);
    file->addSeparator();
    LogToFile1 = act(file, "L&og to File…", &TfrmTerm::LogToFile1Click);
    StopLog1 = act(file, "S&top Log", &TfrmTerm::StopLog1Click);
    StopLog1->setEnabled(false);

    QMenu* settings = menuBar()->addMenu("&Settings");
    Settings1 = act(settings, "&Text transfer", &TfrmTerm::Settings1Click);
    Font1 = act(settings, "&Font", &TfrmTerm::Font1Click);
    Background1 = act(settings, "&Background", &TfrmTerm::Background1Click);
    Echo1 = check(settings->addAction("&Echo"));
    RefreshPorts1 = act(settings, "&Refresh Ports", &TfrmTerm::RefreshPorts1Click);
    mnuCtrl = check(settings->addAction("&Show Control Chrs"));
    QMenu* stamps = settings->addMenu("Timestamps");
    auto* stampChoice = new QActionGroup(this);
    StampOff1 = check(stamps->addAction("Off"));
    StampTime1 = check(stamps->addAction("Time of Day (ms)"));
    StampElapsed1 = check(stamps->addAction("Seconds Since Connect (ms)"));
    for (QAction* a : {StampOff1, StampTime1, StampElapsed1})
        stampChoice->addAction(a);
    StampOff1->setChecked(true);
    HexView1 = check(settings->addAction("Hex View"));
    connect(HexView1, &QAction::triggered, this, [this] { guarded([this] { redrawReceived(); }); });
    SendBox1 = check(settings->addAction("Send Box"));
    connect(SendBox1, &QAction::toggled, this, [this](bool on) {
        pnlSend->setVisible(on);
        if (on)
            edtSend->setFocus();
    });

    QMenu* serial = menuBar()->addMenu("S&erial");
    serial->setTitle("Serial");
    Reset1 = act(serial, "&Reset", &TfrmTerm::Reset1Click);
    DTRlow1 = check(act(serial, "&DTR low", &TfrmTerm::DTRlow1Click));
    HWFlow1 = check(act(serial, "&CTS Flow Control", &TfrmTerm::HWFlow1Click));
    serial->addSeparator();
    Reconnect1 = check(act(serial, "Reconnect &Automatically", &TfrmTerm::Reconnect1Click));
    Reconnect1->setChecked(true);
    Reconnect1->setToolTip("When the device goes away, wait for it and connect again as soon as it is back");

    file->addSeparator();
    Exit1 = file->addAction("E&xit");
    Exit1->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_Q));
    connect(Exit1, &QAction::triggered, this, &QWidget::close);

    Update1 = menuBar()->addAction("Update");
    Update1->setEnabled(false);
    connect(Update1, &QAction::triggered, this, [this] { guarded([this] { UpdateClick(); }); });
    About1 = menuBar()->addAction("&About");
    connect(About1, &QAction::triggered, this, [this] { guarded([this] { About1Click(); }); });
}

void TfrmTerm::buildToolBars()
{
    ToolBar1 = addToolBar("ToolBar1");
    ToolBar1->setObjectName("ToolBar1");
    ToolBar1->setMovable(false);
    auto button = [this](const char* hint, const QIcon& icon, QAction* shared) {
        QAction* a = ToolBar1->addAction(icon, hint);
        a->setToolTip(hint);
        connect(a, &QAction::triggered, shared, &QAction::trigger);
        connect(shared, &QAction::enabledChanged, a, &QAction::setEnabled);
        return a;
    };
    button("Select and send text", themed("document-send", "T", QColor(40, 110, 190)), SendText1);
    button("send text again", themed("mail-forward", "T+", QColor(40, 110, 190)), ResendText1);
    button("show text settings", themed("document-properties", "S", QColor(110, 110, 110)), Settings1);
    ToolBar1->addSeparator();
    button("Reset (#DTR)", themed("system-reboot", "R", QColor(190, 60, 40)), Reset1);
    button("XModem Transfer", themed("network-transmit-receive", "XM", QColor(120, 60, 160)), Xmodem1);
    ToolBar1->addSeparator();
    button("Send binary file", themed("document-export", "B", QColor(30, 140, 90)), SendBinary1);
    ToolButton9 = ToolBar1->addAction(themed("edit-redo", "B+", QColor(30, 140, 90)),
                                      "Re-send binary file, name is on status bar");
    ToolButton9->setToolTip("Re-send binary file, name is on status bar");
    connect(ToolButton9, &QAction::triggered, this, [this] { guarded([this] { ToolButton9Click(); }); });
    ToolBar1->addSeparator();
    cboDevice = new QComboBox(ToolBar1);
    cboDevice->setObjectName("cboDevice");
    cboDevice->setMinimumWidth(180);
    cboDevice->setEnabled(false);
    cboDevice->setEditable(true);
    cboDevice->setInsertPolicy(QComboBox::NoInsert);
    ToolBar1->addWidget(cboDevice);
    // A device picked from the list, or a typed name confirmed with Enter, is selected.
    connect(cboDevice, &QComboBox::activated, this, [this] { guarded([this] { cboDeviceChange(); }); });
    connect(cboDevice->lineEdit(), &QLineEdit::returnPressed, this, [this] {
        if (cboDevice->findText(cboDevice->currentText()) < 0)
            guarded([this] { cboDeviceChange(); });
    });
}

void TfrmTerm::buildPanes()
{
    auto* central = new QWidget(this);
    auto* centralLayout = new QVBoxLayout(central);
    centralLayout->setContentsMargins(0, 0, 0, 0);
    centralLayout->setSpacing(0);

    splH = new QSplitter(Qt::Vertical, central);
    splH->setObjectName("splH");
    splV = new QSplitter(Qt::Horizontal, splH);
    splV->setObjectName("splV");

    // The line tool bar: a row of its own across the window, so that the port, its line settings
    // and the connect button are all in sight at the smallest window size.
    addToolBarBreak();
    ToolBar2 = new QToolBar("ToolBar2", this);
    ToolBar2->setObjectName("ToolBar2");
    ToolBar2->setMovable(false);
    addToolBar(ToolBar2);
    spdConnect = new QToolButton(ToolBar2);
    spdConnect->setObjectName("spdConnect");
    spdConnect->setCheckable(true);
    spdConnect->setToolTip("Connect to selected com port");
    QIcon connectIcon;
    connectIcon.addPixmap(lamp(QColor(210, 30, 30)), QIcon::Normal, QIcon::Off);
    connectIcon.addPixmap(lamp(QColor(20, 170, 40)), QIcon::Normal, QIcon::On);
    connectIcon.addPixmap(lamp(QColor(150, 150, 150)), QIcon::Disabled, QIcon::Off);
    connectIcon.addPixmap(lamp(QColor(20, 170, 40)), QIcon::Active, QIcon::On);
    spdConnect->setIcon(connectIcon);
    connectIcon_ = connectIcon;
    // Waiting for a device that went away: neither red nor green.
    waitIcon_.addPixmap(lamp(QColor(235, 160, 20)), QIcon::Normal, QIcon::Off);
    waitIcon_.addPixmap(lamp(QColor(235, 160, 20)), QIcon::Active, QIcon::Off);
    spdConnect->setIconSize(QSize(24, 24));
    ToolBar2->addWidget(spdConnect);
    tbRefreshPorts = ToolBar2->addAction(themed("view-refresh", "P", QColor(200, 140, 20)), "Refresh Ports");
    tbRefreshPorts->setToolTip("Refresh Ports");
    connect(tbRefreshPorts, &QAction::triggered, RefreshPorts1, &QAction::trigger);
    cboPort = new QComboBox(ToolBar2);
    cboPort->setObjectName("cboPort");
    // A fixed width: a long path does not push the other boxes away (its list shows it whole).
    cboPort->setMinimumContentsLength(18);
    cboPort->setSizeAdjustPolicy(QComboBox::AdjustToMinimumContentsLengthWithIcon);
    cboPort->view()->setTextElideMode(Qt::ElideNone);
    portbox::install(cboPort);
    // A remote port (rfc2217://HOST:PORT, socket://HOST:PORT) or a device path may be typed in.
    cboPort->setEditable(true);
    cboPort->setInsertPolicy(QComboBox::NoInsert);
    cboPort->lineEdit()->setPlaceholderText("port or rfc2217://host:port");
    cboBaudRate = new QComboBox(ToolBar2);
    cboBaudRate->setObjectName("cboBaudRate");
    cboBaudRate->setEditable(true);
    cboBaudRate->setInsertPolicy(QComboBox::NoInsert);
    cboBaudRate->setMinimumContentsLength(8);
    cboBaudRate->setToolTip("Baud rate");
    cboStopBits = new QComboBox(ToolBar2);
    cboStopBits->setObjectName("cboStopBits");
    cboStopBits->setToolTip("Stop bits");
    cboDataBits = new QComboBox(ToolBar2);
    cboDataBits->setObjectName("cboDataBits");
    cboDataBits->setToolTip("Data bits");
    for (QComboBox* box : {cboPort, cboBaudRate, cboStopBits, cboDataBits})
        ToolBar2->addWidget(box);

    // Left: the terminal pane.
    PanelTerm = new QWidget(splV);
    PanelTerm->setObjectName("PanelTerm");
    auto* termLayout = new QVBoxLayout(PanelTerm);
    termLayout->setContentsMargins(0, 0, 0, 0);
    termLayout->setSpacing(0);

    mmoTerm = new QPlainTextEdit(PanelTerm);
    mmoTerm->setObjectName("mmoTerm");
    mmoTerm->setLineWrapMode(QPlainTextEdit::NoWrap);
    mmoTerm->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    mmoTerm->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    mmoTerm->setUndoRedoEnabled(false);
    paneTimer_ = new QTimer(mmoTerm);
    paneTimer_->setSingleShot(true);
    paneTimer_->setTimerType(Qt::PreciseTimer);
    connect(paneTimer_, &QTimer::timeout, this, [this] { guarded([this] { paintPane(); }); });
    mmoTerm->setPlainText("Version 1.01\n** Select COM port and press red connect button");
    mmoTerm->installEventFilter(this);
    TProgramActivation::instance().watch(this, [this] { guarded([this] { FormActivate(); }); });
    termLayout->addWidget(mmoTerm, 1);
    findBar = new TFindBar(mmoTerm, PanelTerm);
    findBar->hexView = [this] { return HexView1->isChecked(); };
    termLayout->insertWidget(0, findBar);

    // Under it, shown through Settings > "Send Box": a line sent with Enter.
    pnlSend = new QWidget(PanelTerm);
    pnlSend->setObjectName("pnlSend");
    auto* sendLayout = new QHBoxLayout(pnlSend);
    sendLayout->setContentsMargins(0, 2, 0, 0);
    sendLayout->setSpacing(2);
    edtSend = new QLineEdit(pnlSend);
    edtSend->setObjectName("edtSend");
    edtSend->setPlaceholderText("Text to send (\\r \\n \\t \\xHH \\\\), Enter sends; Up/Down: history");
    edtSend->installEventFilter(this);
    cboSendLineEnd = new QComboBox(pnlSend);
    cboSendLineEnd->setObjectName("cboSendLineEnd");
    cboSendLineEnd->setToolTip("Line end sent after the text");
    for (const char* end : {"None", "CR", "LF", "CR LF"})
        cboSendLineEnd->addItem(end);
    cboSendLineEnd->setCurrentIndex(static_cast<int>(TLineEnd::cr));
    chkSendHex = new QCheckBox("Hex", pnlSend);
    chkSendHex->setObjectName("chkSendHex");
    chkSendHex->setToolTip("The line is bytes as hex pairs, as in 1B 5B 32 4A");
    sendLayout->addWidget(edtSend, 1);
    sendLayout->addWidget(cboSendLineEnd);
    sendLayout->addWidget(chkSendHex);
    pnlSend->hide();
    termLayout->addWidget(pnlSend);
    connect(edtSend, &QLineEdit::returnPressed, this, [this] { guarded([this] { sendBoxEnter(); }); });
    setTermFont(termFontName_, termFontSize_);
    setTermColours(termFontColour_, termBackColour_);

    // Right: the status pane.
    PanelStatus = new QWidget(splV);
    PanelStatus->setObjectName("PanelStatus");
    auto* statusLayout = new QVBoxLayout(PanelStatus);
    statusLayout->setContentsMargins(0, 0, 0, 0);
    statusLayout->setSpacing(0);
    auto* title = new QLabel("Status", PanelStatus);
    title->setAutoFillBackground(true);
    QPalette tp = title->palette();
    tp.setColor(QPalette::Window, QColor(0xA6, 0xCA, 0xF0)); // sky blue
    tp.setColor(QPalette::WindowText, Qt::black);
    title->setPalette(tp);
    title->setContentsMargins(4, 2, 4, 2);
    statusLayout->addWidget(title);
    reStatus = new QTextEdit(PanelStatus);
    reStatus->setObjectName("reStatus");
    reStatus->setReadOnly(true);
    reStatus->setLineWrapMode(QTextEdit::NoWrap);
    reStatus->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    reStatus->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    QPalette sp = reStatus->palette();
    sp.setColor(QPalette::Base, QColor(0xFF, 0xFB, 0xF0)); // cream
    sp.setColor(QPalette::Text, Qt::black);
    reStatus->setPalette(sp);
    reStatus->setPlainText(latin1(makerSite()) + "\n");
    statusLayout->addWidget(reStatus, 1);

    splV->addWidget(PanelTerm);
    splV->addWidget(PanelStatus);
    splV->setStretchFactor(0, 1);
    splV->setStretchFactor(1, 0);
    splV->setSizes({798 - 325, 325});

    // Below: the tool area.
    PanelTools = new QWidget(splH);
    PanelTools->setObjectName("PanelTools");
    PanelTools->setMinimumWidth(260);
    auto* toolsLayout = new QVBoxLayout(PanelTools);
    toolsLayout->setContentsMargins(0, 0, 0, 0);
    PageControl1 = new QTabWidget(PanelTools);
    PageControl1->setObjectName("PageControl1");
    toolsLayout->addWidget(PageControl1);
    splH->addWidget(splV);
    splH->addWidget(PanelTools);
    splH->setStretchFactor(0, 1);
    splH->setStretchFactor(1, 0);
    splH->setSizes({787 - 415, 415});
    centralLayout->addWidget(splH, 1);

    // The bottom bar: Cancel and the progress bar.
    pnlBot = new QWidget(central);
    pnlBot->setObjectName("pnlBot");
    auto* botLayout = new QHBoxLayout(pnlBot);
    botLayout->setContentsMargins(0, 2, 2, 2);
    botLayout->setSpacing(2);
    btnCancel = new QPushButton("Cancel", pnlBot);
    btnCancel->setObjectName("btnCancel");
    QSizePolicy keep = btnCancel->sizePolicy();
    keep.setRetainSizeWhenHidden(true);
    btnCancel->setSizePolicy(keep);
    btnCancel->setIcon(QIcon::fromTheme("process-stop"));
    btnCancel->hide();
    ProgressBar1 = new QProgressBar(pnlBot);
    ProgressBar1->setObjectName("ProgressBar1");
    ProgressBar1->setRange(0, 100);
    ProgressBar1->setValue(0);
    ProgressBar1->setTextVisible(false);
    botLayout->addWidget(btnCancel);
    botLayout->addWidget(ProgressBar1, 1);
    centralLayout->addWidget(pnlBot);
    setCentralWidget(central);

    staBar1 = new QStatusBar(this);
    staBar1->setObjectName("staBar1");
    staPanel0 = new QLabel(staBar1);
    staPanel1 = new QLabel(staBar1);
    // Panel 0 takes the window width less 130 pixels, panel 1 is 120 pixels wide.
    staPanel0->setMinimumWidth(0);
    staPanel0->setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Preferred);
    // Panel 1 is 120 pixels wide, wider while it says what a send waits for.
    staPanel1->setMinimumWidth(120);
    staBar1->addWidget(staPanel0, 1);
    staBar1->addWidget(staPanel1);
    setStatusBar(staBar1);

    connect(btnCancel, &QPushButton::clicked, this, [this] { CancelSend1Click(); });
    connect(spdConnect, &QToolButton::clicked, this, [this] { guarded([this] { spdConnectClick(); }); });
    connect(cboPort, &QComboBox::activated, this, [this] { guarded([this] { cboPortChange(); }); });
    connect(cboPort->lineEdit(), &QLineEdit::returnPressed, this, [this] { guarded([this] { portTyped(); }); });
    connect(cboBaudRate, &QComboBox::activated, this, [this] { guarded([this] { cboBaudRateChange(); }); });
    connect(cboBaudRate->lineEdit(), &QLineEdit::textEdited, this,
            [this] { guarded([this] { cboBaudRateChange(true); }); });
    connect(cboStopBits, &QComboBox::activated, this, [this] { guarded([this] { cboStopBitsChange(); }); });
    connect(cboDataBits, &QComboBox::activated, this, [this] { guarded([this] { cboDataBitsChange(); }); });
}

// ---------------------------------------------------------------------------------------------------
// Shared routines

int TfrmTerm::getPortNumber(int index) const
{
    if (index < 0 || index >= cboPort->count())
        return 0;
    const QString entry = cboPort->itemText(index);
    if (!entry.startsWith("COM"))
        return 0;
    bool ok = false;
    const int n = entry.mid(3, 20).toInt(&ok);
    return ok ? n : 0;
}

std::string TfrmTerm::portPath(int index) const
{
    if (index <= 0 || index >= cboPort->count())
        return {};
    const std::string name = bytes(cboPort->itemText(index));
    if (name == kNone || name.empty())
        return {};
    return name.front() == '/' || VaIsPortUrl(name) ? name : deviceRoots.dev + "/" + name;
}

void TfrmTerm::portTyped()
{
    // A remote port ("rfc2217://HOST:PORT") or a device path typed into the port box joins the
    // list and is chosen as if picked from it.
    const QString entry = cboPort->currentText().trimmed();
    if (entry.isEmpty() || entry == kNone)
        return;
    int at = cboPort->findText(entry);
    for (int i = 1; at < 0 && i < cboPort->count(); ++i) {
        if (portPath(i) == bytes(entry))
            at = i;
    }
    cboPort->setCurrentIndex(at >= 0 ? at : addPortPath(bytes(entry)));
    cboPortChange();
}

void TfrmTerm::addStatus(const QString& text, TFontStyle style, const QColor& colour)
{
    context->addStatus(text, style, colour);
}

QString TfrmTerm::currentFile() const
{
    return staPanel0->text();
}

void TfrmTerm::setCurrentFile(const QString& path)
{
    staPanel0->setText(path);
}

// ---------------------------------------------------------------------------------------------------
// Terminal screen

TTermOptions TfrmTerm::termOptions() const
{
    const TTransferSettings& transfer = transferSettings();
    TTermOptions o;
    o.showCtrl = mnuCtrl->isChecked();
    o.addLF = transfer.addLF;
    o.addCR = transfer.addCR;
    o.sendingText = sendingText;
    int32_t eol;
    if (parseInteger(transfer.eolChar, eol))
        o.eolChar = eol;
    return o;
}

void TfrmTerm::showTermText(const std::string& text)
{
    paintPane();
    applyPaneEdit(termTextEdit(paneLength(), termOptions(), text));
}

void TfrmTerm::showText(const std::string& text)
{
    paintPane();
    TPaneEdit edit;
    edit.show(paneLength(), termOptions(), text);
    applyPaneEdit(edit);
}

void TfrmTerm::clearPane()
{
    paneBacklog_.clear();
    paneTimer_->stop();
    mmoTerm->clear();
    received_.clear();
    receivedBytes_ = 0;
    receivedDropped_ = 0;
    hexRows_ = THexRows{};
}

int TfrmTerm::paneLength() const
{
    return mmoTerm->document()->characterCount() - 1;
}

TStampMode TfrmTerm::stampMode() const
{
    if (StampTime1->isChecked())
        return TStampMode::timeOfDay;
    return StampElapsed1->isChecked() ? TStampMode::sinceConnect : TStampMode::off;
}

void TfrmTerm::noteArrival()
{
    if (!arrivalClock_.isValid())
        arrivalClock_.start();
    const qint64 now = arrivalClock_.elapsed();
    if (paneBacklog_.empty()) {
        // The block the pane takes next is stamped with the time its first part arrived (at most
        // a paint interval before the rest).
        backlogAfterPause_ = lastArrival_ >= 0 && now - lastArrival_ > stampPauseMs_;
        backlogStamp_ = stampNow();
    }
    lastArrival_ = now;
}

std::string TfrmTerm::stampNow() const
{
    const TStampMode mode = stampMode();
    if (mode == TStampMode::timeOfDay)
        return stampText(mode, QTime::currentTime().msecsSinceStartOfDay());
    if (mode == TStampMode::sinceConnect)
        return stampText(mode, connectClock_.isValid() ? connectClock_.elapsed() : 0);
    return {};
}

void TfrmTerm::queueForPane(const std::string& chunk)
{
    noteArrival();
    paneBacklog_ += chunk;
    if (paneTimer_->isActive()) {
        // A backlog that outgrows the paint interval is shown now rather than held in memory.
        if (paneBacklog_.size() >= kPaneBacklogLimit)
            paintPane();
        return;
    }
    // After a quiet spell the text is shown at once; during a flood once a paint interval.
    const qint64 since = lastPaint_.isValid() ? lastPaint_.elapsed() : kPanePaintMs;
    if (since >= kPanePaintMs)
        paintPane();
    else
        paneTimer_->start(static_cast<int>(kPanePaintMs - since));
}

void TfrmTerm::paintPane()
{
    paneTimer_->stop();
    if (paneBacklog_.empty())
        return;
    lastPaint_.start();
    TReceivedBlock block{std::move(backlogStamp_), backlogAfterPause_, {}};
    backlogStamp_.clear();
    block.bytes.swap(paneBacklog_);
    showReceived(block);
    keepReceived(std::move(block));
}

void TfrmTerm::showReceived(const TReceivedBlock& block)
{
    if (HexView1->isChecked()) {
        if (hexRows_.openShown > 0 && paneLength() != hexPaneLength_)
            hexRows_.openShown = -1; // other text came after the open row
        applyPaneEdit(hexRows_.add(block.bytes, block.stamp, block.afterPause));
        hexPaneLength_ = paneLength();
        return;
    }
    // Received text was taken for the pane while no text send ran, so the send's wait character
    // does not hold it back.
    TTermOptions options = termOptions();
    options.sendingText = false;
    TPaneEdit edit = termTextEdit(paneLength(), options, block.bytes);
    if (!block.stamp.empty()) {
        const int kept = edit.clear ? 0 : paneLength() - edit.erase;
        const bool atLineStart = kept <= 0 || mmoTerm->document()->characterAt(kept - 1) == QChar::ParagraphSeparator;
        edit.stampLines(atLineStart, block.afterPause, block.stamp);
    }
    applyPaneEdit(edit);
}

void TfrmTerm::keepReceived(TReceivedBlock block)
{
    if (block.bytes.size() > kReceivedKept) {
        const size_t drop = block.bytes.size() - kReceivedKept;
        block.bytes.erase(0, drop);
        receivedDropped_ += drop;
    }
    receivedBytes_ += block.bytes.size();
    received_.push_back(std::move(block));
    while (receivedBytes_ > kReceivedKept) {
        receivedBytes_ -= received_.front().bytes.size();
        receivedDropped_ += received_.front().bytes.size();
        received_.pop_front();
    }
}

void TfrmTerm::redrawReceived()
{
    paintPane();
    mmoTerm->clear();
    hexRows_ = THexRows{};
    hexRows_.offset = receivedDropped_;
    hexPaneLength_ = 0;
    for (const TReceivedBlock& block : received_)
        showReceived(block);
}

void TfrmTerm::applyPaneEdit(const TPaneEdit& edit)
{
    if (!edit.clear && edit.erase == 0 && edit.insert.empty())
        return; // nothing shown: the caret and the view stay where they are
    const QTextCursor heldTop = findBar->heldTop();
    QTextDocument* doc = mmoTerm->document();
    QTextCursor cursor(doc);
    // One edit block: the document is laid out once for the whole change, not once per line.
    cursor.beginEditBlock();
    if (edit.clear) {
        cursor.select(QTextCursor::Document);
        cursor.removeSelectedText();
    }
    cursor.movePosition(QTextCursor::End);
    for (int i = 0; i < edit.erase && !cursor.atStart(); ++i)
        cursor.deletePreviousChar();
    std::string_view text = edit.insert;
    const auto length = static_cast<size_t>(paneLength());
    if (length + text.size() > static_cast<size_t>(kPaneTrimAbove)) {
        // Whole lines leave the pane from the top, so that about kPaneKeepChars characters stay.
        const size_t cut = length + text.size() - kPaneKeepChars;
        QTextCursor head(doc);
        if (cut >= length) {
            head.movePosition(QTextCursor::End, QTextCursor::KeepAnchor);
            text.remove_prefix(lineStartFrom(text, cut - length));
        } else {
            const QTextBlock block = doc->findBlock(static_cast<int>(cut));
            const auto start = static_cast<size_t>(block.position());
            const bool midLine = start < cut && block.next().isValid();
            head.setPosition(midLine ? block.next().position() : static_cast<int>(cut), QTextCursor::KeepAnchor);
        }
        head.removeSelectedText();
        cursor.movePosition(QTextCursor::End);
    }
    // The data in the pane's own colours (not those of a stamp before it), the stamps in theirs.
    const QTextCharFormat plain;
    QTextCharFormat stamp;
    stamp.setForeground(stampColour_);
    const auto put = [&](size_t from, size_t to, const QTextCharFormat& format) {
        if (to > from)
            cursor.insertText(QString::fromLatin1(edit.insert.data() + from, static_cast<qsizetype>(to - from)),
                              format);
    };
    size_t at = edit.insert.size() - text.size(); // the start of what was kept of the insert
    for (const TPaneEdit::StampRange& range : edit.stamps) {
        const size_t end = range.at + range.size;
        if (end <= at)
            continue;
        const size_t from = std::max(range.at, at);
        put(at, from, plain);
        put(from, end, stamp);
        at = end;
    }
    put(at, edit.insert.size(), plain);
    cursor.endEditBlock();
    // The view follows the end, unless it shows the find bar's current match.
    if (heldTop.isNull())
        mmoTerm->setTextCursor(cursor);
    else
        findBar->keepTop(heldTop);
}

void TfrmTerm::VaComm1RxChar()
{
    const std::string chunk = VaComm1->ReadText();
    const bool ctsFlow = HWFlow1->isChecked();
    // Waits for a reply see every byte at once; the pane shows it at its next paint.
    appendRxBuffer(rxBuffer, chunk);
    logReceived(chunk);
    if (ctsFlow)
        VaComm1->SetRTS(false);
    if (!sendingText)
        queueForPane(chunk);
    if (ctsFlow)
        VaComm1->SetRTS(true);
}

void TfrmTerm::VaComm1Disconnect()
{
    addStatus("Device disconnected\n", fsPlain, Qt::red);
    context->setDeviceGone(true);
    setConnectDown(false);
    // A transfer on the port would otherwise wait out its time-outs for a device that is gone.
    if (frmXModem)
        frmXModem->deviceDisconnected();
    if (Reconnect1->isChecked() && !context->closing())
        startWaiting();
    // Closed once the port's event thread has finished handing over this event; the device may
    // already be back.
    QTimer::singleShot(0, this, [this] {
        guarded([this] {
            VaComm1->Close();
            if (waiting_)
                refreshPortList();
        });
    });
}

// ---------------------------------------------------------------------------------------------------
// Reconnect

void TfrmTerm::startWaiting()
{
    const int current = cboPort->currentIndex();
    awaitedKey_ = portbox::key(cboPort, current);
    if (awaitedKey_.empty())
        return;
    awaitedName_ = cboPort->itemText(current);
    // A closed pseudo-terminal never comes back: its number goes to the next one opened anywhere,
    // which is another program's terminal.
    if (portPath(current).rfind("/dev/pts/", 0) == 0) {
        addStatus("Not waiting for " + awaitedName_ + ": a pseudo-terminal does not come back\n");
        return;
    }
    awaitedDescription_ = portbox::description(cboPort, current);
    awaitedSince_.start();
    refusals_ = 0;
    remotePauseMs_ = kFirstRemotePauseMs;
    lastNote_.clear();
    waiting_ = true;
    showWaiting(true);
    addStatus("Waiting for " + awaitedDevice() + " to come back\n", fsPlain, kTeal);
}

QString TfrmTerm::awaitedDevice() const
{
    return awaitedDescription_.isEmpty() ? awaitedName_ : awaitedName_ + " (" + awaitedDescription_ + ")";
}

void TfrmTerm::stopWaiting(const QString& why)
{
    waiting_ = false;
    retry_.stop();
    showWaiting(false);
    setConnectDown(false);
    addStatus(why);
}

void TfrmTerm::showWaiting(bool waiting)
{
    spdConnect->setIcon(waiting ? waitIcon_ : connectIcon_);
    spdConnect->setToolTip(waiting ? "Waiting for " + awaitedDevice() + " to come back; press to stop waiting"
                                   : QString("Connect to selected com port"));
}

void TfrmTerm::noteOnce(const QString& text, const QColor& colour)
{
    if (text == lastNote_)
        return;
    lastNote_ = text;
    addStatus(text, fsPlain, colour);
}

void TfrmTerm::noteStillWaiting(const QString& why)
{
    noteOnce(why + "Still waiting for " + awaitedName_ + "; press the connect button to stop\n", kErrorRed);
}

void TfrmTerm::tryReconnect()
{
    // Nothing is opened behind an operation's back: one that was running when the device vanished
    // ends first (it looks at the port and the device-gone mark).
    if (!waiting_ || VaComm1->Active() || context->closing() || context->busy())
        return;
    const int at = portbox::findKey(cboPort, awaitedKey_);
    if (at < 0) {
        // Another device where the one waited for was: said, not opened.
        const int same = cboPort->findText(awaitedName_);
        if (same > 0 && !portbox::absent(cboPort, same))
            noteOnce(awaitedName_ + " is now " + portbox::description(cboPort, same)
                         + ", not the device that went away: still waiting for "
                         + (awaitedDescription_.isEmpty() ? awaitedName_ : awaitedDescription_) + "\n",
                     kErrorRed);
        return;
    }
    cboPort->setCurrentIndex(at);
    applyPortSelection();
    const std::string path = portPath(at);
    if (VaIsPortUrl(path)) {
        if (!retry_.isActive())
            startRemoteAttempt(path);
        return;
    }
    try {
        VaComm1->Open();
    } catch (const EVaCommError& e) {
        reconnectRefused(e);
        return;
    }
    reconnected();
}

void TfrmTerm::startRemoteAttempt(const std::string& url)
{
    if (remoteAttempting_)
        return;
    if (remoteAttempt_.joinable())
        remoteAttempt_.join(); // it has handed its result over already
    remoteAttempting_ = true;
    remoteAttempt_ = std::thread([this, url] {
        std::shared_ptr<TVaTransport> transport = VaMakeTransport(url, nullptr);
        TVaOpenResult result =
            transport ? transport->Open(url) : TVaOpenResult::Failure(ekOther, EPROTONOSUPPORT);
        if (!result.ok)
            transport.reset();
        // Dropped with the window, whose destructor waits for this thread.
        QMetaObject::invokeMethod(
            this,
            [this, url, transport, result] { guarded([&] { remoteAttemptDone(url, transport, result); }); },
            Qt::QueuedConnection);
    });
}

void TfrmTerm::remoteAttemptDone(const std::string& url, const std::shared_ptr<TVaTransport>& transport,
                                 const TVaOpenResult& result)
{
    remoteAttempting_ = false;
    // Waiting stopped, another port chosen or opened meanwhile: a connection made is let go.
    if (!waiting_ || VaComm1->Active() || context->closing() || context->busy()
        || portPath(cboPort->currentIndex()) != url || VaComm1->DevicePath() != url)
        return;
    try {
        if (!result.ok)
            throw VaOpenError(url, result);
        VaComm1->Open(transport);
    } catch (const EVaCommError& e) {
        // Refused, not resolved, not answering: said once, tried again after a pause that grows.
        noteStillWaiting(latin1(e.what()) + "\n");
        retry_.start(remotePauseMs_);
        remotePauseMs_ = std::min(remotePauseMs_ * 2, kLastRemotePauseMs);
        return;
    }
    reconnected();
}

void TfrmTerm::reconnected()
{
    waiting_ = false;
    retry_.stop();
    showWaiting(false);
    setConnectDown(true);
    if (dtrSet_)
        VaComm1->SetDTR(DTRlow1->isChecked());
    const double seconds = static_cast<double>(awaitedSince_.elapsed()) / 1000.0;
    addStatus(cboPort->currentText() + " is back after " + QString::number(seconds, 'f', 1) + " s: connected again\n",
              fsPlain, kTeal);
    cboDevice->setEnabled(deviceChoice_ && !context->busy());
}

void TfrmTerm::reconnectRefused(const EVaCommError& error)
{
    const TVaErrorKind kind = error.Kind();
    // Gone again before it could be opened (a device that comes and goes): the next notice tells.
    if (kind == ekNotFound || kind == ekGone)
        return;
    // udev sets a new node's group a moment after it appears, and a program that probes new
    // ports (ModemManager) holds it for a while: tried again a few times with a growing pause.
    constexpr int kRetries = 6;
    if ((kind == ekPermission || kind == ekBusy) && refusals_ < kRetries) {
        retry_.start(25 << refusals_++);
        return;
    }
    refusals_ = 0;
    const std::string path = VaComm1->DevicePath();
    QString text = latin1(error.what()) + "\n";
    TDeviceAccess access;
    if (kind == ekPermission && deviceAccess(path, access))
        text += latin1(accessHint(path, access));
    else if (kind == ekBusy)
        text += latin1(busyHint(path, portHolders(path)));
    noteStillWaiting(text);
}

bool TfrmTerm::mmoTermKeyPress(const QString& text)
{
    if (!VaComm1->Active() || text.isEmpty())
        return false;
    for (QChar ch : text) {
        if (ch.unicode() > 255)
            continue;
        const char c = static_cast<char>(ch.unicode());
        VaComm1->WriteChar(c);
        if (Echo1->isChecked())
            showText(std::string(1, c));
    }
    return true;
}

void TfrmTerm::sendBoxEnter()
{
    const QString line = edtSend->text();
    std::string data;
    std::string error;
    if (!parseSendText(bytes(line), chkSendHex->isChecked(), data, error)) {
        addStatus(latin1(error) + "\n", fsPlain, kErrorRed);
        edtSend->setFocus(); // the status pane took it; the line is to be mended
        return;
    }
    data += lineEndBytes(static_cast<TLineEnd>(std::max(0, cboSendLineEnd->currentIndex())));
    if (data.empty() || !portOpenForSend(*context) || context->refuseWhileBusy())
        return;
    context->writeToCom(data);
    if (Echo1->isChecked())
        showText(data);
    // Blank lines are sent but not kept: the settings file keeps no value of spaces alone.
    if (!line.trimmed().isEmpty() && (sendHistory_.empty() || sendHistory_.back() != bytes(line))) {
        sendHistory_.push_back(bytes(line));
        if (sendHistory_.size() > size_t{TTerminalSettings::kHistoryKept})
            sendHistory_.erase(sendHistory_.begin());
    }
    sendHistoryAt_ = static_cast<int>(sendHistory_.size());
    edtSend->clear();
}

void TfrmTerm::sendBoxHistory(int step)
{
    const int count = static_cast<int>(sendHistory_.size());
    const int at = std::clamp(sendHistoryAt_ + step, 0, count);
    if (at == sendHistoryAt_)
        return;
    sendHistoryAt_ = at;
    edtSend->setText(at < count ? latin1(sendHistory_[static_cast<size_t>(at)]) : QString());
}

void TfrmTerm::Clearscreen1Click()
{
    clearPane();
}

void TfrmTerm::Find1Click()
{
    findBar->openBar();
}

void TfrmTerm::setTermFont(const QString& name, int size)
{
    termFontName_ = name;
    termFontSize_ = size;
    QFont font(name, size > 0 ? size : 9);
    // A font that is not installed gives way to the system's fixed-width font at the same size.
    if (!QFontInfo(font).exactMatch() && QFontInfo(font).family().compare(name, Qt::CaseInsensitive) != 0) {
        font = QFontDatabase::systemFont(QFontDatabase::FixedFont);
        font.setPointSize(size > 0 ? size : 9);
    }
    mmoTerm->setFont(font);
}

void TfrmTerm::applyPaneColours(const QColor& background)
{
    QPalette p = mmoTerm->palette();
    p.setColor(QPalette::Base, background);
    p.setColor(QPalette::Text, colourFromWindows(termFontColour_));
    mmoTerm->setPalette(p);
}

void TfrmTerm::setTermColours(int32_t fontColour, int32_t backColour)
{
    termFontColour_ = fontColour;
    termBackColour_ = backColour;
    stampColour_ = stampColourFor(colourFromWindows(fontColour), colourFromWindows(backColour));
    applyPaneColours(colourFromWindows(backColour));
}

void TfrmTerm::Font1Click()
{
    QFontDialog dialog(mmoTerm->font(), this);
    dialog.setOption(QFontDialog::DontUseNativeDialog);
    if (dialog.exec() != QDialog::Accepted)
        return;
    const QFont font = dialog.selectedFont();
    termFontName_ = font.family();
    termFontSize_ = font.pointSize() > 0 ? font.pointSize() : termFontSize_;
    mmoTerm->setFont(font);
}

void TfrmTerm::Background1Click()
{
    const QColor colour = QColorDialog::getColor(colourFromWindows(termBackColour_), this, "Background",
                                                 QColorDialog::DontUseNativeDialog);
    if (colour.isValid())
        setTermColours(termFontColour_, colourToWindows(colour));
}

bool TfrmTerm::eventFilter(QObject* watched, QEvent* event)
{
    if (watched == mmoTerm && event->type() == QEvent::KeyPress) {
        auto* key = static_cast<QKeyEvent*>(event);
        bool swallow = false;
        guarded([&] { swallow = mmoTermKeyPress(key->text()); });
        if (swallow)
            return true;
    }
    if (watched == edtSend && event->type() == QEvent::KeyPress) {
        const int key = static_cast<QKeyEvent*>(event)->key();
        if (key == Qt::Key_Up || key == Qt::Key_Down) {
            sendBoxHistory(key == Qt::Key_Up ? -1 : 1);
            return true;
        }
    }
    return QMainWindow::eventFilter(watched, event);
}

// ---------------------------------------------------------------------------------------------------
// Port list and connection

void TfrmTerm::RefreshPorts1Click()
{
    refreshPortList();
}

void TfrmTerm::refreshPortList()
{
    std::vector<std::string> names;
    TVaCustomComm::GetComPortNames(names, deviceRoots.sysClassTty);
    const std::string patterns = TCommsSettings::extraPorts(TIniFile(placeOf(TQxPlace::qpSettingsFile)));
    TVaCustomComm::AppendPortPatterns(names, patterns);
    for (const auto& path : addedPorts_)
        if (std::find(names.begin(), names.end(), path) == names.end())
            names.push_back(path);
    // Text order, without regard to letter case; "<none>" always stays first.
    std::stable_sort(names.begin(), names.end(),
                     [](const std::string& a, const std::string& b) { return ::strcasecmp(a.c_str(), b.c_str()) < 0; });

    // Path ports are followed through the folders on their way, a pattern through its folder.
    std::vector<std::string> followed;
    for (const auto& name : names)
        if (name.find('/') != std::string::npos && !VaIsPortUrl(name))
            followed.push_back(name);
    for (const QString& pattern : latin1(patterns).split(',', Qt::SkipEmptyParts))
        if (!pattern.trimmed().isEmpty())
            followed.push_back(bytes(pattern.trimmed()));
    portWatcher_->follow(followed, deviceRoots.dev);

    const int current = cboPort->currentIndex();
    const QString chosenName = current > 0 ? cboPort->currentText() : QString();
    const std::string chosenKey = current > 0 ? portbox::key(cboPort, current) : std::string();
    const QString chosenDescription = current > 0 ? portbox::description(cboPort, current) : QString();
    cboPort->clear();
    cboPort->addItem(kNone);
    for (const auto& name : names)
        portbox::addPort(cboPort, VaPortIdentity(name, deviceRoots));

    // The selection: the entry of an open port or of one waited for stays; otherwise the device the
    // user chose, wherever it is now, else the entry of the same name. The entry of a device that
    // has gone stays, marked, so that the selection does not move to another port.
    const bool held = VaComm1->Active() || waiting_;
    int at = held ? -1 : portbox::findKey(cboPort, chosenKey_);
    if (at < 0 && !chosenName.isEmpty())
        at = cboPort->findText(chosenName);
    if (at < 0 && !chosenName.isEmpty()) {
        at = 1;
        while (at < cboPort->count() && cboPort->itemText(at).compare(chosenName, Qt::CaseInsensitive) < 0)
            ++at;
        portbox::insertAbsent(cboPort, at, chosenName, chosenKey, chosenDescription);
    }
    cboPort->setCurrentIndex(std::max(at, 0));
    // The list opens wide enough for the descriptions, within reason.
    cboPort->view()->setMinimumWidth(std::min(cboPort->view()->sizeHintForColumn(0) + 24, 640));
    if (waiting_)
        tryReconnect();
}

int TfrmTerm::addPortPath(const std::string& path)
{
    if (std::find(addedPorts_.begin(), addedPorts_.end(), path) == addedPorts_.end())
        addedPorts_.push_back(path);
    refreshPortList();
    return cboPort->findText(latin1(path));
}

void TfrmTerm::selectPortByName(const QString& name)
{
    const int at = name.isEmpty() ? -1 : cboPort->findText(name);
    if (at >= 0)
        cboPort->setCurrentIndex(at);
}

void TfrmTerm::applyPortSelection()
{
    const std::string path = portPath(cboPort->currentIndex());
    VaComm1->SetPortNum(getPortNumber(cboPort->currentIndex()));
    if (path.empty())
        return;
    // The device name is a pattern with one number placeholder; a "%" of the path is kept literally.
    std::string pattern;
    for (char c : path) {
        pattern += c;
        if (c == '%')
            pattern += '%';
    }
    VaComm1->SetDeviceName(pattern);
}

void TfrmTerm::explainOpenFailure(TVaErrorKind kind)
{
    const std::string path = VaComm1->DevicePath();
    TDeviceAccess access;
    // A remote port's message says it all: the holder of a port in use is on the server.
    if (VaIsPortUrl(path))
        return;
    if (kind == ekPermission && deviceAccess(path, access))
        addStatus(latin1(accessHint(path, access)), fsPlain, kErrorRed);
    else if (kind == ekBusy)
        addStatus(latin1(busyHint(path, portHolders(path))), fsPlain, kErrorRed);
}

void TfrmTerm::setConnectDown(bool down)
{
    spdConnect->setChecked(down);
}

void TfrmTerm::spdConnectClick()
{
    if (waiting_) {
        stopWaiting("Stopped waiting for " + awaitedName_ + "\n");
        return;
    }
    if (VaComm1->Active()) {
        setConnectDown(false);
        VaComm1->Close();
        return;
    }
    if (portPath(cboPort->currentIndex()).empty()) {
        setConnectDown(false);
        showMessage("Select a port first");
        return;
    }
    // The button stays up unless the port really opened.
    setConnectDown(false);
    applyPortSelection();
    try {
        VaComm1->Open();
    } catch (const EVaCommError& e) {
        // The port's own message first (in the error box), then what to do about it.
        QTimer::singleShot(0, this, [this, kind = e.Kind()] { explainOpenFailure(kind); });
        throw;
    }
    setConnectDown(true);
    chosenKey_ = portbox::key(cboPort, cboPort->currentIndex());
    dtrSet_ = false;
    connectClock_.start();
    reSetAll();
    refreshTools();
    deviceChoice_ = true;
    cboDevice->setEnabled(!context->busy());
    clearPane();
    mmoTerm->setFocus();
}

// ---------------------------------------------------------------------------------------------------
// Line settings

void TfrmTerm::reSetAll()
{
    VaComm1->SetUserBaudrate(strToInt(bytes(cboBaudRate->currentText())));
    const int data = cboDataBits->currentIndex();
    if (data >= 0)
        VaComm1->SetDatabits(static_cast<TVaDatabits>(data));
    applyStopBits();
}

void TfrmTerm::applyStopBits()
{
    // One and a half stop bits are refused: two are used and the box keeps showing "15".
    switch (cboStopBits->currentIndex()) {
    case 0:
        VaComm1->SetStopbits(sb1);
        break;
    case 1:
        showMessage("Sorry 1.5 stop bits not available at this time, using 2");
        VaComm1->SetStopbits(sb2);
        break;
    case 2:
        VaComm1->SetStopbits(sb2);
        break;
    default:
        break;
    }
}

void TfrmTerm::PortChange(bool focusTerminal)
{
    if (!VaComm1->Active())
        return;
    setConnectDown(false);
    VaComm1->Close();
    VaComm1->Open();
    setConnectDown(true);
    if (focusTerminal)
        mmoTerm->setFocus();
}

void TfrmTerm::cboBaudRateChange(bool typed)
{
    VaComm1->SetUserBaudrate(strToInt(bytes(cboBaudRate->currentText())));
    // While the user types a rate the keys stay in the box; a choice from the list goes on to
    // the terminal.
    rateTyped_ = typed;
    PortChange(!typed);
    rateTyped_ = false;
}

void TfrmTerm::showRateInForce()
{
    const int32_t rate = VaComm1->BaudrateInForce();
    if (rateTyped_ || rate <= 0 || rate == VaComm1->EffectiveBaudrate())
        return;
    cboBaudRate->setEditText(QString::number(rate));
}

void TfrmTerm::cboStopBitsChange()
{
    applyStopBits();
    PortChange();
}

void TfrmTerm::cboDataBitsChange()
{
    int entry = cboDataBits->currentIndex();
    if (entry < 1) {
        showMessage("Sorry 4 data bits not available at this time -- using 5");
        cboDataBits->setCurrentIndex(1);
        entry = 1;
    }
    VaComm1->SetDatabits(static_cast<TVaDatabits>(entry));
    PortChange();
}

void TfrmTerm::cboPortChange()
{
    chosenKey_ = portbox::key(cboPort, cboPort->currentIndex());
    if (waiting_)
        stopWaiting("Stopped waiting for " + awaitedName_ + ": another port was chosen\n");
    if (VaComm1->Active()) {
        VaComm1->Close();
        setConnectDown(false);
        if (portPath(cboPort->currentIndex()).empty()) {
            // "<none>" names no device: the port stays closed.
            VaComm1->SetPortNum(0);
            showMessage("Select a port first");
        } else {
            applyPortSelection();
            VaComm1->Open();
            setConnectDown(true);
        }
    } else {
        applyPortSelection();
    }
    mmoTerm->setFocus();
}

void TfrmTerm::HWFlow1Click()
{
    VaComm1->FlowControl().SetOutCtsFlow(HWFlow1->isChecked());
    PortChange();
}

void TfrmTerm::DTRlow1Click()
{
    VaComm1->SetDTR(DTRlow1->isChecked());
    dtrSet_ = true;
}

void TfrmTerm::Reconnect1Click()
{
    if (!Reconnect1->isChecked() && waiting_)
        stopWaiting("Stopped waiting for " + awaitedName_ + "\n");
}

void TfrmTerm::Reset1Click()
{
    const QColor background = mmoTerm->palette().color(QPalette::Base);
    VaComm1->SetDTR(!DTRlow1->isChecked());
    applyPaneColours(Qt::black);
    repaint();
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    VaComm1->SetDTR(DTRlow1->isChecked());
    applyPaneColours(background);
    mmoTerm->setFocus();
}

// ---------------------------------------------------------------------------------------------------
// Activation, settings, resize and close

void TfrmTerm::FormActivate()
{
    const bool first = firstActivation_;
    if (firstActivation_) {
        // Cleared first, so that a settings error shown in a box (whose closing activates this
        // window again) is not raised again and again.
        firstActivation_ = false;
        getSettings();
    }
    mmoTerm->setFocus();
    showText(" \b");
    for (QComboBox* box : {cboBaudRate, cboStopBits, cboDataBits}) {
        if (box->lineEdit())
            box->lineEdit()->setCursorPosition(0);
    }
    sendingText = false;
    VaComm1->FlowControl().SetOutCtsFlow(HWFlow1->isChecked());
    deviceSelection->loadIntroPage(TDeviceSelection::webToolAddress());
    deviceSelection->loadDeviceList();
    refreshTools();
    Strings->resetStringsTab();
    const QColor hint = palette().color(QPalette::WindowText);
    addStatus("1) Select COM port and parameters\n", fsPlain, hint);
    addStatus("2) Connect to COM using the red icon (will turn green)\n", fsPlain, hint);
    addStatus("3) To use tool panel to (optionally) select device\n", fsPlain, hint);
    if (first && afterFirstActivation)
        std::exchange(afterFirstActivation, nullptr)();
}

void TfrmTerm::getSettings()
{
    const TIniFile ini(placeOf(TQxPlace::qpSettingsFile));
    settingsUnreadable_ = ini.Unreadable();
    if (!settingsUnreadable_.empty())
        addStatus(latin1("Settings file " + ini.FileName() + " could not be read (" + settingsUnreadable_
                         + "): the defaults are used, and it is not written\n"),
                  fsPlain, kErrorRed);
    const TTermSettings settings = TTermSettings::read(ini);
    applyLineMarks(settings.comms);
    setTermFont(latin1(settings.window.font), settings.window.fontSize);
    setTermColours(settings.window.fontColour, settings.window.colour);
    filterIndex_ = settings.file.filterIndex;
    setCurrentFile(latin1(settings.file.lastFile));
    initialDir_ = currentFile().isEmpty() ? QString() : QFileInfo(currentFile()).path();
    applyForm(settings.form);
    // The port by its name when that is still listed (the numbers move when the set of ports
    // changes), else by its entry number.
    if (!VaComm1->Active()) {
        const int port = settings.comms.port;
        cboPort->setCurrentIndex(port >= 0 && port < cboPort->count() ? port : -1);
        // A remote port is remembered by its name alone.
        if (VaIsPortUrl(settings.comms.portName))
            addPortPath(settings.comms.portName);
        selectPortByName(latin1(settings.comms.portName));
        // The device remembered by its identity, wherever it is now.
        chosenKey_ = settings.comms.portIdentity;
        const int device = portbox::findKey(cboPort, chosenKey_);
        if (device > 0)
            cboPort->setCurrentIndex(device);
        else
            chosenKey_ = portbox::key(cboPort, cboPort->currentIndex());
        applyPortSelection();
    }
    if (frmUpdate)
        frmUpdate->setFileHistory(settings.updateFiles);
    const TTerminalSettings& terminal = settings.terminal;
    (terminal.stamps == 1 ? StampTime1 : terminal.stamps == 2 ? StampElapsed1 : StampOff1)->setChecked(true);
    stampPauseMs_ = terminal.stampPauseMs;
    HexView1->setChecked(terminal.hexView);
    SendBox1->setChecked(terminal.sendBox);
    cboSendLineEnd->setCurrentIndex(terminal.sendLineEnd);
    chkSendHex->setChecked(terminal.sendHex);
    sendHistory_ = terminal.sendHistory;
    sendHistoryAt_ = static_cast<int>(sendHistory_.size());
    logFile_ = QFile::decodeName(QByteArray::fromStdString(terminal.logFile));
    logFormat_ = static_cast<TLogFormat>(terminal.logFormat);
    logSent_ = terminal.logSent;
    reSetAll();
}

void TfrmTerm::applyLineMarks(const TCommsSettings& comms)
{
    cboBaudRate->setCurrentIndex(comms.baud);
    if (cboBaudRate->currentIndex() < 0)
        cboBaudRate->setEditText(QString());
    cboDataBits->setCurrentIndex(comms.dataBits);
    cboStopBits->setCurrentIndex(comms.stopBits);
    HWFlow1->setChecked(comms.hwFlow);
    Echo1->setChecked(comms.echo);
    mnuCtrl->setChecked(comms.ctrl);
    DTRlow1->setChecked(comms.dtrLow);
    Reconnect1->setChecked(comms.reconnect);
}

void TfrmTerm::applyForm(const TFormSettings& form)
{
    move(form.left, form.top);
    resize(form.width, form.height);
    if (layout())
        layout()->activate();
    const int totalV = std::max(splV->width() - splV->handleWidth(), form.splitV + 1);
    splV->setSizes({totalV - form.splitV, form.splitV});
    const int totalH = std::max(splH->height() - splH->handleWidth(), form.splitH + 1);
    splH->setSizes({totalH - form.splitH, form.splitH});
}

TTermSettings TfrmTerm::currentSettings() const
{
    TTermSettings s;
    s.comms.baud = cboBaudRate->currentIndex();
    s.comms.port = cboPort->currentIndex();
    s.comms.portName = bytes(cboPort->currentText());
    s.comms.portIdentity = chosenKey_;
    s.comms.reconnect = Reconnect1->isChecked();
    s.comms.stopBits = cboStopBits->currentIndex();
    s.comms.dataBits = cboDataBits->currentIndex();
    s.comms.hwFlow = HWFlow1->isChecked();
    s.comms.echo = Echo1->isChecked();
    s.comms.ctrl = mnuCtrl->isChecked();
    s.comms.dtrLow = DTRlow1->isChecked();
    s.window = {bytes(termFontName_), termFontColour_, termFontSize_, termBackColour_};
    s.file = {filterIndex_, bytes(currentFile())};
    s.form = {width(), height(), x(), y(), splV->sizes().value(1), splH->sizes().value(1)};
    s.updateFiles = frmUpdate ? frmUpdate->fileHistory() : std::vector<std::string>{};
    s.terminal.stamps = static_cast<int>(stampMode());
    s.terminal.stampPauseMs = stampPauseMs_;
    s.terminal.hexView = HexView1->isChecked();
    s.terminal.sendBox = SendBox1->isChecked();
    s.terminal.sendLineEnd = cboSendLineEnd->currentIndex();
    s.terminal.sendHex = chkSendHex->isChecked();
    s.terminal.sendHistory = sendHistory_;
    s.terminal.logFile = QFile::encodeName(logFile_).toStdString();
    s.terminal.logFormat = static_cast<int>(logFormat_);
    s.terminal.logSent = logSent_;
    return s;
}

void TfrmTerm::WriteSettings()
{
    TIniFile ini(placeOf(TQxPlace::qpSettingsFile));
    // The window holds defaults in place of what the file said: they must not replace it, even
    // when the file has become readable since.
    if (!settingsUnreadable_.empty())
        throw EIniFileError("Unable to write to " + ini.FileName() + ": it could not be read ("
                            + settingsUnreadable_ + ")");
    const QDateTime now = QDateTime::currentDateTime();
    const std::string stamp =
        bytes(QLocale().toString(now.date(), QLocale::ShortFormat) + " " + now.time().toString("HH:mm:ss"));
    currentSettings().write(ini, stamp);
}

void TfrmTerm::resizeEvent(QResizeEvent* event)
{
    QMainWindow::resizeEvent(event);
    staPanel0->setMaximumWidth(std::max(0, width() - 130));
}

void TfrmTerm::closeEvent(QCloseEvent* event)
{
    // Unsaved snippet library changes are offered for saving first; Cancel keeps the program open.
    if (!Strings->offerToSave("closing QX-Com")) {
        event->ignore();
        return;
    }
    FormClose();
    event->accept();
}

void TfrmTerm::FormClose()
{
    // Ends every wait of a running send.
    context->setClosing(true);
    waiting_ = false;
    retry_.stop();
    endLog();
    guarded([this] {
        setConnectDown(false);
        VaComm1->Close();
    });
    try {
        WriteSettings();
    } catch (const std::exception& e) {
        showMessage("Cant update settings\n" + QString::fromLatin1(e.what()));
    } catch (...) {
        showMessage("Cant update settings");
    }
    guarded([this] { deviceSelection->saveDeviceStatus(); });
}

// ---------------------------------------------------------------------------------------------------
// Text file transfer

void TfrmTerm::CancelSend1Click()
{
    cancelFlag = true;
}

QString TfrmTerm::openFileDialog()
{
    QFileDialog dialog(this, "Open");
    dialog.setFileMode(QFileDialog::ExistingFile);
    dialog.setNameFilters(QString(kFileFilter).split(";;"));
    const QStringList filters = dialog.nameFilters();
    if (filterIndex_ >= 1 && filterIndex_ <= filters.size())
        dialog.selectNameFilter(filters[filterIndex_ - 1]);
    if (!initialDir_.isEmpty())
        dialog.setDirectory(initialDir_);
    if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty())
        return {};
    filterIndex_ = static_cast<int>(filters.indexOf(dialog.selectedNameFilter())) + 1;
    initialDir_ = dialog.directory().absolutePath();
    return QFileInfo(dialog.selectedFiles().first()).absoluteFilePath();
}

void TfrmTerm::chooseFileAndSend(void (TfrmTerm::*send)())
{
    if (context->refuseWhileBusy() || !portOpenForSend(*context))
        return;
    const QString file = openFileDialog();
    if (file.isEmpty())
        return;
    setCurrentFile(file);
    (this->*send)();
}

void TfrmTerm::SendText1Click()
{
    chooseFileAndSend(&TfrmTerm::SendTextFile);
}

void TfrmTerm::ResendText1Click()
{
    if (currentFile().isEmpty()) {
        showMessage("No file to send");
        return;
    }
    SendTextFile();
}

void TfrmTerm::Settings1Click()
{
    frmTransfer->move(x() + width() / 2, y() + height() / 4);
    frmTransfer->show();
}

const TTransferSettings& TfrmTerm::transferSettings()
{
    static const TTransferSettings defaults;
    return frmTransfer ? frmTransfer->settings() : defaults;
}

void TfrmTerm::SendTextFile()
{
    textSend->SendTextFile(currentFile());
}

void TfrmTerm::SendBinary1Click()
{
    chooseFileAndSend(&TfrmTerm::SendBinaryFile);
}

void TfrmTerm::ToolButton9Click()
{
    SendBinaryFile();
}

void TfrmTerm::SendBinaryFile()
{
    binarySend->SendBinaryFile(currentFile());
}

// ---------------------------------------------------------------------------------------------------
// Dialogs

void TfrmTerm::SendxClick()
{
    frmXModem->move(x() + 50, y() + 50);
    frmXModem->show();
}

void TfrmTerm::UpdateClick()
{
    if (context->refuseWhileBusy())
        return;
    frmUpdate->prepare(cboDevice->currentText());
    frmUpdate->move(x() + 130, y() + 130);
    frmUpdate->exec();
    deviceSelection->selectDevice();
    refreshTools();
}

void TfrmTerm::About1Click()
{
    AboutBox->exec();
}
