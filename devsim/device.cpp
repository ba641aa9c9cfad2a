#include "device.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <unistd.h>

#include "files.h"

namespace devsim {

namespace {

constexpr char ESC = 0x1B;
constexpr char ACK = 0x06;
constexpr char NAK = 0x15;
constexpr char EOT = 0x04;
constexpr std::size_t kMaxEscape = 32;   // longer escape sequences are garbage
constexpr std::size_t kRecentMax = 256;
constexpr std::size_t kMaxLoggedText = 120;  // longer text runs are cut in the log
constexpr std::size_t kLoaderChunk = 2000;
// The second-generation loader is told the image length plus this many bytes.
constexpr std::uint64_t kLoaderLengthExtra = 10;
constexpr std::size_t kFontLengthBytes = 2;
constexpr std::size_t kFontHeader = 8;

bool endsWith(const std::string& s, const std::string& tail)
{
    return !tail.empty() && s.size() >= tail.size() && s.compare(s.size() - tail.size(), tail.size(), tail) == 0;
}

bool parseNumber(const std::string& text, long& out)
{
    if (text.empty() || text.size() > 9) return false;
    long v = 0;
    for (char c : text) {
        if (!std::isdigit(static_cast<unsigned char>(c))) return false;
        v = v * 10 + (c - '0');
    }
    out = v;
    return true;
}

std::string describeEscape(char kind, const std::string& args, char final)
{
    std::string s = "ESC ";
    if (kind != 'E') s += kind;
    s += printable(args);
    if (final) s += printable(std::string_view(&final, 1));
    return s;
}

}  // namespace

Device::Device(Profile profile, std::string outDir, Log log)
    : p_(std::move(profile)), outDir_(std::move(outDir)), log_(std::move(log)), screen_(p_.width, p_.height),
      types_(static_cast<std::size_t>(p_.blocks), '0')
{
    for (const auto& [block, code] : p_.blockTypes) types_[static_cast<std::size_t>(block)] = code;
    if (p_.startAsleep) mode_ = Mode::Asleep;
}

Device::~Device() = default;

// ---------------------------------------------------------------- output, log

void Device::reply(std::string_view bytes, Clock::time_point now, long delayMs)
{
    if (bytes.empty()) return;
    auto due = now + std::chrono::milliseconds(delayMs < 0 ? p_.replyDelayMs : delayMs);
    // Replies leave in the order they were made, whatever their delays.
    if (!out_.empty()) due = std::max(due, out_.back().first);
    out_.emplace_back(due, std::string(bytes));
}

std::string Device::takeFlood(std::size_t max, Clock::time_point now)
{
    std::string out;
    const auto length = static_cast<std::size_t>(p_.floodLineLength);
    if (p_.floodRate > 0) {
        // At the profile's rate: as much as is due since the flood began.
        // Half a byte of slack against the rounding of the times floodNext gives.
        const double due = std::chrono::duration<double>(now - floodStart_).count() * static_cast<double>(p_.floodRate) + 0.5;
        max = std::min<std::uint64_t>(max, static_cast<std::uint64_t>(std::max(0.0, due - static_cast<double>(floodSent_))));
    }
    while (floodLeft_ > 0 && out.size() + std::min<std::uint64_t>(length, floodLeft_) <= max) {
        // "flood line 00000042 " and letters up to the line's length, CR LF last; the last line is
        // cut to the flood's size.
        char number[32];
        std::snprintf(number, sizeof number, "flood line %08llu ", static_cast<unsigned long long>(floodLine_));
        std::string line = number;
        for (std::size_t i = line.size(); i + 2 < length; ++i)
            line += static_cast<char>('a' + (i + floodLine_) % 26);
        line += "\r\n";
        ++floodLine_;
        line.resize(static_cast<std::size_t>(std::min<std::uint64_t>(line.size(), floodLeft_)));
        floodLeft_ -= line.size();
        floodSent_ += line.size();
        out += line;
        if (floodLeft_ == 0)
            info("flood of " + std::to_string(p_.floodBytes) + " bytes sent");
    }
    return out;
}

bool Device::floodDue(Clock::time_point now) const
{
    return floodLeft_ > 0 && (p_.floodRate == 0 || now >= floodNext());
}

void Device::stopFlood()
{
    if (floodLeft_ > 0)
        info("flood ended with " + std::to_string(floodLeft_) + " bytes not sent");
    floodLeft_ = 0;
}

Clock::time_point Device::floodNext() const
{
    // When the next line is due at the flood's rate.
    const auto bytes = floodSent_ + static_cast<std::uint64_t>(p_.floodLineLength);
    // Rounded up, so that at that time takeFlood finds the line due (and a caller that waits for
    // it never wakes to nothing at the same moment again and again).
    return floodStart_ + std::chrono::ceil<Clock::duration>(
                             std::chrono::duration<double>(static_cast<double>(bytes) / static_cast<double>(p_.floodRate)));
}

std::string Device::takeOutput(Clock::time_point now)
{
    std::string out;
    std::size_t n = 0;
    while (n < out_.size() && out_[n].first <= now) out += out_[n++].second;
    out_.erase(out_.begin(), out_.begin() + static_cast<long>(n));
    return out;
}

void Device::understood(const std::string& what) { log_("understood: " + what); }

void Device::flushText()
{
    if (text_.empty()) return;
    log_("text: " + printable(text_, kMaxLoggedText));
    text_.clear();
}
void Device::notUnderstood(const std::string& what) { log_("not understood: " + what); }
void Device::info(const std::string& what) { log_("info: " + what); }

std::string Device::nextName(const std::string& stem, const std::string& ext)
{
    char buf[32];
    std::snprintf(buf, sizeof buf, "-%03d", ++counters_[stem]);
    return stem + buf + ext;
}

std::string Device::save(const std::string& name, std::string_view data)
{
    std::string error;
    const std::string path = outDir_ + "/" + name;
    if (!makeDirectories(outDir_, &error) || !writeFileAtomic(path, data, &error)) {
        info("could not keep " + name + ": " + error);
        return {};
    }
    return path;
}

// ---------------------------------------------------------------- line and time

void Device::connected(Clock::time_point now)
{
    info("a terminal opened the port");
    // A terminal commonly flushes its input right after opening the port; the
    // banner waits a little so that it is not flushed away with old bytes.
    if (!p_.banner.empty() && mode_ == Mode::Command) reply(p_.banner, now, p_.bannerDelayMs);
}

void Device::lineSettings(const LineSettings& s)
{
    if (lastLine_ && *lastLine_ == s) return;
    lastLine_ = s;
    const LineSettings want{p_.baud, p_.dataBits, p_.stopBits, p_.parity};
    lineOk_ = s == want || p_.speedCheck == "off";
    char buf[160];
    std::snprintf(buf, sizeof buf, "line set to %ld %d%c%d, device runs at %ld %d%c%d", s.baud, s.dataBits, s.parity,
                  s.stopBits, want.baud, want.dataBits, want.parity, want.stopBits);
    if (s == want)
        info(buf);
    else if (p_.speedCheck != "off")
        info(std::string(buf) + (p_.speedCheck == "strict" ? " - mismatch, input is garbage to the device"
                                                           : " - mismatch (ignored)"));
}

std::optional<Clock::time_point> Device::deadline() const
{
    std::optional<Clock::time_point> d;
    auto consider = [&](Clock::time_point t) { if (!d || t < *d) d = t; };
    if (!out_.empty()) consider(out_.front().first);
    if (modeDeadlineSet_) consider(modeDeadline_);
    if (blockTestDue_) consider(*blockTestDue_);
    if (floodLeft_ > 0 && p_.floodRate > 0) consider(floodNext());
    switch (mode_) {
    case Mode::Picture: case Mode::Font: case Mode::Skip: case Mode::BlockLength: case Mode::BlockData:
    case Mode::V2Version: case Mode::V2Length: case Mode::V2Data:
        consider(lastByte_ + std::chrono::milliseconds(p_.idleTimeoutMs));
        break;
    case Mode::V1Xmodem:
        if (xmodem_ && xmodem_->deadline()) consider(*xmodem_->deadline());
        break;
    default:
        break;
    }
    return d;
}

void Device::tick(Clock::time_point now)
{
    if (blockTestDue_ && now >= *blockTestDue_) {
        blockTestDue_.reset();
        requestBlockTransfer(now);
    }
    if (modeDeadlineSet_ && now >= modeDeadline_) {
        modeDeadlineSet_ = false;
        if (mode_ == Mode::LoaderStarting) {
            if (p_.loader == 1) {
                if (!p_.loaderPrompt.empty()) reply("\r\n" + p_.loaderPrompt + "\r\n", now, 0);
                mode_ = Mode::V1Prompt;
                recent_.clear();
                modeDeadline_ = now + std::chrono::milliseconds(p_.loaderPromptMs);
                modeDeadlineSet_ = true;
            } else {
                reply(p_.loaderPrompt, now, 0);
                mode_ = Mode::V2Version;
                lastByte_ = now;
            }
        } else if (mode_ == Mode::V1Prompt) {
            startApplication(now, "no answer to the loader prompt");
        }
    }
    const auto idle = now - lastByte_ >= std::chrono::milliseconds(p_.idleTimeoutMs);
    switch (mode_) {
    case Mode::Picture:
    case Mode::Font:
        if (idle) {
            notUnderstood("upload stalled after " + std::to_string(upload_.data.size()) + " of " +
                          (upload_.expected ? std::to_string(upload_.expected) : std::string("?")) +
                          " bytes; discarded");
            toCommand();
        }
        break;
    case Mode::Skip:
        if (idle) {
            info("stopped discarding, " + std::to_string(skipLeft_) + " announced bytes never came");
            toCommand();
        }
        break;
    case Mode::BlockLength:
    case Mode::BlockData:
        if (idle) {
            notUnderstood("block transfer stalled; discarded");
            toCommand();
        }
        break;
    case Mode::V2Version:
    case Mode::V2Length:
    case Mode::V2Data:
        if (idle) startApplication(now, "loader upload stalled after " + std::to_string(image_.size()) + " bytes");
        break;
    case Mode::V1Xmodem:
        if (xmodem_) {
            xmodem_->tick(now);
            pumpXmodem(now);
        }
        break;
    default:
        break;
    }
}

// ---------------------------------------------------------------- receiving

void Device::receive(std::string_view bytes, Clock::time_point now)
{
    if (!lineOk_ && p_.speedCheck == "strict") {
        info("dropped " + std::to_string(bytes.size()) + " bytes received at the wrong line settings");
        return;
    }
    if (mode_ == Mode::V1Xmodem && xmodem_) {
        lastByte_ = now;
        xmodem_->receive(bytes, now);
        pumpXmodem(now);
        return;
    }
    std::size_t ignored = 0;
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        const auto c = static_cast<unsigned char>(bytes[i]);
        switch (mode_) {
        case Mode::Asleep:
            if (c == '\r') {
                mode_ = Mode::Command;
                understood("CR - woken up");
            } else {
                ++ignored;
            }
            break;
        case Mode::Command:
            handleCommandByte(c, now);
            break;
        case Mode::LoaderStarting:
            ++ignored;  // the device is restarting
            break;
        case Mode::V1Prompt: case Mode::V2Version: case Mode::V2Length: case Mode::V2Data:
            loaderByte(c, now);
            break;
        case Mode::V1Xmodem:
            // The transfer began inside this chunk; the rest belongs to it.
            xmodem_->receive(bytes.substr(i), now);
            pumpXmodem(now);
            i = bytes.size();
            break;
        default:
            handleDataByte(c, now);
            break;
        }
        lastByte_ = now;
    }
    if (ignored) info("ignored " + std::to_string(ignored) + " bytes while " + (mode_ == Mode::Asleep ? "asleep" : "restarting"));
}

