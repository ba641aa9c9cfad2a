#include "Settings.h"

#include "IniFile.h"
#include "Values.h"

#include <algorithm>

namespace {

// Sections and keys, each spelled once.
namespace section {
constexpr const char* kComms = "Comms";
constexpr const char* kWindow = "Window";
constexpr const char* kFile = "File";
constexpr const char* kForm = "Form";
constexpr const char* kUpdate = "UPDATE";
constexpr const char* kDate = "Date";
constexpr const char* kTransfer = "Transfer";
constexpr const char* kTerminal = "Terminal";
} // namespace section

namespace key {
constexpr const char* kBaud = "Baud";
constexpr const char* kPort = "Port";
constexpr const char* kPortName = "PortName";
constexpr const char* kPortIdentity = "PortIdentity";
constexpr const char* kReconnect = "Reconnect";
constexpr const char* kStopBits = "StopBits";
constexpr const char* kDataBits = "DataBits";
constexpr const char* kHwFlow = "HWFlow";
constexpr const char* kEcho = "Echo";
constexpr const char* kCtrl = "Ctrl";
constexpr const char* kDtrLow = "DTRLow";
constexpr const char* kExtraPorts = "ExtraPorts";
constexpr const char* kFont = "Font";
constexpr const char* kFontColour = "FontColour";
constexpr const char* kFontSize = "FontSize";
constexpr const char* kColour = "Colour";
constexpr const char* kFilterIndex = "FilterIndex";
constexpr const char* kLastFile = "LastFile";
constexpr const char* kWidth = "widthTERM";
constexpr const char* kHeight = "heightTERM";
constexpr const char* kLeft = "leftTERM";
constexpr const char* kTop = "topTERM";
constexpr const char* kSplitV = "SplitV";
constexpr const char* kSplitH = "SplitH";
constexpr const char* kUpdateFiles = "Updatefiles";
constexpr const char* kLastUpdate = "LastUpdate";
constexpr const char* kEolCharOn = "chEolChar";
constexpr const char* kEolChar = "EolChar";
constexpr const char* kOnErrorOn = "chOnError";
constexpr const char* kOnErrorChar = "OnErrorCh";
constexpr const char* kEopOn = "EOPstrCH";
constexpr const char* kEopString = "EOPstr";
constexpr const char* kEolDelayOn = "chEolDel";
constexpr const char* kAddCR = "chAddCR";
constexpr const char* kAddLF = "chAddLF";
constexpr const char* kLoadingEcho = "chLoadingEcho";
constexpr const char* kFilePath = "FilePath";
constexpr const char* kEolDelay = "EolDel";
constexpr const char* kRowFile = "File";
constexpr const char* kRowSend = "Send";
constexpr const char* kRowWait = "Wait";
constexpr const char* kAutomationOn = "ActiveXfer";
constexpr const char* kStamps = "Timestamps";
constexpr const char* kStampPause = "StampPauseMs";
constexpr const char* kHexView = "HexView";
constexpr const char* kSendBox = "SendBox";
constexpr const char* kSendLineEnd = "SendLineEnd";
constexpr const char* kSendHex = "SendHex";
constexpr const char* kSendHistory = "SendHistory"; // SendHistory1 ... SendHistory20
constexpr const char* kLogFile = "LogFile";
constexpr const char* kLogFormat = "LogFormat";
constexpr const char* kLogSent = "LogSent";
} // namespace key

// The key of an automation row's column: File1 ... Wait4.
std::string rowKey(const char* column, int row)
{
    return column + std::to_string(row + 1);
}

} // namespace

TCommsSettings TCommsSettings::read(const TIniFile& ini)
{
    TCommsSettings s;
    s.baud = ini.ReadInteger(section::kComms, key::kBaud, s.baud);
    s.port = ini.ReadInteger(section::kComms, key::kPort, s.port);
    s.portName = ini.ReadString(section::kComms, key::kPortName, s.portName);
    s.portIdentity = ini.ReadString(section::kComms, key::kPortIdentity, s.portIdentity);
    s.reconnect = ini.ReadBool(section::kComms, key::kReconnect, s.reconnect);
    s.stopBits = ini.ReadInteger(section::kComms, key::kStopBits, s.stopBits);
    s.dataBits = ini.ReadInteger(section::kComms, key::kDataBits, s.dataBits);
    s.hwFlow = ini.ReadBool(section::kComms, key::kHwFlow, s.hwFlow);
    s.echo = ini.ReadBool(section::kComms, key::kEcho, s.echo);
    s.ctrl = ini.ReadBool(section::kComms, key::kCtrl, s.ctrl);
    s.dtrLow = ini.ReadBool(section::kComms, key::kDtrLow, s.dtrLow);
    return s;
}

std::string TCommsSettings::extraPorts(const TIniFile& ini)
{
    return ini.ReadString(section::kComms, key::kExtraPorts, "");
}

