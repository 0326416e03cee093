#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <string>

#include <libwebsockets.h>

#include "support/scoped_working_directory.h"
#include "web/static_files.h"

namespace {

using OpenFunction = lws_fop_fd_t (*)(const lws_plat_file_ops*, const char*, const char*, lws_fop_flags_t*);

// What the library's own open reaches instead of the file that was checked: a stand-in for a file swapped between
// the check of its path and its opening.
OpenFunction libraryOpen = nullptr;
std::string swappedFor;

lws_fop_fd_t openSwapped(const lws_plat_file_ops* operations, const char*, const char* vpath, lws_fop_flags_t* flags)
{
    return libraryOpen(operations, swappedFor.c_str(), vpath, flags);
}

TEST(StaticFilesTest, WhatIsOpenedIsCheckedOnItsDescriptor)
{
    const ScopedWorkingDirectory folder;
    std::filesystem::create_directory("mount-origin");
    std::ofstream("mount-origin/index.html") << "<html>";
    ASSERT_EQ(mkfifo("fifo", 0600), 0);
    lws_set_log_level(0, nullptr);
    lws_context_creation_info info{};
    info.port = CONTEXT_PORT_NO_LISTEN;
    lws_context* context = lws_create_context(&info);
    ASSERT_NE(context, nullptr);
    lws_plat_file_ops* operations = lws_get_fops(context);
    libraryOpen = operations->LWS_FOP_OPEN;
    operations->LWS_FOP_OPEN = openSwapped;
    confineStaticFiles(context, "mount-origin");

    const struct {
        const char* swappedFor;
        bool served;
    } cases[] = {{"mount-origin/index.html", true}, {"mount-origin", true}, {"fifo", false}, {"/dev/null", false}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.swappedFor);
        swappedFor = c.swappedFor;
        lws_fop_flags_t flags = LWS_O_RDONLY;
        lws_fop_fd_t file = operations->LWS_FOP_OPEN(operations, "mount-origin/index.html", "/index.html", &flags);
        EXPECT_EQ(file != nullptr, c.served);
        if (file != nullptr)
            lws_vfs_file_close(&file);
    }
    releaseStaticFiles(context);
    operations->LWS_FOP_OPEN = libraryOpen;
    lws_context_destroy(context);
}

} // namespace
