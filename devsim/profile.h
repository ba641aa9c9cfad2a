// Device profile of the simulated display module: what it is called, how it is
// addressed, what it answers and how its memories and boot loader are set up.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace devsim {

// A small INI reader: "[Section]" lines, "key=value" lines, ";" or "#" at the
// start of a line make a comment. Section and key names ignore letter case.
class IniFile {
public:
    bool load(const std::string& path, std::string* error);
    void parse(const std::string& text);
    std::string get(const std::string& section, const std::string& key, const std::string& def) const;
    long getInt(const std::string& section, const std::string& key, long def) const;
    bool has(const std::string& section, const std::string& key) const;

private:
    std::map<std::string, std::string> values_;  // "section\nkey" (lower case) -> value
};

// Replaces "#" followed by two decimal digits with the character of that code,
// the notation the catalogue uses for control characters. A "#" that is not
// followed by two digits is kept as it is.
std::string decodeEscapes(const std::string& text);

// Splits at commas; empty fields are kept.
std::vector<std::string> splitFields(const std::string& text, char sep = ',');

enum class DeviceType { Vt100, Asi };

struct Profile {
    // [Device]
    std::string name = "QX-Display";
    std::string version = "1.0";
    DeviceType type = DeviceType::Vt100;
    std::string address = "1";            // ASI bus address, given back in answer to the init
    std::string terminator = "*";         // ends every reply but the identification
    std::vector<std::string> init = {"\x1b" "c"};  // init strings the device recognises, in order
    std::string idString = "\x1b[c";      // identification request
    std::string idAnswer;                 // empty: name + " v" + version + terminator
    std::string banner;                   // sent when a terminal opens the port; empty: none
    long bannerDelayMs = 200;
    bool echo = false;                    // echo ordinary text back
    bool startAsleep = false;             // ignore everything but CR until woken
    int lineAck = 6;                      // sent for each text line (CR) received; -1: none

    // [Line]
    long baud = 9600;
    int dataBits = 8;
    int stopBits = 1;
    char parity = 'N';
    std::string speedCheck = "warn";      // off, warn (log a mismatch) or strict (drop bytes)

    // [Display]
    int width = 240;
    int height = 320;
    long pictureMemory = 300001;          // largest picture stream, header included
    long fontMemory = 8191;               // largest font data part

    // [Flash]
    int blocks = 500;
    long blockSize = 4096;
    std::map<int, char> blockTypes;       // initial type codes; the rest are "0"
    std::string outOfRange;               // answer code for a block past the last; empty: no answer

    // [Touch]
    std::string touchX = "120";
    std::string touchY = "45";
    std::vector<std::pair<std::string, std::string>> touchPoints;  // answered in turn; empty: X, Y

    // [Loader]
    int loader = 0;                       // 0 none, 1 XMODEM-1K loader, 2 length-and-chunks loader
    std::string loaderEntry;              // text that makes the device restart into its loader
    std::string loaderPrompt = "App Loader 1.0 - Press U to update";  // generation 2: "DDD"
    std::string loaderAnswer = "U";
    int loaderVersion = 2;                // version byte of the second-generation loader
    long firmwareMemory = 262144;
    int loaderNakChunk = 0;               // generation 2: chunk refused with NAK (1 = the first); 0 none
    long xmodemStartIntervalMs = 1000;    // how often the loader asks with 'C'
    int xmodemStartTries = 60;
    long loaderPromptMs = 10000;          // how long the first loader waits for its answer
    bool reenumerate = false;             // after an update the device re-enumerates (see [Unplug])

    // [Unplug]
    long unplugAfterMs = 0;               // unplugged this long after the start; 0: not by itself
    long awayMs = 1000;                   // how long an unplugged device stays away

    // [Timing]
    long idleTimeoutMs = 1500;            // an upload that stalls this long is abandoned
    long replyDelayMs = 0;                // added before every reply
    long loaderDelayMs = 50;              // restart time before the loader speaks

    // [BlockTest]
    long blockTestMemory = 4096;          // largest block the transfer test accepts
    bool blockTestNak = false;            // answer every length with NAK
    std::string blockTestTrigger;         // received text that makes the device start the test
    long blockTestTriggerDelayMs = 200;   // from that text to the "D"

    // [Flood]
    std::string floodTrigger;             // received text that makes the device send a flood of lines
    long floodBytes = 20000000;           // the flood's size (Megabytes, 1 MB = 1,000,000 bytes)
    int floodLineLength = 80;             // bytes per line, CR LF included
    long floodRate = 0;                   // bytes per second at most (RateKB x 1000); 0: as the terminal reads
};

// Reads a profile; unknown keys are ignored, missing keys keep their defaults.
bool loadProfile(const std::string& path, Profile& profile, std::string* error);
void applyIni(const IniFile& ini, Profile& profile);

}  // namespace devsim
