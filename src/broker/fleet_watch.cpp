#include "broker/fleet_watch.h"

#include <json/value.h>

#include "json/compact_json_writer.h"

namespace {

Json::Value count(uint64_t value) { return Json::Value(static_cast<Json::UInt64>(value)); }

FleetWatch::Event event(const char* name, const std::string& port, Json::Value details, Publication::Kind kind)
{
    details["event"] = name;
    details["port"] = port;
    return {CompactJsonWriter().write(details), kind, port};
}

Json::Value writeOf(const std::string& file, uint64_t bytesTotal)
{
    Json::Value write(Json::objectValue);
    write["file"] = file;
    write["bytesTotal"] = count(bytesTotal);
    return write;
}

} // namespace

std::string FleetWatch::boardsPayload(const RelayFigures& figures, bool commandsTaken)
{
    Json::Value list(Json::objectValue);
    Json::Value& boards = list["boards"] = Json::Value(Json::arrayValue);
    for (const BoardStatus& board : figures.boards) {
        Json::Value entry = boardJson(board, "version");
        if (board.state == "writing")
            entry["write"] = writeOf(board.file, board.bytesTotal);
        boards.append(entry);
    }
    list["version"] = figures.version;
    list["commands"] = commandsTaken;
    return CompactJsonWriter().write(list);
}

std::vector<FleetWatch::Event> FleetWatch::look(const RelayFigures& figures, bool& boardsChanged)
{
    std::vector<Event> events;
    for (const WriteEnd& end : figures.recentWrites) {
        if (end.number <= lastWriteNumber)
            continue;
        lastWriteNumber = end.number;
        if (!looked)
            continue;
        // A write that began and ended between two looks is still told as begun first.
        if (writing.count(end.port) == 0)
            events.push_back(
                event("writeStarted", end.port, writeOf(end.file, end.bytesTotal), Publication::Kind::other));
        writing.erase(end.port);
        Json::Value details = writeOf(end.file, end.bytesTotal);
        details["outcome"] = end.outcome;
        if (!end.reason.empty())
            details["reason"] = end.reason;
        if (!end.detail.empty())
            details["detail"] = end.detail;
        details["bytesVerified"] = count(end.bytesVerified);
        const double seconds = static_cast<double>(end.elapsedMs) / 1000.0;
        details["seconds"] = seconds;
        details["kibPerSecond"] = seconds > 0 ? static_cast<double>(end.bytesVerified) / 1024.0 / seconds : 0.0;
        events.push_back(event("writeEnded", end.port, details, Publication::Kind::outcome));
    }

    std::map<std::string, BoardStatus> seen;
    for (const BoardStatus& board : figures.boards)
        seen[board.port] = board;
    if (looked) {
        for (const auto& [port, board] : lastSeen) {
            if (seen.count(port) == 0)
                events.push_back(event("boardGone", port, Json::Value(Json::objectValue), Publication::Kind::other));
        }
        for (const auto& [port, board] : seen) {
            if (lastSeen.count(port) != 0)
                continue;
            Json::Value details(Json::objectValue);
            details["usbProduct"] = board.usbProduct;
            events.push_back(event("boardAdded", port, details, Publication::Kind::other));
        }
    }
    for (auto entry = writing.begin(); entry != writing.end();)
        entry = seen.count(entry->first) == 0 ? writing.erase(entry) : std::next(entry);
    for (const auto& [port, board] : seen) {
        if (board.state != "writing")
            continue;
        auto told = writing.find(port);
        if (told == writing.end()) {
            events.push_back(
                event("writeStarted", port, writeOf(board.file, board.bytesTotal), Publication::Kind::other));
            told = writing.emplace(port, 0).first;
        }
        if (board.bytesVerified == told->second)
            continue;
        told->second = board.bytesVerified;
        Json::Value details = writeOf(board.file, board.bytesTotal);
        details["bytesVerified"] = count(board.bytesVerified);
        events.push_back(event("writeProgress", port, details, Publication::Kind::progress));
    }
    lastSeen = std::move(seen);
    looked = true;

    const std::string boards = boardsPayload(figures, commandsTaken);
    boardsChanged = boards != lastBoards;
    lastBoards = boards;
    return events;
}
