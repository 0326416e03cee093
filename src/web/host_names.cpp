#include "web/host_names.h"

#include <arpa/inet.h>
#include <unistd.h>

#include <algorithm>
#include <climits>

bool isLoopbackAddress(const std::string& address)
{
    in_addr v4{};
    if (inet_pton(AF_INET, address.c_str(), &v4) == 1)
        return (ntohl(v4.s_addr) >> 24) == 127;
    in6_addr v6{};
    if (inet_pton(AF_INET6, address.c_str(), &v6) != 1)
        return false;
    if (IN6_IS_ADDR_LOOPBACK(&v6))
        return true;
    return IN6_IS_ADDR_V4MAPPED(&v6) && v6.s6_addr[12] == 127;
}

HostNames::HostNames(const std::string& machineName, const std::vector<std::string>& extraNames)
{
    names.emplace_back("localhost");
    if (!machineName.empty()) {
        names.push_back(lowerCaseAscii(machineName));
        names.push_back(lowerCaseAscii(machineName) + ".local");
    }
    for (const std::string& name : extraNames) {
        HostAndPort parsed;
        if (splitHostAndPort(name, parsed) && std::find(names.begin(), names.end(), parsed.host) == names.end())
            names.push_back(parsed.host);
    }
}

bool HostNames::accepts(const std::string& hostHeader) const
{
    HostAndPort parsed;
    if (!splitHostAndPort(hostHeader, parsed))
        return false;
    return isIpAddressLiteral(parsed.host) || std::find(names.begin(), names.end(), parsed.host) != names.end();
}

std::string HostNames::describe() const
{
    std::string text;
    for (const std::string& name : names)
        text += name + ", ";
    return text + "and IP addresses";
}

std::string machineHostName()
{
    char name[HOST_NAME_MAX + 1] = {};
    if (gethostname(name, sizeof name - 1) != 0)
        return std::string();
    return name;
}
