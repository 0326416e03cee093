#pragma once

#include <cstdint>

#include "device/relay.h"

struct lws;

// The library's per-connection data of one editor connection (zero-filled by the library). The library creates
// it when the connection opens and frees it when the connection closes.
struct Connection {
    lws* wsi;
    // The received-message count of the endpoint when this connection was established.
    uint32_t establishedMessageCount;
    // Given by the sessions when the connection is established; what the relays of its boards keep.
    EditorId id;
};
