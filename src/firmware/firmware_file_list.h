#pragma once

#include <sys/types.h>

#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

// The firmware files of the working directory: regular files directly in it whose names end in ".bin", links not
// followed (a link is no firmware file, wherever it points, just as the flasher does not open one), as the text
// {"firmwareFilesList": [{"name": ..., "size": ...}, ...]}, in the order the file system gave them and files that
// came later at the end. The directory is read once; after that, inotify names what changed in it (a file added,
// removed, renamed, written or cut) and only those names are looked at again. It is read afresh when it is another
// directory than the one watched or when inotify cannot vouch for every change (its queue overflowed); without
// inotify it is read for every list. Created once by the command handler; lives for the whole run and holds one
// inotify descriptor.
class FirmwareFileList {
public:
    FirmwareFileList();
    ~FirmwareFileList();
    FirmwareFileList(const FirmwareFileList&) = delete;
    FirmwareFileList& operator=(const FirmwareFileList&) = delete;

    // The list as the editors get it, up to date with the directory.
    const std::string& text();

private:
    // One listed file: its name and its entry of the list as JSON text.
    struct Entry {
        std::string name;
        std::string json;
    };

    // Watches the current working directory; the previous watch ends.
    void watchWorkingDirectory();
    // Adds the firmware file names that inotify reported since the last look; false when the events cannot name
    // every change.
    bool takeChangedNames(std::unordered_set<std::string>& names);
    void readDirectory();
    // Looks at one name afresh: lists, updates or drops it.
    void update(const std::string& name);
    void compose();

    int notifier = -1;
    int watch = -1;
    // The directory watched.
    dev_t device = 0;
    ino_t inode = 0;
    // The entries hold the whole watched directory, so events alone can keep them up to date.
    bool complete = false;
    std::vector<Entry> entries;
    std::unordered_map<std::string, size_t> positions;
    std::string list;
};

// True for a name the list could hold as it stands: a bare name (no '/', no NUL) that ends in ".bin". Anything
// else an editor sends is no firmware file of the working directory.
bool isFirmwareFileName(const std::string& name);
