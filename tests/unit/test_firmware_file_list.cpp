#include <gtest/gtest.h>

#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <set>

#include "firmware/firmware_file_list.h"
#include "json/compact_json_writer.h"

namespace fs = std::filesystem;

namespace {

// Runs the test inside a fresh temporary working directory.
class FirmwareFileListTest : public ::testing::Test {
protected:
    FirmwareFileListTest()
    {
        previous = fs::current_path();
        char pattern[] = "/tmp/vantrel-firmware-list-XXXXXX";
        directory = mkdtemp(pattern);
        fs::current_path(directory);
    }
    ~FirmwareFileListTest() override
    {
        fs::current_path(previous);
        fs::remove_all(directory);
    }
    static void writeFile(const fs::path& path, size_t size)
    {
        std::ofstream out(path, std::ios::binary);
        out << std::string(size, 'x');
    }
    std::set<std::string> listed() const
    {
        std::set<std::string> entries;
        const Json::Value list = firmwareFileListJson();
        for (const Json::Value& file : list["firmwareFilesList"])
            entries.insert(CompactJsonWriter().write(file));
        return entries;
    }

    fs::path previous;
    fs::path directory;
};

TEST_F(FirmwareFileListTest, EmptyDirectoryGivesAnEmptyList)
{
    writeFile("notes.txt", 3);
    EXPECT_EQ(CompactJsonWriter().write(firmwareFileListJson()), R"({"firmwareFilesList":[]})");
}

TEST_F(FirmwareFileListTest, ListsRegularBinFilesDirectlyInTheDirectory)
{
    writeFile("app.bin", 65536);
    writeFile(".bin", 1);
    writeFile("bin", 1);
    writeFile("readme.bin.txt", 1);
    writeFile("UPPER.BIN", 1);
    writeFile("mixed.Bin", 1);
    fs::create_directory("old.bin");
    fs::create_directory("sub");
    writeFile("sub/inner.bin", 5);
    fs::create_symlink("app.bin", "link.bin");
    fs::create_directory_symlink("sub", "dirlink.bin");
    fs::create_symlink("missing-target", "broken.bin");

    EXPECT_EQ(listed(), (std::set<std::string>{R"({"name":"app.bin","size":65536})", R"({"name":".bin","size":1})",
                                               R"({"name":"app.bin","size":65536})"}));
    EXPECT_EQ(firmwareFileListJson()["firmwareFilesList"].size(), 3u) << "the link is listed under its target";
}

TEST_F(FirmwareFileListTest, SizesBeyondTwoGibibytesAreExact)
{
    {
        std::ofstream out("big.bin", std::ios::binary);
    }
    fs::resize_file("big.bin", 3ull * 1024 * 1024 * 1024);
    EXPECT_EQ(listed(), (std::set<std::string>{R"({"name":"big.bin","size":3221225472})"}));
}

} // namespace
