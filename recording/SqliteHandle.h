#pragma once

#include <sqlite3.h>

#include <memory>

// Owns one SQLite connection opened directly, and closes it on destruction.
struct SqliteClose
{
    void operator()(sqlite3 *handle) const { sqlite3_close_v2(handle); }
};
using SqliteHandle = std::unique_ptr<sqlite3, SqliteClose>;

// Owns one prepared statement, and finalizes it on destruction.
struct SqliteFinalize
{
    void operator()(sqlite3_stmt *statement) const { sqlite3_finalize(statement); }
};
using SqliteStatement = std::unique_ptr<sqlite3_stmt, SqliteFinalize>;
