// The download layer: a document fetched by address (http, https or file), synchronous for the
// caller, with a time-out so that an absent network never freezes the window.
#pragma once

#include <string>

constexpr int kFetchTimeoutMs = 3000;

// The document at url as bytes; empty on any failure (no connection, an error status, the
// time-out). Window messages are handled while it waits, user input excepted.
std::string fetchUrl(const std::string& url, int timeoutMs = kFetchTimeoutMs);
