// Value routines shared by the windows: integer conversion with the program's error text and the
// file-list values of the settings file.
#pragma once

#include <stdexcept>
#include <string>
#include <vector>

// The number conversion error: "'%s' is not a valid integer value".
class EConvertError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// Converts a decimal (or $/0x hexadecimal) text; raises EConvertError naming the text otherwise.
int strToInt(const std::string& text);

// A file-list value: up to 8 entries, oldest first, each followed by a comma. Only the last 8
// entries are stored.
std::string saveFileList(const std::vector<std::string>& entries);
// Reads a file-list value: the text from the first ";" on is ignored, trailing blanks removed, and
// entries 1 to 8 taken in order up to the first empty one.
std::vector<std::string> loadFileList(const std::string& value);
