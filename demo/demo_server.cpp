// demo_server: a loopback server to try the client against.
//
// Listens on 127.0.0.1 at a free port (or --port N), writes that port and a
// line feed to standard output, then serves one connection (or --connections
// N): reads the request, answers with a short readable reply that shows every
// byte it received, and closes. With --reply-bytes N it answers with N bytes
// of a fixed pattern instead. It stops by itself after serving, or when no
// client has come for --wait seconds (default 600).

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>

#include "describe.hpp"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

constexpr std::size_t request_limit = 4096;
// The client never half-closes: two line feeds, or a pause, end its request.
constexpr int request_idle_ms = 500;
constexpr std::size_t request_line_feeds = 2;

struct options {
    unsigned port = 0;
    long connections = 1;
    long long reply_bytes = -1;
    int wait_seconds = 600;
};

[[noreturn]] void fail(const char* what)
{
    std::perror(what);
    std::exit(1);
}

[[noreturn]] void usage()
{
    std::fputs(
        "usage: demo_server [--port N] [--connections N] [--reply-bytes N] [--wait SECONDS]\n",
        stderr);
    std::exit(2);
}

long long number_argument(const char* text, long long lowest, long long highest)
{
    char* end = nullptr;
    errno = 0;
    const long long value = std::strtoll(text, &end, 10);
    if (errno != 0 || end == text || *end != '\0' || value < lowest || value > highest) {
        usage();
    }
    return value;
}

options parse_options(int argc, char** argv)
{
    options parsed;
    for (int i = 1; i < argc; ++i) {
        const std::string name = argv[i];
        if (i + 1 >= argc) {
            usage();
        }
        const char* value = argv[++i];
        if (name == "--port") {
            parsed.port = static_cast<unsigned>(number_argument(value, 0, 65535));
        } else if (name == "--connections") {
            parsed.connections = static_cast<long>(number_argument(value, 1, 1000000000));
        } else if (name == "--reply-bytes") {
            parsed.reply_bytes = number_argument(value, 0, 1LL << 40);
        } else if (name == "--wait") {
            parsed.wait_seconds = static_cast<int>(number_argument(value, 1, 86400));
        } else {
            usage();
        }
    }
    return parsed;
}

int listen_on_loopback(unsigned port)
{
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    if (fd < 0) {
        fail("socket()");
    }
    const int yes = 1;
    ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<in_port_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) < 0) {
        fail("bind()");
    }
    if (::listen(fd, SOMAXCONN) < 0) {
        fail("listen()");
    }
    return fd;
}

unsigned port_of(int fd)
{
    sockaddr_in address{};
    socklen_t length = sizeof address;
    if (::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) < 0) {
        fail("getsockname()");
    }
    return ntohs(address.sin_port);
}

bool readable_within(int fd, int milliseconds)
{
    pollfd entry{fd, POLLIN, 0};
    return ::poll(&entry, 1, milliseconds) > 0;
}

std::string read_request(int fd)
{
    std::string request;
    char buffer[512];
    while (request.size() < request_limit && readable_within(fd, request_idle_ms)) {
        const ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
        if (n <= 0) {
            break;
        }
        request.append(buffer, static_cast<std::size_t>(n));
        if (static_cast<std::size_t>(std::count(request.begin(), request.end(), '\n')) >=
            request_line_feeds) {
            break;
        }
    }
    return request;
}

// Sends all of `data`. Returns false when the client has gone; the server
// then simply moves on to the next one.
bool send_all(int fd, std::string_view data)
{
    for (std::size_t sent = 0; sent < data.size();) {
        const ssize_t n = ::send(fd, data.data() + sent, data.size() - sent, MSG_NOSIGNAL);
        if (n < 0 && errno != EINTR) {
            return false;
        }
        sent += n > 0 ? static_cast<std::size_t>(n) : 0;
    }
    return true;
}

// Lines of "0123456789abcdefghijklmnopqrstuvwxyz", repeated without a break
// across blocks, so the first N bytes of the reply are exactly those of
// `yes 0123456789abcdefghijklmnopqrstuvwxyz`: a lost, repeated or reordered
// block changes its hash.
void send_pattern(int fd, long long count)
{
    static constexpr char line[] = "0123456789abcdefghijklmnopqrstuvwxyz\n";
    static constexpr std::size_t line_length = sizeof line - 1;
    static char block[line_length * 1771]; // about 64 KiB of whole lines
    for (std::size_t i = 0; i < sizeof block; ++i) {
        block[i] = line[i % line_length];
    }
    while (count > 0) {
        const std::size_t length = std::min(static_cast<std::size_t>(count), sizeof block);
        if (!send_all(fd, {block, length})) {
            return;
        }
        count -= static_cast<long long>(length);
    }
}

void serve(int connection, const options& chosen)
{
    const std::string request = read_request(connection);
    if (chosen.reply_bytes >= 0) {
        send_pattern(connection, chosen.reply_bytes);
    } else {
        const std::string reply = demo::describe(request);
        send_all(connection, reply);
    }
    ::close(connection);
}

} // namespace

int main(int argc, char** argv)
{
    const options chosen = parse_options(argc, argv);
    const int listener = listen_on_loopback(chosen.port);
    std::printf("%u\n", port_of(listener));
    std::fflush(stdout);
    for (long served = 0; served < chosen.connections; ++served) {
        if (!readable_within(listener, chosen.wait_seconds * 1000)) {
            std::fputs("demo_server: no client came; stopping\n", stderr);
            return 1;
        }
        const int connection = ::accept(listener, nullptr, nullptr);
        if (connection < 0) {
            fail("accept()");
        }
        serve(connection, chosen);
    }
    return 0;
}
