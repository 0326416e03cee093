#include <gtest/gtest.h>

#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <set>
#include <sstream>

#include <json/json.h>

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
    // The listed files, each as its compact JSON text; the reply must hold exactly one entry per listed file.
    std::multiset<std::string> listed()
    {
        Json::Value list;
        std::istringstream text(files.text());
        EXPECT_TRUE(Json::parseFromStream(Json::CharReaderBuilder(), text, &list, nullptr)) << files.text();
        std::multiset<std::string> entries;
        for (const Json::Value& file : list["firmwareFilesList"])
            entries.insert(CompactJsonWriter().write(file));
        return entries;
    }

    fs::path previous;
    fs::path directory;
    FirmwareFileList files;
};

TEST_F(FirmwareFileListTest, EmptyDirectoryGivesAnEmptyList)
{
    writeFile("notes.txt", 3);
    EXPECT_EQ(files.text(), R"({"firmwareFilesList":[]})");
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
    // Links are not followed, also not to a firmware file (here or outside the working directory): the flasher
    // would not open them either.
    fs::create_symlink("app.bin", "link.bin");
    const fs::path outside = directory.string() + "-outside.bin";
    writeFile(outside, 7);
    fs::create_symlink(outside, "shadow.bin");
    fs::create_directory_symlink("sub", "dirlink.bin");
    fs::create_symlink("missing-target", "broken.bin");

    const std::multiset<std::string> expected{R"({"name":"app.bin","size":65536})", R"({"name":".bin","size":1})"};
    EXPECT_EQ(listed(), expected);
    fs::remove(outside);
}

TEST_F(FirmwareFileListTest, EveryChangeOfTheDirectoryIsSeenAtOnce)
{
    // Steps within the same millisecond, as a copy, a rename or an editor's save makes them; each is followed by
    // the list it must give at once.
    struct Step {
        const char* what;
        std::function<void()> change;
        std::multiset<std::string> listed;
    };
    const fs::path other = directory.string() + "-other";
    const Step steps[] = {
        {"first look", [] { writeFile("a.bin", 10); }, {R"({"name":"a.bin","size":10})"}},
        {"added", [] { writeFile("b.bin", 20); }, {R"({"name":"a.bin","size":10})", R"({"name":"b.bin","size":20})"}},
        {"grown by a write",
         [] { std::ofstream("a.bin", std::ios::app) << "more"; },
         {R"({"name":"a.bin","size":14})", R"({"name":"b.bin","size":20})"}},
        {"cut", [] { fs::resize_file("b.bin", 5); }, {R"({"name":"a.bin","size":14})", R"({"name":"b.bin","size":5})"}},
        {"renamed",
         [] { fs::rename("b.bin", "c.bin"); },
         {R"({"name":"a.bin","size":14})", R"({"name":"c.bin","size":5})"}},
        {"renamed away", [] { fs::rename("a.bin", "a.old"); }, {R"({"name":"c.bin","size":5})"}},
        {"removed", [] { fs::remove("c.bin"); }, {}},
        {"renamed in",
         [] {
             writeFile("x.part", 3);
             fs::rename("x.part", "x.bin");
         },
         {R"({"name":"x.bin","size":3})"}},
        {"replaced by a link",
         [] {
             fs::create_symlink("a.old", "x.link");
             fs::rename("x.link", "x.bin");
         },
         {}},
        {"another working directory",
         [&] {
             fs::create_directory(other);
             writeFile(other / "o.bin", 4);
             fs::current_path(other);
         },
         {R"({"name":"o.bin","size":4})"}},
        {"back", [&] { fs::current_path(directory); }, {}},
    };
    for (const Step& step : steps) {
        SCOPED_TRACE(step.what);
        step.change();
        EXPECT_EQ(listed(), step.listed);
        EXPECT_EQ(listed(), step.listed) << "asked again without a change";
    }
    fs::remove_all(other);
}

TEST_F(FirmwareFileListTest, SizesBeyondTwoGibibytesAreExact)
{
    {
        std::ofstream out("big.bin", std::ios::binary);
    }
    fs::resize_file("big.bin", 3ull * 1024 * 1024 * 1024);
    EXPECT_EQ(listed(), std::multiset<std::string>{R"({"name":"big.bin","size":3221225472})"});
}

} // namespace
