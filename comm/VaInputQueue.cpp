#include "VaInputQueue.h"
#include "VaTransport.h"

#include <algorithm>

void TVaInputQueue::Locked::Clear()
{
    q_.bytes_.clear();
    q_.start_ = 0;
}

void TVaInputQueue::Locked::Append(const uint8_t* data, size_t count, bool stripNulls)
{
    auto& bytes = q_.bytes_;
    // Taken bytes are dropped once they are half the storage: appending stays cheap and the storage
    // does not grow with what has passed through.
    if (q_.start_ > 0 && q_.start_ >= bytes.size() / 2) {
        bytes.erase(bytes.begin(), bytes.begin() + static_cast<ptrdiff_t>(q_.start_));
        q_.start_ = 0;
    }
    if (stripNulls)
        std::copy_if(data, data + count, std::back_inserter(bytes), [](uint8_t b) { return b != 0; });
    else
        bytes.insert(bytes.end(), data, data + count);
}

bool TVaInputQueue::Locked::Fill(TVaTransport& device, bool stripNulls)
{
    uint8_t chunk[65536];
    while (!Full()) {
        const size_t room = std::min(sizeof chunk, q_.limit_ - Held());
        const TVaIoResult r = device.Read(chunk, room);
        if (r.state == ioGone)
            return false;
        if (r.state != ioData)
            return true;
        Append(chunk, r.count, stripNulls);
        if (r.count < room)
            return true;
    }
    return true;
}

bool TVaInputQueue::Locked::Holds(uint8_t ch, size_t from) const
{
    const auto begin = q_.bytes_.begin() + static_cast<ptrdiff_t>(q_.start_ + from);
    return std::find(begin, q_.bytes_.end(), ch) != q_.bytes_.end();
}

size_t TVaInputQueue::Locked::Take(uint8_t* dest, size_t count)
{
    const size_t taken = std::min(Held(), count);
    std::copy_n(q_.bytes_.data() + q_.start_, taken, dest);
    q_.start_ += taken;
    if (q_.start_ == q_.bytes_.size())
        Clear();
    return taken;
}

void TVaInputQueue::Locked::TakeAll(std::vector<uint8_t>& out)
{
    out.assign(q_.bytes_.begin() + static_cast<ptrdiff_t>(q_.start_), q_.bytes_.end());
    Clear();
}