void Device::handleCommandByte(unsigned char c, Clock::time_point now)
{
    recent_ += static_cast<char>(c);
    if (recent_.size() > kRecentMax) recent_.erase(0, recent_.size() - kRecentMax);

    // Run the escape parser; a finished sequence is held until the literal
    // triggers (init, identification, loader entry) have had their look, since
    // those may end with an escape sequence of their own.
    bool complete = false;
    bool lineEnd = false;  // a CR that ends a text line
    char kind = 0;
    char final = 0;
    std::string args;
    auto finish = [&](char k, char f) {
        complete = true;
        kind = k;
        final = f;
        args = escArgs_;
        parse_ = Parse::Text;
    };
    switch (parse_) {
    case Parse::Text:
        if (c == ESC) {
            flushText();
            parse_ = Parse::Esc;
            escArgs_.clear();
        } else {
            screen_.putText(std::string_view(reinterpret_cast<const char*>(&c), 1));
            if (p_.echo) reply(std::string(1, static_cast<char>(c)), now, 0);
            lineEnd = c == '\r';
            if (c == '\r' || c == '\n') flushText();
            else if (text_.size() < kMaxLoggedText) text_ += static_cast<char>(c);
        }
        break;
    case Parse::Esc:
        if (c == '{') parse_ = Parse::Brace;
        else if (c == '[') parse_ = Parse::Bracket;
        else if (c == '(') parse_ = Parse::Paren;
        else if (c == ESC) notUnderstood("ESC followed by ESC");
        else finish('E', static_cast<char>(c));
        break;
    case Parse::Brace:
        if (std::isalpha(c)) finish('{', static_cast<char>(c));
        else if (c >= 0x20 && c < 0x7F && escArgs_.size() < kMaxEscape) escArgs_ += static_cast<char>(c);
        else finish('{', static_cast<char>(c));  // garbage: reported below as not understood
        break;
    case Parse::Bracket:
        if (c >= 0x40 && c <= 0x7E) finish('[', static_cast<char>(c));
        else if (c >= 0x20 && c <= 0x3F && escArgs_.size() < kMaxEscape) escArgs_ += static_cast<char>(c);
        else finish('[', static_cast<char>(c));
        break;
    case Parse::Paren:
        finish('(', static_cast<char>(c));
        break;
    }

    if (checkTriggers(now)) {
        parse_ = Parse::Text;
        return;
    }
    // A text sender paces itself by the acknowledgement of each line. It goes
    // out at once (not after ReplyDelayMs): the device acknowledges having taken
    // the line, and a terminal that wakes the device with CRs before it collects
    // the init answer must have the acknowledgements behind it by then.
    if (lineEnd && p_.lineAck >= 0) reply(std::string(1, static_cast<char>(p_.lineAck)), now, 0);
    if (complete) dispatchEscape(kind, args, final, now);
}

