#pragma once

#include <json/value.h>

// The firmware files of the working directory: regular files (links followed) directly in it whose names end in
// ".bin", as {"firmwareFilesList": [{"name": ..., "size": ...}, ...]} in the order the file system gives them.
Json::Value firmwareFileListJson();
