#pragma once

#include <string>

#include "bench/result_table.h"

// Adds the micro-benchmarks' figures that have targets (the slowest node converters, the compact writer against
// JsonCpp's) and a few for context to the table, from the JSON file the micro-benchmark program wrote with
// --benchmark_out. Each benchmark counts with its least CPU time over its repetitions. Groups that the run left
// out (a filter) add no row; a file that cannot be read adds a failed row.
void addMicroBenchmarkRows(ResultTable& table, const std::string& jsonPath);