void Device::dropTriggerText(const std::string& trigger)
{
    // The trigger's own characters were collected as text; they are logged as
    // the command they are, the text before them as text.
    if (endsWith(text_, trigger)) text_.erase(text_.size() - trigger.size());
    flushText();
}

bool Device::checkTriggers(Clock::time_point now)
{
    if (endsWith(recent_, p_.floodTrigger)) {
        dropTriggerText(p_.floodTrigger);
        recent_.clear();
        understood("flood trigger " + printable(p_.floodTrigger) + " - sending " + std::to_string(p_.floodBytes) +
                   " bytes of text lines");
        floodLeft_ = static_cast<std::uint64_t>(p_.floodBytes);
        floodLine_ = 0;
        floodSent_ = 0;
        floodStart_ = now;
        return true;
    }
    if (p_.loader != 0 && endsWith(recent_, p_.loaderEntry)) {
        dropTriggerText(p_.loaderEntry);
        understood("loader entry " + printable(p_.loaderEntry));
        recent_.clear();
        enterLoader(now);
        return true;
    }
    if (endsWith(recent_, p_.idString)) {
        dropTriggerText(p_.idString);
        const std::string before = recent_.substr(0, recent_.size() - p_.idString.size());
        recent_.clear();
        if (p_.type == DeviceType::Asi && !endsWith(before, p_.address)) {
            understood("identification for another address - not answered");
            return true;
        }
        const std::string answer = p_.idAnswer.empty() ? p_.name + " v" + p_.version + p_.terminator : p_.idAnswer;
        understood("identification " + printable(p_.idString) + " -> " + printable(answer));
        reply(answer, now);
        return true;
    }
    if (endsWith(recent_, p_.blockTestTrigger)) {
        dropTriggerText(p_.blockTestTrigger);
        recent_.clear();
        understood("block transfer trigger " + printable(p_.blockTestTrigger) + " - sending D in " +
                   std::to_string(p_.blockTestTriggerDelayMs) + " ms");
        blockTestDue_ = now + std::chrono::milliseconds(p_.blockTestTriggerDelayMs);
        return true;
    }
    for (std::size_t i = 0; i < p_.init.size(); ++i) {
        if (!endsWith(recent_, p_.init[i])) continue;
        dropTriggerText(p_.init[i]);
        recent_.clear();
        const bool last = i + 1 == p_.init.size();
        if (!last) {
            understood("init string " + std::to_string(i + 1) + " " + printable(p_.init[i]));
            return true;
        }
        screen_.setFont(nullptr);
        screen_.clear();
        if (p_.type == DeviceType::Asi) {
            understood("init " + printable(p_.init[i]) + " -> address " + printable(p_.address + p_.terminator));
            reply(p_.address + p_.terminator, now);
        } else {
            understood("init " + printable(p_.init[i]) + " - screen cleared");
        }
        return true;
    }
    return false;
}

