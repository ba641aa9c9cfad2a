#include "Values.h"

#include "IniFile.h"

int strToInt(const std::string& text)
{
    int32_t v;
    if (!parseInteger(text, v))
        throw EConvertError("'" + text + "' is not a valid integer value");
    return v;
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
    std::string text = value.substr(0, value.find(';'));
    while (!text.empty() && (text.back() == ' ' || text.back() == '\t'))
        text.pop_back();
    std::vector<std::string> entries;
    size_t start = 0;
    while (entries.size() < 8 && start < text.size()) {
        size_t comma = text.find(',', start);
        if (comma == std::string::npos)
            comma = text.size();
        std::string entry = text.substr(start, comma - start);
        if (entry.empty())
            break;
        entries.push_back(std::move(entry));
        start = comma + 1;
    }
    return entries;
}
