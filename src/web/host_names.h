#pragma once

#include <string>
#include <vector>

#include "core/host_and_port.h"

// 127.0.0.0/8 and ::1, also as IPv4-mapped IPv6 addresses.
bool isLoopbackAddress(const std::string& address);

// The names under which this relay may be asked for: IP address literals, "localhost", the machine's host name
// and that name under ".local", and the names the operator gave (-a). A request for any other name is a page
// whose name was made to point at this machine. Made once by the relay server; lives as long as its gate.
class HostNames {
public:
    HostNames(const std::string& machineName, const std::vector<std::string>& extraNames);

    // The host of a Host header (or :authority): true when it names this relay, whatever the port.
    bool accepts(const std::string& hostHeader) const;
    // The names as an operator reads them, for the start-up line.
    std::string describe() const;

private:
    std::vector<std::string> names;
};

// The machine's host name, or the empty text when it has none.
std::string machineHostName();
