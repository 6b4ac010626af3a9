#include "Catalogue.h"

#include <sqlite3.h>

#include <algorithm>

std::string RecordingPath(const std::string& folder, const std::string& filename) {
    std::string relative = filename;
    std::replace(relative.begin(), relative.end(), '\\', '/');
    return (!folder.empty() && folder.back() == '/' ? folder : folder + "/") + relative;
}

TCatalogue::TCatalogue(const std::string& path) {
    const int rc = sqlite3_open_v2(path.c_str(), &FDb, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_FULLMUTEX,
                                   nullptr);
    if (rc != SQLITE_OK) {
        const std::string message = FDb != nullptr ? sqlite3_errmsg(FDb) : sqlite3_errstr(rc);
        sqlite3_close(FDb);
        FDb = nullptr;
        throw TCatalogueError(message);
    }
    // A request thread reading the catalogue must not make the slot's own writes fail.
    sqlite3_busy_timeout(FDb, BusyTimeoutMs);
    try {
        Execute("CREATE TABLE IF NOT EXISTS recordings (id INTEGER PRIMARY KEY AUTOINCREMENT, starttime TIMESTAMP "
                "NOT NULL, duration REAL DEFAULT NULL, filename VARCHAR NOT NULL)");
    } catch (...) {
        sqlite3_close(FDb);
        FDb = nullptr;
        throw;
    }
    // The web calendar asks for one week at a time of what may be years of
    // hourly rows. A catalogue that cannot be written works without the index.
    sqlite3_exec(FDb, "CREATE INDEX IF NOT EXISTS recordings_starttime ON recordings (starttime)", nullptr, nullptr,
                 nullptr);
    // The alarms' starts and ends, beside the recordings that older readers know.
    sqlite3_exec(FDb,
                 "CREATE TABLE IF NOT EXISTS events (id INTEGER PRIMARY KEY AUTOINCREMENT, kind VARCHAR NOT NULL, "
                 "starttime TIMESTAMP NOT NULL, endtime TIMESTAMP DEFAULT NULL, text VARCHAR NOT NULL)",
                 nullptr, nullptr, nullptr);
    // The age cleanup deletes events by their start, as it does recordings.
    sqlite3_exec(FDb, "CREATE INDEX IF NOT EXISTS events_starttime ON events (starttime)", nullptr, nullptr, nullptr);
}

TCatalogue::~TCatalogue() { sqlite3_close(FDb); }

std::string TCatalogue::LastError() const { return sqlite3_errmsg(FDb); }

TStatement TCatalogue::Prepare(const char* sql) { return TStatement(*this, sql); }

void TCatalogue::Execute(const char* sql) {
    char* error = nullptr;
    if (sqlite3_exec(FDb, sql, nullptr, nullptr, &error) != SQLITE_OK) {
        const std::string message = error != nullptr ? error : LastError();
        sqlite3_free(error);
        throw TCatalogueError(message);
    }
}

TStatement::TStatement(TCatalogue& db, const char* sql) : FDb(db.Handle()) {
    Check(sqlite3_prepare_v2(FDb, sql, -1, &FStmt, nullptr));
}

TStatement::~TStatement() { sqlite3_finalize(FStmt); }

TStatement::TStatement(TStatement&& other) noexcept : FDb(other.FDb), FStmt(other.FStmt) { other.FStmt = nullptr; }

void TStatement::Check(int rc) const {
    if (rc != SQLITE_OK && rc != SQLITE_ROW && rc != SQLITE_DONE) {
        throw TCatalogueError(sqlite3_errmsg(FDb));
    }
}

TStatement& TStatement::Bind(int index, std::int64_t value) {
    Check(sqlite3_bind_int64(FStmt, index, value));
    return *this;
}

TStatement& TStatement::Bind(int index, double value) {
    Check(sqlite3_bind_double(FStmt, index, value));
    return *this;
}

TStatement& TStatement::Bind(int index, const std::string& value) {
    Check(sqlite3_bind_text(FStmt, index, value.c_str(), static_cast<int>(value.size()), SQLITE_TRANSIENT));
    return *this;
}

bool TStatement::Step() {
    const int rc = sqlite3_step(FStmt);
    Check(rc);
    return rc == SQLITE_ROW;
}

void TStatement::Run() {
    while (Step()) {
    }
}

std::int64_t TStatement::ColumnInt64(int column) const { return sqlite3_column_int64(FStmt, column); }

double TStatement::ColumnDouble(int column) const { return sqlite3_column_double(FStmt, column); }

std::string TStatement::ColumnText(int column) const {
    const auto* text = sqlite3_column_text(FStmt, column);
    return text != nullptr ? std::string(reinterpret_cast<const char*>(text),
                                         static_cast<std::size_t>(sqlite3_column_bytes(FStmt, column)))
                           : std::string();
}

bool TStatement::ColumnIsNull(int column) const { return sqlite3_column_type(FStmt, column) == SQLITE_NULL; }
