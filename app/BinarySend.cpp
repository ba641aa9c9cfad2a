#include "BinarySend.h"

#include "Latin1.h"
#include "Messages.h"
#include "TextSend.h"
#include "ToolContext.h"

#include <QFile>
#include <QString>

#include <algorithm>
#include <cstdint>
#include <stdexcept>

void TBinarySend::SendBinaryFile(const QString& path)
{
    if (path.isEmpty()) {
        showMessage(" ** no File selected to send **");
        return;
    }
    if (context_.refuseWhileBusy() || !portOpenForSend(context_))
        return;
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        throw std::runtime_error(bytes("Cannot open file \"" + path + "\". " + file.errorString()));
    TBusyGuard busy(context_, static_cast<int>(std::min<qint64>(file.size(), INT32_MAX)));
    // The device paces the send with CTS.
    const size_t sent = sendCtsPaced(context_, busy, [&file](char& byte) { return file.getChar(&byte); });
    if (file.error() != QFileDevice::NoError)
        throw std::runtime_error(bytes("Read error: " + file.errorString()));
    if (context_.deviceGone() && sent < static_cast<size_t>(file.size()))
        context_.addStatus("Binary send stopped after " + std::to_string(sent) + " of " + std::to_string(file.size())
                               + " bytes\n",
                           fsPlain, kErrorRed);
}
