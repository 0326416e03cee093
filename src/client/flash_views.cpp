#include "client/flash_views.h"

#include <map>
#include <string>

namespace {

struct Speed {
    double kibPerSecond = 0;
    double secondsLeft = 0;
};

Speed speedOf(const BoardFlash& board, uint64_t totalBytes, uint64_t nowMs)
{
    Speed speed;
    const double seconds = static_cast<double>(nowMs - board.writeStartedMs) / 1000.0;
    if (seconds > 0 && board.verifiedBytes > 0) {
        const double bytesPerSecond = static_cast<double>(board.verifiedBytes) / seconds;
        speed.kibPerSecond = bytesPerSecond / 1024.0;
        speed.secondsLeft = static_cast<double>(totalBytes - board.verifiedBytes) / bytesPerSecond;
    }
    return speed;
}

class LineView : public FlashListener {
public:
    explicit LineView(const ClientOutput& output) : output(output) {}
    void stageEntered(const BoardFlash& board, const std::string& text) override
    {
        output.line(board.port + ": " + (board.stage == FlashStage::failed ? "failed: " : "") + text);
    }
    void progressed(const BoardFlash&, uint64_t, uint64_t) override {}

private:
    const ClientOutput& output;
};

class JsonView : public FlashListener {
public:
    explicit JsonView(const ClientOutput& output) : output(output) {}
    void stageEntered(const BoardFlash& board, const std::string& text) override
    {
        Json::Value event(Json::objectValue);
        event["event"] = "stage";
        event["port"] = board.port;
        event["stage"] = flashStageName(board.stage);
        event["text"] = text;
        output.event(event);
    }
    void progressed(const BoardFlash& board, uint64_t totalBytes, uint64_t nowMs) override
    {
        const uint64_t tenth = totalBytes == 0 ? 10 : board.verifiedBytes * 10 / totalBytes;
        int& reported = tenthsReported[board.port];
        if (static_cast<int>(tenth) <= reported)
            return;
        reported = static_cast<int>(tenth);
        const Speed speed = speedOf(board, totalBytes, nowMs);
        Json::Value event(Json::objectValue);
        event["event"] = "progress";
        event["port"] = board.port;
        event["verifiedBytes"] = Json::UInt64(board.verifiedBytes);
        event["totalBytes"] = Json::UInt64(totalBytes);
        event["kibPerSecond"] = speed.kibPerSecond;
        event["secondsLeft"] = speed.secondsLeft;
        output.event(event);
    }

private:
    const ClientOutput& output;
    std::map<std::string, int> tenthsReported;
};

// One line per board, drawn again in place: the cursor goes back up over the lines drawn before.
class TerminalView : public FlashListener {
public:
    explicit TerminalView(const ClientOutput& output) : output(output) {}
    void stageEntered(const BoardFlash& board, const std::string& text) override
    {
        lines[board.port] = board.port + "  " + (board.stage == FlashStage::failed ? "failed: " : "") + text;
        draw();
    }
    void progressed(const BoardFlash& board, uint64_t totalBytes, uint64_t nowMs) override
    {
        const Speed speed = speedOf(board, totalBytes, nowMs);
        const int width = 30;
        const int filled = totalBytes == 0 ? width : static_cast<int>(board.verifiedBytes * width / totalBytes);
        const int percent = totalBytes == 0 ? 100 : static_cast<int>(board.verifiedBytes * 100 / totalBytes);
        char numbers[160];
        std::snprintf(numbers, sizeof numbers, "%3d%%  %s of %s KiB  %.1f KiB/s  %.1f s left", percent,
                      kibText(static_cast<double>(board.verifiedBytes)).c_str(),
                      kibText(static_cast<double>(totalBytes)).c_str(), speed.kibPerSecond, speed.secondsLeft);
        lines[board.port] =
            board.port + "  [" + std::string(filled, '#') + std::string(width - filled, '.') + "] " + numbers;
        // A terminal need not be drawn more often than the eye follows.
        if (nowMs - lastDrawMs >= 100 || board.verifiedBytes == totalBytes) {
            lastDrawMs = nowMs;
            draw();
        }
    }

private:
    void draw()
    {
        std::string text;
        if (drawnLines > 0)
            text += "\x1b[" + std::to_string(drawnLines) + "A";
        for (const auto& entry : lines)
            text += "\r\x1b[2K" + entry.second + "\n";
        drawnLines = lines.size();
        output.raw(text);
    }

    const ClientOutput& output;
    std::map<std::string, std::string> lines;
    size_t drawnLines = 0;
    uint64_t lastDrawMs = 0;
};

} // namespace

std::unique_ptr<FlashListener> makeFlashView(const ClientOutput& output)
{
    if (output.json())
        return std::make_unique<JsonView>(output);
    if (output.terminal())
        return std::make_unique<TerminalView>(output);
    return std::make_unique<LineView>(output);
}

const char* flashStageName(FlashStage stage)
{
    switch (stage) {
    case FlashStage::version: return "version";
    case FlashStage::size: return "size";
    case FlashStage::bootloader: return "bootloader";
    case FlashStage::write: return "write";
    case FlashStage::application: return "application";
    case FlashStage::again: return "again";
    case FlashStage::done: return "done";
    case FlashStage::failed: return "failed";
    }
    return "";
}
