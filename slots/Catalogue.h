#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>

struct sqlite3;
struct sqlite3_stmt;

// A failure of the recordings catalogue; the message is SQLite's.
class TCatalogueError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

class TStatement;

// The full path of a catalogue file name (stored with '/' or, from older
// installations, '\').
std::string RecordingPath(const std::string& folder, const std::string& filename);

// One connection to a slot's catalogue file RudazOdudad.db. Opening creates the
// file and the recordings table when they are missing, and the events table of
// the alarms where the file can be written. Each connection belongs
// to the one operation or request that opened it.
class TCatalogue {
public:
    static constexpr const char* FileName = "RudazOdudad.db";
    static constexpr int BusyTimeoutMs = 5000;

    // Opens (creating) the database file at `path`; throws TCatalogueError.
    explicit TCatalogue(const std::string& path);
    ~TCatalogue();

    TCatalogue(const TCatalogue&) = delete;
    TCatalogue& operator=(const TCatalogue&) = delete;

    TStatement Prepare(const char* sql);
    void Execute(const char* sql);

    std::string LastError() const;
    sqlite3* Handle() const { return FDb; }

private:
    sqlite3* FDb = nullptr;
};

// A prepared statement with positional parameters (1-based, as in SQL).
class TStatement {
public:
    TStatement(TCatalogue& db, const char* sql);
    ~TStatement();
    TStatement(TStatement&& other) noexcept;
    TStatement(const TStatement&) = delete;
    TStatement& operator=(const TStatement&) = delete;
    TStatement& operator=(TStatement&&) = delete;

    TStatement& Bind(int index, std::int64_t value);
    TStatement& Bind(int index, int value) { return Bind(index, static_cast<std::int64_t>(value)); }
    TStatement& Bind(int index, double value);
    TStatement& Bind(int index, const std::string& value);

    // Advances to the next row; false when there is none. Throws on failure.
    bool Step();
    // Runs a statement that returns no rows.
    void Run();

    std::int64_t ColumnInt64(int column) const;
    double ColumnDouble(int column) const;
    std::string ColumnText(int column) const;
    bool ColumnIsNull(int column) const;

private:
    void Check(int rc) const;

    sqlite3* FDb;
    sqlite3_stmt* FStmt = nullptr;
};
