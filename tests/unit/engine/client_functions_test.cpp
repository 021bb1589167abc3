// Display texts under several locales, the hash conversions and torrent keys.
#include "velmora/engine/client_functions.h"

#include <clocale>
#include <cstdint>
#include <cstdlib>
#include <limits>
#include <locale>
#include <optional>
#include <stdexcept>
#include <string>
#include <unordered_set>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "velmora/engine/info_hash_hex.h"

namespace velmora::engine {
namespace {

constexpr std::int64_t kDay = 86400;
constexpr std::int64_t kMax64 = std::numeric_limits<std::int64_t>::max();

// Each test runs with the process locale (C and C++) switched to the parameter, since a
// formatter that leaned on printf or iostreams would pick up "," as the decimal separator.
class DisplayTexts : public ::testing::TestWithParam<const char*> {
protected:
    void SetUp() override {
        try {
            std::locale::global(std::locale(GetParam()));
        } catch (const std::runtime_error&) {
            GTEST_SKIP() << "locale " << GetParam() << " is not installed";
        }
        ASSERT_NE(std::setlocale(LC_ALL, GetParam()), nullptr);
    }
    void TearDown() override {
        std::locale::global(std::locale::classic());
        std::setlocale(LC_ALL, "C");
    }
};

TEST_P(DisplayTexts, Sizes) {
    const std::pair<std::int64_t, const char*> cases[] = {
        {std::numeric_limits<std::int64_t>::min(), "0 bytes"},
        {-5, "0 bytes"},
        {0, "0 bytes"},
        {1, "1 bytes"},
        {1023, "1023 bytes"},
        {1024, "1.00 KB"},
        {1340, "1.30 KB"},
        {10239, "9.99 KB"},
        {10240, "10.0 KB"},
        {23506, "22.9 KB"},
        {102399, "99.9 KB"},
        {102400, "100 KB"},
        {1047552, "1023 KB"},
        {1048575, "1023 KB"},
        {1048576, "1.00 MB"},
        {2400016, "2.28 MB"},
        {(std::int64_t{1} << 30) * 5 / 2, "2.50 GB"},
        {std::int64_t{1} << 40, "1.00 TB"},
        {(std::int64_t{1} << 40) * 999, "999 TB"},
        {(std::int64_t{1} << 50) * 123 + 1, "123 PB"},
        {std::int64_t{1} << 60, "1.00 EB"},
        {kMax64, "7.99 EB"},
    };
    for (const auto& [bytes, text] : cases) {
        SCOPED_TRACE(bytes);
        EXPECT_EQ(size_text(bytes), text);
    }
}

TEST_P(DisplayTexts, Speeds) {
    const std::pair<std::int32_t, const char*> cases[] = {
        {std::numeric_limits<std::int32_t>::min(), "0 bytes"},
        {-1, "0 bytes"},
        {0, "0 bytes"},
        {1, "1 bytes"},
        {153600, "150 KB"},
        {std::numeric_limits<std::int32_t>::max(), "1.99 GB"},
    };
    for (const auto& [rate, text] : cases) {
        SCOPED_TRACE(rate);
        EXPECT_EQ(speed_text(rate), text);
    }
}

TEST_P(DisplayTexts, Durations) {
    const std::pair<std::int64_t, const char*> cases[] = {
        {0, "00:00:00"},
        {59, "00:00:59"},
        {3725, "01:02:05"},
        {kDay - 1, "23:59:59"},
        {kDay, "1 day 00:00:00"},
        {90061, "1 day 01:01:01"},
        {200000, "2 days 07:33:20"},
        {364 * kDay, "364 days 00:00:00"},
        {365 * kDay, "00:00:00"},
        {366 * kDay, "1 day 00:00:00"},
        {-30, "00:00:00"},
        {kMax64, ""},
    };
    for (const auto& [seconds, text] : cases) {
        SCOPED_TRACE(seconds);
        EXPECT_EQ(duration_text(seconds), text);
    }
}

TEST_P(DisplayTexts, UtcTimes) {
    const std::pair<std::int64_t, const char*> cases[] = {
        {0, "1970-01-01 00:00:00"},
        {-1, "1969-12-31 23:59:59"},
        {951782400, "2000-02-29 00:00:00"},
        {1700000000, "2023-11-14 22:13:20"},
        {std::int64_t{1} << 32, "2106-02-07 06:28:16"},
        {kMax64, ""},
    };
    for (const auto& [seconds, text] : cases) {
        SCOPED_TRACE(seconds);
        EXPECT_EQ(utc_time_text(seconds), text);
    }
}

std::string locale_label(const ::testing::TestParamInfo<const char*>& locale) {
    const std::string name = locale.param;
    return name.substr(0, name.find('.'));
}

INSTANTIATE_TEST_SUITE_P(Locales,
                         DisplayTexts,
                         ::testing::Values("C", "de_DE.UTF-8", "fr_FR.UTF-8"),
                         locale_label);

// Sets TZ for one test and puts the previous value back.
class LocalTime : public ::testing::Test {
protected:
    void SetUp() override {
        if (const char* tz = std::getenv("TZ")) {
            saved_ = tz;
        }
    }
    void TearDown() override {
        if (saved_) {
            setenv("TZ", saved_->c_str(), 1);
        } else {
            unsetenv("TZ");
        }
        tzset();
    }
    static void use_zone(const char* tz) {
        setenv("TZ", tz, 1);
        tzset();
    }

private:
    std::optional<std::string> saved_;
};

TEST_F(LocalTime, FollowsTheTimeZoneAndIsEmptyForNoDate) {
    const struct {
        const char* tz;
        std::int64_t seconds;
        const char* text;
    } cases[] = {
        {"UTC0", 1700000000, "2023-11-14 22:13:20"},
        {"CET-1", 1700000000, "2023-11-14 23:13:20"},
        {"EST5", 1700000000, "2023-11-14 17:13:20"},
        {"CET-1", 1, "1970-01-01 01:00:01"},
        {"CET-1", 0, ""},
        {"CET-1", -3600, ""},
        {"UTC0", kMax64, ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.tz) + " " + std::to_string(c.seconds));
        use_zone(c.tz);
        EXPECT_EQ(local_time_text(c.seconds), c.text);
    }
}

// Collects assertion reports for one test and restores the default reporter after it.
class Hashes : public ::testing::Test {
protected:
    void SetUp() override {
        set_assertion_reporter([this](std::string_view expression, std::string_view function,
                                      std::string_view file, int line) {
            reports_.push_back(std::string(expression) + " " + std::string(function) + " " +
                               std::string(file) + ":" + std::to_string(line));
        });
    }
    void TearDown() override { set_assertion_reporter(nullptr); }

