#include "profile.h"

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <fstream>
#include <sstream>

namespace devsim {

namespace {

std::string lower(std::string s)
{
    std::transform(s.begin(), s.end(), s.begin(), [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return s;
}

std::string trim(const std::string& s)
{
    std::size_t b = 0;
    std::size_t e = s.size();
    while (b < e && std::isspace(static_cast<unsigned char>(s[b]))) ++b;
    while (e > b && std::isspace(static_cast<unsigned char>(s[e - 1]))) --e;
    return s.substr(b, e - b);
}

bool parseLong(const std::string& text, long& out)
{
    const std::string t = trim(text);
    if (t.empty()) return false;
    char* end = nullptr;
    const long v = std::strtol(t.c_str(), &end, 10);
    if (*end != '\0') return false;
    out = v;
    return true;
}

}  // namespace

bool IniFile::load(const std::string& path, std::string* error)
{
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        if (error) *error = "cannot read " + path;
        return false;
    }
    std::ostringstream ss;
    ss << in.rdbuf();
    parse(ss.str());
    return true;
}

void IniFile::parse(const std::string& text)
{
    std::string section;
    std::istringstream in(text);
    std::string line;
    while (std::getline(in, line)) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        const std::string t = trim(line);
        if (t.empty() || t[0] == ';' || t[0] == '#') continue;
        if (t[0] == '[') {
            const auto close = t.find(']');
            section = lower(trim(t.substr(1, close == std::string::npos ? std::string::npos : close - 1)));
            continue;
        }
        const auto eq = t.find('=');
        if (eq == std::string::npos) continue;
        // Values keep inner blanks; only the blanks around the "=" go.
        values_[section + "\n" + lower(trim(t.substr(0, eq)))] = trim(t.substr(eq + 1));
    }
}

std::string IniFile::get(const std::string& section, const std::string& key, const std::string& def) const
{
    const auto it = values_.find(lower(section) + "\n" + lower(key));
    return it == values_.end() ? def : it->second;
}

long IniFile::getInt(const std::string& section, const std::string& key, long def) const
{
    long v = def;
    if (!parseLong(get(section, key, ""), v)) return def;
    return v;
}

bool IniFile::has(const std::string& section, const std::string& key) const
{
    return values_.count(lower(section) + "\n" + lower(key)) != 0;
}

std::string decodeEscapes(const std::string& text)
{
    std::string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '#' && i + 2 < text.size() &&
            std::isdigit(static_cast<unsigned char>(text[i + 1])) &&
            std::isdigit(static_cast<unsigned char>(text[i + 2]))) {
            out += static_cast<char>(((text[i + 1] - '0') * 10 + (text[i + 2] - '0')) & 0xFF);
            i += 2;
        } else {
            out += text[i];
        }
    }
    return out;
}

std::vector<std::string> splitFields(const std::string& text, char sep)
{
    std::vector<std::string> out;
    std::string cur;
    for (char c : text) {
        if (c == sep) {
            out.push_back(cur);
            cur.clear();
        } else {
            cur += c;
        }
    }
    out.push_back(cur);
    return out;
}

