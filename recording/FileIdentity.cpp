#include "FileIdentity.h"

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>

namespace {

std::optional<FileIdentity> identityOf(int directory, const char *path, int flags)
{
    struct statx status;
    constexpr unsigned int Wanted = STATX_TYPE | STATX_MODE | STATX_INO | STATX_UID | STATX_GID;
    if (::statx(directory, path, flags, Wanted, &status) == 0) {
        return FileIdentity{makedev(status.stx_dev_major, status.stx_dev_minor), status.stx_ino,
                            status.stx_mode, status.stx_uid, status.stx_gid};
    }
    // Older kernels and some container filters do not offer statx.
    if (errno != ENOSYS && errno != EPERM)
        return std::nullopt;
    struct stat fallback;
    if (::fstatat(directory, path, &fallback, flags) != 0)
        return std::nullopt;
    return FileIdentity{fallback.st_dev, fallback.st_ino, fallback.st_mode, fallback.st_uid,
                        fallback.st_gid};
}

} // namespace

std::optional<FileIdentity> FileIdentity::ofPath(const char *path)
{
    return identityOf(AT_FDCWD, path, 0);
}

std::optional<FileIdentity> FileIdentity::ofDescriptor(int fd)
{
    return identityOf(fd, "", AT_EMPTY_PATH);
}

bool FileIdentity::isSymbolicLink(const char *path)
{
    struct stat status;
    return ::lstat(path, &status) == 0 && S_ISLNK(status.st_mode);
}
