#include "client/firmware_image.h"

#include <fstream>
#include <iterator>

namespace {

// No board has more flash than this; a larger file is no firmware image.
constexpr size_t largestImageBytes = 64u << 20;

} // namespace

Outcome readFirmwareImage(const std::string& path, std::vector<uint8_t>& image)
{
    std::ifstream file(path, std::ios::binary);
    if (!file)
        return Outcome::failure(ExitStatus::usage, "cannot read " + path + ": give the path of a firmware file");
    file.seekg(0, std::ios::end);
    const std::streamoff size = file.tellg();
    if (size < 0)
        return Outcome::failure(ExitStatus::usage, "cannot read " + path + ": give the path of a firmware file");
    if (static_cast<uint64_t>(size) > largestImageBytes)
        return Outcome::failure(ExitStatus::usage, path + " is larger than any board's flash: is it a firmware image?");
    file.seekg(0);
    image.assign(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
    if (image.empty())
        return Outcome::failure(ExitStatus::usage, path + " is empty: give a firmware file with content");
    return Outcome::success();
}

std::string fileBaseName(const std::string& path)
{
    const size_t slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}
