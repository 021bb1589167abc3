// Countries from a small database the test writes itself with the MaxMind DB writer.
#include "velmora/services/country_lookup.h"

#include <cstdlib>
#include <fstream>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "support/engine_fixtures.h"
#include "support/temp_dir.h"

namespace velmora::services {
namespace {

namespace fs = std::filesystem;
using bridge::UiValue;

class CountryLookupTest : public ::testing::Test {
protected:
    CountryLookupTest() {
        fs::create_directories(good);
        fs::create_directories(foreign);
        const std::string command = std::string("perl '") + VELMORA_COUNTRY_DB_SCRIPT + "' '" +
                                    (good / kCountryDatabaseFile).string() + "'";
        EXPECT_EQ(std::system(command.c_str()), 0);
        std::ofstream(foreign / kCountryDatabaseFile) << "not a database at all";
        page.answer("get_geoip", [this](const UiValue&) { return UiValue(folder.string()); });
    }

    test::TempDir dir;
    fs::path good = dir / "good";
    fs::path foreign = dir / "foreign";
    fs::path folder = good;
    test::RecordingPage page;
    CountryDatabase countries{page};
};

TEST_F(CountryLookupTest, AddressesGetTheirCountryAndEverythingElseIsUnknown) {
    ASSERT_TRUE(countries.open());
    EXPECT_EQ(page.count("post_geoip_error"), 0U);
    const struct {
        const char* address;
        const char* country;
    } cases[] = {
        {"192.0.2.7", "US"},      {"198.51.100.200", "DE"},
        {"2001:db8::1", "JP"},    {"203.0.113.9", "XX"},
        {"127.0.0.1", "XX"},      {"::1", "XX"},
        {"not an address", "XX"}, {"", "XX"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.address);
        EXPECT_EQ(countries.country_code_of(c.address), c.country);
    }
}

TEST_F(CountryLookupTest, AMissingOrForeignFileIsReportedAndAReopenRecovers) {
    // no folder at all must not mean the file of that name in the working folder
    fs::copy_file(good / kCountryDatabaseFile, kCountryDatabaseFile,
                  fs::copy_options::overwrite_existing);
    for (const fs::path& broken : {dir / "nowhere", foreign, fs::path()}) {
        SCOPED_TRACE(broken);
        page.clear();
        folder = broken;
        EXPECT_FALSE(countries.reopen());
        EXPECT_EQ(page.args_of("post_geoip_error"), std::vector<UiValue>{UiValue(59)});
        EXPECT_EQ(countries.country_code_of("192.0.2.7"), "XX");
    }
    fs::remove(kCountryDatabaseFile);
    folder = good;
    EXPECT_TRUE(countries.reopen());
    EXPECT_EQ(countries.country_code_of("192.0.2.7"), "US");
}

TEST_F(CountryLookupTest, LookupsStaySafeWhileTheDatabaseIsReopened) {
    ASSERT_TRUE(countries.open());
    std::atomic<bool> stop{false};
    std::atomic<int> odd{0};
    std::vector<std::thread> readers;
    for (int i = 0; i < 3; ++i) {
        readers.emplace_back([&] {
            while (!stop) {
                const std::string code = countries.country_code_of("192.0.2.7");
                odd += (code != "US" && code != "XX") ? 1 : 0;
            }
        });
    }
    for (int i = 0; i < 50; ++i) {
        folder = i % 2 == 0 ? foreign : good;
        countries.reopen();
    }
    stop = true;
    for (auto& reader : readers) {
        reader.join();
    }
    EXPECT_EQ(odd, 0);
}

}  // namespace
}  // namespace velmora::services
