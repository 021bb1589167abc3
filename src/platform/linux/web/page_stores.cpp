// One SQL statement per request on a page store, answered as JSON.
#include "velmora/platform/linux/web/page_stores.h"

#include <memory>
#include <optional>

#include <nlohmann/json.hpp>
#include <sqlite3.h>

namespace velmora::platform {
namespace {

using Json = nlohmann::json;

constexpr std::array<std::string_view, 3> kStoreNames = {"settings", "torrents", "log"};

std::optional<std::size_t> store_index(std::string_view name) {
    for (std::size_t i = 0; i < kStoreNames.size(); ++i) {
        if (kStoreNames[i] == name) {
            return i;
        }
    }
    return std::nullopt;
}

StoreAnswer failure(std::string_view message) {
    Json out{{"error", std::string(message)}};
    return {false, out.dump(-1, ' ', false, Json::error_handler_t::replace)};
}

// The pages own these files, but nothing they send may reach other files through them.
int deny_other_files(void* /*unused*/,
                     int action,
                     const char* /*unused*/,
                     const char* /*unused*/,
                     const char* /*unused*/,
                     const char* /*unused*/) {
    return action == SQLITE_ATTACH || action == SQLITE_DETACH ? SQLITE_DENY : SQLITE_OK;
}

struct StatementCloser {
    void operator()(sqlite3_stmt* statement) const { sqlite3_finalize(statement); }
};
using Statement = std::unique_ptr<sqlite3_stmt, StatementCloser>;

bool bind_params(sqlite3_stmt* statement, const Json& params, std::string& error) {
    int index = 1;
    for (const auto& param : params) {
        int rc = SQLITE_OK;
        if (param.is_null()) {
            rc = sqlite3_bind_null(statement, index);
        } else if (param.is_boolean()) {
            rc = sqlite3_bind_int(statement, index, param.get<bool>() ? 1 : 0);
        } else if (param.is_number_integer()) {
            rc = sqlite3_bind_int64(statement, index, param.get<sqlite3_int64>());
        } else if (param.is_number()) {
            rc = sqlite3_bind_double(statement, index, param.get<double>());
        } else if (param.is_string()) {
            const auto& text = param.get_ref<const std::string&>();
            rc = sqlite3_bind_text64(statement, index, text.data(), text.size(), SQLITE_TRANSIENT,
                                     SQLITE_UTF8);
        } else {
            error = "parameter " + std::to_string(index) + " is not a plain value";
            return false;
        }
        if (rc != SQLITE_OK) {
            error = sqlite3_errstr(rc);
            return false;
        }
        ++index;
    }
    return true;
}

Json column_value(sqlite3_stmt* statement, int column) {
    switch (sqlite3_column_type(statement, column)) {
        case SQLITE_INTEGER:
            return sqlite3_column_int64(statement, column);
        case SQLITE_FLOAT:
            return sqlite3_column_double(statement, column);
        case SQLITE_NULL:
            return nullptr;
        default: {
            // text, and blobs read as text: the pages store only what they sent as JSON
            const auto* bytes = sqlite3_column_text(statement, column);
            const int size = sqlite3_column_bytes(statement, column);
            return std::string(reinterpret_cast<const char*>(bytes),
                               static_cast<std::size_t>(size));
        }
    }
}

bool only_space(const char* text) {
    for (; *text != '\0'; ++text) {
        if (*text != ' ' && *text != '\t' && *text != '\n' && *text != '\r' && *text != ';') {
            return false;
        }
    }
    return true;
}

}  // namespace

PageStores::PageStores(std::filesystem::path folder) : folder_(std::move(folder)) {}

PageStores::~PageStores() {
    for (sqlite3* db : handles_) {
        sqlite3_close_v2(db);  // accepts null
    }
}

bool PageStores::is_store_name(std::string_view name) {
    return store_index(name).has_value();
}

sqlite3* PageStores::open_store(std::size_t index, std::string& error) {
    if (handles_[index] != nullptr) {
        return handles_[index];
    }
    if (folder_.empty()) {
        error = "no store folder";
        return nullptr;
    }
    const auto path = folder_ / (std::string(kStoreNames[index]) + ".db");
    sqlite3* db = nullptr;
    const int rc = sqlite3_open_v2(
        path.c_str(), &db,
        SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_NOMUTEX | SQLITE_OPEN_NOFOLLOW,
        nullptr);
    if (rc != SQLITE_OK) {
        error = db != nullptr ? sqlite3_errmsg(db) : sqlite3_errstr(rc);
        sqlite3_close_v2(db);
        return nullptr;
    }
    sqlite3_busy_timeout(db, 2000);
    sqlite3_db_config(db, SQLITE_DBCONFIG_DEFENSIVE, 1, nullptr);
    sqlite3_limit(db, SQLITE_LIMIT_ATTACHED, 0);
    sqlite3_set_authorizer(db, &deny_other_files, nullptr);
    handles_[index] = db;
    return db;
}

StoreAnswer PageStores::run(std::string_view store, std::string_view request_json) {
    const auto index = store_index(store);
    if (!index) {
        return failure("no such store");
    }
    const Json request = Json::parse(request_json, nullptr, /*allow_exceptions=*/false);
    if (!request.is_object() || !request.contains("sql") || !request["sql"].is_string()) {
        return failure("expected {\"sql\": text, \"params\": [...]}");
    }
    const Json params = request.value("params", Json::array());
    if (!params.is_array()) {
        return failure("params is not an array");
    }
    std::string error;
    sqlite3* db = open_store(*index, error);
    if (db == nullptr) {
        return failure(error);
    }
    const auto& sql = request["sql"].get_ref<const std::string&>();
    sqlite3_stmt* raw = nullptr;
    const char* tail = nullptr;
    if (sqlite3_prepare_v2(db, sql.c_str(), static_cast<int>(sql.size() + 1), &raw, &tail) !=
        SQLITE_OK) {
        return failure(sqlite3_errmsg(db));
    }
    const Statement statement(raw);
    if (statement == nullptr) {
        return failure("no statement");
    }
    if (tail != nullptr && !only_space(tail)) {
        return failure("one statement at a time");
    }
    if (!bind_params(statement.get(), params, error)) {
        return failure(error);
    }
    Json rows = Json::array();
    const int columns = sqlite3_column_count(statement.get());
    int rc = SQLITE_ROW;
    while ((rc = sqlite3_step(statement.get())) == SQLITE_ROW) {
        Json row = Json::array();
        for (int c = 0; c < columns; ++c) {
            row.push_back(column_value(statement.get(), c));
        }
        rows.push_back(std::move(row));
    }
    if (rc != SQLITE_DONE) {
        return failure(sqlite3_errmsg(db));
    }
    const int changes = sqlite3_stmt_readonly(statement.get()) != 0 ? 0 : sqlite3_changes(db);
    Json out{{"rows", std::move(rows)}, {"changes", changes}};
    return {true, out.dump(-1, ' ', false, Json::error_handler_t::replace)};
}

}  // namespace velmora::platform
