#pragma once

#include <string>

#include <json/value.h>

// The firmware files of the working directory: regular files (links followed) directly in it whose names end in
// ".bin", as {"firmwareFilesList": [{"name": ..., "size": ...}, ...]} in the order the file system gives them.
Json::Value firmwareFileListJson();

// True for a name the list could hold as it stands: a bare name (no '/', no NUL) that ends in ".bin". Anything
// else an editor sends is no firmware file of the working directory.
bool isFirmwareFileName(const std::string& name);
