#include "AsiTab.h"

#include "Messages.h"
#include "ToolContext.h"

#include "VaComm.h"

#include <QFormLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>

#include <cstdint>
#include <string>

namespace {

constexpr char kAck = 0x06;
constexpr char kNak = 0x15;
// The test block: its length and the letter it is made of.
constexpr uint32_t kTestLength = 50;
constexpr char kTestByte = 'a';

} // namespace

TAsiTab::TAsiTab(TToolContext& context, QWidget* parent) : QWidget(parent), context_(context)
{
    setObjectName("ASI");
    auto* layout = new QFormLayout(this);
    txtAddress = new QLineEdit(this);
    txtAddress->setObjectName("txtAddress");
    txtAddress->setMaximumWidth(120);
    layout->addRow("Address", txtAddress);
    Button1 = new QPushButton("Button1", this);
    Button1->setObjectName("Button1");
    Button1->setToolTip("Block transfer test: waits for the device's \"D\", sends a length of 50 and 50 bytes");
    layout->addRow(QString(), Button1);
    layout->setFieldGrowthPolicy(QFormLayout::FieldsStayAtSizeHint);
    auto* work = new QLabel("work in progress", this);
    work->setFrameShape(QFrame::Panel);
    work->setFrameShadow(QFrame::Raised);
    work->setAlignment(Qt::AlignCenter);
    work->setMinimumHeight(40);
    work->setMinimumWidth(300);
    layout->addRow(work);
    connect(Button1, &QPushButton::clicked, this, [this] { guarded([this] { Button1Click(); }); });
    context_.disableWhileBusy(Button1);
}

bool TAsiTab::awaitDevice(const std::function<bool()>& received)
{
    TVaComm& port = context_.VaComm1;
    if (context_.waitUntil([&] { return received() || !port.Active(); }, 0) && port.Active())
        return true;
    context_.addStatus(context_.stopRequested() ? "Block transfer test cancelled\n"
                                                : "Com port closed: block transfer test ended\n",
                       fsPlain, kErrorRed);
    return false;
}

void TAsiTab::Button1Click()
{
    TVaComm& port = context_.VaComm1;
    if (context_.refuseWhileBusy())
        return;
    if (!port.Active()) {
        context_.addStatus("Com Port must be open first\n", fsPlain, kErrorRed);
        return;
    }
    std::string length;
    for (int i = 3; i >= 0; --i) {
        const auto byte = static_cast<uint8_t>(kTestLength >> (8 * i));
        length += static_cast<char>(byte);
        context_.addStatus("b" + std::to_string(i) + "=" + std::to_string(byte) + "\n", fsPlain, kTeal);
    }
    TBusyGuard busy(context_, 0);
    std::string& rx = context_.rx;

    rx.clear();
    if (!awaitDevice([&] { return rx.find('D') != std::string::npos; }))
        return;
    context_.addStatus("D recieved\n", fsPlain, kTeal);

    // Emptied before the length goes out: the answer cannot be in it yet, and none is lost.
    rx.clear();
    for (char c : length)
        port.WriteChar(c);
    const auto holds = [&](char c) { return rx.find(c) != std::string::npos; };
    if (!awaitDevice([&] { return holds(kAck) || holds(kNak); }))
        return;
    if (holds(kAck))
        context_.addStatus("ACK recieved\n", fsPlain, kTeal);
    if (holds(kNak))
        context_.addStatus("NACK recieved\n", fsPlain, kTeal);

    for (uint32_t i = 0; i < kTestLength; ++i)
        port.WriteChar(kTestByte);
}
