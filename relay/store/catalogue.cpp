#include "relay/store/catalogue.h"

#include <sqlite3.h>
#include <sys/stat.h>

#include <algorithm>
#include <memory>

namespace kavro::relay {

namespace {

constexpr const char* kSchema = R"sql(
CREATE TABLE IF NOT EXISTS recordings (
  id INTEGER PRIMARY KEY AUTOINCREMENT,
  name BLOB NOT NULL,
  track BLOB NOT NULL,
  owner TEXT NOT NULL,
  owner_key BLOB,
  started INTEGER NOT NULL,
  ended INTEGER,
  bytes INTEGER NOT NULL,
  watchers_peak INTEGER NOT NULL,
  state TEXT NOT NULL
);
)sql";

std::int64_t to_ms(WallClock::time_point t) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(t.time_since_epoch()).count();
}

WallClock::time_point from_ms(std::int64_t ms) {
    return WallClock::time_point(
        std::chrono::duration_cast<WallClock::duration>(std::chrono::milliseconds(ms)));
}

struct StatementDeleter {
    void operator()(sqlite3_stmt* statement) const { sqlite3_finalize(statement); }
};
using Statement = std::unique_ptr<sqlite3_stmt, StatementDeleter>;

std::string blob_text(sqlite3_stmt* statement, int column) {
    const auto* data = static_cast<const char*>(sqlite3_column_blob(statement, column));
    const int size = sqlite3_column_bytes(statement, column);
    return data == nullptr ? std::string() : std::string(data, static_cast<std::size_t>(size));
}

bool damaged_code(int code) {
    const int primary = code & 0xFF;
    return primary == SQLITE_NOTADB || primary == SQLITE_CORRUPT;
}

}  // namespace

Catalogue::Catalogue(const std::filesystem::path& path) {
    const int opened =
        sqlite3_open_v2(path.c_str(), &db_, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, nullptr);
    if (opened != SQLITE_OK) {
        const std::string why = db_ ? sqlite3_errmsg(db_) : sqlite3_errstr(opened);
        sqlite3_close(db_);
        db_ = nullptr;
        throw std::runtime_error("cannot open the catalogue " + path.string() + ": " + why);
    }
    sqlite3_extended_result_codes(db_, 1);
    sqlite3_busy_timeout(db_, 2000);
    // It holds the casts' keys: for the relay's user alone (SQLite gives its -wal and -shm
    // files the same permissions).
    ::chmod(path.c_str(), 0600);
    try {
        exec("PRAGMA journal_mode=WAL");
        exec("PRAGMA synchronous=FULL");
        Statement check;
        sqlite3_stmt* raw = nullptr;
        int code = sqlite3_prepare_v2(db_, "PRAGMA quick_check", -1, &raw, nullptr);
        check.reset(raw);
        if (code == SQLITE_OK) code = sqlite3_step(check.get());
        if (code != SQLITE_ROW) {
            if (damaged_code(code) || damaged_code(sqlite3_extended_errcode(db_))) {
                throw CatalogueDamaged(error_text());
            }
            throw std::runtime_error(error_text());
        }
        const auto* result = sqlite3_column_text(check.get(), 0);
        if (result == nullptr || std::string(reinterpret_cast<const char*>(result)) != "ok") {
            throw CatalogueDamaged(result ? reinterpret_cast<const char*>(result) : "no result");
        }
        check.reset();
        exec(kSchema);
    } catch (...) {
        sqlite3_close(db_);
        db_ = nullptr;
        throw;
    }
}

Catalogue::~Catalogue() { sqlite3_close(db_); }

std::string Catalogue::error_text() const { return sqlite3_errmsg(db_); }

void Catalogue::exec(const char* sql) {
    char* message = nullptr;
    const int code = sqlite3_exec(db_, sql, nullptr, nullptr, &message);
    if (code == SQLITE_OK) return;
    const std::string why = message ? message : sqlite3_errstr(code);
    sqlite3_free(message);
    if (damaged_code(code) || damaged_code(sqlite3_extended_errcode(db_))) {
        throw CatalogueDamaged(why);
    }
    throw std::runtime_error(why);
}

