#include "ToolContext.h"

#include "HandOver.h"
#include "Latin1.h"

#include "VaClasses.h"
#include "VaComm.h"

#include <QAction>
#include <QProgressBar>
#include <QTextEdit>
#include <QTimer>
#include <QWidget>

#include <algorithm>
#include <chrono>
#include <climits>

std::string rxBuffer;
bool sendingText = false;
bool cancelFlag = false;

TToolContext::TToolContext(TVaComm& port, TToolFrame& frame, QWidget& window, QTextEdit& status,
                           QProgressBar& progress, QWidget& cancelButton)
    : VaComm1(port), channel(port, rxBuffer), frame(frame), window(window), progress(progress),
      cancelButton(cancelButton), status_(status)
{
}

TToolContext::~TToolContext() = default;

void TToolContext::addStatus(const QString& text, TFontStyle style, const QColor& colour)
{
    QTextCursor cursor(status_.document());
    cursor.movePosition(QTextCursor::End);
    QTextCharFormat format;
    format.setFontWeight(style == fsBold ? QFont::Bold : QFont::Normal);
    format.setForeground(colour);
    cursor.insertText(text, format);
    status_.setTextCursor(cursor);
    status_.ensureCursorVisible();
    status_.setFocus();
}

void TToolContext::addStatus(const std::string& text, TFontStyle style, const QColor& colour)
{
    addStatus(latin1(text), style, colour);
}

void TToolContext::waitMs(int ms)
{
    if (ms <= 0) {
        processMessages();
        return;
    }
    waitForCondition([] { return false; }, ms);
}

void TToolContext::writeToCom(const std::string& text)
{
    if (!VaComm1.Active())
        return;
    for (char c : text)
        VaComm1.WriteChar(c);
}

bool TToolContext::waitUntil(const std::function<bool()>& done, int pollMs)
{
    return waitForCondition(done, INT_MAX, [this] { return !stopRequested(); }, pollMs);
}

bool TToolContext::refuseWhileBusy()
{
    if (!busy())
        return false;
    addStatus("Wait for the running operation to end (or press Cancel)\n", fsPlain, kErrorRed);
    return true;
}

void TToolContext::disableWhileBusy(QWidget* widget)
{
    widget->setEnabled(!busy());
    connect(this, &TToolContext::busyChanged, widget, [widget](bool on) { widget->setEnabled(!on); });
}

void TToolContext::disableWhileBusy(QAction* action)
{
    action->setEnabled(!busy());
    connect(this, &TToolContext::busyChanged, action, [action](bool on) { action->setEnabled(!on); });
}

void TToolContext::enterBusy()
{
    if (busyDepth_++ == 0)
        emit busyChanged(true);
}

void TToolContext::leaveBusy()
{
    if (--busyDepth_ == 0)
        emit busyChanged(false);
}

// ---------------------------------------------------------------------------------------------------

TBusyState::TBusyState(TToolContext& context) : context_(context)
{
    context_.enterBusy();
}

TBusyState::~TBusyState()
{
    context_.leaveBusy();
}

TBusyGuard::TBusyGuard(TToolContext& context, int maximum) : context_(context), busy_(context)
{
    context_.progress.setValue(0);
    context_.progress.setMaximum(std::max(maximum, 0));
    context_.progress.show();
    context_.cancelButton.show();
    cancelFlag = false;
}

TBusyGuard::~TBusyGuard()
{
    context_.progress.hide();
    context_.cancelButton.hide();
    context_.progress.setValue(0);
    cancelFlag = false;
    sendingText = false;
}

void TBusyGuard::setMaximum(int maximum)
{
    context_.progress.setMaximum(std::max(maximum, 0));
}

void TBusyGuard::setValue(int value)
{
    context_.progress.setValue(value);
}

void TBusyGuard::setValue(size_t value)
{
    setValue(static_cast<int>(std::min<size_t>(value, INT_MAX)));
}

size_t sendBytes(TToolContext& context, const std::function<bool(char&)>& next, const TPacing& pacing)
{
    TVaComm& port = context.VaComm1;
    const auto stopped = [&] {
        return !port.Active() || (pacing.stopped ? pacing.stopped() : context.stopRequested());
    };
    const auto report = [&](size_t sent) {
        if (pacing.progress)
            pacing.progress(sent);
    };
    size_t sent = 0;
    auto nextPass = std::chrono::steady_clock::now();
    char byte;
    while (!stopped() && next(byte)) {
        // A stop also ends a wait for CTS, which might otherwise never end.
        if (pacing.waitForCts && !port.CTS())
            waitForCondition([&] { return port.CTS() || stopped(); }, INT_MAX, {}, 2);
        if (stopped())
            break;
        try {
            port.WriteChar(byte);
        } catch (const EVaQueueFull&) {
            // A device that went away takes no more bytes; its disconnection came in meanwhile.
            if (stopped())
                break;
            throw;
        }
        ++sent;
        const auto now = std::chrono::steady_clock::now();
        if (now >= nextPass) {
            report(sent);
            processMessages();
            nextPass = now + std::chrono::milliseconds(1);
        }
    }
    report(sent);
    return sent;
}

size_t sendCtsPaced(TToolContext& context, TBusyGuard& busy, const std::function<bool(char&)>& next)
{
    TPacing pacing;
    pacing.progress = [&busy](size_t sent) { busy.setValue(sent); };
    return sendBytes(context, next, pacing);
}

size_t sendCtsPaced(TToolContext& context, TBusyGuard& busy, const char* data, size_t count)
{
    size_t at = 0;
    return sendCtsPaced(context, busy, [&](char& c) {
        if (at >= count)
            return false;
        c = data[at++];
        return true;
    });
}

size_t sendPaced(TToolContext& context, const std::string& data, size_t count, int progressMax)
{
    TBusyGuard busy(context, progressMax);
    return sendCtsPaced(context, busy, data.data(), std::min(count, data.size()));
}
