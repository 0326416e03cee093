// Writes the converters' field tables as the JSON file the console builds its forms from; with --check, tells
// whether that file is still what the converters say (a stale file would let the console send wrong keys).
#include <cstdio>
#include <cstring>
#include <fstream>
#include <string>

#include <json/json.h>

#include "conversion/feature_conversion.h"
#include "conversion/node_conversion.h"
#include "conversion/table_description.h"
#include "core/whole_file.h"

int main(int argc, char** argv)
{
    const bool check = argc == 3 && std::strcmp(argv[1], "--check") == 0;
    if (argc != 2 && !check) {
        std::fprintf(stderr, "Usage: %s [--check] mount-origin/tables.json\n", argv[0]);
        return 2;
    }
    const char* path = argv[argc - 1];
    NodeConversionRegistry nodes;
    nodes.registerNodeConversions();
    FeatureConversionRegistry features;
    features.registerFeatureConversions();
    Json::StreamWriterBuilder builder;
    builder["indentation"] = " ";
    const std::string text = Json::writeString(builder, describeFieldTables(nodes, features)) + "\n";

    if (check) {
        std::string current;
        if (readWholeFile(path, current) && current == text)
            return 0;
        std::fprintf(stderr, "%s is out of date: run 'cmake --build <build dir> --target tables' and commit it\n",
                     path);
        return 1;
    }
    std::ofstream file(path, std::ios::binary | std::ios::trunc);
    file << text;
    return file.good() ? 0 : 1;
}
