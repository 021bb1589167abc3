// Deleting a torrent's data takes its files and nothing else, on real files.
#include "velmora/lifecycle/data_removal.h"

#include <fstream>

#include <gtest/gtest.h>

#include "support/engine_fixtures.h"
#include "support/temp_dir.h"

namespace velmora::lifecycle {
namespace {

namespace fs = std::filesystem;

void write(const fs::path& file) {
    fs::create_directories(file.parent_path());
    std::ofstream(file) << "x";
}

class DataRemovalTest : public ::testing::Test {
protected:
    DataRemovalTest() {
        const auto t =
            test::make_test_torrent(save, "album", {{"a.bin", 100}, {"disc/b.bin", 100}});
        record.ti = t.info;
        record.save_path = save.string();
    }

    lt::file_index_t index_of(const std::string& name) const {
        const lt::file_storage& files = record.ti->files();
        for (const lt::file_index_t i : files.file_range()) {
            if (files.file_name(i) == name) {
                return i;
            }
        }
        return lt::file_index_t{-1};
    }

    test::TempDir dir;
    fs::path save = dir / "save";
    lt::add_torrent_params record;
};

TEST_F(DataRemovalTest, TakesTheTorrentsFilesAndFoldersButLeavesTheUsersOwn) {
    write(save / "album" / "disc" / "notes.txt");  // the user's file inside the torrent's folder
    write(save / "other" / "keep.bin");
    const auto data = torrent_data_of(record);
    ASSERT_TRUE(data);
    EXPECT_EQ(data->root, save / "album");

    EXPECT_TRUE(remove_torrent_data(*data));
    EXPECT_FALSE(fs::exists(save / "album" / "a.bin"));
    EXPECT_FALSE(fs::exists(save / "album" / "disc" / "b.bin"));
    EXPECT_TRUE(fs::exists(save / "album" / "disc" / "notes.txt"));
    EXPECT_TRUE(fs::exists(save / "other" / "keep.bin"));

    fs::remove(save / "album" / "disc" / "notes.txt");
    remove_torrent_data(*data);  // nothing of the data is left but its emptied folders
    EXPECT_FALSE(fs::exists(save / "album"));
    EXPECT_TRUE(fs::exists(save));
    EXPECT_FALSE(remove_torrent_data(*data));
}

TEST_F(DataRemovalTest, NeverFollowsALinkOutOfTheSaveFolder) {
    const fs::path outside = dir / "outside";
    write(outside / "b.bin");
    write(outside / "precious");
    fs::remove_all(save / "album" / "disc");
    fs::create_directory_symlink(outside, save / "album" / "disc");
    fs::remove(save / "album" / "a.bin");
    fs::create_symlink(outside / "precious", save / "album" / "a.bin");

    remove_torrent_data(*torrent_data_of(record));
    EXPECT_TRUE(fs::exists(outside / "b.bin"));  // reached only through the linked folder
    EXPECT_TRUE(fs::exists(outside / "precious"));
    EXPECT_FALSE(fs::exists(fs::symlink_status(save / "album" / "a.bin")));  // the link went
}

TEST_F(DataRemovalTest, RenamedFilesCountUnderTheirNewNamesAndNeverOutsideTheSaveFolder) {
    record.renamed_files[index_of("a.bin")] = "album/renamed.bin";
    record.renamed_files[index_of("b.bin")] = (dir / "elsewhere.bin").string();
    write(dir / "elsewhere.bin");
    write(save / "album" / "renamed.bin");
    const auto data = torrent_data_of(record);
    ASSERT_TRUE(data);
    EXPECT_EQ(data->files.size(), 1U);
    remove_torrent_data(*data);
    EXPECT_FALSE(fs::exists(save / "album" / "renamed.bin"));
    EXPECT_TRUE(fs::exists(dir / "elsewhere.bin"));
}

TEST_F(DataRemovalTest, NoMetadataMeansNoDataToDelete) {
    record.ti.reset();
    EXPECT_FALSE(torrent_data_of(record));
}

TEST(DataRemoval, ProtectedPaths) {
    const struct {
        const char* path;
        bool is_protected;
    } cases[] = {
        {"/", true},
        {"relative/path", true},
        {"/home/user", true},
        {"/home/user/", true},
        {"/home", true},
        {"/home/user/x/..", true},
        {"/home/user/Downloads/film", false},
        {"/srv/data/film", false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.path);
        EXPECT_EQ(is_protected_path(c.path, "/home/user"), c.is_protected);
    }
}

TEST(DataRemoval, RemovesOnlyInsideTheGivenFolders) {
    test::TempDir dir;
    const fs::path downloads = dir / "downloads";
    write(downloads / "film" / "part1");
    write(dir / "outside" / "secret");
    fs::create_directory_symlink(dir / "outside", downloads / "link");

    EXPECT_FALSE(remove_inside(downloads, {downloads}));  // the folder itself
    EXPECT_FALSE(remove_inside(downloads / "link" / "secret", {downloads}));
    EXPECT_TRUE(fs::exists(dir / "outside" / "secret"));
    EXPECT_FALSE(remove_inside(dir / "outside", {downloads}));
    EXPECT_FALSE(remove_inside(downloads / "missing", {downloads}));

    EXPECT_TRUE(remove_inside(downloads / "link", {downloads}));  // the link, not its target
    EXPECT_TRUE(fs::exists(dir / "outside" / "secret"));
    EXPECT_TRUE(remove_inside(downloads / "film/", {downloads}));
    EXPECT_FALSE(fs::exists(downloads / "film"));
}

}  // namespace
}  // namespace velmora::lifecycle
