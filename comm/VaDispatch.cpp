// Event dispatch on the main thread and attachment: the port's events and received bytes reach
// its handlers and the components attached to it, and leases of the device go to the components'
// data sinks.
#include "VaComm.h"
#include "VaEventThread.h"

#include <algorithm>
#include <stdexcept>

// ---- Dispatcher and attached components -------------------------------------------------------------

int32_t TVaDispatcher::WriteBuf(const void* data, int32_t count)
{
    TVaCustomComm* comm = comm_.load();
    return comm ? comm->WriteBuf(data, count) : 0;
}

void TVaDispatcher::PurgeReadWrite()
{
    if (TVaCustomComm* comm = comm_.load())
        comm->PurgeReadWrite();
}

void TVaDispatcher::CheckDetached() const
{
    // The port reads both on its own threads without asking the component.
    if (comm_.load() != nullptr)
        throw std::logic_error("a dispatcher's data sink and event wish are set before it is attached");
}

void TVaDispatcher::SetDataSink(std::shared_ptr<IVaCommDataSink> sink)
{
    CheckDetached();
    sink_ = std::move(sink);
}

void TVaDispatcher::SetEventsWanted(bool wanted)
{
    CheckDetached();
    eventsWanted_ = wanted;
}

TVaCommComponent::TVaCommComponent(TVaComponent* owner)
    : TVaComponent(owner), dispatcher_(std::make_unique<TVaDispatcher>(this))
{
}

TVaCommComponent::~TVaCommComponent()
{
    BeginDestruction();
    if (comm_)
        comm_->DetachDispatcher(dispatcher_.get());
}

void TVaCommComponent::SetComm(TVaCustomComm* comm)
{
    if (comm_) {
        comm_->DetachDispatcher(dispatcher_.get());
        RemoveFreeNotification(comm_);
    }
    comm_ = comm;
    if (comm_) {
        comm_->AttachDispatcher(dispatcher_.get());
        FreeNotification(comm_);
    }
}

void TVaCommComponent::Notification(TVaComponent* component, TVaOperation operation)
{
    TVaComponent::Notification(component, operation);
    if (operation == TVaOperation::opRemove && component == comm_) {
        comm_->DetachDispatcher(dispatcher_.get());
        comm_ = nullptr;
    }
}

// ---- Events on the main thread ----------------------------------------------------------------------

void TVaCustomComm::RunBatch(uint32_t mask)
{
    DeliverNotices();
    try {
        if (mask & EV_RXCHAR) {
            HandleRxChar();
            mask &= ~EV_RXCHAR;
        }
        if (mask)
            HandleEvents(mask);
    } catch (...) {
        VaHandleException(std::current_exception());
    }
}

void TVaCustomComm::HandleRxChar()
{
    const int32_t n = ReadBufUsed();
    if (n <= 0)
        return;
    if (!dispatchers_.empty()) {
        std::vector<uint8_t> data(static_cast<size_t>(n));
        const int32_t got = ReadBuf(data.data(), n);
        DispatchData(data.data(), got);
    } else if (auto handler = OnRxChar) {
        handler(this, n);
    }
}

void TVaCustomComm::HandleEvents(uint32_t mask)
{
    if (mask & EV_ERR)
        CheckLineErrors();
    if (!dispatchers_.empty())
        DispatchEvents(mask);
    const std::pair<uint32_t, TNotifyEvent TVaCustomComm::*> order[] = {
        {EV_RXFLAG, &TVaCustomComm::OnRxFlag},   {EV_CTS, &TVaCustomComm::OnCts},
        {EV_DSR, &TVaCustomComm::OnDsr},         {EV_RING, &TVaCustomComm::OnRing},
        {EV_RLSD, &TVaCustomComm::OnRlsd},       {EV_TXEMPTY, &TVaCustomComm::OnTxEmpty},
        {EV_BREAK, &TVaCustomComm::OnBreak},     {EV_PERR, &TVaCustomComm::OnPErr},
        {EV_RX80FULL, &TVaCustomComm::OnRx80Full}, {EV_EVENT1, &TVaCustomComm::OnEvent1},
        {EV_EVENT2, &TVaCustomComm::OnEvent2}};
    for (const auto& [bit, member] : order) {
        if (!(mask & bit))
            continue;
        // A copy: the handler may clear or replace its own event while it runs.
        if (TNotifyEvent handler = this->*member)
            handler(this);
    }
}

void TVaCustomComm::DispatchEvents(uint32_t mask)
{
    const std::vector<TVaDispatcher*> snapshot = dispatchers_;
    for (TVaDispatcher* d : snapshot) {
        if (std::find(dispatchers_.begin(), dispatchers_.end(), d) != dispatchers_.end() && d->Active())
            d->Client()->HandleCommEvents(mask);
    }
}

void TVaCustomComm::DispatchData(PVaData data, int32_t count)
{
    const std::vector<TVaDispatcher*> snapshot = dispatchers_;
    for (TVaDispatcher* d : snapshot) {
        if (std::find(dispatchers_.begin(), dispatchers_.end(), d) != dispatchers_.end() && d->Active())
            d->Client()->HandleCommData(data, count);
    }
    if (auto handler = OnRxBuf)
        handler(this, data, count);
}

