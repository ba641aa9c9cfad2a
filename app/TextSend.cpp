#include "TextSend.h"

#include "Latin1.h"
#include "Messages.h"
#include "ToolContext.h"
#include "Values.h"

#include "VaComm.h"

#include <QFile>
#include <QString>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <stdexcept>
#include <thread>

namespace {

std::string lastThreeUpper(std::string s)
{
    s = s.size() > 3 ? s.substr(s.size() - 3) : s;
    for (char& c : s)
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return s;
}

std::string readLines(const QString& path, std::vector<std::string>& lines)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return bytes("Cannot open file \"" + path + "\". " + file.errorString());
    lines = textLines(file.readAll().toStdString());
    return {};
}

} // namespace

std::vector<std::string> textLines(std::string data)
{
    data = data.substr(0, data.find('\0'));
    std::vector<std::string> lines;
    size_t start = 0;
    while (start < data.size()) {
        size_t end = data.find_first_of("\r\n", start);
        if (end == std::string::npos) {
            lines.push_back(data.substr(start));
            break;
        }
        lines.push_back(data.substr(start, end - start));
        start = end + ((data[end] == '\r' && end + 1 < data.size() && data[end + 1] == '\n') ? 2 : 1);
    }
    return lines;
}

TAutomationStep automationStep(const std::string& path, const TTransferSettings& settings)
{
    const size_t slash = path.rfind('/');
    const size_t dot = path.rfind('.');
    const bool hasExtension = dot != std::string::npos && (slash == std::string::npos || dot > slash);
    const std::string key = lastThreeUpper(hasExtension ? path.substr(dot) : std::string());
    TAutomationStep step;
    if (!settings.automationOn)
        return step;
    for (const auto& row : settings.rows) {
        if (lastThreeUpper(row.file) == key) {
            step.command = row.send;
            step.pause = strToInt(row.wait);
        }
    }
    return step;
}

bool portOpenForSend(TToolContext& context)
{
    if (context.VaComm1.Active())
        return true;
    showMessage("You need to open a com port first");
    return false;
}

TTextSend::TTextSend(TToolContext& context, std::function<TTransferSettings()> settings)
    : context_(context), settings_(std::move(settings))
{
}

bool TTextSend::runAutomation(const std::string& path)
{
    if (!portOpenForSend(context_))
        return false;
    const TAutomationStep step = automationStep(path, settings_());
    if (step.command.size() >= 2)
        context_.writeToCom(step.command + "\r");
    // The pause lasts the given number of milliseconds; Cancel or closing the window ends it.
    if (step.pause > 0) {
        const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(step.pause);
        context_.waitUntil([end] { return std::chrono::steady_clock::now() >= end; }, std::min(step.pause, 20));
    }
    return true;
}

void TTextSend::SendTextFile(const QString& path)
{
    if (path.isEmpty()) {
        showMessage(" ** no File selected to send **");
        return;
    }
    if (context_.refuseWhileBusy())
        return;
    std::vector<std::string> lines;
    if (const std::string error = readLines(path, lines); !error.empty())
        throw std::runtime_error(error);

    TBusyGuard busy(context_, static_cast<int>(lines.size()));
    const TTransferSettings settings = settings_();
    const bool waiting = settings.eolCharOn;
    const char eolChar = waiting ? static_cast<char>(strToInt(settings.eolChar)) : 0;
    if (!runAutomation(bytes(path)))
        return;
    // A Cancel during the automation pause ends the send before its first line.
    if (context_.stopRequested()) {
        reportStop(0, lines.size());
        return;
    }
    context_.setSendingText(true);
    context_.rx.clear();
    for (size_t i = 0; i < lines.size(); ++i) {
        context_.writeToCom(lines[i] + "\r");
        busy.setValue(i);
        if (const TTransferSettings now = settings_(); now.eolDelayOn)
            std::this_thread::sleep_for(std::chrono::milliseconds(std::max(0, strToInt(now.eolDelay))));
        if (waiting)
            waitForLineEnd(eolChar);
        context_.frame.showTermText(context_.rx);
        context_.rx.clear();
        if (context_.stopRequested()) {
            if (i + 1 < lines.size())
                reportStop(i + 1, lines.size());
            break;
        }
    }
}

void TTextSend::waitForLineEnd(char eolChar)
{
    if (context_.rx.find(eolChar) != std::string::npos)
        return;
    context_.frame.showNote("Waiting for chr " + QString::number(static_cast<unsigned char>(eolChar))
                            + " - Cancel ends the wait");
    context_.waitUntil([this, eolChar] { return context_.rx.find(eolChar) != std::string::npos; }, 100);
    context_.frame.showNote(QString());
}

void TTextSend::reportStop(size_t sent, size_t total)
{
    if (context_.closing())
        return;
    context_.addStatus("Text send stopped at line " + std::to_string(sent) + " of " + std::to_string(total) + "\n",
                       fsPlain, context_.deviceGone() ? kErrorRed : Qt::black);
}
