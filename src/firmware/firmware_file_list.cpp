#include "firmware/firmware_file_list.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <memory>

#include <json/value.h>

#include "core/logger.h"
#include "json/compact_json_writer.h"

namespace {

bool endsWithBin(const char* name, size_t length)
{
    return length >= 4 && std::memcmp(name + length - 4, ".bin", 4) == 0;
}

// What changes the list: an entry added, removed or renamed, a file written or cut.
constexpr uint32_t watchedEvents = IN_CREATE | IN_DELETE | IN_MOVED_FROM | IN_MOVED_TO | IN_MODIFY | IN_ONLYDIR;

// Reads of the event queue per look; a directory that changes faster than that is read again instead.
constexpr int maxEventReads = 64;

struct DirectoryCloser {
    void operator()(DIR* directory) const { closedir(directory); }
};

// The file's entry of the list; false when the name is no firmware file (any more). Not followed: a link is no
// firmware file, wherever it points.
bool describe(int directory, const std::string& name, std::string& json)
{
    struct stat status {};
    if (fstatat(directory, name.c_str(), &status, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISREG(status.st_mode))
        return false;
    // What the compact writer makes of {"name": name, "size": size}, without building the object.
    json = "{\"name\":" + CompactJsonWriter().write(Json::Value(name)) + ",\"size\":" + std::to_string(status.st_size) +
           "}";
    return true;
}

void warnUnwatched()
{
    logger.log(LogLevel::WARNING,
               "Cannot watch the working directory (%s): the firmware file list is read again for "
               "every editor",
               std::strerror(errno));
}

} // namespace

bool isFirmwareFileName(const std::string& name)
{
    return endsWithBin(name.c_str(), name.size()) && name.find('/') == std::string::npos &&
           name.find('\0') == std::string::npos;
}

FirmwareFileList::FirmwareFileList() : notifier(inotify_init1(IN_NONBLOCK | IN_CLOEXEC))
{
    if (notifier < 0)
        warnUnwatched();
}

FirmwareFileList::~FirmwareFileList()
{
    if (notifier >= 0)
        close(notifier);
}

const std::string& FirmwareFileList::text()
{
    struct stat status {};
    const bool sameDirectory = stat(".", &status) == 0 && status.st_dev == device && status.st_ino == inode;
    if (!sameDirectory) {
        device = status.st_dev;
        inode = status.st_ino;
        watchWorkingDirectory();
    }
    std::unordered_set<std::string> names;
    if (!complete || watch < 0 || !takeChangedNames(names)) {
        readDirectory();
    } else if (!names.empty()) {
        for (const std::string& name : names)
            update(name);
        compose();
    }
    return list;
}

void FirmwareFileList::watchWorkingDirectory()
{
    complete = false;
    if (notifier < 0)
        return;
    if (watch >= 0) {
        inotify_rm_watch(notifier, watch);
        watch = -1;
    }
    // The events of the previous directory are of no use; those after the new watch are kept.
    std::unordered_set<std::string> stale;
    takeChangedNames(stale);
    watch = inotify_add_watch(notifier, ".", watchedEvents);
    if (watch < 0)
        warnUnwatched();
}

bool FirmwareFileList::takeChangedNames(std::unordered_set<std::string>& names)
{
    alignas(inotify_event) char buffer[8192];
    bool trusted = true;
    for (int reads = 0; reads < maxEventReads; ++reads) {
        const ssize_t count = read(notifier, buffer, sizeof buffer);
        if (count <= 0)
            return trusted;
        for (ssize_t offset = 0; offset + static_cast<ssize_t>(sizeof(inotify_event)) <= count;) {
            inotify_event event;
            std::memcpy(&event, buffer + offset, sizeof event);
            const char* name = buffer + offset + sizeof event;
            offset += static_cast<ssize_t>(sizeof event + event.len);
            if ((event.mask & IN_Q_OVERFLOW) != 0)
                trusted = false;
            if (event.wd != watch)
                continue;
            // The directory went away or its watch was dropped: the working directory is watched afresh.
            if ((event.mask & IN_IGNORED) != 0) {
                watch = -1;
                device = 0;
                inode = 0;
                trusted = false;
            }
            const size_t length = strnlen(name, event.len);
            if (trusted && endsWithBin(name, length))
                names.emplace(name, length);
        }
        if (!trusted)
            names.clear();
    }
    // Events left in the queue only make names be looked at again next time.
    return false;
}

void FirmwareFileList::readDirectory()
{
    entries.clear();
    positions.clear();
    complete = false;
    std::unique_ptr<DIR, DirectoryCloser> directory(opendir("."));
    if (!directory) {
        logger.log(LogLevel::ERROR, "Cannot list the working directory: %s", std::strerror(errno));
        compose();
        return;
    }
    const int descriptor = dirfd(directory.get());
    for (;;) {
        errno = 0;
        const dirent* found = readdir(directory.get());
        if (found == nullptr)
            break;
        const size_t length = std::strlen(found->d_name);
        // Only regular files can be listed; an unknown type is looked up.
        if (!endsWithBin(found->d_name, length) || (found->d_type != DT_REG && found->d_type != DT_UNKNOWN))
            continue;
        Entry entry{std::string(found->d_name, length), {}};
        if (!describe(descriptor, entry.name, entry.json))
            continue;
        positions[entry.name] = entries.size();
        entries.push_back(std::move(entry));
    }
    if (errno != 0)
        logger.log(LogLevel::ERROR, "Cannot list the working directory: %s", std::strerror(errno));
    else
        complete = true;
    compose();
}

void FirmwareFileList::update(const std::string& name)
{
    std::string json;
    const bool listed = describe(AT_FDCWD, name, json);
    const auto found = positions.find(name);
    if (found != positions.end() && listed) {
        entries[found->second].json = std::move(json);
    } else if (found != positions.end()) {
        // The last entry takes the place of the one that goes.
        const size_t place = found->second;
        positions.erase(found);
        if (place + 1 != entries.size()) {
            entries[place] = std::move(entries.back());
            positions[entries[place].name] = place;
        }
        entries.pop_back();
    } else if (listed) {
        positions[name] = entries.size();
        entries.push_back(Entry{name, std::move(json)});
    }
}

void FirmwareFileList::compose()
{
    size_t length = 32;
    for (const Entry& entry : entries)
        length += entry.json.size() + 1;
    list.clear();
    list.reserve(length);
    // What the compact writer makes of the object with its one array member.
    list += "{\"firmwareFilesList\":[";
    for (size_t i = 0; i < entries.size(); ++i) {
        if (i > 0)
            list += ',';
        list += entries[i].json;
    }
    list += "]}";
}
