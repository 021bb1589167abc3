// The field table against the file's element list, and the integer reading rule.
#include "velmora/config/settings_fields.h"

#include <limits>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "expected_defaults.h"

namespace velmora::config {
namespace {

TEST(SettingFields, EveryElementInFileOrderWithItsDefault) {
    const auto fields = settings_fields();
    ASSERT_EQ(fields.size(), 212U);
    ASSERT_EQ(fields.size(), test::kExpectedDefaults.size());
    const ClientSettings defaults;
    std::set<std::string_view> names;
    for (std::size_t i = 0; i < fields.size(); ++i) {
        SCOPED_TRACE(test::kExpectedDefaults[i].first);
        EXPECT_EQ(fields[i].name, test::kExpectedDefaults[i].first);
        EXPECT_TRUE(names.insert(fields[i].name).second) << "listed twice";
        EXPECT_EQ(field_text(fields[i], defaults), test::kExpectedDefaults[i].second);
    }
}

TEST(SettingFields, DefaultBootstrapNodesAreThreeHostPortPairs) {
    std::vector<std::string> ports;
    std::stringstream list{std::string(ClientSettings{}.dht_bootstrap_nodes)};
    for (std::string node; std::getline(list, node, ',');) {
        const auto colon = node.rfind(':');
        ASSERT_NE(colon, std::string::npos) << node;
        EXPECT_GT(colon, 0U) << node;
        ports.push_back(node.substr(colon + 1));
    }
    EXPECT_EQ(ports, (std::vector<std::string>{"25401", "6881", "6881"}));
}

TEST(SettingFields, RunOnlyFieldsStartWithTheirDefaults) {
    const ClientSettings s;
    EXPECT_FALSE(s.tray_minimize);
    EXPECT_FALSE(s.close_tray);
    EXPECT_FALSE(s.auto_start);
    EXPECT_FALSE(s.auto_stop);
    EXPECT_EQ(s.bandwith_option, 3);
    EXPECT_TRUE(s.show_tray);
    EXPECT_TRUE(s.default_client_check);
    for (const bool shown : s.event_toggles) {
        EXPECT_TRUE(shown);
    }
}

TEST(ReadDecimalInt, ReadsTheWayAtoiDoesAndSaturates) {
    constexpr std::int32_t kMax = std::numeric_limits<std::int32_t>::max();
    constexpr std::int32_t kMin = std::numeric_limits<std::int32_t>::min();
    const struct {
        std::string_view text;
        std::int32_t expected;
    } cases[] = {
        {"0", 0},
        {"6881", 6881},
        {"-1", -1},
        {"+17", 17},
        {" \t\n\v\f\r42", 42},
        {"12abc", 12},
        {"1 2", 1},
        {"", 0},
        {"true", 0},
        {"-", 0},
        {"+-1", 0},
        {"- 1", 0},
        {"0x1F", 0},
        {"\xC2\xA0"
         "5",
         0},  // only ASCII blanks are skipped
        {"-000000000000000000000000012", -12},
        {"2147483647", kMax},
        {"2147483648", kMax},
        {"99999999999999999999999999", kMax},
        {"-2147483648", kMin},
        {"-2147483649", kMin},
        {"-99999999999999999999999999", kMin},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << '"' << c.text << '"');
        EXPECT_EQ(read_decimal_int(c.text), c.expected);
    }
}

}  // namespace
}  // namespace velmora::config
