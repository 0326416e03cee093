#include <gtest/gtest.h>

#include <vector>

#include "core/little_endian.h"
#include "device/message_type.h"
#include "simulation/board_frame_codec.h"
#include "simulation/simulated_board.h"

namespace {

using Bytes = std::vector<uint8_t>;

Bytes frameOf(uint16_t type, const Bytes& payload)
{
    Bytes frame;
    EXPECT_TRUE(encodeBoardFrame(type, payload.data(), payload.size(), frame));
    return frame;
}

void send(SimulatedBoard& board, uint16_t type, const Bytes& payload = {})
{
    const Bytes frame = frameOf(type, payload);
    board.receiveFromHost(frame.data(), frame.size());
}

// Reads until two polls in a row see nothing (one empty poll only separates pieces in split mode).
Bytes drainBytes(SimulatedBoard& board)
{
    Bytes out;
    int emptyPolls = 0;
    for (int i = 0; i < 100000 && emptyPolls < 2; ++i) {
        const size_t available = board.outputAvailable();
        if (available == 0) {
            ++emptyPolls;
            continue;
        }
        emptyPolls = 0;
        Bytes chunk(available);
        chunk.resize(board.takeOutput(chunk.data(), chunk.size()));
        out.insert(out.end(), chunk.begin(), chunk.end());
    }
    return out;
}

std::vector<BoardMessage> parse(const Bytes& bytes)
{
    BoardFrameReader reader;
    std::vector<BoardMessage> messages;
    BoardMessage message;
    for (uint8_t b : bytes)
        if (reader.feed(b, message))
            messages.push_back(message);
    return messages;
}

std::vector<BoardMessage> drain(SimulatedBoard& board) { return parse(drainBytes(board)); }

std::vector<uint16_t> typesOf(const std::vector<BoardMessage>& messages)
{
    std::vector<uint16_t> types;
    for (const BoardMessage& m : messages)
        types.push_back(m.type);
    return types;
}

// A record payload of the type's fixed size with the node id at its place and a recognisable fill.
Bytes recordPayload(uint16_t type, uint16_t id, uint8_t fill)
{
    Bytes payload(getPayloadSizeFromMessageType(type), fill);
    payload[0] = 0;
    writeU16(payload.data() + 1, id);
    return payload;
}

Bytes u32Bytes(uint32_t value)
{
    Bytes bytes(4);
    writeU32(bytes.data(), value);
    return bytes;
}

Bytes romChunk(uint32_t offset, const Bytes& image)
{
    Bytes payload = u32Bytes(offset);
    for (uint32_t i = 0; i < 32; ++i)
        payload.push_back(offset + i < image.size() ? image[offset + i] : 0);
    return payload;
}

} // namespace

TEST(BoardFrameCodec, MatchesKnownFramesAndChecksums)
{
    const uint8_t abc[] = {0x61, 0x62, 0x63};
    uint8_t first = 0;
    uint8_t second = 0;
    boardChecksum(abc, 3, first, second);
    EXPECT_EQ(first, 0x26);
    EXPECT_EQ(second, 0x4A);

    const Bytes ack = {0x55, 0xAA, 0x12, 0x00, 0x05, 0x00, 0x00, 0x17, 0x69};
    EXPECT_EQ(frameOf(MT_ACK, {0}), ack);
    const std::vector<BoardMessage> parsed = parse(ack);
    ASSERT_EQ(parsed.size(), 1u);
    EXPECT_EQ(parsed[0].type, MT_ACK);
    EXPECT_EQ(parsed[0].payload, Bytes{0});
}

