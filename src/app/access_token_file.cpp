#include "app/access_token_file.h"

#include <fcntl.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstring>

namespace {

constexpr size_t tokenBytes = 16;
constexpr size_t tokenDigits = 2 * tokenBytes;

bool isToken(const std::string& text)
{
    return text.size() == tokenDigits && std::all_of(text.begin(), text.end(), [](unsigned char c) {
               return std::isdigit(c) != 0 || (c >= 'a' && c <= 'f');
           });
}

std::string systemError(const std::string& what) { return what + ": " + std::strerror(errno); }

std::string newToken(std::string& error)
{
    unsigned char random[tokenBytes];
    size_t filled = 0;
    while (filled < sizeof random) {
        const ssize_t got = getrandom(random + filled, sizeof random - filled, 0);
        if (got < 0 && errno == EINTR)
            continue;
        if (got <= 0) {
            error = systemError("no random bits for a new token");
            return std::string();
        }
        filled += static_cast<size_t>(got);
    }
    static const char digits[] = "0123456789abcdef";
    std::string token;
    for (unsigned char byte : random) {
        token += digits[byte >> 4];
        token += digits[byte & 0x0F];
    }
    return token;
}

std::string readToken(int descriptor, const std::string& path, std::string& error)
{
    struct stat status {};
    if (fstat(descriptor, &status) != 0 || !S_ISREG(status.st_mode)) {
        error = path + " is not a regular file";
        return std::string();
    }
    char text[tokenDigits + 2] = {};
    const ssize_t got = read(descriptor, text, sizeof text - 1);
    std::string token(text, got > 0 ? static_cast<size_t>(got) : 0);
    while (!token.empty() && std::isspace(static_cast<unsigned char>(token.back())) != 0)
        token.pop_back();
    if (!isToken(token)) {
        error = path + " holds no token (32 hexadecimal digits in lower case); remove it to make a new one";
        return std::string();
    }
    return token;
}

} // namespace

std::string loadOrCreateAccessToken(const std::string& path, std::string& error)
{
    const int existing = open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (existing >= 0) {
        std::string token = readToken(existing, path, error);
        close(existing);
        return token;
    }
    if (errno != ENOENT) {
        error = systemError("cannot read " + path);
        return std::string();
    }
    std::string token = newToken(error);
    if (token.empty())
        return token;
    const int created = open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (created < 0) {
        error = systemError("cannot create " + path);
        return std::string();
    }
    const std::string line = token + "\n";
    const bool written = write(created, line.data(), line.size()) == static_cast<ssize_t>(line.size());
    // close reports what the file system could not keep.
    const bool closed = close(created) == 0;
    if (!written || !closed) {
        error = systemError("cannot write " + path);
        unlink(path.c_str());
        return std::string();
    }
    return token;
}
