#pragma once

#include <optional>
#include <sys/types.h>

// What tells one file from another, and what decides who may write to it.
struct FileIdentity
{
    dev_t device = 0;
    ino_t inode = 0;
    mode_t mode = 0;
    uid_t owner = 0;
    gid_t group = 0;

    bool isSameFile(const FileIdentity &other) const
    {
        return device == other.device && inode == other.inode;
    }
    bool operator==(const FileIdentity &other) const
    {
        return isSameFile(other) && mode == other.mode && owner == other.owner &&
               group == other.group;
    }

    // The file `path` names, symbolic links followed; nothing, with errno set, if there is
    // none. No timestamps are asked for: where the filesystem keeps fine-grained times, a file
    // whose times were read gets them written anew at its next write, a journal entry each.
    static std::optional<FileIdentity> ofPath(const char *path);
    static std::optional<FileIdentity> ofDescriptor(int fd);
    // Whether `path` is a symbolic link, whose target may change out of sight of its folder.
    static bool isSymbolicLink(const char *path);
};
