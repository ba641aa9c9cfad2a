// The binary file send: any file goes out unchanged, byte for byte, each byte only while the
// device asserts CTS.
#pragma once

class QString;
class TToolContext;

class TBinarySend {
public:
    explicit TBinarySend(TToolContext& context) : context_(context) {}

    // Sends the file at path (the current file); an empty path is refused with a message.
    void SendBinaryFile(const QString& path);

private:
    TToolContext& context_;
};
