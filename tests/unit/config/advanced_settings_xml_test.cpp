// The advanced settings file: its exact shape, the reading rules, round trips and safe writing.
#include "velmora/config/advanced_settings_xml.h"

#include <fstream>
#include <functional>
#include <iostream>
#include <limits>
#include <sstream>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include "expected_defaults.h"
#include "support/temp_dir.h"
#include "velmora/config/settings_fields.h"

namespace velmora::config {
namespace {

namespace fs = std::filesystem;
using testing::ElementsAre;
using testing::IsEmpty;
using testing::StartsWith;
using TempDir = ::velmora::test::TempDir;

std::string read_file(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

void write_file(const fs::path& path, std::string_view text) {
    fs::create_directories(path.parent_path());
    std::ofstream(path, std::ios::binary) << text;
}

// Every name below the folder, relative to it.
std::vector<std::string> listing(const fs::path& folder) {
    std::vector<std::string> names;
    for (const auto& entry : fs::recursive_directory_iterator(folder)) {
        names.push_back(fs::relative(entry.path(), folder).string());
    }
    std::sort(names.begin(), names.end());
    return names;
}

std::string repeated(std::string_view text, int times) {
    std::string out;
    for (int i = 0; i < times; ++i) {
        out += text;
    }
    return out;
}

std::vector<std::string> lines_of(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) {
        lines.push_back(line);
    }
    return lines;
}

// The file fields whose texts differ, plus "run-only fields" when any of those does.
std::vector<std::string> differing_fields(const ClientSettings& a, const ClientSettings& b) {
    std::vector<std::string> names;
    for (const SettingField& field : settings_fields()) {
        if (field_text(field, a) != field_text(field, b)) {
            names.emplace_back(field.name);
        }
    }
    if (names.empty() && !(a == b)) {
        names.emplace_back("run-only fields");
    }
    return names;
}

TEST(AdvancedSettingsXml, TheDefaultFileHasTheExactShape) {
    const std::string xml = advanced_settings_xml(ClientSettings{});
    EXPECT_EQ(xml.find('\r'), std::string::npos);
    ASSERT_FALSE(xml.empty());
    EXPECT_EQ(xml.back(), '\n');

    std::vector<std::string> expected = {
        R"(<?xml version="1.0" encoding="utf-8"?>)",
        R"(<root Platform="Windows x64" Version="2.9.6.0" )"
        R"(Reference_Guide="https://www.libtorrent.org/reference-Settings.html" )"
        R"(GUID="D1627B42-272F-4E8F-AAF2-3301C747C2F2">)",
    };
    const std::pair<std::string_view, const char*> comments[] = {
        {"update_only_changed_torrents", "\t<!--BOOL Settings-->"},
        {"GFX", "\t<!--INT Settings-->"},
        {"announce_ip", "\t<!--String Settings-->"},
        {"max_peers_reply", "\t<!--DHT INT Settings-->"},
        {"restrict_routing_ips", "\t<!-- DHT BOOL Settings-->"},
    };
    for (const auto& [name, value] : test::kExpectedDefaults) {
        for (const auto& [first, comment] : comments) {
            if (first == name) {
                expected.emplace_back(comment);
            }
        }
        const std::string tag(name);
        expected.push_back(value.empty()
                               ? "\t<" + tag + "/>"
                               : "\t<" + tag + ">" + std::string(value) + "</" + tag + ">");
    }
    expected.emplace_back("</root>");
    expected.emplace_back("");  // the printer ends the document itself with a line end too

    const std::vector<std::string> lines = lines_of(xml);
    ASSERT_EQ(lines.size(), expected.size());
    for (std::size_t i = 0; i < lines.size(); ++i) {
        EXPECT_EQ(lines[i], expected[i]) << "line " << i + 1;
    }
}

// A record in which every file field differs from its default and from every other field.
ClientSettings every_field_changed() {
    ClientSettings s;
    const ClientSettings defaults;
    std::int32_t n = 0;
    for (const SettingField& field : settings_fields()) {
        ++n;
        switch (field.kind) {
            case FieldKind::Bool:
                field.set_from_text(s, field_text(field, defaults) == "1" ? "0" : "1");
                break;
            case FieldKind::Int: {
                const std::int32_t value = n == 65      ? std::numeric_limits<std::int32_t>::min()
                                           : n == 66    ? std::numeric_limits<std::int32_t>::max()
                                           : n % 2 == 0 ? -n * 1001
                                                        : n * 100003;
                field.set_from_text(s, std::to_string(value));
                break;
            }
            case FieldKind::Text:
                field.set_from_text(s, " v" + std::to_string(n) + " <&>\"' ]]> \xC3\xBC\t\n");
                break;
        }
    }
    return s;
}

TEST(AdvancedSettingsXml, EveryFieldSurvivesASaveAndALoad) {
    const ClientSettings written = every_field_changed();
    const ClientSettings defaults;
    for (const SettingField& field : settings_fields()) {
        SCOPED_TRACE(field.name);
        EXPECT_NE(field_text(field, written), field_text(field, defaults));
    }
    TempDir dir;
    const fs::path file = dir / "advanced-client-settings.xml";
    ASSERT_TRUE(save_advanced_settings(file, written));
    EXPECT_THAT(listing(dir.path()), ElementsAre("advanced-client-settings.xml"));

    ClientSettings read;
    EXPECT_EQ(load_advanced_settings(file, read), std::nullopt);
    EXPECT_THAT(differing_fields(read, written), IsEmpty());
    EXPECT_EQ(advanced_settings_xml(read), read_file(file));
}

struct LoadCase {
    const char* name;
    std::string text;
    std::function<void(ClientSettings&)> change;  // what the text changes from the defaults
    std::string error_detail = {};                // non-empty: a parse error with this detail
    std::string saved_line = {};                  // non-empty: a line of the next save
};

TEST(AdvancedSettingsXml, ReadingRules) {
    const std::string tail(150, 'x');
    const LoadCase cases[] = {
        {"a port alone", "<root><port>7000</port></root>", [](auto& s) { s.port = 7000; }},
        {"an SSL port alone", "<root><ssl_port>5000</ssl_port></root>",
         [](auto& s) { s.ssl_port = 5000; }},
        {"true is not a number", "<root><use_dht>true</use_dht></root>",
         [](auto& s) { s.use_dht = false; }},
        {"2 is true and is written as 1", "<root><use_dht>2</use_dht><use_lsd>0</use_lsd></root>",
         [](auto& s) { s.use_lsd = false; }, "", "\t<use_dht>1</use_dht>"},
        {"names are case-sensitive", "<root><PORT>7000</PORT><Port>7001</Port></root>", {}},
        {"any name for the document element", "<settings><port>7000</port></settings>",
         [](auto& s) { s.port = 7000; }},
        {"negative integers", "<root><max_peers_torrent>-5</max_peers_torrent></root>",
         [](auto& s) { s.max_peers_torrent = -5; }, "",
         "\t<max_peers_torrent>-5</max_peers_torrent>"},
        {"reserved characters", "<root><proxy_password>a&amp;b&lt;</proxy_password></root>",
         [](auto& s) { s.proxy_password = "a&b<"; }, "",
         "\t<proxy_password>a&amp;b&lt;</proxy_password>"},
        {"a DHT flag", "<root><enforce_node_id>1</enforce_node_id></root>",
         [](auto& s) { s.dht.enforce_node_id = true; }},
        {"a DHT integer", "<root><max_peers>77</max_peers></root>",
         [](auto& s) { s.dht.max_peers = 77; }},
        {"atoi rules", "<root><port> +12abc</port><GFX></GFX><peer_tos/></root>",
         [](auto& s) {
             s.port = 12;
             s.peer_tos = 0;
         }},
        {"texts keep their blanks, an empty element empties a text",
         "<root><announce_ip> 10.0.0.1 </announce_ip><dht_bootstrap_nodes/></root>",
         [](auto& s) {
             s.announce_ip = " 10.0.0.1 ";
             s.dht_bootstrap_nodes.clear();
         },
         "", "\t<dht_bootstrap_nodes/>"},
        {"the first of two elements wins", "<root><port>1</port><port>2</port></root>",
         [](auto& s) { s.port = 1; }},
        {"only direct children count", "<root><x><port>1</port></x><ssl_port>2</ssl_port></root>",
         [](auto& s) { s.ssl_port = 2; }},
        {"declaration, comments and attributes are ignored",
         "\xEF\xBB\xBF<?xml version=\"1.0\"?>\n<!-- <port>1</port> -->\n"
         "<root Platform='x>'><!--" +
             repeated("<a>", 2000) + "--><port>3</port></root>",
         [](auto& s) { s.port = 3; }},
        {"an empty file", "", {}},
        {"blanks only", " \n\t", {}},
        {"a file cut off after an element",
         "<root><port>7000</port>",
         {},
         "unexpected end of data - "},
        {"a file cut off inside a tag", "<root><port>7000</port><ssl_po", {}, "expected > - "},
        {"an excerpt of 150 characters",
         "<root><port>7000</port><>" + tail.substr(1),
         {},
         "expected element name - >" + tail.substr(1)},
        {"a longer excerpt loses its first character",
         "<root><port>7000</port><>" + tail,
         {},
         "expected element name - " + tail},
        {"an excerpt ends at a NUL",
         std::string("<root><>ab\0cd", 13),
         {},
         "expected element name - >ab"},
        {"too deeply nested",
         "<root><port>7000</port>" + repeated("<a>", 300),
         {},
         "elements nested more than 256 deep - " + repeated("<a>", 45)},
    };
    for (const LoadCase& c : cases) {
        SCOPED_TRACE(c.name);
        ClientSettings expected;
        if (c.change) {
            c.change(expected);
        }
        ClientSettings read;
        const auto error = load_advanced_settings_text(c.text, read);
        if (c.error_detail.empty()) {
            EXPECT_EQ(error, std::nullopt) << error->detail;
        } else {
            ASSERT_TRUE(error.has_value());
            EXPECT_EQ(error->ui_text_id, 58);
            EXPECT_EQ(error->detail, c.error_detail);
        }
        EXPECT_THAT(differing_fields(read, expected), IsEmpty());
        if (!c.saved_line.empty()) {
            EXPECT_THAT(lines_of(advanced_settings_xml(read)), testing::Contains(c.saved_line));
        }
    }
}

// Reading must not recurse once per level: a file this deep would run the stack out.
TEST(AdvancedSettingsXml, AVeryDeepFileIsRefusedWithoutCrashing) {
    const std::string text = "<root><port>7000</port>" + repeated("<a>", 1'000'000);
    ClientSettings read;
    const auto error = load_advanced_settings_text(text, read);
    ASSERT_TRUE(error.has_value());
    EXPECT_THAT(error->detail, StartsWith("elements nested more than 256 deep - "));
    EXPECT_EQ(read.port, 6881);
}

TEST(AdvancedSettingsXml, FilesThatHoldNoSettings) {
    TempDir dir;
    ClientSettings read;
    read.port = 1234;  // what the caller holds stays as it is

    EXPECT_EQ(load_advanced_settings(dir / "missing.xml", read), std::nullopt);
    EXPECT_THAT(listing(dir.path()), IsEmpty());

    fs::create_directory(dir / "folder.xml");  // exists but reads as no text
    EXPECT_EQ(load_advanced_settings(dir / "folder.xml", read), std::nullopt);

    const fs::path huge = dir / "huge.xml";
    write_file(huge, "<root><port>7000</port></root>");
    fs::resize_file(huge, 17 * 1024 * 1024);  // sparse: costs no disk
    const auto error = load_advanced_settings(huge, read);
    ASSERT_TRUE(error.has_value());
    EXPECT_EQ(error->ui_text_id, 58);
    EXPECT_THAT(error->detail, testing::HasSubstr("17825792 bytes"));

    EXPECT_EQ(read.port, 1234);
}

TEST(AdvancedSettingsXml, AFailedSaveLeavesTheOldFileAndNoTemporaryFile) {
    const std::string temp_name = "a.xml.tmp-" + std::to_string(::getpid());
    const struct {
        const char* name;
        // prepares the folder and gives the path to save to
        std::function<fs::path(const fs::path& folder)> setup;
    } cases[] = {
        {"the temporary name is taken by a folder",
         [&](const fs::path& folder) {
             write_file(folder / "a.xml", "old");
             fs::create_directory(folder / temp_name);
             return folder / "a.xml";
         }},
        {"the target is a folder that is not empty",
         [](const fs::path& folder) {
             write_file(folder / "a.xml" / "inside", "old");
             return folder / "a.xml";
         }},
        {"the folder does not exist",
         [](const fs::path& folder) { return folder / "missing" / "a.xml"; }},
        {"the folder is read-only",
         [](const fs::path& folder) {
             write_file(folder / "sub" / "a.xml", "old");
             fs::permissions(folder / "sub", fs::perms::owner_read | fs::perms::owner_exec);
             return folder / "sub" / "a.xml";
         }},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        TempDir dir;
        const fs::path file = c.setup(dir.path());
        const std::vector<std::string> before = listing(dir.path());
        const std::string old_text = fs::is_regular_file(file) ? read_file(file) : "";

        const Result<void> written = write_advanced_settings(file, ClientSettings{});
        const bool saved = save_advanced_settings(file, ClientSettings{});
        std::error_code ignored;  // most cases have no such folder
        fs::permissions(dir / "sub", fs::perms::owner_all, ignored);
        if (written && fs::exists(dir / "sub")) {
            std::cout << "[ SKIPPED  ] " << c.name << ": a privileged user writes anyway\n";
            continue;
        }
        ASSERT_FALSE(written.has_value());
        EXPECT_TRUE(written.error().code);
        EXPECT_FALSE(saved);
        EXPECT_EQ(listing(dir.path()), before);
        if (fs::is_regular_file(file)) {
            EXPECT_EQ(read_file(file), old_text);
        }
    }
}

TEST(AdvancedSettingsXml, ASaveReplacesTheFileAndKeepsItsPermissions) {
    TempDir dir;
    const fs::path file = dir / "advanced-client-settings.xml";
    write_file(file, "<root><port>1</port></root>");
    fs::permissions(file, fs::perms::owner_read | fs::perms::owner_write);
    ClientSettings s;
    s.proxy_password = std::string("secret\0after", 12);  // a NUL would end the file early
    ASSERT_TRUE(save_advanced_settings(file, s));

    EXPECT_EQ(fs::status(file).permissions() & fs::perms::all,
              fs::perms::owner_read | fs::perms::owner_write);
    EXPECT_THAT(listing(dir.path()), ElementsAre("advanced-client-settings.xml"));
    ClientSettings read;
    EXPECT_EQ(load_advanced_settings(file, read), std::nullopt);
    EXPECT_EQ(read.proxy_password, "secret");
    EXPECT_EQ(read.port, 6881);
}

}  // namespace
}  // namespace velmora::config