TWindowSettings TWindowSettings::read(const TIniFile& ini)
{
    TWindowSettings s;
    s.font = ini.ReadString(section::kWindow, key::kFont, s.font);
    s.fontColour = ini.ReadInteger(section::kWindow, key::kFontColour, s.fontColour);
    s.fontSize = ini.ReadInteger(section::kWindow, key::kFontSize, s.fontSize);
    s.colour = ini.ReadInteger(section::kWindow, key::kColour, s.colour);
    return s;
}

TFileSettings TFileSettings::read(const TIniFile& ini)
{
    TFileSettings s;
    s.filterIndex = ini.ReadInteger(section::kFile, key::kFilterIndex, s.filterIndex);
    s.lastFile = ini.ReadString(section::kFile, key::kLastFile, s.lastFile);
    return s;
}

TFormSettings TFormSettings::read(const TIniFile& ini)
{
    TFormSettings s;
    s.width = ini.ReadInteger(section::kForm, key::kWidth, s.width);
    s.height = ini.ReadInteger(section::kForm, key::kHeight, s.height);
    s.left = ini.ReadInteger(section::kForm, key::kLeft, s.left);
    s.top = ini.ReadInteger(section::kForm, key::kTop, s.top);
    s.splitV = ini.ReadInteger(section::kForm, key::kSplitV, s.splitV);
    s.splitH = ini.ReadInteger(section::kForm, key::kSplitH, s.splitH);
    return s;
}

TTerminalSettings TTerminalSettings::read(const TIniFile& ini)
{
    TTerminalSettings s;
    s.stamps = std::clamp(ini.ReadInteger(section::kTerminal, key::kStamps, s.stamps), 0, 2);
    s.stampPauseMs = std::max(1, ini.ReadInteger(section::kTerminal, key::kStampPause, s.stampPauseMs));
    s.hexView = ini.ReadBool(section::kTerminal, key::kHexView, s.hexView);
    s.sendBox = ini.ReadBool(section::kTerminal, key::kSendBox, s.sendBox);
    s.sendLineEnd = std::clamp(ini.ReadInteger(section::kTerminal, key::kSendLineEnd, s.sendLineEnd), 0, 3);
    s.sendHex = ini.ReadBool(section::kTerminal, key::kSendHex, s.sendHex);
    for (int i = 0; i < kHistoryKept; ++i) {
        const std::string entry = ini.ReadString(section::kTerminal, rowKey(key::kSendHistory, i), "");
        if (entry.empty())
            break;
        s.sendHistory.push_back(entry);
    }
    s.logFile = ini.ReadString(section::kTerminal, key::kLogFile, s.logFile);
    s.logFormat = std::clamp(ini.ReadInteger(section::kTerminal, key::kLogFormat, s.logFormat), 0, 1);
    s.logSent = ini.ReadBool(section::kTerminal, key::kLogSent, s.logSent);
    return s;
}

void TTerminalSettings::write(TIniFile& ini) const
{
    ini.WriteInteger(section::kTerminal, key::kStamps, stamps);
    ini.WriteInteger(section::kTerminal, key::kStampPause, stampPauseMs);
    ini.WriteBool(section::kTerminal, key::kHexView, hexView);
    ini.WriteBool(section::kTerminal, key::kSendBox, sendBox);
    ini.WriteInteger(section::kTerminal, key::kSendLineEnd, sendLineEnd);
    ini.WriteBool(section::kTerminal, key::kSendHex, sendHex);
    // The last entries, and an empty key after them so that a shorter history reads back whole.
    const size_t first = sendHistory.size() > size_t{kHistoryKept} ? sendHistory.size() - kHistoryKept : 0;
    int i = 0;
    for (size_t k = first; k < sendHistory.size(); ++k)
        ini.WriteString(section::kTerminal, rowKey(key::kSendHistory, i++), sendHistory[k]);
    if (i < kHistoryKept)
        ini.WriteString(section::kTerminal, rowKey(key::kSendHistory, i), "");
    ini.WriteString(section::kTerminal, key::kLogFile, logFile);
    ini.WriteInteger(section::kTerminal, key::kLogFormat, logFormat);
    ini.WriteBool(section::kTerminal, key::kLogSent, logSent);
}

TTermSettings TTermSettings::read(const TIniFile& ini)
{
    TTermSettings s;
    s.terminal = TTerminalSettings::read(ini);
    s.comms = TCommsSettings::read(ini);
    s.window = TWindowSettings::read(ini);
    s.file = TFileSettings::read(ini);
    s.form = TFormSettings::read(ini);
    s.updateFiles = loadFileList(ini.ReadString(section::kUpdate, key::kUpdateFiles, "none"));
    return s;
}

