#pragma once

#include <string>

// The secret that peers beyond this machine present to drive the relay. Made once by the relay server when it
// listens beyond loopback (empty otherwise: then no peer can present it); lives as long as its gate.
class AccessToken {
public:
    AccessToken() = default;
    AccessToken(std::string value, int port);

    bool empty() const { return value.empty(); }
    const std::string& text() const { return value; }
    // In constant time, so the answer's timing tells nothing of how much of a guess was right.
    bool matches(const std::string& presented) const;

    // The cookie that carries the token for a browser; named after the port, as cookies do not tell ports apart.
    const std::string& cookieName() const { return cookie; }
    // The Set-Cookie value for the console's browser: not readable by scripts, never sent by other sites' pages.
    std::string setCookieValue(bool secure) const;

    // The token a request presents: "Authorization: Bearer …", else the cookie named cookieName; empty for none.
    std::string presentedIn(const std::string& authorization, const std::string& cookies) const;

private:
    std::string value;
    std::string cookie;
};

// The value of one cookie of a Cookie header ("a=1; b=2"), or the empty text.
std::string cookieValue(const std::string& cookies, const std::string& name);