bool TVaCustomComm::DispatchDirect()
{
    // Event thread. While every attached component has a sink, the bytes that have come in go to
    // the active ones here, in list order; OnRxBuf still sees them afterwards, on the main thread
    // and without this thread waiting for it.
    std::lock_guard lock(dispatchMutex_);
    if (dispatchers_.empty())
        return false;
    for (const TVaDispatcher* d : dispatchers_)
        if (!d->sink_)
            return false;
    input_.Lock().TakeAll(directChunk_);
    if (directChunk_.empty())
        return true;
    const auto count = static_cast<int32_t>(directChunk_.size());
    for (TVaDispatcher* d : dispatchers_)
        if (d->Active())
            d->sink_->TakeCommData(directChunk_.data(), count);
    if (OnRxBuf.Assigned()) {
        QueueForMain([this, session = session_.load(), chunk = directChunk_] {
            if (!Current(session))
                return;
            try {
                if (auto handler = OnRxBuf)
                    handler(this, chunk.data(), static_cast<int32_t>(chunk.size()));
            } catch (...) {
                VaHandleException(std::current_exception());
            }
        });
    }
    return true;
}

void TVaCustomComm::QueueForMain(std::function<void()> fn)
{
    VaQueue([alive = aliveToken_, fn = std::move(fn)] {
        if (!alive.expired())
            fn();
    });
}

void TVaCustomComm::OutputDrained(uint64_t session)
{
    // With nobody to tell, a drained queue costs the main thread nothing (a protocol's blocks
    // would wake it once each).
    if (!OnTxEmpty.Assigned() && eventClients_.load() == 0)
        return;
    // The write thread goes on at once; drains that happen before the main thread has handled
    // the previous one are reported together.
    if (txEmptyQueued_.exchange(true))
        return;
    QueueForMain([this, session] {
        txEmptyQueued_.store(false);
        if (Current(session))
            RunBatch(EV_TXEMPTY);
    });
}

void TVaCustomComm::DeviceLost(uint64_t session)
{
    // Not waited for: the handler may close the port, which waits for the event thread.
    QueueForMain([this, session] {
        if (!Current(session))
            return;
        if (auto handler = OnDisconnect)
            handler(this);
    });
}

void TVaCustomComm::NoticesWaiting(uint64_t session)
{
    QueueForMain([this, session] {
        if (Current(session))
            DeliverNotices();
    });
}

// ---- Attachment -------------------------------------------------------------------------------------

void TVaCustomComm::AttachDispatcher(TVaDispatcher* dispatcher)
{
    std::lock_guard lock(dispatchMutex_);
    dispatcher->comm_.store(this);
    dispatchers_.push_back(dispatcher);
    if (dispatcher->eventsWanted_)
        eventClients_.fetch_add(1);
    UpdateLeases();
}

void TVaCustomComm::DetachDispatcher(TVaDispatcher* dispatcher)
{
    // Once this returns, the event thread hands the component's sink nothing more.
    std::lock_guard lock(dispatchMutex_);
    const auto it = std::find(dispatchers_.begin(), dispatchers_.end(), dispatcher);
    if (it == dispatchers_.end())
        return;
    dispatcher->comm_.store(nullptr);
    dispatchers_.erase(it);
    if (dispatcher->eventsWanted_)
        eventClients_.fetch_sub(1);
    if (dispatcher->lease_)
        TakeLease(dispatcher);
    UpdateLeases();
}

void TVaCustomComm::UpdateLeases()
{
    const bool allowed = lendable_ && !dispatchers_.empty() &&
                         std::all_of(dispatchers_.begin(), dispatchers_.end(),
                                     [](const TVaDispatcher* d) { return d->sink_ != nullptr; });
    for (TVaDispatcher* d : dispatchers_) {
        if (allowed && !d->lease_) {
            d->lease_ = std::make_shared<TVaReadLease>(threadSide_, *transport_, *eventThread_);
            d->sink_->LendReader(d->lease_);
        } else if (!allowed && d->lease_) {
            TakeLease(d);
        }
    }
}

void TVaCustomComm::TakeLease(TVaDispatcher* dispatcher)
{
    // Not waited for here: a worker still inside the lease's wait dispatches what it reads to the
    // components attached by then, or leaves it to the main thread. Close waits for it.
    dispatcher->lease_->Revoke(false);
    dispatcher->sink_->LendReader(nullptr);
    takenBack_.push_back(std::move(dispatcher->lease_));
}

void TVaCustomComm::RevokeLeases()
{
    std::vector<std::shared_ptr<TVaReadLease>> leases;
    {
        std::lock_guard lock(dispatchMutex_);
        lendable_ = false;
        for (TVaDispatcher* d : dispatchers_) {
            if (d->lease_)
                TakeLease(d);
        }
        leases.swap(takenBack_);
    }
    // A worker inside a wait reads and dispatches no more than one chunk and never waits for the
    // main thread, so this wait is short; after it, nothing uses the device or the event thread.
    for (const auto& lease : leases)
        lease->Revoke(true);
}

void TVaCustomComm::DetachAll()
{
    while (!dispatchers_.empty())
        DetachDispatcher(dispatchers_.back());
}

