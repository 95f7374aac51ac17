// demo_server: a loopback server to try the client against.
//
// Listens on 127.0.0.1 at a free port (or --port N), writes that port and a
// line feed to standard output, then serves one connection (or --connections
// N): reads the request, answers with a short readable reply that shows every
// byte it received, and closes. With --reply-bytes N it answers with N bytes
// of a fixed pattern instead. It stops by itself after serving, or when no
// client has come for --wait seconds (default 600).
//
// --paced-by FILE is for checks/faults, not for demos: see "Pacing" below.

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>

#include <fstream>

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
    const char* paced_by = nullptr;
};

[[noreturn]] void fail(const char* what)
{
    std::perror(what);
    std::exit(1);
}

[[noreturn]] void usage()
{
    std::fputs(
        "usage: demo_server [--port N] [--connections N] [--reply-bytes N] [--wait SECONDS]\n"
        "                   [--paced-by FILE]\n",
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
        } else if (name == "--paced-by") {
            parsed.paced_by = value;
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

// ---------------------------------------------------------------------------
// Pacing, for checks/faults only. A demo needs none of it: without
// --paced-by, each function below returns at once or just sends.
//
// With --paced-by FILE, the file that the client's output goes to, the reply
// goes out a part at a time (a line of the account, a block of the pattern):
// each part only once FILE ends with what came before it (at first, the
// request and a line feed: the client's echo of what it sent), and the
// connection is closed once FILE ends with the last part. The client then
// finds nothing to receive before each of its waits, in every run alike, so
// a traced run makes the same calls every time. A client that closes the
// connection ends the reply; so does a wait of --wait seconds.

// How often a paced reply looks at the client's output.
constexpr int pace_poll_ms = 2;
// FILE's size when the last part was shown; -1 before.
std::streamoff shown_size = -1;

bool file_ends_with(const char* path, std::string_view tail, std::streamoff& size)
{
    std::ifstream file(path, std::ios::binary | std::ios::ate);
    size = static_cast<std::streamoff>(file.tellg());
    if (!file || size < static_cast<std::streamoff>(tail.size())) {
        return false;
    }
    std::string end(tail.size(), '\0');
    file.seekg(size - static_cast<std::streamoff>(tail.size()));
    file.read(end.data(), static_cast<std::streamsize>(end.size()));
    return file && end == tail;
}

// Waits, looking at --paced-by's file every few milliseconds for up to
// --wait seconds, until it ends with `last_sent`. Returns false when the
// client closed the connection (or reset it), the wait ran out, or the file
// grew past `last_sent` without showing it (a client astray: no use waiting).
bool wait_until_shown(int fd, const options& chosen, std::string_view last_sent)
{
    if (chosen.paced_by == nullptr) {
        return true;
    }
    for (long waited = 0; waited < chosen.wait_seconds * 1000L; waited += pace_poll_ms) {
        std::streamoff size = 0;
        if (file_ends_with(chosen.paced_by, last_sent, size)) {
            shown_size = size;
            return true;
        }
        if (shown_size >= 0 && size >= shown_size + static_cast<std::streamoff>(last_sent.size())) {
            return false;
        }
        pollfd entry{fd, POLLRDHUP, 0};
        if (::poll(&entry, 1, pace_poll_ms) != 0) {
            return false;
        }
    }
    return false;
}

// Sends one part of the reply once the part before it, `before`, is shown
// and makes it the one before the next. False when the client has gone.
bool send_once_shown(int fd, const options& chosen, std::string_view& before, std::string_view part)
{
    if (!wait_until_shown(fd, chosen, before) || !send_all(fd, part)) {
        return false;
    }
    before = part;
    return true;
}

// End of the pacing.
// ---------------------------------------------------------------------------

// Sends `reply` whole, or, paced, a line at a time (the last part, with
// what is left).
void send_lines(int fd, const options& chosen, std::string_view reply, std::string_view before)
{
    while (!reply.empty()) {
        const std::size_t line_end = reply.find('\n');
        const std::size_t size = chosen.paced_by == nullptr || line_end == std::string_view::npos
                                     ? reply.size()
                                     : line_end + 1;
        if (!send_once_shown(fd, chosen, before, reply.substr(0, size))) {
            return;
        }
        reply.remove_prefix(size);
    }
    wait_until_shown(fd, chosen, before);
}

// Lines of "0123456789abcdefghijklmnopqrstuvwxyz", repeated without a break
// across blocks, so the first N bytes of the reply are exactly those of
// `yes 0123456789abcdefghijklmnopqrstuvwxyz`: a lost, repeated or reordered
// block changes its hash.
void send_pattern(int fd, const options& chosen, std::string_view before)
{
    static constexpr char line[] = "0123456789abcdefghijklmnopqrstuvwxyz\n";
    static constexpr std::size_t line_length = sizeof line - 1;
    static char block[line_length * 1771]; // about 64 KiB of whole lines
    for (std::size_t i = 0; i < sizeof block; ++i) {
        block[i] = line[i % line_length];
    }
    for (long long count = chosen.reply_bytes; count > 0;) {
        const std::size_t length = std::min(static_cast<std::size_t>(count), sizeof block);
        if (!send_once_shown(fd, chosen, before, {block, length})) {
            return;
        }
        count -= static_cast<long long>(length);
    }
    wait_until_shown(fd, chosen, before);
}

void serve(int connection, const options& chosen)
{
    const std::string request = read_request(connection);
    const std::string echoed = request + "\n";
    shown_size = -1;
    if (chosen.reply_bytes >= 0) {
        send_pattern(connection, chosen, echoed);
    } else {
        send_lines(connection, chosen, demo::describe(request), echoed);
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