    std::vector<std::string> reports_;
};

TEST_F(Hashes, RoundTrip) {
    for (const char* hex :
         {"0000000000000000000000000000000000000000", "ffffffffffffffffffffffffffffffffffffffff",
          "0123456789abcdef00ff10203040506070809a0b"}) {
        SCOPED_TRACE(hex);
        const lt::sha1_hash hash = to_hash(hex);
        EXPECT_EQ(hash_to_hex(hash), hex);
        EXPECT_EQ(to_hash(hash_to_hex(hash)), hash);
    }
    const lt::sha1_hash hash = to_hash("0123456789abcdef00ff10203040506070809a0b");
    EXPECT_EQ(bytes_to_hex_upper(hash.to_string()), "0123456789ABCDEF00FF10203040506070809A0B");
    EXPECT_TRUE(reports_.empty());
}

TEST_F(Hashes, MalformedTextsDecodeWhatTheyCanAndReport) {
    const struct {
        std::string text;
        const char* decoded;
    } cases[] = {
        {"", "0000000000000000000000000000000000000000"},
        {"0123", "0123000000000000000000000000000000000000"},
        {"012", "0100000000000000000000000000000000000000"},
        {"0123456789abcdef00ff10203040506070809a0", "0123456789abcdef00ff10203040506070809a00"},
        {"0123456789abcdef00ff10203040506070809a0b00", "0123456789abcdef00ff10203040506070809a0b"},
        {"0123456789ABCDEF00ff10203040506070809a0b", "0123456789000000000000000000000000000000"},
        {"zz23456789abcdef00ff10203040506070809a0b", "0000000000000000000000000000000000000000"},
        {"012345 789abcdef00ff10203040506070809a0b", "0123450000000000000000000000000000000000"},
        {std::string("0123\0"
                     "56789abcdef00ff10203040506070809a0b",
                     40),
         "0123000000000000000000000000000000000000"},
        {"0123456789abcdef00ff10203040506070809a0\xff", "0123456789abcdef00ff10203040506070809a00"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        reports_.clear();
        EXPECT_EQ(hash_to_hex(to_hash(c.text)), c.decoded);
        EXPECT_EQ(reports_, std::vector<std::string>{"!hash.fail() to_hash client_functions:551"});
    }
}

TEST(AssertionReporter, DefaultWritesOneLineOnStderr) {
    set_assertion_reporter(nullptr);
    ::testing::internal::CaptureStderr();
    (void)to_hash("not a hash");
    const std::string line = ::testing::internal::GetCapturedStderr();
    for (const char* part : {"!hash.fail()", "to_hash", "client_functions", "551"}) {
        EXPECT_NE(line.find(part), std::string::npos) << line;
    }
    EXPECT_EQ(line.find('\n'), line.size() - 1) << line;
}

TEST(BytesToHexUpper, TwoDigitsPerByteHighNibbleFirst) {
    const std::pair<std::string, const char*> cases[] = {
        {"", ""},
        {std::string("\x00", 1), "00"},
        {"\x0f\xf0", "0FF0"},
        {"\x7f\x80\xab", "7F80AB"},
    };
    for (const auto& [bytes, text] : cases) {
        SCOPED_TRACE(text);
        EXPECT_EQ(bytes_to_hex_upper(bytes), text);
    }
}

TEST(InfoHashHexTest, AcceptsOnlyFortyLowercaseHexDigits) {
    const std::string good = "0123456789abcdef00ff10203040506070809a0b";
    const auto key = InfoHashHex::parse(good);
    ASSERT_TRUE(key);
    EXPECT_EQ(key->str(), good);
    for (const std::string& bad :
         {std::string(), std::string("0123"), good + "0", good.substr(0, 39), std::string(40, 'A'),
          "g" + good.substr(1), " " + good.substr(1), std::string(40, '\0')}) {
        SCOPED_TRACE(bad);
        EXPECT_FALSE(InfoHashHex::parse(bad));
    }
}

TEST(InfoHashHexTest, KeyIsTheV1HashElseTheStartOfTheV2Hash) {
    const lt::sha1_hash v1("0123456789abcdefghij");
    const lt::sha256_hash v2("ABCDEFGHIJKLMNOPQRSTUVWXYZ012345");
    EXPECT_EQ(torrent_key_hash(lt::info_hash_t(v1, v2)), v1);  // hybrid: v1 wins
    EXPECT_EQ(torrent_key_hash(lt::info_hash_t(v1)), v1);
    EXPECT_EQ(torrent_key_hash(lt::info_hash_t(v2)), lt::sha1_hash("ABCDEFGHIJKLMNOPQRST"));
    EXPECT_EQ(torrent_key(lt::info_hash_t(v2)), "4142434445464748494a4b4c4d4e4f5051525354");
}

TEST(InfoHashHexTest, ComparesAndHashesByItsText) {
    const auto a = InfoHashHex::parse(std::string(40, 'a'));
    const auto a2 = InfoHashHex::parse(std::string(40, 'a'));
    const auto b = InfoHashHex::parse(std::string(40, 'b'));
    ASSERT_TRUE(a && a2 && b);
    EXPECT_EQ(*a, *a2);
    EXPECT_NE(*a, *b);
    EXPECT_LT(*a, *b);
    const std::unordered_set<InfoHashHex> keys{*a, *a2, *b};
    EXPECT_EQ(keys.size(), 2U);
    EXPECT_EQ(keys.count(*a2), 1U);
}

}  // namespace
}  // namespace velmora::engine