void Device::dispatchEscape(char kind, const std::string& args, char final, Clock::time_point now)
{
    const std::string what = describeEscape(kind, args, final);
    if (kind == 'E') {
        if (final == 'c') {
            screen_.setFont(nullptr);
            screen_.clear();
            understood(what + " - reset, screen cleared");
        } else {
            notUnderstood(what);
        }
        return;
    }
    if (kind == '(') {
        if (final == '0') {
            understood(what + " - font to the display follows");
            upload_ = Upload{};
            upload_.dest = Dest::Screen;
            mode_ = uploadKind_ = Mode::Font;
            lastByte_ = now;
        } else {
            notUnderstood(what);
        }
        return;
    }
    if (kind == '[') {
        if (final == 'J' && (args.empty() || args == "0" || args == "1" || args == "2")) {
            screen_.clear();
            understood(what + " - screen cleared");
        } else if ((final == 'H' || final == 'f')) {
            const auto semi = args.find(';');
            long r = 1;
            long c = 1;
            const bool ok = args.empty() ||
                            (semi != std::string::npos && parseNumber(args.substr(0, semi), r) &&
                             parseNumber(args.substr(semi + 1), c)) ||
                            (semi == std::string::npos && parseNumber(args, r));
            if (!ok) {
                notUnderstood(what);
                return;
            }
            screen_.moveTo(static_cast<int>(std::max(r, 1L)) - 1, static_cast<int>(std::max(c, 1L)) - 1);
            understood(what + " - cursor moved");
        } else if (final == 'm') {
            understood(what + " - text attributes (ignored)");
        } else if (final == 'l' && args.empty()) {
            std::string answer = p_.touchX + "," + p_.touchY + p_.terminator;
            if (!p_.touchPoints.empty()) {
                const auto& [x, y] = p_.touchPoints[touchIndex_++ % p_.touchPoints.size()];
                answer = x + "," + y + p_.terminator;
            }
            understood(what + " - touch co-ordinates -> " + printable(answer));
            reply(answer, now);
        } else {
            notUnderstood(what);
        }
        return;
    }
    if (kind == '{' && std::isalpha(static_cast<unsigned char>(final))) {
        braceCommand(args, final, now);
        return;
    }
    notUnderstood(what);
}