TEST(BoardFrameCodec, ReaderResynchronisesAndRejectsBadFrames)
{
    BoardFrameReader reader;
    BoardMessage message;
    auto feedAll = [&](const Bytes& bytes) {
        int completed = 0;
        for (uint8_t b : bytes)
            completed += reader.feed(b, message) ? 1 : 0;
        return completed;
    };
    // Noise, a repeated first preamble byte, then a header-only frame.
    Bytes stream = {0x00, 0x13, 0x55, 0x55};
    const Bytes nack = frameOf(MT_NACK, {});
    stream.insert(stream.end(), nack.begin() + 1, nack.end());
    EXPECT_EQ(feedAll(stream), 1);
    EXPECT_EQ(message.type, MT_NACK);
    EXPECT_TRUE(message.payload.empty());

    Bytes badChecksum = frameOf(MT_LED, {1});
    badChecksum.back() ^= 0x01;
    EXPECT_EQ(feedAll(badChecksum), 0);
    EXPECT_EQ(reader.rejectedFrames(), 1u);

    const Bytes tooShort = {0x55, 0xAA, 0x13, 0x00, 0x03, 0x00};
    const Bytes tooLong = {0x55, 0xAA, 0x13, 0x00, 0x9B, 0x00};
    EXPECT_EQ(feedAll(tooShort), 0);
    EXPECT_EQ(feedAll(tooLong), 0);
    EXPECT_EQ(reader.rejectedFrames(), 3u);

    // The reader still takes the next good frame, and the largest message the relay sends.
    EXPECT_EQ(feedAll(frameOf(MT_NODE_MAPPING_BIDIRECTIONAL, Bytes(150, 7))), 1);
    EXPECT_EQ(message.payload.size(), 150u);
}

TEST(SimulatedBoard, AnswersEachRequestKindInApplicationMode)
{
    struct Case {
        const char* what;
        uint16_t type;
        Bytes payload;
        std::vector<uint16_t> answers;
    } cases[] = {
        {"led", MT_LED, {0}, {MT_ACK}},
        {"pause", MT_PAUSE, {1}, {MT_ACK}},
        {"single step", MT_SINGLE_STEP, {1}, {MT_ACK}},
        {"reset", MT_CONFIG_RESET, {1}, {MT_ACK}},
        {"live value", MT_SET_LIVE_VALUE, {5, 0, 0}, {MT_ACK}},
        {"version", MT_VERSION, Bytes(23, 0), {MT_VERSION}},
        {"capabilities", MT_CAPABILITIES, {0}, {MT_CAPABILITIES}},
        {"bootloader status", MT_REQUEST_BOOTLOADER, {0xFF, 0xFF}, {MT_REQUEST_BOOTLOADER}},
        {"commit", MT_CONFIG_COMMIT, Bytes(6, 0), {MT_CONFIG_COMMIT}},
        {"dump", MT_CONFIG_DUMP, {0}, {MT_CONFIG_DUMP}},
        {"export", MT_EXPORT_CONFIG, {0}, {MT_EXPORT_CONFIG, MT_EXPORT_COMMIT}},
        {"looptime", MT_LOOPTIME, Bytes(8, 0), {MT_LOOPTIME}},
        {"tweak", MT_TWEAK, Bytes(8, 0), {}},
        {"node record", MT_NODE_CONSTANT, recordPayload(MT_NODE_CONSTANT, 3, 0), {MT_ACK}},
        {"feature record", MT_CONFIG_NRF24, Bytes(15, 1), {MT_ACK}},
        {"record of a wrong size", MT_NODE_CONSTANT, Bytes(11, 1), {MT_NACK}},
        {"node without id", MT_NODE_CLAMP, recordPayload(MT_NODE_CLAMP, 0, 0), {MT_NACK}},
        {"rom write outside the bootloader", MT_BOOTLOADER_ROM_WRITE_START, u32Bytes(64), {MT_NACK}},
        {"rom data outside the bootloader", MT_BOOTLOADER_ROM_WRITE_DATA, romChunk(0, {}), {MT_NACK}},
        {"unknown type", MT_UNUSED_21, {}, {MT_NACK}},
    };
    for (const Case& c : cases) {
        SimulatedBoard board;
        send(board, c.type, c.payload);
        const std::vector<BoardMessage> answers = drain(board);
        EXPECT_EQ(typesOf(answers), c.answers) << c.what;
        ASSERT_EQ(board.received().size(), 1u) << c.what;
        EXPECT_EQ(board.received()[0].type, c.type) << c.what;
        EXPECT_EQ(board.received()[0].payload, c.payload) << c.what;
        for (const BoardMessage& m : answers) {
            if (m.type == MT_ACK) {
                EXPECT_EQ(m.payload, Bytes{0}) << c.what;
            }
            if (m.type == MT_NACK) {
                EXPECT_TRUE(m.payload.empty()) << c.what;
            }
        }
    }
}

