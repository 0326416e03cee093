#pragma once

#include <string>

// The whole content of the file into text; false (text untouched) when it cannot be opened or read.
bool readWholeFile(const std::string& path, std::string& text);
