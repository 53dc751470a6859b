// The smallest logger there is, the yardstick of the capture benchmark: one
// recvfrom and one write of length + bytes per datagram, the same records as a
// .qhv file, with a 32,000,000-byte socket receive buffer.
//   minimal_receiver PORT FILE
#include <netinet/in.h>
#include <sys/socket.h>
#include <fcntl.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>

int main(int argc, char* argv[])
{
    if (argc != 3) {
        std::fprintf(stderr, "usage: minimal_receiver PORT FILE\n");
        return 2;
    }
    const int fd = ::socket(AF_INET, SOCK_DGRAM, 0);
    const int bufferBytes = 32000000;
    ::setsockopt(fd, SOL_SOCKET, SO_RCVBUFFORCE, &bufferBytes, sizeof bufferBytes);
    ::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &bufferBytes, sizeof bufferBytes);
    sockaddr_in address {};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<std::uint16_t>(std::atoi(argv[1])));
    if (::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        std::perror("minimal_receiver: bind");
        return 1;
    }
    const int file = ::open(argv[2], O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (file < 0) {
        std::perror("minimal_receiver: open");
        return 1;
    }
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