TEST(SimulatedBoard, AnswersInRequestOrderWhenFramesArriveTogether)
{
    SimulatedBoard board;
    Bytes stream;
    for (uint16_t type : {MT_VERSION, MT_CAPABILITIES, MT_REQUEST_BOOTLOADER}) {
        const Bytes payload = type == MT_VERSION        ? Bytes(23, 0)
                              : type == MT_CAPABILITIES ? Bytes{0}
                                                        : Bytes{0xFF, 0xFF};
        const Bytes frame = frameOf(type, payload);
        stream.insert(stream.end(), frame.begin(), frame.end());
    }
    // Fed one byte at a time, as a slow link would deliver them.
    for (uint8_t b : stream)
        board.receiveFromHost(&b, 1);
    EXPECT_EQ(typesOf(drain(board)), (std::vector<uint16_t>{MT_VERSION, MT_CAPABILITIES, MT_REQUEST_BOOTLOADER}));
}

TEST(SimulatedBoard, VersionCapabilitiesAndBootloaderSwitch)
{
    SimulatedBoard::Identity identity;
    identity.versionMajor = 2;
    identity.idcode = 0xAABBCCDD;
    identity.serial[2] = 0x01020304;
    identity.flashSizeKiB = 256;
    SimulatedBoard board(identity);

    send(board, MT_VERSION, Bytes(23, 0));
    std::vector<BoardMessage> answers = drain(board);
    ASSERT_EQ(answers.size(), 1u);
    const Bytes& version = answers[0].payload;
    ASSERT_EQ(version.size(), 23u);
    EXPECT_EQ(version[0], 2);
    EXPECT_EQ(version[3] & 1, 0);
    EXPECT_EQ(readU32(version.data() + 4), 0xAABBCCDDu);
    EXPECT_EQ(readU32(version.data() + 16), 0x01020304u);
    EXPECT_EQ(readU16(version.data() + 20), 256);

    send(board, MT_CAPABILITIES, {0});
    answers = drain(board);
    ASSERT_EQ(answers.size(), 1u);
    const Bytes& caps = answers[0].payload;
    ASSERT_EQ(caps.size(), 56u);
    EXPECT_EQ(readU16(caps.data()), 54);
    EXPECT_EQ(caps[2], 0) << "id 0 is no node type";
    for (size_t id = 1; id < 54; ++id)
        EXPECT_EQ(caps[2 + id], 3) << id;

    struct Step {
        Bytes request;
        SimulatedBoard::Mode mode;
        Bytes status;
    } steps[] = {
        {{0xFF, 0xFF}, SimulatedBoard::Mode::Application, {0, 1}},
        {{1, 0xFF}, SimulatedBoard::Mode::Bootloader, {1, 1}},
        {{0xFF, 3}, SimulatedBoard::Mode::Bootloader, {1, 3}},
        {{0, 0xFF}, SimulatedBoard::Mode::Application, {0, 3}},
    };
    for (const Step& step : steps) {
        send(board, MT_REQUEST_BOOTLOADER, step.request);
        answers = drain(board);
        ASSERT_EQ(answers.size(), 1u);
        EXPECT_EQ(answers[0].type, MT_REQUEST_BOOTLOADER);
        EXPECT_EQ(answers[0].payload, step.status);
        EXPECT_EQ(board.currentMode(), step.mode);
    }

    board.setMode(SimulatedBoard::Mode::Bootloader);
    send(board, MT_VERSION, Bytes(23, 0));
    answers = drain(board);
    ASSERT_EQ(answers.size(), 1u);
    EXPECT_EQ(answers[0].payload[3] & 1, 1) << "the version tells the bootloader runs";
    send(board, MT_NODE_CONSTANT, recordPayload(MT_NODE_CONSTANT, 1, 0));
    EXPECT_EQ(typesOf(drain(board)), std::vector<uint16_t>{MT_NACK}) << "the bootloader takes no configuration";
}

