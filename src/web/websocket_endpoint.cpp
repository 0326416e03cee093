#include "web/websocket_endpoint.h"

#include <libwebsockets.h>

#include "core/logger.h"
#include "web/connection_gate.h"
#include "web/sessions.h"

const char* const relayProtocolName = "vantrel-configurator";

int relayProtocolCallback(lws* wsi, lws_callback_reasons reason, void* user, void* in, size_t length)
{
    auto* sessions = static_cast<Sessions*>(lws_context_user(lws_get_context(wsi)));
    auto* connection = static_cast<Connection*>(user);
    if (sessions == nullptr)
        return 0;
    const lws_protocols* protocol = lws_get_protocol(wsi);
    auto* gate = protocol != nullptr ? static_cast<ConnectionGate*>(protocol->user) : nullptr;
    switch (reason) {
    case LWS_CALLBACK_PROTOCOL_INIT: logger.log(LogLevel::DEBUG, "LWS_CALLBACK_PROTOCOL_INIT"); break;
    case LWS_CALLBACK_FILTER_PROTOCOL_CONNECTION:
        // The http callback has already let this upgrade in; checked again for any road around it.
        return gate == nullptr || gate->checkUpgrade(gate->factsOf(wsi)) != ConnectionGate::Verdict::admit ? 1 : 0;
    case LWS_CALLBACK_ESTABLISHED:
        if (gate != nullptr)
            gate->opened(wsi);
        sessions->established(*connection, wsi);
        break;
    case LWS_CALLBACK_CLOSED:
        if (gate != nullptr)
            gate->closed(wsi);
        sessions->closed(*connection);
        break;
    case LWS_CALLBACK_RECEIVE:
        // A message proves the editor is there as well as a pong would: it is pinged only after a silence.
        lws_validity_confirmed(wsi);
        sessions->received(*connection, static_cast<const char*>(in), length, lws_is_final_fragment(wsi) != 0,
                           lws_frame_is_binary(wsi) != 0);
        break;
    case LWS_CALLBACK_SERVER_WRITEABLE: sessions->writable(*connection); break;
    default: break;
    }
    return 0;
}
