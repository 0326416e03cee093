#include "bench/micro_summary.h"

#include <cstdio>
#include <fstream>
#include <map>
#include <memory>

#include <json/json.h>

namespace {

// One benchmark at its fastest repetition.
struct Fastest {
    double cpuNs = 0;
    Json::Value run;
};

double nanosecondsPer(const std::string& unit)
{
    if (unit == "us")
        return 1e3;
    if (unit == "ms")
        return 1e6;
    if (unit == "s")
        return 1e9;
    return 1.0;
}

bool readRuns(const std::string& path, std::map<std::string, Fastest>& runs)
{
    std::ifstream in(path);
    Json::Value document;
    Json::CharReaderBuilder builder;
    std::string errors;
    if (!in || !Json::parseFromStream(builder, in, &document, &errors) || !document.isObject() ||
        !document["benchmarks"].isArray())
        return false;
    for (const Json::Value& run : document["benchmarks"]) {
        if (!run.isObject() || run["run_type"].asString() != "iteration" || !run["cpu_time"].isNumeric())
            continue;
        const double cpuNs = run["cpu_time"].asDouble() * nanosecondsPer(run["time_unit"].asString());
        auto found = runs.find(run["run_name"].asString());
        if (found == runs.end() || cpuNs < found->second.cpuNs)
            runs[run["run_name"].asString()] = Fastest{cpuNs, run};
    }
    return true;
}

std::string format(const char* pattern, double value)
{
    char text[64];
    std::snprintf(text, sizeof text, pattern, value);
    return text;
}

bool startsWith(const std::string& text, const std::string& prefix)
{
    return text.compare(0, prefix.size(), prefix) == 0;
}

// The slowest benchmark whose name starts with prefix; false when there is none.
bool slowest(const std::map<std::string, Fastest>& runs, const std::string& prefix, std::string& name, double& cpuNs)
{
    bool any = false;
    for (const auto& [runName, fastest] : runs) {
        if (startsWith(runName, prefix) && (!any || fastest.cpuNs > cpuNs)) {
            any = true;
            name = runName.substr(prefix.size());
            cpuNs = fastest.cpuNs;
        }
    }
    return any;
}

void addConverterRow(ResultTable& table, const std::map<std::string, Fastest>& runs, const std::string& prefix,
                     const std::string& figure, bool hasTarget)
{
    std::string name;
    double cpuNs = 0;
    if (!slowest(runs, prefix, name, cpuNs))
        return;
    const std::string measured = format("%.2f us", cpuNs / 1e3) + " (" + name + ")";
    if (hasTarget)
        table.add(figure, measured, "< 2 us", cpuNs < 2000.0);
    else
        table.info(figure, measured);
}

// The largest "ratio" counter among the benchmarks whose name starts with prefix (our side's time over JsonCpp's).
void addWriterRow(ResultTable& table, const std::map<std::string, Fastest>& runs, const std::string& prefix,
                  const std::string& figure)
{
    bool any = false;
    double worst = 0;
    std::string worstName;
    for (const auto& [runName, fastest] : runs) {
        const Json::Value& ratio = fastest.run["ratio"];
        if (!startsWith(runName, prefix) || !ratio.isNumeric())
            continue;
        if (!any || ratio.asDouble() > worst) {
            any = true;
            worst = ratio.asDouble();
            worstName = runName.substr(prefix.size());
        }
    }
    if (any)
        table.add(figure, format("%.2f", worst) + " (" + worstName + ")", "<= 1", worst <= 1.0);
}

} // namespace

void addMicroBenchmarkRows(ResultTable& table, const std::string& jsonPath)
{
    std::map<std::string, Fastest> runs;
    if (!readRuns(jsonPath, runs)) {
        table.failed("micro-benchmarks", "no results in " + jsonPath);
        return;
    }
    addConverterRow(table, runs, "decodeNode/", "micro: slowest node decoder", true);
    addConverterRow(table, runs, "encodeNode/", "micro: slowest node encoder", true);
    addConverterRow(table, runs, "decodeFeature/", "micro: slowest feature decoder", false);
    addConverterRow(table, runs, "encodeFeature/", "micro: slowest feature encoder", false);
    addWriterRow(table, runs, "CompactJsonWriter_vs_jsoncpp/", "micro: compact writer / JsonCpp's (worst reply)");
    addWriterRow(table, runs, "formatJsonReal_vs_jsoncpp/", "micro: formatJsonReal / JsonCpp's");

    const auto serial = runs.find("processSerialByte/mixed_frames");
    if (serial != runs.end() && serial->second.run["bytes_per_second"].isNumeric())
        table.info("micro: serial parsing",
                   format("%.0f MB/s", serial->second.run["bytes_per_second"].asDouble() / 1e6));
    const auto piece = runs.find("receivedPiece/1MiB_held_vs_nothing");
    if (piece != runs.end() && piece->second.run["ratio"].isNumeric()) {
        const double ratio = piece->second.run["ratio"].asDouble();
        table.add("micro: received piece, 1 MiB held / nothing held", format("%.2f", ratio), "<= 2", ratio <= 2.0);
    }
    // A refresh takes the list as kept or updated by what changed; the whole folder is read only at the first look
    // (and when the folder's change queue overflowed).
    const struct {
        const char* run;
        const char* figure;
        bool hasTarget;
    } lists[] = {{"unchanged", "unchanged", true},
                 {"after_a_write", "after a file was written", true},
                 {"first_read", "first read", false},
                 {"greeting", "a new editor's greeting", true}};
    for (const auto& list : lists) {
        const auto found = runs.find(std::string("firmwareFileList/20000_files_") + list.run);
        if (found == runs.end())
            continue;
        const double ms = found->second.cpuNs / 1e6;
        const std::string figure = std::string("micro: firmware list of 20000 files, ") + list.figure;
        if (list.hasTarget)
            table.add(figure, format("%.3f ms", ms), "<= 50 ms", ms <= 50.0);
        else
            table.info(figure, format("%.1f ms", ms));
    }
    // The editors are counted, not walked: 256 of them cost what one does.
    const auto scrape = runs.find("statusScrape/16_boards");
    if (scrape != runs.end()) {
        const double ms = scrape->second.cpuNs / 1e6;
        table.add("micro: /health and /metrics with 16 boards", format("%.3f ms", ms), "< 1 ms", ms < 1.0);
    }
    const auto command = runs.find("handleWebCommand_vs_parse/addNode_pid");
    if (command != runs.end() && command->second.run["ratio"].isNumeric())
        table.info("micro: addNode command / its JSON parse", format("%.2f", command->second.run["ratio"].asDouble()));
}
