/* Preloaded into a receiver, clamps SO_RCVBUF requests to a stock kernel's limit
 * (net.core.rmem_max = 212992), so a machine with a raised limit can measure as a stock one. */

#define _GNU_SOURCE
#include <dlfcn.h>
#include <sys/socket.h>

enum { StockReceiveBufferLimit = 212992 };

int setsockopt(int fd, int level, int name, const void *value, socklen_t length)
{
    static int (*real)(int, int, int, const void *, socklen_t);
    if (!real)
        real = (int (*)(int, int, int, const void *, socklen_t))dlsym(RTLD_NEXT, "setsockopt");
    if (level == SOL_SOCKET && name == SO_RCVBUF && length == sizeof(int) &&
        *(const int *)value > StockReceiveBufferLimit) {
        const int clamped = StockReceiveBufferLimit;
        return real(fd, level, name, &clamped, sizeof clamped);
    }
    return real(fd, level, name, value, length);
}
