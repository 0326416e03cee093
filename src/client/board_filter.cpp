#include "client/board_filter.h"

#include <algorithm>
#include <cctype>
#include <cstdlib>

#include "core/host_and_port.h"

namespace {

const char* const fields[] = {"version", "relay", "port", "product", "state", "mode"};
// Longest first, so that "<=" is not read as "<" followed by "=1.4".
const char* const comparisons[] = {"<=", ">=", "!=", "<", ">", "=", "~"};

bool isVersion(const std::string& text)
{
    if (text.empty() || text.front() == '.' || text.back() == '.' || text.find("..") != std::string::npos)
        return false;
    return std::all_of(text.begin(), text.end(), [](unsigned char c) { return std::isdigit(c) != 0 || c == '.'; });
}

std::string trimmed(const std::string& text)
{
    const size_t first = text.find_first_not_of(' ');
    if (first == std::string::npos)
        return "";
    return text.substr(first, text.find_last_not_of(' ') - first + 1);
}

} // namespace

int compareVersions(const std::string& left, const std::string& right)
{
    size_t l = 0;
    size_t r = 0;
    while (l < left.size() || r < right.size()) {
        const auto number = [](const std::string& text, size_t& at) {
            const size_t dot = std::min(text.find('.', at), text.size());
            const unsigned long value = at < dot ? std::strtoul(text.substr(at, dot - at).c_str(), nullptr, 10) : 0;
            at = dot + 1;
            return value;
        };
        const unsigned long a = number(left, l);
        const unsigned long b = number(right, r);
        if (a != b)
            return a < b ? -1 : 1;
    }
    return 0;
}

bool parseBoardFilter(const std::string& text, BoardFilter& filter, std::string& mistake)
{
    const size_t at = text.find_first_of("<>=!~");
    if (at == std::string::npos) {
        mistake = "--where '" + text + "' compares nothing: write it as version<1.4.2, relay=NAME or product~TEXT";
        return false;
    }
    filter.field = trimmed(text.substr(0, at));
    filter.comparison.clear();
    for (const char* comparison : comparisons) {
        if (text.compare(at, std::char_traits<char>::length(comparison), comparison) == 0) {
            filter.comparison = comparison;
            break;
        }
    }
    filter.value = trimmed(text.substr(at + filter.comparison.size()));
    if (std::find(std::begin(fields), std::end(fields), filter.field) == std::end(fields)) {
        mistake = "--where '" + text + "': no board field '" + filter.field +
                  "' (version, relay, port, product, state, mode)";
        return false;
    }
    const bool version = filter.namesVersion();
    if (filter.comparison.empty() || (version && filter.comparison == "~") ||
        (!version && filter.comparison != "=" && filter.comparison != "!=" && filter.comparison != "~")) {
        mistake = "--where '" + text + "': " + filter.field + " takes " + (version ? "< <= = != >= >" : "= != ~") +
                  " (for example " + (version ? "version<1.4.2" : filter.field + "=NAME") + ")";
        return false;
    }
    if (filter.value.empty() || (version && !isVersion(filter.value))) {
        mistake = "--where '" + text +
                  "': " + (version ? "a version is numbers with dots between them (1.4.2)" : "the value is missing");
        return false;
    }
    return true;
}

bool BoardFilter::matches(const FleetBoard& board) const
{
    if (namesVersion()) {
        if (board.version.empty())
            return false;
        const int order = compareVersions(board.version, value);
        return comparison == "<"    ? order < 0
               : comparison == "<=" ? order <= 0
               : comparison == "="  ? order == 0
               : comparison == "!=" ? order != 0
               : comparison == ">=" ? order >= 0
                                    : order > 0;
    }
    const std::string& text = field == "relay"     ? board.relay
                              : field == "port"    ? board.port
                              : field == "product" ? board.usbProduct
                              : field == "state"   ? board.state
                                                   : board.mode;
    if (comparison == "~")
        return lowerCaseAscii(text).find(lowerCaseAscii(value)) != std::string::npos;
    return (text == value) == (comparison == "=");
}