std::vector<RecordingRow> Catalogue::load(std::size_t& unreadable) {
    unreadable = 0;
    std::vector<RecordingRow> rows;
    sqlite3_stmt* raw = nullptr;
    sqlite3_prepare_v2(db_,
                       "SELECT id, name, track, owner, started, ended, bytes, watchers_peak, "
                       "state, owner_key FROM recordings ORDER BY id",
                       -1, &raw, nullptr);
    const Statement select(raw);
    int code = SQLITE_ERROR;
    while (select && (code = sqlite3_step(select.get())) == SQLITE_ROW) {
        RecordingRow row;
        row.id = static_cast<std::uint64_t>(sqlite3_column_int64(select.get(), 0));
        row.name = blob_text(select.get(), 1);
        row.track = blob_text(select.get(), 2);
        row.owner = blob_text(select.get(), 3);
        row.started = from_ms(sqlite3_column_int64(select.get(), 4));
        if (sqlite3_column_type(select.get(), 5) != SQLITE_NULL) {
            row.ended = from_ms(sqlite3_column_int64(select.get(), 5));
        }
        row.bytes = static_cast<std::uint64_t>(sqlite3_column_int64(select.get(), 6));
        row.watchers_peak = static_cast<std::uint64_t>(sqlite3_column_int64(select.get(), 7));
        if (sqlite3_column_type(select.get(), 9) != SQLITE_NULL) {
            row.key = blob_text(select.get(), 9);
        }
        const auto state = state_from_text(blob_text(select.get(), 8));
        if (!state || row.id == 0) {
            ++unreadable;
            continue;
        }
        row.state = *state;
        rows.push_back(std::move(row));
    }
    if (code != SQLITE_DONE) {
        if (damaged_code(code) || damaged_code(sqlite3_extended_errcode(db_))) {
            throw CatalogueDamaged(error_text());
        }
        throw std::runtime_error("cannot read the catalogue: " + error_text());
    }
    return rows;
}

std::uint64_t Catalogue::next_id() {
    std::uint64_t highest = 0;
    for (const char* sql : {"SELECT seq FROM sqlite_sequence WHERE name = 'recordings'",
                            "SELECT max(id) FROM recordings"}) {
        sqlite3_stmt* raw = nullptr;
        if (sqlite3_prepare_v2(db_, sql, -1, &raw, nullptr) != SQLITE_OK) continue;
        const Statement statement(raw);
        if (sqlite3_step(statement.get()) == SQLITE_ROW) {
            highest = std::max(
                highest, static_cast<std::uint64_t>(sqlite3_column_int64(statement.get(), 0)));
        }
    }
    return highest + 1;
}

bool Catalogue::write(const std::vector<RecordingRow>& rows,
                      const std::vector<std::uint64_t>& deleted, std::string& error) {
    if (rows.empty() && deleted.empty()) return true;
    const auto fail = [&] {
        error = error_text();
        sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr);
        return false;
    };
    if (sqlite3_exec(db_, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr) != SQLITE_OK) {
        return fail();
    }
    sqlite3_stmt* raw = nullptr;
    if (sqlite3_prepare_v2(
            db_,
            "INSERT OR REPLACE INTO recordings (id, name, track, owner, started, ended, "
            "bytes, watchers_peak, state, owner_key) "
            "VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?, ?)",
            -1, &raw, nullptr) != SQLITE_OK) {
        return fail();
    }
    const Statement upsert(raw);
    for (const RecordingRow& row : rows) {
        sqlite3_stmt* s = upsert.get();
        sqlite3_reset(s);
        sqlite3_bind_int64(s, 1, static_cast<sqlite3_int64>(row.id));
        sqlite3_bind_blob(s, 2, row.name.data(), static_cast<int>(row.name.size()),
                          SQLITE_TRANSIENT);
        sqlite3_bind_blob(s, 3, row.track.data(), static_cast<int>(row.track.size()),
                          SQLITE_TRANSIENT);
        sqlite3_bind_text(s, 4, row.owner.data(), static_cast<int>(row.owner.size()),
                          SQLITE_TRANSIENT);
        sqlite3_bind_int64(s, 5, to_ms(row.started));
        if (row.ended) {
            sqlite3_bind_int64(s, 6, to_ms(*row.ended));
        } else {
            sqlite3_bind_null(s, 6);
        }
        sqlite3_bind_int64(s, 7, static_cast<sqlite3_int64>(row.bytes));
        sqlite3_bind_int64(s, 8, static_cast<sqlite3_int64>(row.watchers_peak));
        const std::string_view state = state_text(row.state);
        sqlite3_bind_text(s, 9, state.data(), static_cast<int>(state.size()), SQLITE_STATIC);
        if (row.key) {
            sqlite3_bind_blob(s, 10, row.key->data(), static_cast<int>(row.key->size()),
                              SQLITE_TRANSIENT);
        } else {
            sqlite3_bind_null(s, 10);
        }
        if (sqlite3_step(s) != SQLITE_DONE) return fail();
    }
    raw = nullptr;
    if (sqlite3_prepare_v2(db_, "DELETE FROM recordings WHERE id = ?", -1, &raw, nullptr) !=
        SQLITE_OK) {
        return fail();
    }
    const Statement remove(raw);
    for (const std::uint64_t id : deleted) {
        sqlite3_reset(remove.get());
        sqlite3_bind_int64(remove.get(), 1, static_cast<sqlite3_int64>(id));
        if (sqlite3_step(remove.get()) != SQLITE_DONE) return fail();
    }
    if (sqlite3_exec(db_, "COMMIT", nullptr, nullptr, nullptr) != SQLITE_OK) return fail();
    return true;
}

}  // namespace kavro::relay
