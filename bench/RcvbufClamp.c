/* Preloaded into a receiver, makes SO_RCVBUF behave as for an unprivileged user on a stock
 * kernel (net.core.rmem_max = 212992), so a machine with a raised limit, or a root user, can
 * measure as a stock one: larger requests are clamped, and SO_RCVBUFFORCE is refused, as
 * without CAP_NET_ADMIN, so a receiver that tries it first falls back to SO_RCVBUF. */

#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <sys/socket.h>

enum { StockReceiveBufferLimit = 212992 };

int setsockopt(int fd, int level, int name, const void *value, socklen_t length)
{
    static int (*real)(int, int, int, const void *, socklen_t);
    if (!real)
        real = (int (*)(int, int, int, const void *, socklen_t))dlsym(RTLD_NEXT, "setsockopt");
    if (level == SOL_SOCKET && name == SO_RCVBUFFORCE) {
        errno = EPERM;
        return -1;
    }
    if (level == SOL_SOCKET && name == SO_RCVBUF && length == sizeof(int) &&
        *(const int *)value > StockReceiveBufferLimit) {
        const int clamped = StockReceiveBufferLimit;
        return real(fd, level, name, &clamped, sizeof clamped);
    }
    return real(fd, level, name, value, length);
}