bool Device::pastLastBlock(const std::string& text) const
{
    long v = 0;
    return parseNumber(text, v) && v >= p_.blocks;
}

bool Device::answerPastLastBlock(const std::string& what, const std::string& blockText, char letter,
                                 Clock::time_point now)
{
    if (p_.outOfRange.empty() || !pastLastBlock(blockText)) return false;
    const std::string answer = (letter == 'q' ? p_.outOfRange : std::string()) + p_.terminator;
    understood(what + " - block " + blockText + " is past the last block " + std::to_string(p_.blocks - 1) +
               ", nothing done -> " + printable(answer));
    reply(answer, now);
    return true;
}

bool Device::parseBlock(const std::string& text, int& block) const
{
    long v = 0;
    if (!parseNumber(text, v) || v >= p_.blocks) return false;
    block = static_cast<int>(v);
    return true;
}

char Device::blockType(int block) const
{
    return block >= 0 && block < p_.blocks ? types_[static_cast<std::size_t>(block)] : '?';
}

std::string Device::blockFile(int block, char type) const
{
    char buf[48];
    std::snprintf(buf, sizeof buf, "flash-block-%03d%s", block, type == 'f' ? ".qxf" : ".qxp");
    return buf;
}

void Device::braceCommand(const std::string& args, char letter, Clock::time_point now)
{
    const std::string what = describeEscape('{', args, letter);
    int block = 0;
    switch (letter) {
    case 'q':
        if (answerPastLastBlock(what, args, letter, now)) return;
        if (!parseBlock(args, block)) break;
        understood(what + " - query block " + std::to_string(block) + " -> " + blockType(block));
        reply(std::string(1, blockType(block)) + p_.terminator, now);
        return;
    case 'r': {
        if (answerPastLastBlock(what, args, letter, now)) return;
        if (!parseBlock(args, block)) break;
        const auto it = contents_.find(block);
        const char type = blockType(block);
        if (it != contents_.end() && type == 'b' && it->second.size() >= 4) {
            const auto& d = it->second;
            const int w = (static_cast<unsigned char>(d[0]) << 8) | static_cast<unsigned char>(d[1]);
            const int h = (static_cast<unsigned char>(d[2]) << 8) | static_cast<unsigned char>(d[3]);
            screen_.drawPicture(0, 0, w, h, std::string_view(d).substr(4));
            understood(what + " - retrieve block " + std::to_string(block) + ": picture shown");
        } else if (DisplayFont font; it != contents_.end() && type == 'f' && parseDisplayFont(it->second, font)) {
            screen_.setFont(&font);
            understood(what + " - retrieve block " + std::to_string(block) + ": font made current");
        } else {
            understood(what + " - retrieve block " + std::to_string(block) + ": nothing to show (type " + type + ")");
        }
        reply(p_.terminator, now);
        return;
    }
    case 'E': {
        const auto space = args.find(' ');
        long count = 0;
        if (space != std::string::npos && parseNumber(args.substr(space + 1), count) && count >= 1 &&
            answerPastLastBlock(what, args.substr(0, space), letter, now))
            return;
        if (space == std::string::npos || !parseBlock(args.substr(0, space), block) ||
            !parseNumber(args.substr(space + 1), count) || count < 1)
            break;
        const int n = static_cast<int>(std::min<long>(count, p_.blocks - block));
        eraseBlocks(block, n);
        understood(what + " - erased blocks " + std::to_string(block) + " to " + std::to_string(block + n - 1));
        reply(p_.terminator, now);
        return;
    }
    case 'b': {
        long x = 0;
        long y = 0;
        if (!args.empty()) {
            const auto comma = args.find(',');
            if (comma == std::string::npos) break;
            const std::string xs = args.substr(0, comma);
            const std::string ys = args.substr(comma + 1);
            if ((!xs.empty() && !parseNumber(xs, x)) || (!ys.empty() && !parseNumber(ys, y))) break;
        }
        understood(what + " - picture to the screen at " + std::to_string(x) + "," + std::to_string(y) + " follows");
        upload_ = Upload{};
        upload_.dest = Dest::Screen;
        upload_.x = static_cast<int>(x);
        upload_.y = static_cast<int>(y);
        mode_ = uploadKind_ = Mode::Picture;
        lastByte_ = now;
        return;
    }
    case 'B':
    case 'F':
        if (!parseBlock(args, block)) break;
        understood(what + (letter == 'B' ? " - picture" : " - font") + " to flash block " + std::to_string(block) +
                   " follows");
        upload_ = Upload{};
        upload_.dest = Dest::Flash;
        upload_.block = block;
        mode_ = uploadKind_ = letter == 'B' ? Mode::Picture : Mode::Font;
        lastByte_ = now;
        return;
    default:
        break;
    }
    notUnderstood(what);
}

