// Sends numbered datagrams to a loopback port with sendmmsg, at full speed or paced, then stops.
// Each payload: the number as ten digits, a space, the CLOCK_MONOTONIC sending time in ns, a
// space, filler, a line feed; PREFIX goes before the number.
//   bench_sender PORT COUNT SIZE [RATE_PER_SECOND (0: full speed)] [FIRST_NUMBER] [PREFIX]

#include <arpa/inet.h>
#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <vector>

namespace {

constexpr int MaximumBatch = 64;

long long nanoseconds()
{
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return now.tv_sec * 1000000000LL + now.tv_nsec;
}

} // namespace

int main(int argc, char *argv[])
{
    if (argc < 4) {
        std::fprintf(stderr, "usage: %s PORT COUNT SIZE [RATE] [FIRST] [PREFIX]\n", argv[0]);
        return 2;
    }
    const long count = std::atol(argv[2]);
    const int size = std::max(40, std::atoi(argv[3]));
    const double rate = argc > 4 ? std::atof(argv[4]) : 0;
    const long first = argc > 5 ? std::atol(argv[5]) : 1;
    const std::string prefix = argc > 6 ? argv[6] : "";
    // Up to 10k/s each datagram has a deadline of its own, evenly spaced as from real devices;
    // above that a batch leaves every 100 us, as often as the clock keeps reliably.
    const int batchSize =
        rate > 0 ? std::clamp(int(std::ceil(rate / 10000)), 1, MaximumBatch) : MaximumBatch;
    // A timer fires up to its slack late, 50 us by default: too coarse for 100 us spacing.
    prctl(PR_SET_TIMERSLACK, 1UL);

    const int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    to.sin_port = htons(uint16_t(std::atoi(argv[1])));
    if (fd < 0 || connect(fd, reinterpret_cast<sockaddr *>(&to), sizeof to) != 0) {
        std::perror("connect");
        return 1;
    }
    std::vector<char> payloads(size_t(MaximumBatch) * size_t(size), 'x');
    std::vector<iovec> vectors(MaximumBatch);
    std::vector<mmsghdr> messages(MaximumBatch);
    for (int i = 0; i < MaximumBatch; ++i) {
        char *payload = payloads.data() + size_t(i) * size_t(size);
        payload[size - 1] = '\n';
        vectors[i] = {payload, size_t(size)};
        messages[i] = {};
        messages[i].msg_hdr.msg_iov = &vectors[i];
        messages[i].msg_hdr.msg_iovlen = 1;
    }

    const long long start = nanoseconds();
    for (long sent = 0; sent < count;) {
        const int batch = int(std::min<long>(batchSize, count - sent));
        if (rate > 0) {
            // Sleeps to an absolute deadline: spinning would take a core a remote sender doesn't.
            const long long due = start + (long long)(double(sent) / rate * 1e9);
            const timespec deadline{time_t(due / 1000000000), long(due % 1000000000)};
            while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &deadline, nullptr) == EINTR) {
            }
        }
        const long long now = nanoseconds();
        for (int i = 0; i < batch; ++i) {
            char head[64];
            const int length = std::snprintf(head, sizeof head, "%s%010ld %lld ", prefix.c_str(),
                                             first + sent + i, now);
            std::memcpy(&payloads[size_t(i) * size_t(size)], head, size_t(std::min(length, size - 1)));
        }
        for (int done = 0; done < batch;) {
            const int result = sendmmsg(fd, messages.data() + done, unsigned(batch - done), 0);
            // A loopback receiver not there yet, or a full send buffer: go on.
            if (result < 0 && errno != EINTR && errno != ECONNREFUSED && errno != ENOBUFS &&
                errno != EAGAIN) {
                std::perror("sendmmsg");
                return 1;
            }
            done += std::max(result, 0);
        }
        sent += batch;
    }
    const double elapsed = double(nanoseconds() - start) / 1e9;
    std::printf("sent %ld in %.3f s (%.0f/s)\n", count, elapsed, double(count) / elapsed);
    return 0;
}
