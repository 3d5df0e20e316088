// The bare receiver to compare against: recvmmsg in a loop, counting, nothing else. Prints
// "ready" once bound, and at its end "received COUNT". Ends at COUNT datagrams or after IDLE_MS
// without any.
//   bench_counter PORT COUNT [IDLE_MS]

#include <arpa/inet.h>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <sys/socket.h>
#include <vector>

int main(int argc, char *argv[])
{
    if (argc < 3) {
        std::fprintf(stderr, "usage: %s PORT COUNT [IDLE_MS]\n", argv[0]);
        return 2;
    }
    const long count = std::atol(argv[2]);
    const int idle = argc > 3 ? std::atoi(argv[3]) : 2000;
    const int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    // The logger's request, so that a clamp applies alike.
    const int buffer = 8 * 1024 * 1024;
    setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &buffer, sizeof buffer);
    const timeval timeout{idle / 1000, (idle % 1000) * 1000};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(uint16_t(std::atoi(argv[1])));
    if (bind(fd, reinterpret_cast<sockaddr *>(&address), sizeof address) != 0) {
        std::perror("bind");
        return 1;
    }
    std::printf("ready\n");
    std::fflush(stdout);

    constexpr int Batch = 64;
    constexpr size_t Slot = 65536;
    std::vector<char> buffers(Batch * Slot);
    std::vector<iovec> vectors(Batch);
    std::vector<mmsghdr> messages(Batch);
    long received = 0;
    while (received < count) {
        for (int i = 0; i < Batch; ++i) {
            vectors[i] = {&buffers[i * Slot], Slot};
            messages[i] = {};
            messages[i].msg_hdr.msg_iov = &vectors[i];
            messages[i].msg_hdr.msg_iovlen = 1;
        }
        const int got = recvmmsg(fd, messages.data(), Batch, MSG_WAITFORONE, nullptr);
        if (got < 0 && errno != EINTR)
            break;
        received += got > 0 ? got : 0;
    }
    std::printf("received %ld\n", received);
    return 0;
}
