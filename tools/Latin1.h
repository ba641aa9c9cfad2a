// Byte strings and Qt texts: every byte is one character (Latin-1), so nothing is lost either way.
#pragma once

#include <QString>

#include <string>

inline QString latin1(const std::string& s)
{
    return QString::fromLatin1(s.data(), static_cast<qsizetype>(s.size()));
}

inline std::string bytes(const QString& s)
{
    const QByteArray b = s.toLatin1();
    return std::string(b.constData(), static_cast<size_t>(b.size()));
}