TEST(SimulatedBoard, ExportsExactlyTheRecordsItKeeps)
{
    SimulatedBoard board;
    const Bytes analog = recordPayload(MT_NODE_ANALOG_INPUT, 7, 0x11);
    const Bytes constant = recordPayload(MT_NODE_CONSTANT, 2, 0x22);
    const Bytes replaced = recordPayload(MT_NODE_MAPPING_BIDIRECTIONAL, 7, 0x33);
    const Bytes rgbled(getPayloadSizeFromMessageType(MT_CONFIG_RGBLED), 0x44);
    const Bytes gps(getPayloadSizeFromMessageType(MT_CONFIG_GPS_INPUT), 0x55);
    send(board, MT_NODE_ANALOG_INPUT, analog);
    send(board, MT_NODE_CONSTANT, constant);
    send(board, MT_NODE_MAPPING_BIDIRECTIONAL, replaced); // same id 7: replaces the analog input
    send(board, MT_CONFIG_RGBLED, rgbled);
    send(board, MT_CONFIG_GPS_INPUT, gps);
    EXPECT_EQ(typesOf(drain(board)), std::vector<uint16_t>(5, MT_ACK));
    ASSERT_EQ(board.nodes().size(), 2u);
    EXPECT_EQ(readU16(board.nodes().at(7).data()), MT_NODE_MAPPING_BIDIRECTIONAL);
    EXPECT_EQ(readU16(board.nodes().at(7).data() + 2), 154) << "whole record, length included";

    send(board, MT_CONFIG_COMMIT, Bytes(6, 0));
    send(board, MT_LOOPTIME, Bytes(8, 0));
    send(board, MT_CONFIG_DUMP, {0});
    std::vector<BoardMessage> answers = drain(board);
    ASSERT_EQ(typesOf(answers), (std::vector<uint16_t>{MT_CONFIG_COMMIT, MT_LOOPTIME, MT_CONFIG_DUMP}));
    const uint32_t memory = 16 + 154;
    EXPECT_EQ(answers[0].payload.size(), 6u);
    EXPECT_EQ(readU16(answers[0].payload.data()), 2);
    EXPECT_EQ(readU32(answers[0].payload.data() + 2), memory);
    EXPECT_EQ(answers[1].payload.size(), 8u);
    EXPECT_GT(readU16(answers[1].payload.data()), 0);
    EXPECT_EQ(readU16(answers[1].payload.data() + 2), 2);
    EXPECT_EQ(readU32(answers[1].payload.data() + 4), memory);
    // Node type numbers in node id order: constant (18) for id 2, bidirectional mapping (37) for id 7.
    EXPECT_EQ(answers[2].payload, (Bytes{2, 0, 18, 0, 37, 0}));

    send(board, MT_EXPORT_CONFIG, {5});
    answers = drain(board);
    ASSERT_EQ(typesOf(answers),
              (std::vector<uint16_t>{MT_EXPORT_CONFIG, MT_CONFIG_GPS_INPUT, MT_CONFIG_RGBLED, MT_NODE_CONSTANT,
                                     MT_NODE_MAPPING_BIDIRECTIONAL, MT_EXPORT_COMMIT}));
    EXPECT_EQ(answers[0].payload, Bytes{5});
    EXPECT_EQ(answers[1].payload, gps);
    EXPECT_EQ(answers[2].payload, rgbled);
    EXPECT_EQ(answers[3].payload, constant);
    EXPECT_EQ(answers[4].payload, replaced);
    EXPECT_EQ(answers[5].payload, (Bytes{2, 0}));

    send(board, MT_CONFIG_RESET, {1});
    send(board, MT_EXPORT_CONFIG, {0});
    EXPECT_EQ(typesOf(drain(board)), (std::vector<uint16_t>{MT_ACK, MT_EXPORT_CONFIG, MT_EXPORT_COMMIT}));
    EXPECT_TRUE(board.nodes().empty());
    EXPECT_TRUE(board.features().empty());
}

