#include "web/access_token.h"

#include <strings.h>

#include <utility>

AccessToken::AccessToken(std::string value, int port)
    : value(std::move(value)), cookie("vantrel_token_" + std::to_string(port))
{}

bool AccessToken::matches(const std::string& presented) const
{
    if (value.empty() || presented.size() != value.size())
        return false;
    unsigned char difference = 0;
    for (size_t i = 0; i < value.size(); ++i)
        difference |= static_cast<unsigned char>(value[i] ^ presented[i]);
    return difference == 0;
}

std::string AccessToken::setCookieValue(bool secure) const
{
    // A year: the token is kept across restarts, so the console's address need not be opened again each day.
    return cookie + "=" + value + "; Path=/; Max-Age=31536000; HttpOnly; SameSite=Strict" + (secure ? "; Secure" : "");
}

std::string AccessToken::presentedIn(const std::string& authorization, const std::string& cookies) const
{
    static const std::string bearer = "Bearer ";
    if (authorization.size() > bearer.size() && strncasecmp(authorization.c_str(), bearer.c_str(), bearer.size()) == 0)
        return authorization.substr(bearer.size());
    return cookieValue(cookies, cookie);
}

std::string cookieValue(const std::string& cookies, const std::string& name)
{
    size_t at = 0;
    while (at < cookies.size()) {
        size_t end = cookies.find(';', at);
        if (end == std::string::npos)
            end = cookies.size();
        size_t start = at;
        while (start < end && cookies[start] == ' ')
            ++start;
        const size_t equals = cookies.find('=', start);
        if (equals < end && cookies.compare(start, equals - start, name) == 0 && equals - start == name.size())
            return cookies.substr(equals + 1, end - equals - 1);
        at = end + 1;
    }
    return std::string();
}