void applyIni(const IniFile& ini, Profile& p)
{
    auto text = [&](const char* sec, const char* key, std::string& v) { v = ini.get(sec, key, v); };
    auto num = [&](const char* sec, const char* key, auto& v) {
        v = static_cast<std::remove_reference_t<decltype(v)>>(ini.getInt(sec, key, static_cast<long>(v)));
    };

    text("Device", "Name", p.name);
    text("Device", "Version", p.version);
    const std::string type = lower(ini.get("Device", "Type", p.type == DeviceType::Asi ? "ASI" : "VT100"));
    p.type = type == "asi" ? DeviceType::Asi : DeviceType::Vt100;
    text("Device", "Address", p.address);
    p.terminator = ini.get("Device", "Terminator", p.type == DeviceType::Asi ? ">" : p.terminator);
    if (ini.has("Device", "Init")) {
        p.init.clear();
        for (const auto& f : splitFields(ini.get("Device", "Init", "")))
            if (!f.empty()) p.init.push_back(decodeEscapes(f));
    }
    if (ini.has("Device", "IDstring")) p.idString = decodeEscapes(ini.get("Device", "IDstring", ""));
    if (ini.has("Device", "IDanswer")) p.idAnswer = decodeEscapes(ini.get("Device", "IDanswer", ""));
    if (ini.has("Device", "Banner")) p.banner = decodeEscapes(ini.get("Device", "Banner", ""));
    num("Device", "BannerDelayMs", p.bannerDelayMs);
    p.bannerDelayMs = std::max(p.bannerDelayMs, 0L);
    p.echo = ini.getInt("Device", "Echo", p.echo) != 0;
    p.startAsleep = ini.getInt("Device", "StartAsleep", p.startAsleep) != 0;
    // LineAck: the code of the character that acknowledges a text line; empty,
    // "off" or a value outside 0 to 255 turns the acknowledgement off.
    if (ini.has("Device", "LineAck")) {
        long ack = -1;
        if (!parseLong(ini.get("Device", "LineAck", ""), ack) || ack < 0 || ack > 255) ack = -1;
        p.lineAck = static_cast<int>(ack);
    }

    num("Line", "Baud", p.baud);
    num("Line", "DataBits", p.dataBits);
    num("Line", "StopBits", p.stopBits);
    const std::string parity = ini.get("Line", "Parity", std::string(1, p.parity));
    if (!parity.empty()) p.parity = static_cast<char>(std::toupper(static_cast<unsigned char>(parity[0])));
    p.speedCheck = lower(ini.get("Line", "SpeedCheck", p.speedCheck));

    num("Display", "Width", p.width);
    num("Display", "Height", p.height);
    num("Display", "PictureMemory", p.pictureMemory);
    num("Display", "FontMemory", p.fontMemory);
    p.width = std::clamp(p.width, 8, 4096);
    p.height = std::clamp(p.height, 8, 4096);

    num("Flash", "Blocks", p.blocks);
    num("Flash", "BlockSize", p.blockSize);
    p.blocks = std::clamp(p.blocks, 1, 100000);
    p.blockSize = std::max(p.blockSize, 1L);
    // "Types" lists "block:code" or "first-last:code" items, e.g. "0:b,1-3:m,10:f".
    for (const auto& item : splitFields(ini.get("Flash", "Types", ""))) {
        const auto colon = item.find(':');
        if (colon == std::string::npos || colon + 1 >= item.size()) continue;
        const std::string range = trim(item.substr(0, colon));
        const char code = trim(item.substr(colon + 1)).empty() ? '0' : trim(item.substr(colon + 1))[0];
        long first = 0;
        long last = 0;
        const auto dash = range.find('-');
        if (dash == std::string::npos) {
            if (!parseLong(range, first)) continue;
            last = first;
        } else if (!parseLong(range.substr(0, dash), first) || !parseLong(range.substr(dash + 1), last)) {
            continue;
        }
        for (long b = std::max(first, 0L); b <= last && b < p.blocks; ++b) p.blockTypes[static_cast<int>(b)] = code;
    }

    if (ini.has("Flash", "OutOfRange")) p.outOfRange = trim(ini.get("Flash", "OutOfRange", "")).substr(0, 1);

    text("Touch", "X", p.touchX);
    text("Touch", "Y", p.touchY);
    // "Points" lists "x:y" items that successive touch requests answer in turn.
    if (ini.has("Touch", "Points")) {
        p.touchPoints.clear();
        for (const auto& item : splitFields(ini.get("Touch", "Points", ""))) {
            const auto colon = item.find(':');
            if (colon == std::string::npos) continue;
            p.touchPoints.emplace_back(trim(item.substr(0, colon)), trim(item.substr(colon + 1)));
        }
    }

    num("Loader", "Generation", p.loader);
    text("Loader", "Entry", p.loaderEntry);
    // The second-generation loader greets with "DDD" unless the profile says otherwise.
    if (ini.has("Loader", "Prompt"))
        p.loaderPrompt = decodeEscapes(ini.get("Loader", "Prompt", ""));
    else if (p.loader == 2)
        p.loaderPrompt = "DDD";
    text("Loader", "Answer", p.loaderAnswer);
    num("Loader", "Version", p.loaderVersion);
    num("Loader", "FirmwareMemory", p.firmwareMemory);
    num("Loader", "StartIntervalMs", p.xmodemStartIntervalMs);
    num("Loader", "StartTries", p.xmodemStartTries);
    num("Loader", "PromptMs", p.loaderPromptMs);
    num("Loader", "NakChunk", p.loaderNakChunk);
    p.reenumerate = trim(ini.get("Loader", "Reenumerate", p.reenumerate ? "1" : "0")) == "1";
    p.loaderNakChunk = std::max(p.loaderNakChunk, 0);
    if (p.loader < 0 || p.loader > 2 || p.loaderEntry.empty()) p.loader = 0;

    num("Unplug", "AfterMs", p.unplugAfterMs);
    num("Unplug", "AwayMs", p.awayMs);
    p.unplugAfterMs = std::max(p.unplugAfterMs, 0L);
    p.awayMs = std::max(p.awayMs, 0L);

    num("Timing", "IdleTimeoutMs", p.idleTimeoutMs);
    num("Timing", "ReplyDelayMs", p.replyDelayMs);
    num("Timing", "LoaderDelayMs", p.loaderDelayMs);
    p.idleTimeoutMs = std::max(p.idleTimeoutMs, 10L);
    p.replyDelayMs = std::max(p.replyDelayMs, 0L);
    p.loaderDelayMs = std::max(p.loaderDelayMs, 0L);
    p.xmodemStartIntervalMs = std::max(p.xmodemStartIntervalMs, 10L);

    num("BlockTest", "Memory", p.blockTestMemory);
    p.blockTestNak = lower(trim(ini.get("BlockTest", "Answer", p.blockTestNak ? "NAK" : "ACK"))) == "nak";
    text("BlockTest", "Trigger", p.blockTestTrigger);
    num("BlockTest", "TriggerDelayMs", p.blockTestTriggerDelayMs);
    p.blockTestTriggerDelayMs = std::max(p.blockTestTriggerDelayMs, 0L);

    text("Flood", "Trigger", p.floodTrigger);
    long megabytes = p.floodBytes / 1000000;
    num("Flood", "Megabytes", megabytes);
    p.floodBytes = std::clamp(megabytes, 0L, 10000L) * 1000000;
    long lineLength = p.floodLineLength;
    num("Flood", "LineLength", lineLength);
    p.floodLineLength = static_cast<int>(std::clamp(lineLength, 24L, 4096L));
    long rateKB = p.floodRate / 1000;
    num("Flood", "RateKB", rateKB);
    p.floodRate = std::clamp(rateKB, 0L, 10000000L) * 1000;
}

bool loadProfile(const std::string& path, Profile& profile, std::string* error)
{
    IniFile ini;
    if (!ini.load(path, error)) return false;
    applyIni(ini, profile);
    return true;
}

}  // namespace devsim
