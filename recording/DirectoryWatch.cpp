#include "DirectoryWatch.h"

#include <QFile>

#include <cerrno>
#include <sys/inotify.h>
#include <sys/statfs.h>

namespace {

// inotify reports only what this machine does to a file, so changes are trusted to it only
// on filesystems no other machine writes to.
bool isLocalFilesystem(const QByteArray &directory)
{
    struct statfs status;
    if (::statfs(directory.constData(), &status) != 0)
        return false;
    switch (static_cast<unsigned long>(status.f_type)) {
    case 0xEF53:     // ext2, ext3, ext4
    case 0x58465342: // xfs
    case 0x9123683E: // btrfs
    case 0x01021994: // tmpfs
    case 0xF2F52010: // f2fs
    case 0x2FC12FC1: // zfs
    case 0x794C7630: // overlayfs
        return true;
    default:
        return false;
    }
}

} // namespace

DirectoryWatch::DirectoryWatch(const QString &directory)
{
    const QByteArray path = QFile::encodeName(directory);
    if (!isLocalFilesystem(path))
        return;
    FileDescriptor events(::inotify_init1(IN_NONBLOCK | IN_CLOEXEC));
    if (!events.isValid())
        return;
    constexpr uint32_t Changes = IN_CREATE | IN_DELETE | IN_MOVED_FROM | IN_MOVED_TO | IN_ATTRIB |
                                 IN_DELETE_SELF | IN_MOVE_SELF | IN_ONLYDIR;
    if (::inotify_add_watch(events.get(), path.constData(), Changes) < 0)
        return;
    m_events = std::move(events);
}

bool DirectoryWatch::mayHaveChanged()
{
    if (!m_events.isValid())
        return true;
    alignas(inotify_event) char buffer[4096];
    bool changed = false;
    for (;;) {
        const ssize_t length = ::read(m_events.get(), buffer, sizeof buffer);
        if (length < 0 && errno == EINTR)
            continue;
        if (length < 0 && errno == EAGAIN)
            return changed;
        if (length <= 0) {
            m_events.close();
            return true;
        }
        changed = true;
        for (ssize_t at = 0; at < length;) {
            const auto *event = reinterpret_cast<const inotify_event *>(buffer + at);
            // Nothing more would be told about this directory.
            if (event->mask & (IN_DELETE_SELF | IN_MOVE_SELF | IN_IGNORED | IN_UNMOUNT)) {
                m_events.close();
                return true;
            }
            at += ssize_t(sizeof(inotify_event)) + event->len;
        }
    }
}
