#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <unordered_map>
#include <vector>

#include <json/value.h>

#include "device/serial_message.h"
#include "firmware/firmware_file_list.h"
#include "web/connection.h"
#include "web/refresh_limiter.h"

class BoardLink;
class Clock;
class FeatureConversionRegistry;
class FirmwareFlasher;
class NodeConversionRegistry;
class Sessions;
struct Connection;
struct PortProblem;
struct SerialPortHandle;

// Carries out the editor's commands: answers the connection directly, or builds board messages and queues them
// on the named port's relay. Created once by the relay core; lives for the whole run.
class CommandHandler {
public:
    CommandHandler(Sessions& sessions, BoardLink& boards, const NodeConversionRegistry& nodeConversions,
                   const FeatureConversionRegistry& featureConversions, FirmwareFlasher& flasher, Clock& clock);

    // Never throws: a command that cannot be carried out is logged and dropped.
    void handleWebCommand(Connection& connection, const Json::Value& command);
    // Sends the list now (the greeting); refreshes an editor asks for go through the refresh limiter.
    void sendFirmwareFileList(Connection& connection);
    // Answers the refreshes held back until their connection's interval ended.
    void sendHeldFirmwareFileLists();
    // When the first held refresh is due; UINT64_MAX for none.
    uint64_t nextDueMs() const { return refreshes.nextDueMs(); }
    void onConnectionClosed(const Connection& connection);
    // The image a write_firmware_image command announced has come (whole false: it was longer than announced).
    void onBinaryMessage(Connection& connection, std::vector<uint8_t> bytes, bool whole);

private:
    // One board command: its port (taken as its row says), the payload and the value of the payload member that
    // named the command.
    struct BoardCommand {
        const std::string& portName;
        SerialPortHandle* port;
        const Json::Value& payload;
        const Json::Value& member;
    };
    using Builder = std::vector<SerialMessage> (CommandHandler::*)(const BoardCommand&) const;
    // How a command takes its port: opened (again) when it is carried out, or only the port that was opened when
    // the command arrived.
    enum class PortUse { Open, ArrivalPort };
    // One row of the command table.
    struct BoardCommandRow {
        const char* member;
        // The DEBUG line logged when the command is carried out; nullptr for none.
        const char* logLine;
        PortUse portUse;
        Builder build;
    };

    void handleBoardCommand(Connection& connection, const Json::Value& command);
    // Carries out the first command member of the payload.
    void dispatchPayload(Connection& connection, const std::string& portName, SerialPortHandle* arrivalPort,
                         const PortProblem& arrivalProblem, const Json::Value& payload);
    // Tells the editor why its command could not reach the board.
    void sendPortError(Connection& connection, const std::string& portName, const PortProblem& problem);

    std::vector<SerialMessage> addNode(const BoardCommand& command) const;
    std::vector<SerialMessage> setFeature(const BoardCommand& command) const;
    std::vector<SerialMessage> ledToggle(const BoardCommand& command) const;
    std::vector<SerialMessage> getVersion(const BoardCommand& command) const;
    std::vector<SerialMessage> tweak(const BoardCommand& command) const;
    std::vector<SerialMessage> resetConfig(const BoardCommand& command) const;
    std::vector<SerialMessage> commitConfig(const BoardCommand& command) const;
    std::vector<SerialMessage> configDump(const BoardCommand& command) const;
    std::vector<SerialMessage> exportConfig(const BoardCommand& command) const;
    std::vector<SerialMessage> looptime(const BoardCommand& command) const;
    std::vector<SerialMessage> pause(const BoardCommand& command) const;
    std::vector<SerialMessage> singleStep(const BoardCommand& command) const;
    std::vector<SerialMessage> liveValue(const BoardCommand& command) const;
    std::vector<SerialMessage> requestBootloader(const BoardCommand& command) const;
    std::vector<SerialMessage> romWriteStart(const BoardCommand& command) const;
    std::vector<SerialMessage> romWriteFinish(const BoardCommand& command) const;
    // Queues through the flasher, which loads and checks the file first; builds nothing itself.
    std::vector<SerialMessage> writeFirmware(const BoardCommand& command) const;
    // Ends the board's running write on purpose, through the flasher.
    std::vector<SerialMessage> cancelFirmware(const BoardCommand& command) const;
    // Awaits the image the editor announces, as the connection's next binary message.
    std::vector<SerialMessage> writeFirmwareImage(const BoardCommand& command) const;

    // An image announced by write_firmware_image and not yet come: made by the announcement, dropped when the image
    // comes or its editor leaves. One per editor and one per board at a time.
    struct AwaitedImage {
        std::string port;
        std::string name;
        size_t size = 0;
    };

    static const BoardCommandRow boardCommands[];

    Sessions& sessions;
    BoardLink& boards;
    const NodeConversionRegistry& nodeConversions;
    const FeatureConversionRegistry& featureConversions;
    FirmwareFlasher& flasher;
    FirmwareFileList firmwareFiles;
    RefreshLimiter refreshes;
    // Changed by the command table's write_firmware_image row, whose builders are const like every row's.
    mutable std::unordered_map<EditorId, AwaitedImage> awaitedImages;
};