// ---------------------------------------------------------------- flash

bool Device::flashFree(int first, int count, std::string& why) const
{
    if (first + static_cast<long>(count) > p_.blocks) {
        why = "needs " + std::to_string(count) + " blocks from block " + std::to_string(first) + ", past the last block";
        return false;
    }
    for (int b = first; b < first + count; ++b) {
        if (types_[static_cast<std::size_t>(b)] != '0') {
            why = "block " + std::to_string(b) + " is not empty";
            return false;
        }
    }
    return true;
}

void Device::eraseBlocks(int first, int count)
{
    for (int b = first; b < first + count; ++b) {
        const char type = types_[static_cast<std::size_t>(b)];
        types_[static_cast<std::size_t>(b)] = '0';
        if (contents_.erase(b)) {
            ::unlink((outDir_ + "/" + blockFile(b, type)).c_str());
        }
    }
}

// ---------------------------------------------------------------- uploads

void Device::skip(std::uint64_t bytes, const std::string& why)
{
    notUnderstood(why + "; discarding the " + std::to_string(bytes) + " bytes that follow");
    skipLeft_ = bytes;
    mode_ = bytes ? Mode::Skip : Mode::Command;
    if (!bytes) toCommand();
}

void Device::toCommand()
{
    mode_ = Mode::Command;
    parse_ = Parse::Text;
    recent_.clear();
    upload_ = Upload{};
    image_.clear();
    modeDeadlineSet_ = false;
    xmodem_.reset();
}

void Device::handleDataByte(unsigned char c, Clock::time_point now)
{
    switch (mode_) {
    case Mode::Picture: pictureByte(c); break;
    case Mode::Font: fontByte(c); break;
    case Mode::Skip:
        if (--skipLeft_ == 0) {
            info("discarded stream ended");
            toCommand();
        }
        break;
    case Mode::BlockLength:
        length_ = (length_ << 8) | c;
        if (++lengthBytes_ == 4) {
            const bool fits = length_ > 0 && length_ <= static_cast<std::uint64_t>(p_.blockTestMemory);
            if (fits && !p_.blockTestNak) {
                understood("block transfer length " + std::to_string(length_) + " -> ACK");
                reply(std::string(1, ACK), now);
                mode_ = Mode::BlockData;
                image_.clear();
            } else {
                reply(std::string(1, NAK), now);
                // The sender writes the data after a NAK as well; it is read and dropped.
                skip(length_, "block transfer length " + std::to_string(length_) + " refused with NAK" +
                                  (fits ? " (the profile refuses every block)" : ""));
            }
        }
        break;
    case Mode::BlockData:
        image_ += static_cast<char>(c);
        if (image_.size() == length_) {
            const std::string path = save(nextName("block-transfer", ".bin"), image_);
            understood("block transfer of " + std::to_string(length_) + " bytes kept in " + path);
            toCommand();
        }
        break;
    default:
        break;
    }
}

void Device::pictureByte(unsigned char c)
{
    upload_.data += static_cast<char>(c);
    if (upload_.expected == 0 && upload_.data.size() == 4) {
        const auto& d = upload_.data;
        const std::uint64_t w = (static_cast<unsigned char>(d[0]) << 8) | static_cast<unsigned char>(d[1]);
        const std::uint64_t h = (static_cast<unsigned char>(d[2]) << 8) | static_cast<unsigned char>(d[3]);
        const std::uint64_t total = w * h * 3 + 4;
        const std::string size = std::to_string(w) + " x " + std::to_string(h);
        if (w == 0 || h == 0) {
            skip(0, "picture of " + size + " refused");
            return;
        }
        if (total > static_cast<std::uint64_t>(p_.pictureMemory)) {
            skip(total - 4, "picture of " + size + " (" + std::to_string(total) + " bytes) exceeds the picture memory of " +
                                std::to_string(p_.pictureMemory));
            return;
        }
        if (upload_.dest == Dest::Flash) {
            std::string why;
            const int count = static_cast<int>((total + p_.blockSize - 1) / p_.blockSize);
            if (!flashFree(upload_.block, count, why)) {
                skip(total - 4, "picture to flash refused: " + why);
                return;
            }
        }
        upload_.expected = total;
    }
    if (upload_.expected && upload_.data.size() == upload_.expected) finishPicture();
}