void TTermSettings::write(TIniFile& ini, const std::string& stamp) const
{
    ini.WriteString(section::kDate, key::kLastUpdate, stamp);
    ini.WriteInteger(section::kComms, key::kBaud, comms.baud);
    ini.WriteInteger(section::kComms, key::kPort, comms.port);
    ini.WriteString(section::kComms, key::kPortName, comms.portName);
    ini.WriteString(section::kComms, key::kPortIdentity, comms.portIdentity);
    ini.WriteBool(section::kComms, key::kReconnect, comms.reconnect);
    ini.WriteInteger(section::kComms, key::kStopBits, comms.stopBits);
    ini.WriteInteger(section::kComms, key::kDataBits, comms.dataBits);
    ini.WriteBool(section::kComms, key::kHwFlow, comms.hwFlow);
    ini.WriteBool(section::kComms, key::kEcho, comms.echo);
    ini.WriteBool(section::kComms, key::kCtrl, comms.ctrl);
    ini.WriteString(section::kWindow, key::kFont, window.font);
    ini.WriteInteger(section::kWindow, key::kFontColour, window.fontColour);
    ini.WriteInteger(section::kWindow, key::kFontSize, window.fontSize);
    ini.WriteInteger(section::kWindow, key::kColour, window.colour);
    ini.WriteInteger(section::kFile, key::kFilterIndex, file.filterIndex);
    ini.WriteString(section::kFile, key::kLastFile, file.lastFile);
    ini.WriteBool(section::kComms, key::kDtrLow, comms.dtrLow);
    ini.WriteInteger(section::kForm, key::kWidth, form.width);
    ini.WriteInteger(section::kForm, key::kHeight, form.height);
    ini.WriteInteger(section::kForm, key::kLeft, form.left);
    ini.WriteInteger(section::kForm, key::kTop, form.top);
    ini.WriteInteger(section::kForm, key::kSplitV, form.splitV);
    ini.WriteInteger(section::kForm, key::kSplitH, form.splitH);
    ini.WriteString(section::kUpdate, key::kUpdateFiles, saveFileList(updateFiles));
    terminal.write(ini);
}

TTransferSettings TTransferSettings::read(const TIniFile& ini)
{
    TTransferSettings s;
    const auto text = [&](const std::string& k, const std::string& def) {
        return ini.ReadString(section::kTransfer, k, def);
    };
    const auto flag = [&](const char* k, bool def) { return ini.ReadBool(section::kTransfer, k, def); };
    s.eolCharOn = flag(key::kEolCharOn, s.eolCharOn);
    s.eolChar = text(key::kEolChar, s.eolChar);
    s.onErrorOn = flag(key::kOnErrorOn, s.onErrorOn);
    s.onErrorChar = text(key::kOnErrorChar, s.onErrorChar);
    s.eopOn = flag(key::kEopOn, s.eopOn);
    s.eopString = text(key::kEopString, s.eopString);
    s.eolDelayOn = flag(key::kEolDelayOn, s.eolDelayOn);
    s.addCR = flag(key::kAddCR, s.addCR);
    s.addLF = flag(key::kAddLF, s.addLF);
    s.loadingEcho = flag(key::kLoadingEcho, s.loadingEcho);
    s.filePath = text(key::kFilePath, s.filePath);
    s.eolDelay = text(key::kEolDelay, s.eolDelay);
    for (int i = 0; i < 4; ++i)
        s.rows[i].file = text(rowKey(key::kRowFile, i), s.rows[i].file);
    for (int i = 0; i < 4; ++i)
        s.rows[i].send = text(rowKey(key::kRowSend, i), s.rows[i].send);
    for (int i = 0; i < 4; ++i)
        s.rows[i].wait = text(rowKey(key::kRowWait, i), s.rows[i].wait);
    s.automationOn = flag(key::kAutomationOn, s.automationOn);
    return s;
}

void TTransferSettings::write(TIniFile& ini) const
{
    const auto text = [&](const std::string& k, const std::string& value) {
        ini.WriteString(section::kTransfer, k, value);
    };
    const auto flag = [&](const char* k, bool value) { ini.WriteBool(section::kTransfer, k, value); };
    flag(key::kEolCharOn, eolCharOn);
    text(key::kEolChar, eolChar);
    flag(key::kOnErrorOn, onErrorOn);
    text(key::kOnErrorChar, onErrorChar);
    flag(key::kEopOn, eopOn);
    text(key::kEopString, eopString);
    flag(key::kEolDelayOn, eolDelayOn);
    flag(key::kAddCR, addCR);
    flag(key::kAddLF, addLF);
    flag(key::kLoadingEcho, loadingEcho);
    text(key::kFilePath, filePath);
    text(key::kEolDelay, eolDelay);
    for (int i = 0; i < 4; ++i)
        text(rowKey(key::kRowFile, i), rows[i].file);
    for (int i = 0; i < 4; ++i)
        text(rowKey(key::kRowSend, i), rows[i].send);
    for (int i = 0; i < 4; ++i)
        text(rowKey(key::kRowWait, i), rows[i].wait);
    flag(key::kAutomationOn, automationOn);
}
