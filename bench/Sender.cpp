// Sends numbered datagrams to a loopback port with sendmmsg, at full speed or paced, then
// stops. Each payload is the number as ten digits, filler, and a line feed at the end.
//   bench_sender PORT COUNT SIZE [RATE_PER_SECOND (0: full speed)] [FIRST_NUMBER] [PREFIX]

#include <arpa/inet.h>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <netinet/in.h>
#include <string>
#include <sys/socket.h>
#include <unistd.h>
#include <vector>

namespace {

constexpr int Batch = 64;

double seconds()
{
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return double(now.tv_sec) + double(now.tv_nsec) / 1e9;
}

} // namespace

int main(int argc, char *argv[])
{
    if (argc < 4) {
        std::fprintf(stderr, "usage: %s PORT COUNT SIZE [RATE] [FIRST] [PREFIX]\n", argv[0]);
        return 2;
    }
    const int port = std::atoi(argv[1]);
    const long count = std::atol(argv[2]);
    const int size = std::max(12, std::atoi(argv[3]));
    const double rate = argc > 4 ? std::atof(argv[4]) : 0;
    const long first = argc > 5 ? std::atol(argv[5]) : 1;
    const std::string prefix = argc > 6 ? argv[6] : "";

    const int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        std::perror("socket");
        return 1;
    }
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    to.sin_port = htons(uint16_t(port));
    if (connect(fd, reinterpret_cast<sockaddr *>(&to), sizeof to) != 0) {
        std::perror("connect");
        return 1;
    }

    std::vector<char> payloads(size_t(Batch) * size_t(size), 'x');
    std::vector<iovec> vectors(Batch);
    std::vector<mmsghdr> messages(Batch);
    for (int i = 0; i < Batch; ++i) {
        char *payload = payloads.data() + size_t(i) * size_t(size);
        payload[size - 1] = '\n';
        vectors[i] = {payload, size_t(size)};
        messages[i] = {};
        messages[i].msg_hdr.msg_iov = &vectors[i];
        messages[i].msg_hdr.msg_iovlen = 1;
    }

    const double start = seconds();
    long sent = 0;
    while (sent < count) {
        const int batch = int(std::min<long>(Batch, count - sent));
        for (int i = 0; i < batch; ++i) {
            char number[32];
            const int length =
                std::snprintf(number, sizeof number, "%s%010ld ", prefix.c_str(), first + sent + i);
            std::memcpy(payloads.data() + size_t(i) * size_t(size), number, size_t(length));
        }
        if (rate > 0) {
            // Paced: each batch leaves when its first datagram is due.
            const double due = start + double(sent) / rate;
            const double wait = due - seconds();
            if (wait > 0) {
                timespec pause{time_t(wait), long((wait - double(time_t(wait))) * 1e9)};
                nanosleep(&pause, nullptr);
            }
        }
        int done = 0;
        while (done < batch) {
            const int result = sendmmsg(fd, messages.data() + done, unsigned(batch - done), 0);
            if (result < 0) {
                // A loopback receiver that is not there yet, or a full send buffer: go on.
                if (errno == EINTR || errno == ECONNREFUSED || errno == ENOBUFS || errno == EAGAIN)
                    continue;
                std::perror("sendmmsg");
                return 1;
            }
            done += result;
        }
        sent += batch;
    }
    const double elapsed = seconds() - start;
    std::printf("sent %ld in %.3f s (%.0f/s)\n", sent, elapsed, double(sent) / elapsed);
    close(fd);
    return 0;
}
