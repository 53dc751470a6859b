// The smallest logger there is, the yardstick of the capture benchmark: one
// recvfrom and one write of length + bytes per datagram, the same records as a
// .qhv file, with a 32,000,000-byte socket receive buffer. With --recvmmsg it
// takes up to 64 datagrams with one recvmmsg and writes their records with one
// write: the honest upper mark for a receiver that batches.
//   minimal_receiver [--recvmmsg] PORT FILE
#include <netinet/in.h>
#include <sys/socket.h>
#include <fcntl.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace {

int OneAtATime(int fd, int file)
{
    unsigned char record[2 + 65535];
    for (;;) {
        const ssize_t length = ::recvfrom(fd, record + 2, sizeof record - 2, 0, nullptr, nullptr);
        if (length <= 0) {
            continue;
        }
        record[0] = static_cast<unsigned char>(length & 0xFF);
        record[1] = static_cast<unsigned char>(length >> 8);
        if (::write(file, record, static_cast<std::size_t>(length) + 2) < 0) {
            std::perror("minimal_receiver: write");
            return 1;
        }
    }
}

int Batched(int fd, int file)
{
    constexpr unsigned Batch = 64;
    constexpr std::size_t Slot = 65535;
    std::vector<unsigned char> slots(Batch * Slot);
    std::vector<unsigned char> out;
    out.reserve(Batch * 2048);
    iovec vectors[Batch];
    mmsghdr messages[Batch];
    for (;;) {
        for (unsigned i = 0; i < Batch; ++i) {
            vectors[i] = iovec { slots.data() + i * Slot, Slot };
            messages[i] = mmsghdr {};
            messages[i].msg_hdr.msg_iov = &vectors[i];
            messages[i].msg_hdr.msg_iovlen = 1;
        }
        // Blocks for the first datagram only, then takes what waits.
        const int taken = ::recvmmsg(fd, messages, Batch, MSG_WAITFORONE, nullptr);
        if (taken <= 0) {
            continue;
        }
        out.clear();
        for (int i = 0; i < taken; ++i) {
            const std::size_t length = messages[i].msg_len;
            if (length == 0) {
                continue;
            }
            out.push_back(static_cast<unsigned char>(length & 0xFF));
            out.push_back(static_cast<unsigned char>(length >> 8));
            out.insert(out.end(), slots.data() + i * Slot, slots.data() + i * Slot + length);
        }
        if (!out.empty() && ::write(file, out.data(), out.size()) < 0) {
            std::perror("minimal_receiver: write");
            return 1;
        }
    }
}

}  // namespace

int main(int argc, char* argv[])
{
    const bool batched = argc == 4 && std::strcmp(argv[1], "--recvmmsg") == 0;
    if (argc != 3 && !batched) {
        std::fprintf(stderr, "usage: minimal_receiver [--recvmmsg] PORT FILE\n");
        return 2;
    }
    const char* port = argv[argc - 2];
    const char* path = argv[argc - 1];
    const int fd = ::socket(AF_INET, SOCK_DGRAM, 0);
    const int bufferBytes = 32000000;
    ::setsockopt(fd, SOL_SOCKET, SO_RCVBUFFORCE, &bufferBytes, sizeof bufferBytes);
    ::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &bufferBytes, sizeof bufferBytes);
    sockaddr_in address {};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<std::uint16_t>(std::atoi(port)));
    if (::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        std::perror("minimal_receiver: bind");
        return 1;
    }
    const int file = ::open(path, O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (file < 0) {
        std::perror("minimal_receiver: open");
        return 1;
    }
    return batched ? Batched(fd, file) : OneAtATime(fd, file);
}
