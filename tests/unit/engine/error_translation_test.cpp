// Engine errors as kinds and page text ids.
#include "velmora/engine/error_translation.h"

#include <cerrno>
#include <cstdint>
#include <initializer_list>
#include <utility>

#include <boost/asio/error.hpp>
#include <boost/asio/ssl/error.hpp>
#include <boost/system/error_code.hpp>
#include <gtest/gtest.h>
#include <libtorrent/bdecode.hpp>
#include <libtorrent/error_code.hpp>
#include <libtorrent/i2p_stream.hpp>
#include <libtorrent/socks5_stream.hpp>
#include <libtorrent/upnp.hpp>

namespace velmora::engine {
namespace {

constexpr std::int32_t kUnknown = 193;

struct TextCase {
    int value;
    std::int32_t kind;
    std::int32_t text_id;
};

void expect_text_ids(std::initializer_list<TextCase> cases) {
    for (const auto& [value, kind, text_id] : cases) {
        SCOPED_TRACE(testing::Message() << "value " << value << ", kind " << kind);
        EXPECT_EQ(ui_text_id(value, kind), text_id);
    }
}

TEST(UiTextId, NoErrorSharesTheHttpContinueTextWhateverTheKind) {
    for (const std::int32_t kind : {-1, 0, 1, 2, 3, 4, 5, 6, 7}) {
        SCOPED_TRACE(kind);
        EXPECT_EQ(ui_text_id(0, kind), 435);
    }
    EXPECT_EQ(ui_text_id(100, 1), 435);
}

TEST(UiTextId, EngineErrorsFollowTheEnginesOrder) {
    expect_text_ids({
        {1, 0, 485},
        {19, 0, 503},
        {179, 0, 663},
        {180, 0, 881},
        {181, 0, kUnknown},
        {200, 0, kUnknown},
        {-1, 0, kUnknown},
    });
}

TEST(UiTextId, HttpStatusCodesHaveTheirReasonPhrases) {
    expect_text_ids({
        {200, 1, 406},      {201, 1, 436},      {202, 1, 437},      {204, 1, 438},
        {300, 1, 439},      {301, 1, 440},      {302, 1, 441},      {304, 1, 442},
        {400, 1, 443},      {401, 1, 444},      {403, 1, 445},      {404, 1, 446},
        {500, 1, 447},      {501, 1, 448},      {502, 1, 449},      {503, 1, 450},
        {203, 1, kUnknown}, {418, 1, kUnknown}, {504, 1, kUnknown}, {-404, 1, kUnknown},
    });
}

TEST(UiTextId, UpnpErrorsHaveTheirTexts) {
    expect_text_ids({
        {402, 5, 475},
        {501, 5, 476},
        {714, 5, 477},
        {715, 5, 478},
        {716, 5, 479},
        {718, 5, 480},
        {724, 5, 481},
        {725, 5, 482},
        {726, 5, 483},
        {727, 5, 484},
        {717, 5, kUnknown},
        {728, 5, kUnknown},
        {404, 5, kUnknown},
    });
}

TEST(UiTextId, NumberedFamiliesCoverTheirRangeOnly) {
    expect_text_ids({
        {1, 2, 451},
        {7, 2, 457},
        {8, 2, kUnknown},
        {-1, 2, kUnknown},
        {1, 3, 458},
        {8, 3, 465},
        {9, 3, kUnknown},
        {-1, 3, kUnknown},
        {1, 4, 466},
        {9, 4, 474},
        {10, 4, kUnknown},
        {-1, 4, kUnknown},
    });
}

TEST(UiTextId, SslValuesPassThroughAndOtherKindsAreUnknown) {
    expect_text_ids({
        {1, 6, 1},
        {336130315, 6, 336130315},
        {-5, 6, -5},
        {1, -1, kUnknown},
        {404, -1, kUnknown},
        {1, 7, kUnknown},
    });
}

TEST(ErrorKind, EachEngineCategoryHasItsKind) {
    const std::pair<const boost::system::error_category*, std::int32_t> cases[] = {
        {&lt::libtorrent_category(), 0},
        {&lt::http_category(), 1},
        {&lt::bdecode_category(), 2},
        {&lt::i2p_category(), 3},
        {&lt::socks_category(), 4},
        {&lt::upnp_category(), 5},
        {&boost::asio::error::get_ssl_category(), 6},
        {&boost::system::system_category(), -1},
        {&boost::system::generic_category(), -1},
        {&boost::asio::error::get_misc_category(), -1},
    };
    for (const auto& [category, kind] : cases) {
        SCOPED_TRACE(category->name());
        EXPECT_EQ(error_kind(*category), kind);
    }
}

TEST(TranslateError, ReportsMessageKindAndTextId) {
    struct Case {
        lt::error_code error;
        std::int32_t kind;
        std::int32_t text_id;
    };
    const Case cases[] = {
        {lt::errors::duplicate_torrent, 0, 503},
        {lt::error_code(404, lt::http_category()), 1, 446},
        {lt::error_code(lt::bdecode_errors::expected_colon, lt::bdecode_category()), 2, 452},
        {lt::error_code(ECONNREFUSED, boost::system::system_category()), -1, kUnknown},
        {lt::error_code(), -1, 435},
    };
    for (const auto& [error, kind, text_id] : cases) {
        SCOPED_TRACE(error.message());
        const ErrorReport report = translate_error(error);
        EXPECT_EQ(report.message, error.message());
        EXPECT_EQ(report.kind, kind);
        EXPECT_EQ(report.text_id, text_id);
    }
    EXPECT_EQ(translate_error(lt::errors::duplicate_torrent).message,
              "torrent already exists in session");
}

}  // namespace
}  // namespace velmora::engine
