#include "ToolContext.h"

#include "Latin1.h"

#include "VaClasses.h"
#include "VaComm.h"

#include <QCoreApplication>
#include <QEventLoop>
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
        QCoreApplication::processEvents();
        CheckSynchronize();
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

// ---------------------------------------------------------------------------------------------------

TBusyGuard::TBusyGuard(TToolContext& context, int maximum) : context_(context)
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

size_t sendCtsPaced(TToolContext& context, TBusyGuard& busy, const std::function<bool(char&)>& next)
{
    TVaComm& port = context.VaComm1;
    const auto stopped = [&] { return context.stopRequested() || !port.Active(); };
    size_t sent = 0;
    auto nextPass = std::chrono::steady_clock::now();
    char byte;
    while (!stopped() && next(byte)) {
        // Cancel also ends a wait for CTS, which might otherwise never end.
        if (!port.CTS())
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
            busy.setValue(sent);
            QCoreApplication::processEvents();
            CheckSynchronize();
            nextPass = now + std::chrono::milliseconds(1);
        }
    }
    busy.setValue(sent);
    return sent;
}

size_t sendPaced(TToolContext& context, const std::string& data, size_t count, int progressMax)
{
    count = std::min(count, data.size());
    TBusyGuard busy(context, progressMax);
    size_t i = 0;
    return sendCtsPaced(context, busy, [&](char& c) {
        if (i >= count)
            return false;
        c = data[i++];
        return true;
    });
}
