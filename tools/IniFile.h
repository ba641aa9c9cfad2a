// A small INI file reader and writer with the rules of the desktop profile functions the settings
// rely on: section and key names compare without letter case, a missing key gives the caller's
// default, every read sees the file as it is now, every write lands at once (atomically), and
// lines this class does not understand are kept as they are.
#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

// Raised when a value cannot be written.
class EIniFileError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

class TIniFile {
public:
    explicit TIniFile(std::string path) : path_(std::move(path)) {}

    const std::string& FileName() const { return path_; }

    std::string ReadString(const std::string& section, const std::string& key, const std::string& def) const;
    // Decimal, or hexadecimal after 0x, 0X or $; a missing or unreadable value gives def.
    int32_t ReadInteger(const std::string& section, const std::string& key, int32_t def) const;
    // Read as an integer: any value other than 0 is true.
    bool ReadBool(const std::string& section, const std::string& key, bool def) const;
    bool KeyExists(const std::string& section, const std::string& key) const;
    // Why the file cannot be read (its values then read as defaults and it is never written);
    // empty when it can, or does not exist.
    std::string Unreadable() const;

    // Each write replaces the file atomically; raises EIniFileError when it cannot, and for a
    // section, key or value holding CR, LF or NUL (the file is then left as it is).
    void WriteString(const std::string& section, const std::string& key, const std::string& value);
    void WriteInteger(const std::string& section, const std::string& key, int32_t value);
    void WriteBool(const std::string& section, const std::string& key, bool value);

private:
    enum class Load { Missing, Ok, Unusable };
    // Reads the file into lines; an unreadable or binary file is Unusable: it reads as empty and is
    // never replaced.
    Load LoadLines(std::vector<std::string>& lines, std::string& eol, std::string* why = nullptr) const;
    bool Find(const std::string& section, const std::string& key, std::string& value) const;

    std::string path_;
};

// Reads an integer as the settings do: optional blanks, optional sign, decimal digits or a
// hexadecimal number after 0x, 0X or $, nothing after it. Returns false when the text is not one.
bool parseInteger(const std::string& text, int32_t& value);
