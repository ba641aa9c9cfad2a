#include "VaTtyTransport.h"
#include "VaLinux.h"

#include <cerrno>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

namespace {

// A pseudo-terminal answers the modem-line calls with ENOTTY (older kernels: EINVAL).
bool NoModemLines(int error)
{
    return error == ENOTTY || error == EINVAL;
}

constexpr uint32_t kThreeWire = MS_CTS_ON | MS_DSR_ON;

int ErrnoUnless(bool ok)
{
    return ok ? 0 : errno;
}

} // namespace

TVaTtyTransport::TVaTtyTransport(std::shared_ptr<TVaModemLines> modemLines) : lines_(std::move(modemLines)) {}

TVaTtyTransport::~TVaTtyTransport()
{
    Close();
}

TVaOpenResult TVaTtyTransport::Open(const std::string& path)
{
    Close();
    const int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        const int error = errno;
        // A device node with nothing behind it (a ttyS without a UART) is no device either.
        return TVaOpenResult::Failure(error == ENXIO || error == ENODEV ? ekNotFound : VaErrorKindOf(error), error);
    }
    // Exclusive use: the lock keeps out every other opener that locks too (this program, most
    // terminal programs), root included; TIOCEXCL keeps out other unprivileged openers.
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        const int error = errno;
        ::close(fd);
        return TVaOpenResult::Failure(VaErrorKindOf(error), error);
    }
    (void)::ioctl(fd, TIOCEXCL); // not every device knows it; the lock is what counts
    // A tty without modem lines stays without them: remember it rather than ask each time (the
    // binary send asks for CTS before every byte). Such a tty (a pseudo-terminal) takes a break
    // request and does nothing with it.
    uint32_t status;
    const bool wired = !NoModemLines(VaGetModemStatus(fd, status));
    VaLineCounters counters;
    caps_.modemLines = lines_ != nullptr || wired;
    caps_.lineSettings = true;
    caps_.breakSignal = wired;
    caps_.lineCounters = VaGetLineCounters(fd, counters) == 0;
    fd_ = fd;
    return {};
}

void TVaTtyTransport::Close()
{
    if (fd_ < 0)
        return;
    // Without this a pseudo-terminal would stay exclusive after we close it, and nobody but root
    // could open it again while its other end lives.
    (void)::ioctl(fd_, TIOCNXCL);
    ::close(fd_);
    fd_ = -1;
}

TVaIoResult TVaTtyTransport::Read(void* data, size_t size)
{
    if (size == 0)
        return {};
    for (;;) {
        const ssize_t got = ::read(fd_, data, size);
        if (got > 0)
            return {ioData, static_cast<size_t>(got), 0};
        if (got == 0)
            return {ioGone, 0, 0}; // the other end of a pseudo-terminal has closed
        const int error = errno;
        if (error == EINTR)
            continue;
        if (error == EAGAIN || error == EWOULDBLOCK)
            return {ioNothing, 0, 0};
        return {ioGone, 0, error};
    }
}

TVaIoResult TVaTtyTransport::Write(const void* data, size_t size)
{
    for (;;) {
        const ssize_t written = ::write(fd_, data, size);
        if (written >= 0)
            return {ioData, static_cast<size_t>(written), 0};
        const int error = errno;
        if (error == EINTR)
            continue;
        if (error == EAGAIN || error == EWOULDBLOCK)
            return {ioNothing, 0, 0};
        return {VaErrorKindOf(error) == ekGone ? ioGone : ioFailed, 0, error};
    }
}

int TVaTtyTransport::ApplyLineSettings(const VaLineSettings& wanted, VaLineSettings& taken)
{
    const int error = VaApplyLineSettings(fd_, wanted);
    return error != 0 ? error : VaReadLineSettings(fd_, taken);
}

int TVaTtyTransport::ModemStatus(uint32_t& bits)
{
    if (lines_)
        return ErrnoUnless(lines_->Status(fd_, bits));
    if (!caps_.modemLines) {
        bits = kThreeWire;
        return 0;
    }
    const int error = VaGetModemStatus(fd_, bits);
    if (NoModemLines(error))
        bits = kThreeWire;
    return NoModemLines(error) ? 0 : error;
}

int TVaTtyTransport::SetModemLine(bool dtr, bool on)
{
    if (lines_)
        return ErrnoUnless(lines_->Drive(fd_, dtr, on));
    if (!caps_.modemLines)
        return 0;
    const int error = VaDriveModemLine(fd_, dtr, on);
    return NoModemLines(error) ? 0 : error;
}

TVaChangeNotice TVaTtyTransport::ChangeNotice()
{
    // Real modem lines give no notice of a change here: they and the counters are polled.
    if (lines_ && lines_->ChangeDescriptor() >= 0)
        return cnNotified;
    const bool lines = lines_ ? lines_->NeedsPolling(fd_) : caps_.modemLines;
    return lines || caps_.lineCounters ? cnPolled : cnNone;
}

int TVaTtyTransport::ChangeDescriptor()
{
    return lines_ ? lines_->ChangeDescriptor() : -1;
}

void TVaTtyTransport::AcknowledgeChange()
{
    if (lines_)
        lines_->AcknowledgeChange();
}

int TVaTtyTransport::LineCounters(VaLineCounters& counters)
{
    return caps_.lineCounters ? VaGetLineCounters(fd_, counters) : 0;
}

int TVaTtyTransport::SetBreak(bool on)
{
    return ErrnoUnless(::ioctl(fd_, on ? TIOCSBRK : TIOCCBRK) == 0);
}

int TVaTtyTransport::Purge(bool input, bool output)
{
    if (!input && !output)
        return 0;
    return ErrnoUnless(::tcflush(fd_, input && output ? TCIOFLUSH : output ? TCOFLUSH : TCIFLUSH) == 0);
}

int TVaTtyTransport::InputCount(size_t& count)
{
    int n = 0;
    const int error = ErrnoUnless(::ioctl(fd_, FIONREAD, &n) == 0);
    count = error == 0 ? static_cast<size_t>(n) : 0;
    return error;
}

int TVaTtyTransport::OutputCount(size_t& count)
{
    int n = 0;
    const int error = ErrnoUnless(::ioctl(fd_, TIOCOUTQ, &n) == 0);
    count = error == 0 ? static_cast<size_t>(n) : 0;
    return error;
}
