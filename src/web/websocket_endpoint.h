#pragma once

#include <cstddef>

#include <libwebsockets.h>

// The library callback of the "vantrel-configurator" protocol. The context's user pointer is the Sessions object.
// Always returns 0: the relay never closes a connection itself.
int relayProtocolCallback(lws* wsi, lws_callback_reasons reason, void* user, void* in, size_t length);

extern const char* const relayProtocolName;
