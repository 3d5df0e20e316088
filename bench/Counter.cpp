// The bare receiver to compare against: recvmmsg in a loop, counting, nothing else. Prints
// "ready" once bound, and at the end the datagrams received and those the kernel dropped.
// Ends at COUNT datagrams or after IDLE_MS without any.
//   bench_counter PORT COUNT [IDLE_MS]

#include <arpa/inet.h>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>
#include <vector>

int main(int argc, char *argv[])
{
    if (argc < 3) {
        std::fprintf(stderr, "usage: %s PORT COUNT [IDLE_MS]\n", argv[0]);
        return 2;
    }
    const int port = std::atoi(argv[1]);
    const long count = std::atol(argv[2]);
    const int idle = argc > 3 ? std::atoi(argv[3]) : 2000;

    const int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    // The same request as the logger's, so a clamp applies alike.
    const int buffer = 8 * 1024 * 1024;
    setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &buffer, sizeof buffer);
    const int on = 1;
    setsockopt(fd, SOL_SOCKET, SO_RXQ_OVFL, &on, sizeof on);
    timeval timeout{idle / 1000, (idle % 1000) * 1000};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(uint16_t(port));
    if (bind(fd, reinterpret_cast<sockaddr *>(&address), sizeof address) != 0) {
        std::perror("bind");
        return 1;
    }
    int granted = 0;
    socklen_t length = sizeof granted;
    getsockopt(fd, SOL_SOCKET, SO_RCVBUF, &granted, &length);
    std::printf("ready %d\n", granted);
    std::fflush(stdout);

    constexpr int Batch = 64;
    constexpr size_t Slot = 65536;
    std::vector<char> buffers(Batch * Slot);
    std::vector<iovec> vectors(Batch);
    std::vector<mmsghdr> messages(Batch);
    struct Control
    {
        alignas(cmsghdr) char bytes[CMSG_SPACE(sizeof(uint32_t))];
    };
    std::vector<Control> controls(Batch);
    long received = 0;
    uint32_t drops = 0;
    while (received < count) {
        for (int i = 0; i < Batch; ++i) {
            vectors[i] = {buffers.data() + i * Slot, Slot};
            messages[i] = {};
            messages[i].msg_hdr.msg_iov = &vectors[i];
            messages[i].msg_hdr.msg_iovlen = 1;
            messages[i].msg_hdr.msg_control = controls[i].bytes;
            messages[i].msg_hdr.msg_controllen = sizeof controls[i].bytes;
        }
        const int got = recvmmsg(fd, messages.data(), Batch, MSG_WAITFORONE, nullptr);
        if (got < 0) {
            if (errno == EINTR)
                continue;
            break;
        }
        received += got;
        for (int i = 0; i < got; ++i) {
            for (cmsghdr *c = CMSG_FIRSTHDR(&messages[i].msg_hdr); c;
                 c = CMSG_NXTHDR(&messages[i].msg_hdr, c)) {
                if (c->cmsg_level == SOL_SOCKET && c->cmsg_type == SO_RXQ_OVFL)
                    std::memcpy(&drops, CMSG_DATA(c), sizeof drops);
            }
        }
    }
    std::printf("received %ld dropped %u\n", received, drops);
    close(fd);
    return 0;
}