TEST(SimulatedBoard, DumpNamesEveryNodeRecordTypeByItsNodeTypeNumber)
{
    struct Case {
        uint16_t messageType;
        uint16_t nodeType;
    } cases[] = {{MT_NODE_CONSTANT, 18},     {MT_NODE_UNARYOP, 16},     {MT_NODE_MIX, 25},
                 {MT_NODE_COLOR, 24},        {MT_NODE_MAPPING, 36},     {MT_NODE_STRUCTMEMBER, 41},
                 {MT_NODE_DIGITAL_INPUT, 1}, {MT_NODE_ANALOG_INPUT, 2}, {MT_NODE_SERVO_PWM_INPUT, 6},
                 {MT_NODE_PPM_INPUT, 34},    {MT_NODE_PPM_OUTPUT, 35},  {MT_NODE_BARO_INPUT, 42},
                 {MT_NODE_DS3502_OUTPUT, 53}};
    for (const Case& c : cases) {
        SimulatedBoard board;
        send(board, c.messageType, recordPayload(c.messageType, 1, 0));
        send(board, MT_CONFIG_DUMP, {0});
        const std::vector<BoardMessage> answers = drain(board);
        ASSERT_EQ(answers.size(), 2u);
        EXPECT_EQ(answers[1].payload, (Bytes{1, 0, static_cast<uint8_t>(c.nodeType), 0})) << c.messageType;
    }
}

TEST(SimulatedBoard, LiveValuesFollowTicksAtMostEvery100Ms)
{
    SimulatedBoard board;
    board.tick(1000);
    EXPECT_TRUE(drain(board).empty()) << "nothing is watched yet";

    send(board, MT_SET_LIVE_VALUE, {9, 1, 0});
    EXPECT_EQ(typesOf(drain(board)), std::vector<uint16_t>{MT_ACK});
    std::vector<float> values;
    for (uint64_t now : {1000, 1050, 1099, 1100, 1250, 3000}) {
        board.tick(now);
        for (const BoardMessage& m : drain(board)) {
            EXPECT_EQ(m.type, MT_LIVE_VALUE);
            ASSERT_EQ(m.payload.size(), 7u);
            EXPECT_EQ(readU16(m.payload.data()), 0x0109);
            EXPECT_EQ(m.payload[2], 0) << "a float value";
            values.push_back(readF32(m.payload.data() + 3));
        }
    }
    ASSERT_EQ(values.size(), 4u) << "at 1000, 1100, 1250 and 3000";
    EXPECT_NE(values[0], values[3]) << "the value changes over time";

    send(board, MT_CONFIG_RESET, {1});
    drain(board);
    board.tick(5000);
    EXPECT_TRUE(drain(board).empty()) << "a reset stops the watch";
}

