// The value routines of the settings file and the device catalogue: integer conversion with the
// program's error text, ";" comments, comma-separated fields, the "#" character-code notation and
// the file-list values.
#pragma once

#include <stdexcept>
#include <string>
#include <vector>

class QComboBox;
class TIniFile;

// The number conversion error: "'%s' is not a valid integer value".
class EConvertError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// Converts a decimal (or $/0x hexadecimal) text; raises EConvertError naming the text otherwise.
int strToInt(const std::string& text);

// True when text holds part, letters compared without regard to their case.
bool containsNoCase(const std::string& text, const std::string& part);

// Cuts the text at the first occurrence of marker (when there is one), then removes trailing
// blanks and control characters.
std::string stripComment(const std::string& text, const std::string& marker);

// Field n (counting from 1) of the comment-free text (stripComment with ";"): the text between two
// separators, or before the first, or after the last; unchanged, not trimmed. A field beyond the
// last is empty; n <= 0 gives the whole comment-free text.
std::string getField(const std::string& text, int n, char separator = ',');

// Copies the text, turning "#" and the two decimal digits after it into the character of that
// code ("#13" is CR, "#44" a comma). A "#" without two decimal digits after it raises
// EConvertError naming the text, so that nothing half-decoded is ever sent.
std::string decodeEscapes(const std::string& text);

// A file-list value: up to 8 entries, oldest first, each followed by a comma. Only the last 8
// entries are stored.
std::string saveFileList(const std::vector<std::string>& entries);
// Reads a file-list value: fields 1 to 8 of it (getField with ","), up to the first empty one.
std::vector<std::string> loadFileList(const std::string& value);

// The same on a list selector and a key of an INI file. Loading appends the entries of the key
// (default "none") to the selector's entries and selects the last entry; saving writes the
// selector's last 8 entries.
void loadFileList(const TIniFile& ini, QComboBox* box, const std::string& section, const std::string& key);
void saveFileList(TIniFile& ini, const QComboBox* box, const std::string& section, const std::string& key);
