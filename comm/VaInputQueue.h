// Received bytes that the port has read from its device and the program has not taken yet.
#pragma once

#include <cstddef>
#include <cstdint>
#include <mutex>
#include <vector>

class TVaTransport;

// Holds at most Limit bytes, like a driver's input queue: what does not fit waits in the device
// (which holds a pseudo-terminal's writer back) until the program has read. Every access goes
// through a Locked view, and the device is read under that same lock, so bytes always come out in
// the order they arrived whichever thread reads the device.
class TVaInputQueue {
public:
    class Locked {
    public:
        explicit Locked(TVaInputQueue& queue) : lock_(queue.mutex_), q_(queue) {}
        size_t Held() const { return q_.bytes_.size() - q_.start_; }
        bool Full() const { return Held() >= q_.limit_; }
        // Empties the queue.
        void Clear();
        void SetLimit(size_t limit) { q_.limit_ = limit; }
        // Reads what the device holds until it has nothing more or the queue is full, leaving out
        // zero bytes when stripNulls. False when the device has gone.
        bool Fill(TVaTransport& device, bool stripNulls);
        // Whether ch is among the held bytes from position from on.
        bool Holds(uint8_t ch, size_t from) const;
        // Moves up to count bytes to dest; returns how many.
        size_t Take(uint8_t* dest, size_t count);
        // Moves every held byte into out, replacing its contents.
        void TakeAll(std::vector<uint8_t>& out);

    private:
        void Append(const uint8_t* data, size_t count, bool stripNulls);

        std::unique_lock<std::mutex> lock_;
        TVaInputQueue& q_;
    };

    Locked Lock() { return Locked(*this); }

private:
    std::mutex mutex_;
    std::vector<uint8_t> bytes_;
    size_t start_ = 0; // bytes_ before start_ have been taken
    size_t limit_ = 4096;
};
