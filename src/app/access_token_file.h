#pragma once

#include <string>

// The relay's access token for peers beyond this machine: read from `path`, or, the first time, 128 random bits
// written there as 32 hexadecimal digits in a new file only the relay's user may read (0600), so that the token
// stays the same across restarts. Refuses a link, a file that is not regular or one that holds no valid token.
// Empty, with `error` set, when there is no usable token.
std::string loadOrCreateAccessToken(const std::string& path, std::string& error);
