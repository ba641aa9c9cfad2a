#include "TouchPanel.h"

#include "Latin1.h"
#include "Messages.h"
#include "ToolContext.h"
#include "Values.h"

#include "VaComm.h"

#include <QCheckBox>
#include <QGridLayout>
#include <QLabel>
#include <QPointer>
#include <QTimer>

#include <utility>

namespace {

const char* const kTouchRequest = "\x1b[l";

} // namespace

TTouchPanel::TTouchPanel(TToolContext& context, QWidget* parent) : QWidget(parent), context_(context)
{
    setObjectName("TouchPanel");
    auto* layout = new QGridLayout(this);
    chkRing = new QCheckBox("Touch on", this);
    chkRing->setObjectName("chkRing");
    lblXc = new QLabel("xc", this);
    lblXc->setObjectName("lblXc");
    lblYc = new QLabel("yc", this);
    lblYc->setObjectName("lblYc");
    layout->addWidget(chkRing, 0, 0, 1, 2);
    layout->addWidget(new QLabel("X", this), 1, 0);
    layout->addWidget(new QLabel("Y", this), 1, 1);
    layout->addWidget(lblXc, 2, 0);
    layout->addWidget(lblYc, 2, 1);
    layout->setColumnStretch(2, 1);
    connect(chkRing, &QCheckBox::toggled, this, [this] { guarded([this] { chkRingClick(); }); });
    // Switching closes and reopens the port, which would cut a running operation off.
    context_.disableWhileBusy(chkRing);
    attachRing();
}

void TTouchPanel::attachRing()
{
    // The port usually outlives the panel (a tab is destroyed after its window's port): the handler
    // does nothing once the panel is gone.
    context_.VaComm1.OnRing = [panel = QPointer<TTouchPanel>(this)](TVaCustomComm* sender) {
        if (panel)
            panel->VaComm1Ring(sender);
    };
}

void TTouchPanel::chkRingClick()
{
    if (reading_) {
        // The read runs inside the port's ring event, whose event thread waits for it: closing the
        // port now would wait for that thread for ever.
        switchPending_ = true;
        return;
    }
    TVaComm& port = context_.VaComm1;
    const bool wasOpen = port.Active();
    port.Close();
    TVaCommEvents events = port.MonitorEvents();
    events.Include(ceRxChar).Include(ceTxEmpty);
    if (chkRing->isChecked())
        events.Include(ceRing);
    else
        events.Exclude(ceRing);
    port.SetMonitorEvents(events);
    // Opening a port the user has closed would leave it open behind a connect button that shows
    // it closed, and the next press of that button would close it.
    if (!wasOpen)
        return;
    try {
        port.Open();
    } catch (const std::exception& e) {
        context_.addStatus("Com Port could not be opened again: " + std::string(e.what()) + "\n", fsPlain, kErrorRed);
        context_.frame.showPortClosed();
        return;
    }
    // The answers only clear what the display holds.
    for (int i = 0; i < 2; ++i)
        context_.channel.sendAndWait(kTouchRequest, context_.terminator, 10);
}

void TTouchPanel::VaComm1Ring(TVaCustomComm*)
{
    // A touch while another operation runs is not read: the request would land in the middle of
    // that operation's bytes.
    if (context_.busy())
        return;
    context_.VaComm1.OnRing = nullptr;
    readTouch();
}

void TTouchPanel::readTouch()
{
    reading_ = true;
    struct Reattach {
        TTouchPanel& panel;
        ~Reattach()
        {
            panel.reading_ = false;
            panel.attachRing();
            if (std::exchange(panel.switchPending_, false))
                QTimer::singleShot(0, &panel, [p = &panel] { guarded([p] { p->chkRingClick(); }); });
        }
    } reattach{*this};

    if (!context_.VaComm1.Active())
        return;
    const TReply reply = context_.channel.sendAndWaitDirect(kTouchRequest, context_.terminator, 50);
    if (reply.found) {
        lblXc->setText(latin1(getField(reply.text, 1)));
        lblYc->setText(latin1(getField(reply.text, 2)));
    } else {
        context_.addStatus("Unexpected error when retrieving co-ordinates[" + reply.text + "][" + context_.terminator + "]\n",
                           fsPlain, kErrorRed);
    }
}
