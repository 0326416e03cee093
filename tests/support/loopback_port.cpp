#include "support/loopback_port.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

int freeLoopbackPort()
{
    // Probed on every address of both families, as the relay listens: a port free on 127.0.0.1 alone may still be
    // taken on ::1.
    const int fd = socket(AF_INET6, SOCK_STREAM, 0);
    if (fd < 0)
        return 0;
    const int dualStack = 0;
    setsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, &dualStack, sizeof dualStack);
    sockaddr_in6 address{};
    address.sin6_family = AF_INET6;
    address.sin6_addr = in6addr_any;
    socklen_t length = sizeof address;
    int found = 0;
    if (bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
        getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) == 0)
        found = ntohs(address.sin6_port);
    close(fd);
    return found;
}