TEST(SimulatedBoard, TakesAFirmwareWriteInItsBootloader)
{
    SimulatedBoard board;
    send(board, MT_REQUEST_BOOTLOADER, {1, 0xFF});
    drain(board);
    ASSERT_EQ(board.currentMode(), SimulatedBoard::Mode::Bootloader);

    Bytes image(70);
    for (size_t i = 0; i < image.size(); ++i)
        image[i] = static_cast<uint8_t>(i * 7 + 1);
    send(board, MT_BOOTLOADER_ROM_WRITE_START, u32Bytes(70));
    std::vector<BoardMessage> answers = drain(board);
    ASSERT_EQ(typesOf(answers), (std::vector<uint16_t>{MT_BOOTLOADER_ROM_WRITE_START, MT_ACK}));
    EXPECT_EQ(answers[0].payload, u32Bytes(2048)) << "the erase report covers whole pages";

    for (uint32_t offset : {0u, 32u, 64u}) {
        send(board, MT_BOOTLOADER_ROM_WRITE_DATA, romChunk(offset, image));
        answers = drain(board);
        ASSERT_EQ(typesOf(answers), (std::vector<uint16_t>{MT_ACK, MT_BOOTLOADER_ROM_WRITE_DATA})) << offset;
        EXPECT_EQ(answers[1].payload, romChunk(offset, image)) << offset;
    }
    send(board, MT_BOOTLOADER_ROM_WRITE_FINISH, {0});
    answers = drain(board);
    ASSERT_EQ(typesOf(answers), std::vector<uint16_t>{MT_BOOTLOADER_ROM_WRITE_FINISH});
    EXPECT_EQ(answers[0].payload, Bytes{0});
    EXPECT_TRUE(board.flashFinished());
    EXPECT_EQ(board.flashImage(), image);
}

TEST(SimulatedBoard, RefusesRomWritesThatDoNotFit)
{
    SimulatedBoard board; // 128 KiB, of which 16 KiB hold the bootloader
    board.setMode(SimulatedBoard::Mode::Bootloader);
    send(board, MT_BOOTLOADER_ROM_WRITE_DATA, romChunk(0, {}));
    send(board, MT_BOOTLOADER_ROM_WRITE_START, u32Bytes(131072 - 16384 + 1));
    send(board, MT_BOOTLOADER_ROM_WRITE_START, u32Bytes(0xFFFFFFFF));
    EXPECT_EQ(typesOf(drain(board)), std::vector<uint16_t>(3, MT_NACK));

    send(board, MT_BOOTLOADER_ROM_WRITE_START, u32Bytes(64));
    drain(board);
    send(board, MT_BOOTLOADER_ROM_WRITE_DATA, romChunk(64, {}));
    send(board, MT_BOOTLOADER_ROM_WRITE_DATA, romChunk(0xFFFFFFF0u, {}));
    send(board, MT_BOOTLOADER_ROM_WRITE_DATA, Bytes(20, 0));
    EXPECT_EQ(typesOf(drain(board)), std::vector<uint16_t>(3, MT_NACK));
}

TEST(SimulatedBoard, SilentAndRefusingBoards)
{
    SimulatedBoard silent;
    silent.setSilent(true);
    send(silent, MT_VERSION, Bytes(23, 0));
    send(silent, MT_NODE_CONSTANT, recordPayload(MT_NODE_CONSTANT, 4, 0));
    EXPECT_EQ(silent.outputAvailable(), 0u);
    EXPECT_EQ(silent.received().size(), 2u) << "a silent board still records";
    EXPECT_EQ(silent.countReceived(MT_NODE_CONSTANT), 1u);

    SimulatedBoard refusing;
    refusing.setRefuseAll(true);
    send(refusing, MT_VERSION, Bytes(23, 0));
    send(refusing, MT_TWEAK, Bytes(8, 0));
    send(refusing, MT_NODE_CONSTANT, recordPayload(MT_NODE_CONSTANT, 4, 0));
    EXPECT_EQ(typesOf(drain(refusing)), std::vector<uint16_t>(2, MT_NACK)) << "no answer to a tweak";
    EXPECT_TRUE(refusing.nodes().empty());
}

TEST(SimulatedBoard, WrongEchoFlipsTheChosenByteOfTheChosenChunk)
{
    SimulatedBoard board;
    board.setMode(SimulatedBoard::Mode::Bootloader);
    board.setWrongEcho(32, 2);
    const Bytes image(64, 0x5A);
    send(board, MT_BOOTLOADER_ROM_WRITE_START, u32Bytes(64));
    send(board, MT_BOOTLOADER_ROM_WRITE_DATA, romChunk(0, image));
    send(board, MT_BOOTLOADER_ROM_WRITE_DATA, romChunk(32, image));
    const std::vector<BoardMessage> answers = drain(board);
    ASSERT_EQ(answers.size(), 6u);
    EXPECT_EQ(answers[3].payload, romChunk(0, image));
    Bytes expected = romChunk(32, image);
    expected[4 + 2] ^= 0xFF;
    EXPECT_EQ(answers[5].payload, expected);
    EXPECT_EQ(board.flashImage()[34], 0xA5) << "the echo shows what was written";
}

