#include "velmora/services/country_lookup.h"

#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <mutex>

#include "velmora/bridge/event_names.h"
#include "velmora/bridge/ui_event_sink.h"

namespace velmora::services {
namespace {

namespace ev = bridge::event;
constexpr std::int32_t kDatabaseNotFound = 59;

}  // namespace

CountryDatabase::CountryDatabase(bridge::UiEventSink& events) : events_(events) {}

CountryDatabase::~CountryDatabase() {
    close();
}

bool CountryDatabase::open() {
    const bridge::UiValue folder = events_.ui_call(ev::kGetGeoip, bridge::UiValue(0));
    // no folder is no database, not a file of that name wherever the client happens to run
    const bool named = folder.is_string() && !folder.as_string().empty();
    const std::filesystem::path file =
        named ? std::filesystem::path(folder.as_string()) / kCountryDatabaseFile
              : std::filesystem::path();
    {
        const std::unique_lock lock(lock_);
        if (!open_ && named &&
            MMDB_open(file.c_str(), MMDB_MODE_MMAP, &database_) == MMDB_SUCCESS) {
            open_ = true;
        }
        if (open_) {
            return true;
        }
    }
    events_.ui_call(ev::kPostGeoipError, bridge::UiValue(kDatabaseNotFound));
    return false;
}

bool CountryDatabase::reopen() {
    close();
    return open();
}

void CountryDatabase::close() {
    const std::unique_lock lock(lock_);
    if (open_) {
        MMDB_close(&database_);
        open_ = false;
    }
}

bool CountryDatabase::available() const {
    const std::shared_lock lock(lock_);
    return open_;
}

std::string CountryDatabase::country_code_of(const std::string& address) const {
    const std::shared_lock lock(lock_);
    if (!open_) {
        return kUnknownCountry;
    }
    int address_error = 0;
    int lookup_error = MMDB_SUCCESS;
    // the library reads the mapped file only; the handle itself is not changed by a lookup
    MMDB_lookup_result_s result = MMDB_lookup_string(
        const_cast<MMDB_s*>(&database_), address.c_str(), &address_error, &lookup_error);
    if (address_error != 0 || lookup_error != MMDB_SUCCESS || !result.found_entry) {
        return kUnknownCountry;
    }
    MMDB_entry_data_s data{};
    if (MMDB_get_value(&result.entry, &data, "country", "iso_code", nullptr) != MMDB_SUCCESS ||
        !data.has_data || data.type != MMDB_DATA_TYPE_UTF8_STRING) {
        return kUnknownCountry;
    }
    return std::string(data.utf8_string, std::min<std::uint32_t>(data.data_size, 2));
}

}  // namespace velmora::services
