// The simulated display module: takes the bytes a terminal sends, answers as
// the device does, and keeps what it is sent. It knows nothing of ptys or
// clocks of its own; the host feeds it bytes and the current time and sends
// on what it has to say.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "profile.h"
#include "screen.h"
#include "xmodem_receiver.h"

namespace devsim {

struct LineSettings {
    long baud = 0;
    int dataBits = 8;
    int stopBits = 1;
    char parity = 'N';
    bool operator==(const LineSettings&) const = default;
};

class Device {
public:
    using Log = std::function<void(const std::string&)>;

    // outDir receives the pictures, fonts, firmware images and blocks.
    Device(Profile profile, std::string outDir, Log log);
    ~Device();

    // A terminal has opened the port.
    void connected(Clock::time_point now);
    // The line settings the terminal has set on its side of the port.
    void lineSettings(const LineSettings& s);
    void receive(std::string_view bytes, Clock::time_point now);
    void tick(Clock::time_point now);
    // When tick must run next (the earliest time-out or delayed reply).
    std::optional<Clock::time_point> deadline() const;
    // Bytes due to be sent by now.
    std::string takeOutput(Clock::time_point now);

    // Starts the block transfer test from the device's side: sends "D".
    void requestBlockTransfer(Clock::time_point now);
    // True once after an update completed (the board restarts into its application).
    bool takeUpdated() { return std::exchange(updated_, false); }

    // The next lines of a running flood that are due by now, at most max bytes (empty when none
    // runs): the caller takes them as fast as the terminal reads, so the device still hears it.
    std::string takeFlood(std::size_t max, Clock::time_point now);
    bool flooding() const { return floodLeft_ > 0; }
    // Whether a line of the flood is due by now (deadline() says when the next one is).
    bool floodDue(Clock::time_point now) const;
    // The terminal has closed the port: a flood ends.
    void stopFlood();

    bool writeScreenPng(const std::string& path);
    const Screen& screen() const { return screen_; }
    char blockType(int block) const;

private:
    enum class Mode {
        Command, Asleep,
        Picture, Font, Skip,
        BlockLength, BlockData,
        LoaderStarting, V1Prompt, V1Xmodem, V2Version, V2Length, V2Data,
    };
    enum class Parse { Text, Esc, Brace, Bracket, Paren };
    enum class Dest { Screen, Flash };

    struct Upload {
        Dest dest = Dest::Screen;
        int block = 0;
        int x = 0;
        int y = 0;
        std::string data;
        std::uint64_t expected = 0;  // whole stream; 0 while its header is incomplete
    };

    void handleCommandByte(unsigned char c, Clock::time_point now);
    bool checkTriggers(Clock::time_point now);
    void dispatchEscape(char kind, const std::string& args, char final, Clock::time_point now);
    void braceCommand(const std::string& args, char letter, Clock::time_point now);
    void handleDataByte(unsigned char c, Clock::time_point now);
    void pictureByte(unsigned char c);
    void fontByte(unsigned char c);
    void finishPicture();
    void finishFont();
    void enterLoader(Clock::time_point now);
    void loaderByte(unsigned char c, Clock::time_point now);
    void pumpXmodem(Clock::time_point now);
    void startApplication(Clock::time_point now, const std::string& why);
    void toCommand();
    void skip(std::uint64_t bytes, const std::string& why);

    void reply(std::string_view bytes, Clock::time_point now, long delayMs = -1);
    Clock::time_point floodNext() const;
    void flushText();
    void dropTriggerText(const std::string& trigger);
    void understood(const std::string& what);
    void notUnderstood(const std::string& what);
    void info(const std::string& what);
    std::string save(const std::string& name, std::string_view data);
    std::string nextName(const std::string& stem, const std::string& ext);
    bool parseBlock(const std::string& text, int& block) const;
    bool pastLastBlock(const std::string& text) const;
    // With [Flash] OutOfRange set: answers a command for a block past the last one.
    bool answerPastLastBlock(const std::string& what, const std::string& blockText, char letter,
                             Clock::time_point now);
    void refuseChunk(Clock::time_point now);
    bool flashFree(int first, int count, std::string& why) const;
    void eraseBlocks(int first, int count);
    std::string blockFile(int block, char type) const;

    Profile p_;
    std::string outDir_;
    Log log_;
    Screen screen_;

    Mode mode_ = Mode::Command;
    Parse parse_ = Parse::Text;
    std::string escArgs_;
    std::string recent_;  // command-mode bytes, for the literal triggers
    std::string text_;    // ordinary text since the last line end, for the log

    Upload upload_;
    Mode uploadKind_ = Mode::Command;
    std::uint64_t skipLeft_ = 0;
    std::uint32_t length_ = 0;
    int lengthBytes_ = 0;
    std::uint64_t imageSize_ = 0;
    std::string image_;
    Clock::time_point lastByte_{};
    Clock::time_point modeDeadline_{};
    bool modeDeadlineSet_ = false;

    std::unique_ptr<XmodemReceiver> xmodem_;

    std::vector<char> types_;
    std::map<int, std::string> contents_;  // flash contents by first block

    std::vector<std::pair<Clock::time_point, std::string>> out_;
    std::uint64_t floodLeft_ = 0;  // bytes of the running flood not taken yet
    std::uint64_t floodLine_ = 0;  // number of its next line
    std::uint64_t floodSent_ = 0;  // bytes of it taken
    Clock::time_point floodStart_{};
    std::map<std::string, int> counters_;
    std::optional<LineSettings> lastLine_;
    bool lineOk_ = true;
    bool updated_ = false;
    std::optional<Clock::time_point> blockTestDue_;  // "D" to send, after the trigger text
    std::size_t touchIndex_ = 0;
};

}  // namespace devsim
