// The text file send: the file's lines go out one by one, each followed by CR and paced by a delay
// and/or by waiting for the device's end-of-line character; before the first line the automation
// step sends the load command chosen by the file's extension and pauses.
#pragma once

#include "Settings.h"

#include <functional>
#include <string>
#include <vector>

class QString;
class TToolContext;

// The lines of a text file: split at CR LF, CR or LF, line breaks dropped, a NUL byte ends the text.
std::vector<std::string> textLines(std::string data);

// The automation row that applies to a file: its command and pause (the last matching row wins;
// none: an empty command and a pause of 0). A row matches when the last three characters of its
// pattern, in upper case, equal those of the file's extension with its dot.
struct TAutomationStep {
    std::string command;
    int pause = 0;
};
TAutomationStep automationStep(const std::string& path, const TTransferSettings& settings);

// True when the port is open; otherwise the sends' message box says so.
bool portOpenForSend(TToolContext& context);

class TTextSend {
public:
    // settings gives the text transfer settings as they stand (they may change during a send).
    TTextSend(TToolContext& context, std::function<TTransferSettings()> settings);

    // Sends the file at path (the current file); an empty path is refused with a message.
    void SendTextFile(const QString& path);
    // The automation step; false when the port is closed (nothing is sent).
    bool runAutomation(const std::string& path);

private:
    // Waits, handling messages, until the reply holds the end-of-line character or a stop is
    // requested; the status bar says what for meanwhile.
    void waitForLineEnd(char eolChar);
    // The status line of a send that ended before its last line.
    void reportStop(size_t sent, size_t total);

    TToolContext& context_;
    std::function<TTransferSettings()> settings_;
};
