#include "web/static_files.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <climits>
#include <cstdlib>
#include <map>

#include <libwebsockets.h>

#include "core/logger.h"

namespace {

using OpenFunction = lws_fop_fd_t (*)(const lws_plat_file_ops*, const char*, const char*, lws_fop_flags_t*);

struct Confinement {
    std::string mountOrigin;
    OpenFunction open = nullptr;
};

// The library hands its open function only the context's file operations; this finds the mount from them. Filled
// by confineStaticFiles, emptied by releaseStaticFiles, used on the loop's thread only.
std::map<const lws_plat_file_ops*, Confinement>& confinements()
{
    static std::map<const lws_plat_file_ops*, Confinement> byOperations;
    return byOperations;
}

std::string resolved(const std::string& path)
{
    char buffer[PATH_MAX];
    return realpath(path.c_str(), buffer) != nullptr ? std::string(buffer) : std::string();
}

bool regularOrFolder(mode_t mode) { return S_ISREG(mode) || S_ISDIR(mode); }

lws_fop_fd_t confinedOpen(const lws_plat_file_ops* operations, const char* filename, const char* vpath,
                          lws_fop_flags_t* flags)
{
    const auto found = confinements().find(operations);
    if (found == confinements().end() || filename == nullptr)
        return nullptr;
    const Confinement& confinement = found->second;
    const std::string target = resolved(filename);
    if (target.empty() || !servableInside(confinement.mountOrigin, filename)) {
        logger.log(LogLevel::DEBUG, "Not serving %s: missing, or not a regular file inside %s", filename,
                   confinement.mountOrigin.c_str());
        return nullptr;
    }
    // Opened by its resolved name, and without waiting, so a file swapped for a FIFO meanwhile cannot block.
    lws_fop_flags_t openFlags = *flags | O_NONBLOCK;
    lws_fop_fd_t file = confinement.open(operations, target.c_str(), vpath, &openFlags);
    *flags = openFlags & ~static_cast<lws_fop_flags_t>(O_NONBLOCK);
    if (file == nullptr)
        return nullptr;
    struct stat status {};
    if (fstat(file->fd, &status) != 0 || !regularOrFolder(status.st_mode)) {
        lws_vfs_file_close(&file);
        return nullptr;
    }
    return file;
}

} // namespace

bool servableInside(const std::string& root, const std::string& path)
{
    const std::string resolvedRoot = resolved(root);
    const std::string target = resolved(path);
    if (resolvedRoot.empty() || target.empty())
        return false;
    const bool inside = target == resolvedRoot || resolvedRoot == "/" ||
                        target.compare(0, resolvedRoot.size() + 1, resolvedRoot + "/") == 0;
    struct stat status {};
    return inside && stat(target.c_str(), &status) == 0 && regularOrFolder(status.st_mode);
}

void confineStaticFiles(lws_context* context, const std::string& mountOrigin)
{
    lws_plat_file_ops* operations = lws_get_fops(context);
    if (operations == nullptr || operations->LWS_FOP_OPEN == confinedOpen)
        return;
    confinements()[operations] = Confinement{mountOrigin, operations->LWS_FOP_OPEN};
    operations->LWS_FOP_OPEN = confinedOpen;
}

void releaseStaticFiles(lws_context* context)
{
    lws_plat_file_ops* operations = lws_get_fops(context);
    if (operations == nullptr)
        return;
    const auto found = confinements().find(operations);
    if (found == confinements().end())
        return;
    operations->LWS_FOP_OPEN = found->second.open;
    confinements().erase(found);
}
