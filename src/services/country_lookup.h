// The country of an address, from a local MaxMind DB country database the user points to.
#pragma once

#include <shared_mutex>
#include <string>

#include <maxminddb.h>

namespace velmora::bridge {
class UiEventSink;
}

namespace velmora::services {

inline constexpr const char* kCountryDatabaseFile = "geolite2-country.mmdb";
inline constexpr const char* kUnknownCountry = "XX";

// Thread: open, reopen and close on the gui thread; lookups from any thread, also while a reopen
// runs (they wait for it).
class CountryDatabase {
public:
    explicit CountryDatabase(bridge::UiEventSink& events);
    ~CountryDatabase();
    CountryDatabase(const CountryDatabase&) = delete;
    CountryDatabase& operator=(const CountryDatabase&) = delete;

    // Opens the database file in the folder the page names; on failure the page is told and
    // every lookup answers "XX". True when open.
    bool open();
    // Closes and opens again, for a folder the user has just changed.
    bool reopen();
    void close();
    bool available() const;

    // The two-letter code of an address in text form; "XX" when unknown.
    std::string country_code_of(const std::string& address) const;

private:
    bridge::UiEventSink& events_;
    mutable std::shared_mutex lock_;
    MMDB_s database_{};
    bool open_ = false;
};

}  // namespace velmora::services
