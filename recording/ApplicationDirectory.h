#pragma once

#include <QString>

// The folder beside the program, where the logger creates mylog.txt and SQLite creates
// Log.mdb's working files (Log.mdb-wal, Log.mdb-shm).
namespace ApplicationDirectory {

// Throws Failure (errno, e.g. EACCES or EROFS) naming the folder and how to fix it when
// this user cannot create files in `path`.
void requireWritable(const QString &path);

} // namespace ApplicationDirectory
