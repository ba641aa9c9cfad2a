// A local tty as a transport: a USB adapter, an on-board UART or a pseudo-terminal, on top of the
// Linux calls of VaLinux.
#pragma once

#include "VaTransport.h"

class TVaTtyTransport : public TVaTransport {
public:
    // modemLines, when given, stands in for the tty's own modem-control lines.
    explicit TVaTtyTransport(std::shared_ptr<TVaModemLines> modemLines = nullptr);
    ~TVaTtyTransport() override;
    TVaTtyTransport(const TVaTtyTransport&) = delete;
    TVaTtyTransport& operator=(const TVaTtyTransport&) = delete;

    TVaOpenResult Open(const std::string& path) override;
    void Close() override;
    TVaPortCaps Capabilities() const override { return caps_; }
    int WaitHandle() const override { return fd_; }
    TVaIoResult Read(void* data, size_t size) override;
    TVaIoResult Write(const void* data, size_t size) override;
    int ApplyLineSettings(const VaLineSettings& wanted, VaLineSettings& taken) override;
    int ModemStatus(uint32_t& bits) override;
    int SetModemLine(bool dtr, bool on) override;
    TVaChangeNotice ChangeNotice() override;
    int ChangeDescriptor() override;
    void AcknowledgeChange() override;
    int LineCounters(VaLineCounters& counters) override;
    int SetBreak(bool on) override;
    int Purge(bool input, bool output) override;
    int InputCount(size_t& count) override;
    int OutputCount(size_t& count) override;

private:
    const std::shared_ptr<TVaModemLines> lines_;
    int fd_ = -1;
    TVaPortCaps caps_;
};
