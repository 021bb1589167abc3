// The pages' own persistent stores: settings.db, torrents.db and log.db as SQLite files.
#pragma once

#include <array>
#include <filesystem>
#include <string>
#include <string_view>

struct sqlite3;

namespace velmora::platform {

struct StoreAnswer {
    bool ok = false;
    std::string json;  // {"rows":[[...],...],"changes":N} or {"error":"..."}
};

// Thread: one thread at a time (the server's io thread). Files open on first use and are
// created when missing; they close with the object.
class PageStores {
public:
    explicit PageStores(std::filesystem::path folder);
    ~PageStores();
    PageStores(const PageStores&) = delete;
    PageStores& operator=(const PageStores&) = delete;

    static bool is_store_name(std::string_view name);

    // Runs one statement given as {"sql": "...", "params": [...]} on the named store.
    StoreAnswer run(std::string_view store, std::string_view request_json);

private:
    sqlite3* open_store(std::size_t index, std::string& error);

    std::filesystem::path folder_;
    std::array<sqlite3*, 3> handles_{};
};

}  // namespace velmora::platform