void Device::finishPicture()
{
    const auto& d = upload_.data;
    const int w = (static_cast<unsigned char>(d[0]) << 8) | static_cast<unsigned char>(d[1]);
    const int h = (static_cast<unsigned char>(d[2]) << 8) | static_cast<unsigned char>(d[3]);
    const std::string size = std::to_string(w) + " x " + std::to_string(h);
    if (upload_.dest == Dest::Screen) {
        screen_.drawPicture(upload_.x, upload_.y, w, h, std::string_view(d).substr(4));
        const std::string path = save(nextName("screen-picture", ".qxp"), d);
        understood("picture " + size + " drawn at " + std::to_string(upload_.x) + "," + std::to_string(upload_.y) +
                   ", kept in " + path);
    } else {
        const int first = upload_.block;
        const int count = static_cast<int>((d.size() + p_.blockSize - 1) / p_.blockSize);
        types_[static_cast<std::size_t>(first)] = 'b';
        for (int b = first + 1; b < first + count; ++b) types_[static_cast<std::size_t>(b)] = 'm';
        contents_[first] = d;
        const std::string path = save(blockFile(first, 'b'), d);
        understood("picture " + size + " stored in flash blocks " + std::to_string(first) + " to " +
                   std::to_string(first + count - 1) + ", kept in " + path);
    }
    toCommand();
}

void Device::fontByte(unsigned char c)
{
    upload_.data += static_cast<char>(c);
    const auto& d = upload_.data;
    if (upload_.expected == 0 && d.size() == kFontLengthBytes) {
        const std::uint64_t len = (static_cast<unsigned char>(d[0]) << 8) | static_cast<unsigned char>(d[1]);
        const std::uint64_t total = kFontLengthBytes + kFontHeader + len;
        if (len == 0 || len > static_cast<std::uint64_t>(p_.fontMemory)) {
            skip(total - kFontLengthBytes, "font of " + std::to_string(len) + " data bytes exceeds the font memory of " +
                                               std::to_string(p_.fontMemory));
            return;
        }
        if (upload_.dest == Dest::Flash) {
            std::string why;
            const int count = static_cast<int>((total + p_.blockSize - 1) / p_.blockSize);
            if (!flashFree(upload_.block, count, why)) {
                skip(total - kFontLengthBytes, "font to flash refused: " + why);
                return;
            }
        }
        upload_.expected = total;
    }
    if (upload_.expected && d.size() == upload_.expected) finishFont();
}

void Device::finishFont()
{
    const auto& d = upload_.data;
    const auto u = [&](std::size_t i) { return static_cast<unsigned>(static_cast<unsigned char>(d[i])); };
    const std::size_t h = kFontLengthBytes;  // header starts after the two length bytes
    unsigned sum = 0;
    for (std::size_t i = h + kFontHeader; i < d.size(); ++i) sum += u(i);
    std::string desc = "font " + std::to_string(u(h + 0)) + " x " + std::to_string(u(h + 1)) + ", " +
                       std::to_string(u(h + 4) ? u(h + 4) : 256) + " characters from " + std::to_string(u(h + 3)) +
                       ", " + std::to_string(d.size() - h - kFontHeader) + " data bytes";
    if (u(h + 5) != u(0) || u(h + 6) != u(1)) desc += " (header length differs from the announced one)";
    if ((sum & 0xFF) != u(h + 7)) desc += " (checksum mismatch)";
    DisplayFont font;
    const bool usable = parseDisplayFont(d, font);
    if (!usable) desc += " (not a 1-bit font of the documented layout: kept, not used)";
    if (upload_.dest == Dest::Screen) {
        if (usable) screen_.setFont(&font);
        const std::string path = save(nextName("display-font", ".qxf"), d);
        understood(desc + " loaded into the display, kept in " + path);
    } else {
        const int first = upload_.block;
        const int count = static_cast<int>((d.size() + p_.blockSize - 1) / p_.blockSize);
        types_[static_cast<std::size_t>(first)] = 'f';
        for (int b = first + 1; b < first + count; ++b) types_[static_cast<std::size_t>(b)] = 'm';
        contents_[first] = d;
        const std::string path = save(blockFile(first, 'f'), d);
        understood(desc + " stored in flash blocks " + std::to_string(first) + " to " +
                   std::to_string(first + count - 1) + ", kept in " + path);
    }
    toCommand();
}

// ---------------------------------------------------------------- block transfer test

void Device::requestBlockTransfer(Clock::time_point now)
{
    if (mode_ != Mode::Command) {
        info("block transfer request ignored: the device is busy");
        return;
    }
    understood("block transfer requested - sending D");
    reply("D", now);
    mode_ = Mode::BlockLength;
    length_ = 0;
    lengthBytes_ = 0;
    lastByte_ = now;
}

// ---------------------------------------------------------------- boot loaders

void Device::enterLoader(Clock::time_point now)
{
    info("restarting into boot loader generation " + std::to_string(p_.loader));
    screen_.clear();
    mode_ = Mode::LoaderStarting;
    modeDeadline_ = now + std::chrono::milliseconds(p_.loaderDelayMs);
    modeDeadlineSet_ = true;
    image_.clear();
    length_ = 0;
    lengthBytes_ = 0;
}

