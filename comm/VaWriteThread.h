// The port's write thread and its output queue: writers on any thread append to the queue, the
// thread hands it to the device and reports when it has drained or a write failed.
#pragma once

#include "VaClasses.h"
#include "VaCommPort.h"
#include "VaCommTypes.h"
#include "VaTransport.h"

#include <atomic>
#include <condition_variable>
#include <memory>

class TVaCommWriteThread : public TVaThread {
public:
    enum class Result { Accepted, Full, Closed };

    // writeLock guards the queue (the port's WriteLock); capacity is the queue's size in bytes.
    TVaCommWriteThread(IVaCommPort& port, std::shared_ptr<TVaTransport> device, TVaCriticalSection& writeLock,
                       uint64_t session, int32_t capacity);
    ~TVaCommWriteThread() override;

    // Any thread: queues count bytes, waiting at most timeoutMs for room; accepted tells how many
    // went out or into the queue.
    Result Enqueue(const uint8_t* data, int32_t count, int timeoutMs, int32_t& accepted);
    // Empties the queue and abandons the pending write; not at all when the thread does not
    // answer within 2 s (it may be waiting for the main thread).
    void Flush();
    void RequestStop();
    int32_t Queued() const { return queue_.Size(); }

protected:
    void Execute() override;

private:
    static constexpr int32_t kDirectWriteMin = 32;

    Result EnqueueQueued(const uint8_t* data, int32_t count, int timeoutMs, int32_t& accepted);
    void WriteQueue();
    void AfterWrite(int32_t written);
    bool PerformFlush();
    void RoomChanged();
    void HandOver(uint32_t mask);
    // DataEvent is set and cleared under WriteLock only; the flag spares the writers a system
    // call for every byte while it is set.
    void SignalData()
    {
        if (!dataSet_) {
            dataSet_ = true;
            dataEvent_.Signal();
        }
    }
    void ResetData()
    {
        dataSet_ = false;
        dataEvent_.Reset();
    }

    IVaCommPort& port_;
    // Shared: a writer on another thread may hold the thread, and so the device, a little longer
    // than the port; it touches neither once the thread is stopping.
    const std::shared_ptr<TVaTransport> device_;
    TVaCriticalSection& writeLock_;
    const uint64_t session_;
    TVaCommBuffer queue_;
    TVaWaitEvent dataEvent_, closeEvent_, flushEvent_, flushDoneEvent_;
    std::condition_variable_any roomCv_; // used with writeLock_
    std::atomic<int> roomWaiters_{0};     // writers waiting for room
    std::atomic<bool> stopping_{false};
    bool dataSet_ = false; // guarded by writeLock_
    bool deviceGone_ = false;
};
