// The one piece of the port that touches the device: a transport opens it, moves bytes, applies
// line settings and works the modem lines. The port, its event and write threads and its read
// leases reach the device only through this interface and wait on the transport's wait handle, so
// a new kind of port (a TCP connection speaking RFC 2217 or raw bytes) is a new transport and
// nothing else. Which transport serves a port is decided by its name (VaMakeTransport).
//
// Except where said otherwise an operation returns 0 or the errno of its failure; VaErrorKindOf
// tells what such an errno means.
#pragma once

#include "VaCommTypes.h"

#include <cstddef>
#include <memory>
#include <string>
#include <vector>

// The outcome of opening a transport: opened, or the kind of failure, its errno (0 where the
// failure has none, as a host name that does not resolve) and, where the errno's text would not
// say what happened, the failure in words ("Port already in use").
struct TVaOpenResult {
    bool ok = true;
    TVaErrorKind kind = ekOther;
    int error = 0;
    std::string detail;
    static TVaOpenResult Failure(TVaErrorKind kind, int error, std::string detail = {})
    {
        return {false, kind, error, std::move(detail)};
    }
};

enum TVaIoState {
    ioData,    // count bytes were moved (a write of nothing moves 0)
    ioNothing, // nothing to read now, or no room to write now: wait on the wait handle
    ioGone,    // the device has gone for good (error: its errno, 0 for an end of file)
    ioFailed   // this write failed (error); a later one may succeed
};

struct TVaIoResult {
    TVaIoState state = ioData;
    size_t count = 0;
    int error = 0;
};

// How changes of the modem lines and the line error counters become known.
enum TVaChangeNotice {
    cnNone,    // nothing to watch: no modem lines, no counters
    cnPolled,  // the event thread looks at them a few times a second while such events are watched
    cnNotified // the change descriptor becomes readable; AcknowledgeChange after each look
};

// What a kind of port can do at all. A transport that lacks something accepts the request and
// does nothing, so the program can tell the user once where it matters instead of failing.
struct TVaPortCaps {
    bool modemLines = false;   // DTR, RTS out and CTS, DSR, RING, RLSD in are real
    bool lineSettings = false; // rate, character format and flow control reach a line
    bool breakSignal = false;  // a break can be sent
    bool lineCounters = false; // line error and modem-line change counters exist
};

class TVaTransport {
public:
    virtual ~TVaTransport() = default;

    // Opens the device named path for exclusive use by this transport.
    virtual TVaOpenResult Open(const std::string& path) = 0;
    // Closes the device; nothing when it is not open. Nobody may be using the transport then.
    virtual void Close() = 0;
    virtual TVaPortCaps Capabilities() const = 0;

    // Readable when Read may have something (also when the device has gone), writable when Write
    // may take more. Read may still find nothing after the handle was readable: a remote transport
    // may have read protocol commands only.
    virtual int WaitHandle() const = 0;
    // Never blocks.
    virtual TVaIoResult Read(void* data, size_t size) = 0;
    virtual TVaIoResult Write(const void* data, size_t size) = 0;

    // Sets the line up as wanted and reports what it really took (a remote server may have chosen
    // another rate; a pseudo-terminal keeps 8 data bits without parity).
    virtual int ApplyLineSettings(const VaLineSettings& wanted, VaLineSettings& taken) = 0;

    // MS_* bits of the input lines. Without modem lines the port is a three-wire cable: CTS and
    // DSR on, RING and RLSD off.
    virtual int ModemStatus(uint32_t& bits) = 0;
    // Raises (on) or lowers DTR (dtr) or RTS (!dtr).
    virtual int SetModemLine(bool dtr, bool on) = 0;
    virtual TVaChangeNotice ChangeNotice() = 0;
    // With cnNotified: a descriptor that becomes readable when the lines or counters change, for
    // instance because a remote transport read a line-state report in the data stream.
    virtual int ChangeDescriptor() { return -1; }
    virtual void AcknowledgeChange() {}
    // With Capabilities().lineCounters; otherwise it leaves counters as they are and returns 0.
    virtual int LineCounters(VaLineCounters& counters) = 0;

    virtual int SetBreak(bool on) = 0;
    // Discards what waits in the driver's input and/or output queue.
    virtual int Purge(bool input, bool output) = 0;
    // Bytes received and not read yet / written and not yet sent, as far as the driver knows.
    virtual int InputCount(size_t& count) = 0;
    virtual int OutputCount(size_t& count) = 0;

    // What the user should be told about the port since the last call, once each: a server that
    // chose another rate or did not confirm a change, lines that a kind of port lacks. A transport
    // that adds a notice from a thread of its own makes its ChangeDescriptor readable.
    virtual std::vector<std::string> TakeNotices() { return {}; }
};

// Access to the modem-control lines of a local tty in place of its own (tests: a fake device that
// holds CTS low or rings, which a pseudo-terminal cannot do).
class TVaModemLines {
public:
    virtual ~TVaModemLines() = default;
    // Current MS_* bits of fd; false with errno set when the query fails.
    virtual bool Status(int fd, uint32_t& bits) = 0;
    // Raises (on) or lowers DTR (dtr) or RTS (!dtr); false with errno set on failure.
    virtual bool Drive(int fd, bool dtr, bool on) = 0;
    // Whether the line states must be polled for changes (real modem lines without notification).
    virtual bool NeedsPolling(int fd) = 0;
    // A descriptor that becomes readable when the lines change, or -1.
    virtual int ChangeDescriptor() { return -1; }
    // Called after the event thread has seen ChangeDescriptor readable.
    virtual void AcknowledgeChange() {}
};

// The transport for a port name: a remote port for "rfc2217://" and "socket://" URLs, a local tty
// for a device path. modemLines, when given, replaces a local tty's own modem lines. nullptr when
// no transport serves such a name (a scheme "xyz://" that none knows).
std::unique_ptr<TVaTransport> VaMakeTransport(const std::string& path, std::shared_ptr<TVaModemLines> modemLines);
