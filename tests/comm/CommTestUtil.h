#pragma once

#include "PtyPeer.h"
#include "VaComm.h"

#include <chrono>
#include <functional>
#include <optional>
#include <gtest/gtest.h>
#include <string>

// Serves hand-overs on this (the main) thread until pred holds or the time-out passes.
inline bool ServeUntil(const std::function<bool()>& pred, int ms = 10000)
{
    return VaWaitServing(pred, std::chrono::steady_clock::now() + std::chrono::milliseconds(ms));
}

// Serves hand-overs for a while (for "nothing more happens" checks).
inline void ServeFor(int ms)
{
    ServeUntil([] { return false; }, ms);
}

inline void UsePty(TVaCustomComm& port, const PtyPeer& peer)
{
    port.SetDeviceName(peer.SlavePath());
}

template <class F>
std::string ErrorOf(F&& f)
{
    try {
        f();
    } catch (const std::exception& e) {
        return e.what();
    }
    return "";
}

// Collects what reaches the application's exception handler.
struct ExceptionCatcher {
    std::vector<std::string> messages;
    ExceptionCatcher()
    {
        VaSetExceptionHandler([this](std::exception_ptr e) {
            try {
                std::rethrow_exception(e);
            } catch (const std::exception& ex) {
                messages.push_back(ex.what());
            }
        });
    }
    ~ExceptionCatcher() { VaSetExceptionHandler(nullptr); }
};

// The port error f raises; none when it raises nothing.
template <class F>
std::optional<EVaCommError> CommErrorOf(F&& f)
{
    try {
        f();
    } catch (const EVaCommError& e) {
        return e;
    }
    return std::nullopt;
}
