// The settings file's sections as values: one type per section, each reading and writing its keys
// (spelled once here, as the stored files spell them). Key and section names compare without
// letter case, so a key is found whatever case a file wrote it in.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

class TIniFile;

// [Comms]: the line-setting boxes by entry number, the port by entry number, by name and by the
// identity of its device, the menu marks, whether a vanished device is waited for; ExtraPorts is
// read only (more device paths and patterns for the port list).
struct TCommsSettings {
    int baud = 6;
    int port = 1;
    std::string portName;
    std::string portIdentity;
    bool reconnect = true;
    int stopBits = 2;
    int dataBits = 4;
    bool hwFlow = false;
    bool echo = false;
    bool ctrl = false;
    bool dtrLow = false;

    static TCommsSettings read(const TIniFile& ini);
    static std::string extraPorts(const TIniFile& ini);
};

// [Window]: the terminal pane's font and colours (Windows colour values, blue-green-red).
struct TWindowSettings {
    std::string font = "Fixedsys";
    int32_t fontColour = 65535;
    int32_t fontSize = 9;
    int32_t colour = 10485760;

    static TWindowSettings read(const TIniFile& ini);
};

// [File]: the open-file dialog's filter and the current file.
struct TFileSettings {
    int32_t filterIndex = 1;
    std::string lastFile;

    static TFileSettings read(const TIniFile& ini);
};

// [Form]: the main window's size and place and the splitter positions.
struct TFormSettings {
    int32_t width = 551;
    int32_t height = 436;
    int32_t left = 367;
    int32_t top = 256;
    int32_t splitV = 325;
    int32_t splitH = 382;

    static TFormSettings read(const TIniFile& ini);
};

// [Terminal]: the terminal's additions: time stamps (0 off, 1 time of day, 2 seconds since
// connect) and the pause after which a line without a line end gets one; the hex view; the send box, its
// line-end choice (0 none, 1 CR, 2 LF, 3 CR LF), its hex choice and its history, oldest first; the
// log's last file, format (0 raw, 1 text) and whether it took what is sent.
struct TTerminalSettings {
    static constexpr int kHistoryKept = 20;

    int stamps = 0;
    int stampPauseMs = 500;
    bool hexView = false;
    bool sendBox = false;
    int sendLineEnd = 1;
    bool sendHex = false;
    std::vector<std::string> sendHistory;
    std::string logFile;
    int logFormat = 0;
    bool logSent = false;

    static TTerminalSettings read(const TIniFile& ini);
    void write(TIniFile& ini) const;
};

// The main window's sections, and [UPDATE]: the firmware update dialog's file history.
struct TTermSettings {
    TCommsSettings comms;
    TWindowSettings window;
    TFileSettings file;
    TFormSettings form;
    TTerminalSettings terminal;
    std::vector<std::string> updateFiles{"none"};

    static TTermSettings read(const TIniFile& ini);
    // Writes every key, [Date] "LastUpdate" (stamp) first; a failure raises and ends the writing
    // where it happened.
    void write(TIniFile& ini, const std::string& stamp) const;
};

// [Transfer]: the text transfer dialog's settings (the text send and the terminal use them).
struct TTransferSettings {
    struct Row {
        std::string file; // file pattern, e.g. "*.hex"
        std::string send; // command
        std::string wait; // pause, decimal milliseconds
    };

    bool eolCharOn = true;
    std::string eolChar = "6";
    bool onErrorOn = true;
    std::string onErrorChar = "5";
    bool eopOn = true;
    std::string eopString = ";ss";
    bool eolDelayOn = false;
    bool addCR = true;
    bool addLF = true;
    bool loadingEcho = false;
    std::string filePath;
    std::string eolDelay = "100";
    Row rows[4] = {{"*.tcb", "loadb", "500"}, {"*.hex", "loadh", "500"}, {"*.flb", "loadf", "100"},
                   {"*.fth", "loadf", "100"}};
    bool automationOn = true;

    static TTransferSettings read(const TIniFile& ini);
    void write(TIniFile& ini) const;
};
