#pragma once

#include <cstdint>

struct lws;

// The library's per-connection data of one editor connection (zero-filled by the library).
struct Connection {
    lws* wsi;
    // The received-message count of the endpoint when this connection was established.
    uint32_t establishedMessageCount;
};