void Device::startApplication(Clock::time_point now, const std::string& why)
{
    info(why + " - starting the application");
    toCommand();
    reply("\r\n" + p_.name + " v" + p_.version + "\r\n", now, p_.loaderDelayMs);
}

void Device::loaderByte(unsigned char c, Clock::time_point now)
{
    switch (mode_) {
    case Mode::V1Prompt:
        recent_ += static_cast<char>(c);
        if (recent_.size() > kRecentMax) recent_.erase(0, recent_.size() - kRecentMax);
        if (endsWith(recent_, p_.loaderAnswer)) {
            understood("loader answer " + printable(p_.loaderAnswer) + " - XMODEM-1K receive started");
            modeDeadlineSet_ = false;
            XmodemReceiver::Settings s;
            s.startInterval = std::chrono::milliseconds(p_.xmodemStartIntervalMs);
            s.startTries = p_.xmodemStartTries;
            s.maxBytes = static_cast<std::size_t>(std::max(p_.firmwareMemory, 0L));
            xmodem_ = std::make_unique<XmodemReceiver>(s);
            mode_ = Mode::V1Xmodem;
            xmodem_->start(now);
            pumpXmodem(now);
        }
        break;
    case Mode::V2Version:
        if (c == 'v') {
            understood("loader version request -> " + std::to_string(p_.loaderVersion));
            reply(std::string(1, static_cast<char>(p_.loaderVersion)), now, 0);
            mode_ = Mode::V2Length;
            length_ = 0;
            lengthBytes_ = 0;
        } else {
            notUnderstood("loader expected \"v\", got " + printable(std::string(1, static_cast<char>(c))));
        }
        break;
    case Mode::V2Length:
        length_ = (length_ << 8) | c;
        if (++lengthBytes_ < 4) break;
        if (length_ <= kLoaderLengthExtra || length_ - kLoaderLengthExtra > static_cast<std::uint64_t>(p_.firmwareMemory)) {
            notUnderstood("loader length " + std::to_string(length_) + " does not fit the firmware memory of " +
                          std::to_string(p_.firmwareMemory) + " -> NAK");
            reply(std::string(1, NAK), now, 0);
            startApplication(now, "upload refused");
            break;
        }
        imageSize_ = length_ - kLoaderLengthExtra;
        image_.clear();
        if (p_.loaderNakChunk == 1) {
            refuseChunk(now);
            break;
        }
        understood("loader length " + std::to_string(length_) + " (image of " + std::to_string(imageSize_) +
                   " bytes) -> ACK");
        reply(std::string(1, ACK), now, 0);
        mode_ = Mode::V2Data;
        break;
    case Mode::V2Data:
        image_ += static_cast<char>(c);
        if (image_.size() == imageSize_) {
            reply(std::string(1, EOT), now, 0);
            const std::string path = save(nextName("firmware-v2", ".bin"), image_);
            understood("firmware image of " + std::to_string(imageSize_) + " bytes received -> EOT, kept in " + path);
            updated_ = true;
            startApplication(now, "update complete");
        } else if (image_.size() % kLoaderChunk == 0) {
            if (static_cast<int>(image_.size() / kLoaderChunk) + 1 == p_.loaderNakChunk)
                refuseChunk(now);
            else
                reply(std::string(1, ACK), now, 0);
        }
        break;
    default:
        break;
    }
}

void Device::refuseChunk(Clock::time_point now)
{
    // NAK where the ACK asking for the chunk would be; the sender gives up
    // and the loader restarts the application.
    notUnderstood("loader refuses chunk " + std::to_string(p_.loaderNakChunk) + " (after " +
                  std::to_string(image_.size()) + " of " + std::to_string(imageSize_) + " bytes) -> NAK");
    reply(std::string(1, NAK), now, 0);
    startApplication(now, "upload refused");
}

void Device::pumpXmodem(Clock::time_point now)
{
    reply(xmodem_->takeOutput(), now, 0);
    switch (xmodem_->state()) {
    case XmodemReceiver::State::Done: {
        const std::string path = save(nextName("firmware-v1", ".bin"), xmodem_->data());
        understood("firmware image of " + std::to_string(xmodem_->data().size()) + " bytes (" +
                   std::to_string(xmodem_->blocks()) + " blocks) received, kept in " + path);
        updated_ = true;
        startApplication(now, "update complete");
        break;
    }
    case XmodemReceiver::State::Failed:
        notUnderstood("XMODEM receive failed: " + xmodem_->failure());
        startApplication(now, "update failed");
        break;
    default:
        break;
    }
}

// ---------------------------------------------------------------- screen

bool Device::writeScreenPng(const std::string& path)
{
    std::string error;
    if (!writeFileAtomic(path, encodePng(screen_.width(), screen_.height(), screen_.pixels()), &error)) {
        info("could not write the screen: " + error);
        return false;
    }
    info("screen written to " + path);
    return true;
}

}  // namespace devsim
