// What the port's event thread, write thread and read leases ask of the port. The port implements
// it; the threads know nothing else of the port and touch the device only through its transport.
#pragma once

#include <cstdint>

class IVaCommPort {
public:
    // Any thread: reads what the device holds into the port's input queue and adds to batch the
    // events of what came (EV_RXCHAR, and EV_RXFLAG and EV_RX80FULL); false when the device has gone.
    virtual bool Ingest(uint32_t& batch) = 0;
    // Whether the input queue has room: the device is watched for input only then.
    virtual bool InputRoom() = 0;
    // Any thread: hands the queued input to the attached components' data sinks on the calling
    // thread. False when that is not allowed (nothing attached, or a component without a sink):
    // then the main thread must take the input.
    virtual bool DispatchDirect() = 0;
    // Main thread, handed over by a port thread that waits meanwhile: runs one batch of events;
    // what a handler raises goes to the application's exception handler.
    virtual void RunBatch(uint32_t mask) = 0;
    // Any thread, without waiting: the output queue of the open session has drained.
    virtual void OutputDrained(uint64_t session) = 0;
    // Any thread, without waiting: the device of the open session has gone.
    virtual void DeviceLost(uint64_t session) = 0;
    // Any thread, without waiting: the transport of the open session has notices for the user.
    virtual void NoticesWaiting(uint64_t session) = 0;

protected:
    ~IVaCommPort() = default;
};
