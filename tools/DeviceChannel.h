// The command channel to the attached device: commands go out on the main window's port, and
// replies are read from the text the window's receive handler collects (or straight from the port).
#pragma once

#include <functional>
#include <string>

class TVaComm;

// The text that ends every device reply: "*", or ">" once an addressed (ASI) device was selected.
extern std::string replyTerminator;

// A command to the device: ESC, "{", its decimal arguments as they are, and its letter.
std::string deviceCommand(const std::string& arguments, char letter);

struct TReply {
    bool found = false;
    std::string text;
};

// Length of one try of a reply wait.
constexpr int kReplyTryMs = 50;

// Waits, handling window messages and the port's handed-over events, until done() holds, ms
// milliseconds have passed or keepWaiting() turns false. The wait sleeps until an event arrives,
// so it ends the moment the event that makes done() true has been handled. pollMs > 0 also wakes
// it that often (for conditions that no event announces). Returns done().
bool waitForCondition(const std::function<bool()>& done, int ms, const std::function<bool()>& keepWaiting = {},
                      int pollMs = 0);

class TDeviceChannel {
public:
    // port is the main window's port, rx the receive text its receive handler appends to.
    TDeviceChannel(TVaComm& port, std::string& rx) : port_(port), rx_(rx) {}

    // Empties the receive text, writes command in one write and waits up to tries x 50 ms until
    // the receive text holds expected (any letter case). Found: the reply is the receive text less
    // as many characters at its end as expected has. Not found: the whole receive text. A closed
    // port sends nothing and gives not found with an empty reply.
    TReply sendAndWait(const std::string& command, const std::string& expected, int tries);
    // The same, but the reply is read straight from the port into a text of its own (the receive
    // text is not touched): for waits inside a port event, while the receive handler cannot run.
    TReply sendAndWaitDirect(const std::string& command, const std::string& expected, int tries);

private:
    TVaComm& port_;
    std::string& rx_;
};
