#include "Values.h"

#include "IniFile.h"
#include "Latin1.h"

#include <QComboBox>

#include <algorithm>
#include <cctype>

int strToInt(const std::string& text)
{
    int32_t v;
    if (!parseInteger(text, v))
        throw EConvertError("'" + text + "' is not a valid integer value");
    return v;
}

bool containsNoCase(const std::string& text, const std::string& part)
{
    const auto it = std::search(text.begin(), text.end(), part.begin(), part.end(), [](char a, char b) {
        return std::tolower(static_cast<unsigned char>(a)) == std::tolower(static_cast<unsigned char>(b));
    });
    return it != text.end();
}

std::string stripComment(const std::string& text, const std::string& marker)
{
    std::string out = marker.empty() ? text : text.substr(0, text.find(marker));
    while (!out.empty() && static_cast<unsigned char>(out.back()) <= ' ')
        out.pop_back();
    return out;
}

std::string getField(const std::string& text, int n, char separator)
{
    const std::string clean = stripComment(text, ";");
    if (n <= 0)
        return clean;
    size_t start = 0;
    for (int i = 1; i < n; ++i) {
        const size_t sep = clean.find(separator, start);
        if (sep == std::string::npos)
            return {};
        start = sep + 1;
    }
    const size_t end = clean.find(separator, start);
    return clean.substr(start, end == std::string::npos ? std::string::npos : end - start);
}

std::string decodeEscapes(const std::string& text)
{
    std::string out;
    out.reserve(text.size());
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '#') {
            out += text[i];
            continue;
        }
        const auto digit = [&](size_t k) { return k < text.size() && text[k] >= '0' && text[k] <= '9'; };
        if (!digit(i + 1) || !digit(i + 2))
            throw EConvertError("'" + text.substr(i, 3) + "' in '" + text
                                + "' is not a valid character code (\"#\" needs two decimal digits)");
        out += static_cast<char>((text[i + 1] - '0') * 10 + (text[i + 2] - '0'));
        i += 2;
    }
    return out;
}

std::string saveFileList(const std::vector<std::string>& entries)
{
    std::string value;
    const size_t first = entries.size() > 8 ? entries.size() - 8 : 0;
    for (size_t i = first; i < entries.size(); ++i)
        value += entries[i] + ",";
    return value;
}

std::vector<std::string> loadFileList(const std::string& value)
{
    std::vector<std::string> entries;
    for (int n = 1; n <= 8; ++n) {
        std::string entry = getField(value, n, ',');
        if (entry.empty())
            break;
        entries.push_back(std::move(entry));
    }
    return entries;
}

void loadFileList(const TIniFile& ini, QComboBox* box, const std::string& section, const std::string& key)
{
    for (const auto& entry : loadFileList(ini.ReadString(section, key, "none")))
        box->addItem(latin1(entry));
    box->setCurrentIndex(box->count() - 1);
}

void saveFileList(TIniFile& ini, const QComboBox* box, const std::string& section, const std::string& key)
{
    std::vector<std::string> entries;
    for (int i = 0; i < box->count(); ++i)
        entries.push_back(bytes(box->itemText(i)));
    ini.WriteString(section, key, saveFileList(entries));
}
