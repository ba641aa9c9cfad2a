// Types and constants that the pieces of the port component and its users share: the line setting
// enumerations, event, error, purge and modem status bits, the queue status, the line settings as a
// device takes them, and the fixed-capacity byte queue.
#pragma once

#include "VaClasses.h"

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cstring>
#include <vector>

using PVaData = const uint8_t*;

enum TVaBaudrate {
    brUser, br110, br300, br600, br1200, br2400, br4800, br9600, br14400, br19200, br38400, br56000,
    br57600, br115200, br128000, br256000
};
enum TVaParity { paNone, paOdd, paEven, paMark, paSpace };
enum TVaDatabits { db4, db5, db6, db7, db8 };
enum TVaStopbits { sb1, sb15, sb2 };
enum TVaCommOption { coErrorChar, coNullStrip, coParityCheck };
using TVaCommOptions = TVaSet<TVaCommOption>;
enum TVaCommEvent {
    ceBreak, ceCts, ceDsr, ceError, ceRing, ceRlsd, ceRxChar, ceTxEmpty, ceRxFlag, cePErr, ceRx80Full,
    ceEvent1, ceEvent2
};
using TVaCommEvents = TVaSet<TVaCommEvent>;

// Event bits of a batch (the values of the desktop serial API, which callers compare against).
constexpr uint32_t EV_RXCHAR = 0x0001;
constexpr uint32_t EV_RXFLAG = 0x0002;
constexpr uint32_t EV_TXEMPTY = 0x0004;
constexpr uint32_t EV_CTS = 0x0008;
constexpr uint32_t EV_DSR = 0x0010;
constexpr uint32_t EV_RLSD = 0x0020;
constexpr uint32_t EV_BREAK = 0x0040;
constexpr uint32_t EV_ERR = 0x0080;
constexpr uint32_t EV_RING = 0x0100;
constexpr uint32_t EV_PERR = 0x0200;
constexpr uint32_t EV_RX80FULL = 0x0400;
constexpr uint32_t EV_EVENT1 = 0x0800;
constexpr uint32_t EV_EVENT2 = 0x1000;
uint32_t VaEventBit(TVaCommEvent event);

// Line error flags reported by GetStatistics.
constexpr uint32_t CE_RXOVER = 0x0001;
constexpr uint32_t CE_OVERRUN = 0x0002;
constexpr uint32_t CE_RXPARITY = 0x0004;
constexpr uint32_t CE_FRAME = 0x0008;
constexpr uint32_t CE_BREAK = 0x0010;

// Purge flags.
constexpr uint32_t PURGE_TXABORT = 0x0001;
constexpr uint32_t PURGE_RXABORT = 0x0002;
constexpr uint32_t PURGE_TXCLEAR = 0x0004;
constexpr uint32_t PURGE_RXCLEAR = 0x0008;

// Modem status bits.
constexpr uint32_t MS_CTS_ON = 0x0010;
constexpr uint32_t MS_DSR_ON = 0x0020;
constexpr uint32_t MS_RING_ON = 0x0040;
constexpr uint32_t MS_RLSD_ON = 0x0080;

// Queue status of the port.
struct TVaComStat {
    uint32_t Flags = 0;
    uint32_t cbInQue = 0;  // received bytes waiting to be read
    uint32_t cbOutQue = 0; // bytes queued for sending and not yet handed to the driver
};

// The line settings a device is given, and reads back.
struct VaLineSettings {
    int32_t baudrate = 9600;
    int dataBits = 8;   // 5 to 8
    int parity = 0;     // 0 none, 1 odd, 2 even, 3 mark, 4 space
    int stopBits = 0;   // 0 one, 1 one and a half, 2 two
    bool ctsFlow = false;
    bool xonXoffOut = false;
    bool xonXoffIn = false;
    bool parityCheck = false;
    uint8_t xonChar = 17;
    uint8_t xoffChar = 19;
};

// Running counts of modem-line changes and line errors since the device was set up.
struct VaLineCounters {
    int cts = 0, dsr = 0, rng = 0, dcd = 0;
    int frame = 0, overrun = 0, parity = 0, brk = 0, bufOverrun = 0;
};

// A fixed-capacity byte queue. It does not check its capacity: whoever appends checks the room first.
class TVaCommBuffer {
public:
    explicit TVaCommBuffer(int32_t capacity) : data_(static_cast<size_t>(std::max(capacity, 0))) {}
    void Clear() { size_.store(0, std::memory_order_relaxed); }
    void Append(const void* source, int32_t count)
    {
        const int32_t size = size_.load(std::memory_order_relaxed);
        if (count > 0)
            std::memcpy(data_.data() + size, source, static_cast<size_t>(count));
        size_.store(size + count, std::memory_order_release);
    }
    void Peek(void* dest, int32_t count) const
    {
        if (count > 0)
            std::memcpy(dest, data_.data(), static_cast<size_t>(count));
    }
    void Extract(void* dest, int32_t count)
    {
        Peek(dest, count);
        Remove(count);
    }
    void Remove(int32_t count)
    {
        const int32_t size = size_.load(std::memory_order_relaxed);
        if (count <= 0)
            return;
        std::memmove(data_.data(), data_.data() + count, static_cast<size_t>(size - count));
        size_.store(size - count, std::memory_order_release);
    }
    // The number of held bytes; one atomic word, so it may be read without a lock.
    int32_t Size() const { return size_.load(std::memory_order_acquire); }
    int32_t Capacity() const { return static_cast<int32_t>(data_.size()); }
    const uint8_t* Data() const { return data_.data(); }

private:
    std::vector<uint8_t> data_;
    std::atomic<int32_t> size_{0};
};
