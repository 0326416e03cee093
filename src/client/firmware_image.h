#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "client/outcome.h"

// Reads the firmware file of this machine that a write sends; a file that cannot be read, is empty or is larger than
// any board's flash is a usage mistake that says so.
Outcome readFirmwareImage(const std::string& path, std::vector<uint8_t>& image);
// The file's name without its folders, as the relay names the image in its replies and events.
std::string fileBaseName(const std::string& path);
