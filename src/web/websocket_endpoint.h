#pragma once

#include <cstddef>

#include <libwebsockets.h>

// The library callback of the "vantrel-configurator" protocol. The context's user pointer is the Sessions object;
// the protocol's user pointer, when set, is the ConnectionGate that counts the connections. Returns 0 except to
// refuse an upgrade the gate does not let in: the relay never closes an accepted connection itself.
int relayProtocolCallback(lws* wsi, lws_callback_reasons reason, void* user, void* in, size_t length);

extern const char* const relayProtocolName;