TEST(SimulatedBoard, SplitFramesArriveOnePiecePerDrain)
{
    SimulatedBoard board;
    board.setSplitFrames(4);
    send(board, MT_LED, {0}); // ACK frame: 9 bytes, pieces of 4, 4 and 1
    send(board, MT_VERSION, Bytes(23, 0)); // 31 bytes
    std::vector<size_t> pieces;
    Bytes stream;
    for (int poll = 0; poll < 100; ++poll) {
        // One drain as the relay does it: read while anything is waiting.
        size_t drained = 0;
        while (size_t available = board.outputAvailable()) {
            uint8_t buffer[128];
            const size_t n = board.takeOutput(buffer, sizeof buffer);
            ASSERT_LE(n, available);
            stream.insert(stream.end(), buffer, buffer + n);
            drained += n;
        }
        if (drained == 0)
            break;
        pieces.push_back(drained);
    }
    EXPECT_EQ(pieces, (std::vector<size_t>{4, 4, 1, 4, 4, 4, 4, 4, 4, 4, 3}));
    EXPECT_EQ(typesOf(parse(stream)), (std::vector<uint16_t>{MT_ACK, MT_VERSION}));
}

TEST(SimulatedBoard, GarbageBetweenFramesAndPushedBytes)
{
    SimulatedBoard board;
    const Bytes garbage = {0x00, 0x55, 0x13, 0xAA, 0xFF};
    board.setGarbageBetweenFrames(garbage);
    send(board, MT_LED, {0});
    board.sendMessage(MT_CONFIG_UPLOAD_PROGRESS, {50, 0});
    const Bytes stream = drainBytes(board);
    Bytes expected = garbage;
    const Bytes ack = frameOf(MT_ACK, {0});
    expected.insert(expected.end(), ack.begin(), ack.end());
    expected.insert(expected.end(), garbage.begin(), garbage.end());
    const Bytes progress = frameOf(MT_CONFIG_UPLOAD_PROGRESS, {50, 0});
    expected.insert(expected.end(), progress.begin(), progress.end());
    EXPECT_EQ(stream, expected);

    board.sendRaw({1, 2, 3});
    EXPECT_EQ(drainBytes(board), (Bytes{1, 2, 3})) << "raw bytes go out as they are";
}

TEST(SimulatedBoard, BrokenFrameRateIsSeededAndBreaksFrames)
{
    auto run = [](double rate, uint32_t seed, size_t& broken) {
        SimulatedBoard board;
        board.setBrokenFrameRate(rate, seed);
        for (int i = 0; i < 200; ++i)
            send(board, MT_LED, {0});
        broken = board.brokenFramesSent();
        EXPECT_EQ(board.framesSent(), 200u);
        return drainBytes(board);
    };
    size_t broken = 0;
    const Bytes all = run(1.0, 1, broken);
    EXPECT_EQ(broken, 200u);
    EXPECT_LT(parse(all).size(), 100u) << "broken frames do not pass a checksum";

    size_t brokenA = 0;
    size_t brokenB = 0;
    const Bytes a = run(0.3, 42, brokenA);
    const Bytes b = run(0.3, 42, brokenB);
    EXPECT_EQ(a, b) << "the same seed breaks the same frames";
    EXPECT_GT(brokenA, 20u);
    EXPECT_LT(brokenA, 100u);
    const size_t intact = parse(a).size();
    EXPECT_LT(intact, 200u);
    EXPECT_GE(intact, 200u - 2 * brokenA) << "a cut frame costs at most the frame after it";

    size_t none = 0;
    EXPECT_EQ(parse(run(0.0, 42, none)).size(), 200u);
    EXPECT_EQ(none, 0u);
}
