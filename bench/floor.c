/* floor PORT: the least a client can do for the benchmark's exchange.
 * Connects to 127.0.0.1:PORT, sends the benchmark's request in one send and
 * copies the reply to standard output through stdio with 249-byte receives,
 * as the client does; no configuration, no dialogue, no checks beyond
 * what ends the loop. */
#include <arpa/inet.h>
#include <netinet/in.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

int main(int argc, char** argv)
{
    static const char message[] = "GET /\nHost: 127.0.0.1\n";
    char chunk[249];
    struct sockaddr_in address;
    int fd;
    ssize_t n;

    if (argc != 2) {
        return 2;
    }
    fd = socket(AF_INET, SOCK_STREAM, 0);
    memset(&address, 0, sizeof address);
    address.sin_family = AF_INET;
    address.sin_port = htons((unsigned short)atoi(argv[1]));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (fd < 0 || connect(fd, (struct sockaddr*)&address, sizeof address) < 0 ||
        send(fd, message, sizeof message - 1, 0) < 0) {
        return 1;
    }
    while ((n = recv(fd, chunk, sizeof chunk, 0)) > 0) {
        fwrite(chunk, 1, (size_t)n, stdout);
    }
    close(fd);
    return fflush(stdout) != 0 || n < 0;
}
