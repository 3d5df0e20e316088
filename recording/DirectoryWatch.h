#pragma once

#include "FileDescriptor.h"

#include <QString>

// Tells at the cost of one read whether a name in a directory may have changed: an entry
// created, deleted, renamed, or given other permissions or another owner. Where it cannot
// tell, it always says it may: without inotify, on filesystems whose changes may come from
// other machines, and once the directory itself is gone, moved or unmounted.
class DirectoryWatch
{
public:
    explicit DirectoryWatch(const QString &directory);

    // Whether anything may have changed since the last call, or since construction.
    bool mayHaveChanged();

private:
    FileDescriptor m_events;
};
