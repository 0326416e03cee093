#include "firmware/firmware_file_list.h"

#include <filesystem>
#include <system_error>

#include "core/logger.h"

namespace fs = std::filesystem;

namespace {

bool endsWithBin(const std::string& name) { return name.size() >= 4 && name.compare(name.size() - 4, 4, ".bin") == 0; }

} // namespace

bool isFirmwareFileName(const std::string& name)
{
    return endsWithBin(name) && name.find('/') == std::string::npos && name.find('\0') == std::string::npos;
}

Json::Value firmwareFileListJson()
{
    Json::Value reply(Json::objectValue);
    Json::Value& files = reply["firmwareFilesList"] = Json::Value(Json::arrayValue);

    std::error_code error;
    const fs::path workingDirectory = fs::canonical(".", error);
    if (error) {
        logger.log(LogLevel::ERROR, "Cannot read the working directory: %s", error.message().c_str());
        return reply;
    }
    fs::directory_iterator entries(workingDirectory, error);
    if (error) {
        logger.log(LogLevel::ERROR, "Cannot list the working directory: %s", error.message().c_str());
        return reply;
    }
    for (; entries != fs::directory_iterator(); entries.increment(error)) {
        if (error)
            break;
        std::error_code entryError;
        const fs::path& path = entries->path();
        // Status with links followed: a link to a regular file is listed, a link to a directory is not.
        if (!fs::is_regular_file(fs::status(path, entryError)) || entryError)
            continue;
        const fs::path resolved = fs::canonical(path, entryError);
        if (entryError)
            continue;
        const std::string name = resolved.lexically_relative(workingDirectory).u8string();
        if (!endsWithBin(name))
            continue;
        const uintmax_t size = fs::file_size(resolved, entryError);
        if (entryError)
            continue;
        Json::Value file(Json::objectValue);
        file["name"] = name;
        file["size"] = static_cast<Json::Int64>(size);
        files.append(file);
    }
    if (error)
        logger.log(LogLevel::ERROR, "Cannot list the working directory: %s", error.message().c_str());
    return reply;
}
