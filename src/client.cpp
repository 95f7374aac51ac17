// client: reads a port from config.txt, asks for a request line and a host
// line, sends both as one message to the named host over IPv4 TCP and prints
// the reply until the server closes the connection.
//
// Exit status 0 after a complete exchange, 1 at the first failure. Every
// buffer has a fixed capacity; nothing is allocated and nothing is thrown.

#include <cerrno>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/types.h>
#include <unistd.h>

namespace {

constexpr const char* config_file_name = "config.txt";
// The configuration line, terminator included: 99 characters at most count.
constexpr int config_line_capacity = 100;
// Each input line, terminator included: 249 characters at most.
constexpr int line_capacity = 250;
// Both input lines in full, so no pair of lines can overflow the message.
constexpr std::size_t message_capacity = 2 * (line_capacity - 1) + 1;
// The first six characters of the configuration line and of the host line
// are labels: the port and the host name start after them.
constexpr std::size_t label_length = 6;
constexpr long lowest_port = 1;
constexpr long highest_port = 65535;
// Bytes asked for by each receive.
constexpr std::size_t receive_size = 249;

// Makes sure descriptors 0, 1 and 2 are taken before anything is opened, so
// that config.txt and the socket never land on them: otherwise text meant
// for a closed standard output could be written into the connection. A
// closed one is filled with /dev/null opened read-only, which behaves as the
// closed descriptor did: reads end at once and writes fail. Returns false,
// after reporting why, when the check or the filling fails.
bool occupy_standard_descriptors()
{
    for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; ++fd) {
        if (::fcntl(fd, F_GETFD) >= 0) {
            continue;
        }
        if (errno != EBADF) {
            std::perror("fcntl()");
            return false;
        }
        const int filler = ::open("/dev/null", O_RDONLY);
        if (filler < 0) {
            std::perror("open()");
            return false;
        }
        // Landing elsewhere means the descriptor was open after all.
        if (filler != fd) {
            ::close(filler);
        }
    }
    return true;
}

// Reads the decimal number that starts at `text` the way atoi does (white
// space, one sign, digits up to the first non-digit). Returns it when it is a
// usable TCP port, or 0: no digits, zero, negative, above 65535, or too large
// for any integer type. A port is never truncated to its low 16 bits, which
// would send the request to some other service.
int parse_port(const char* text)
{
    errno = 0;
    const long value = std::strtol(text, nullptr, 10);
    if (errno != 0 || value < lowest_port || value > highest_port) {
        return 0;
    }
    return static_cast<int>(value);
}

// Returns the port named by the first line of config.txt, or 0. A file that
// cannot be opened or read is reported on standard error; a line without a
// usable port is not (the caller reports every 0 on standard output).
int read_port()
{
    std::FILE* file = std::fopen(config_file_name, "r");
    if (file == nullptr) {
        std::perror("Error opening config file");
        return 0;
    }
    char line[config_line_capacity];
    if (std::fgets(line, config_line_capacity, file) == nullptr) {
        // An empty file sets no error code: saying "Success" would be a lie.
        if (std::ferror(file) != 0) {
            std::perror("Error reading port");
        } else {
            std::fputs("Error reading port: end of file\n", stderr);
        }
        std::fclose(file);
        return 0;
    }
    std::fclose(file);
    // A line too short to reach past its label holds no port.
    if (std::strlen(line) <= label_length) {
        return 0;
    }
    return parse_port(line + label_length);
}

// Reads one input line, line feed kept. Returns false, after telling the user
// on standard output, at end of input or on a read error.
bool read_input_line(char (&line)[line_capacity])
{
    if (std::fgets(line, line_capacity, stdin) == nullptr) {
        std::puts("Error or end of input -- aborting");
        return false;
    }
    return true;
}

void cut_line_feed(char* line)
{
    char* line_feed = std::strchr(line, '\n');
    if (line_feed != nullptr) {
        *line_feed = '\0';
    }
}

// The host name follows the host line's label; a line that ends within its
// label gives an empty name, which the resolver then refuses.
const char* host_name_of(const char* host_line)
{
    const std::size_t length = std::strlen(host_line);
    return host_line + (length < label_length ? length : label_length);
}

// Reads a name made of digits and dots, starting with a digit and not ending
// with a dot, as an IPv4 address, exactly as the resolver itself reads such
// names (inet_aton). Doing it here spares the resolver's start-up, which
// reads its configuration files, on every run to a numeric address. Returns
// false for any other name, and for one that does not parse: the resolver
// then decides, and reports.
bool parse_dotted_address(const char* name, in_addr* address)
{
    const std::size_t length = std::strlen(name);
    const bool dotted = length > 0 && name[0] >= '0' && name[0] <= '9' && name[length - 1] != '.' &&
                        std::strspn(name, "0123456789.") == length;
    return dotted && ::inet_aton(name, address) != 0;
}

// Connects a new IPv4 TCP socket to the first address of `host_name` at
// `port`. Returns the socket, or -1 after reporting the failed step.
int connect_to(int port, const char* host_name)
{
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    if (fd < 0) {
        std::perror("socket()");
        return -1;
    }
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<in_port_t>(port));
    if (!parse_dotted_address(host_name, &address.sin_addr)) {
        const hostent* host = ::gethostbyname(host_name);
        if (host == nullptr) {
            // The resolver leaves errno alone and tells its reason in h_errno.
            std::fprintf(stderr, "gethostbyname(): %s\n", ::hstrerror(h_errno));
            return -1;
        }
        std::memcpy(&address.sin_addr, host->h_addr_list[0], sizeof address.sin_addr);
    }
    if (::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) < 0) {
        std::perror("connect()");
        return -1;
    }
    return fd;
}

// Sends all `length` bytes, continuing after short sends. MSG_NOSIGNAL turns
// a reset connection into an error to report instead of a silent death by
// SIGPIPE. Returns false after reporting the failure.
bool send_all(int fd, const char* data, std::size_t length)
{
    while (length > 0) {
        const ssize_t sent = ::send(fd, data, length, MSG_NOSIGNAL);
        if (sent < 0) {
            if (errno == EINTR) {
                continue;
            }
            std::perror("send()");
            return false;
        }
        data += sent;
        length -= static_cast<std::size_t>(sent);
    }
    return true;
}

// Writes out what standard output holds. A failure is remembered in
// `output_error` (the first one's reason), not reported: output_written()
// reports it once, at the end.
void flush_output(int& output_error)
{
    if (std::fflush(stdout) != 0 && output_error == 0) {
        output_error = errno;
    }
}

// Receives the next part of the reply, waiting only when nothing is ready.
// The output is flushed just before each wait, never while data is waiting,
// so a bulk transfer makes no extra writes: with no time-out, a run that
// waits may only end by a signal, which would lose whatever stdio still
// held, and a prompt without a line feed would never show on a terminal.
ssize_t receive_next(int fd, char (&chunk)[receive_size], int& output_error)
{
    const ssize_t ready = ::recv(fd, chunk, receive_size, MSG_DONTWAIT);
    if (ready >= 0 || (errno != EAGAIN && errno != EWOULDBLOCK)) {
        return ready;
    }
    flush_output(output_error);
    return ::recv(fd, chunk, receive_size, 0);
}

// Copies the reply to standard output byte for byte, zero bytes included,
// until the server closes the connection. Returns false after reporting a
// failed receive; what was already received stays written.
bool copy_reply(int fd, int& output_error)
{
    char chunk[receive_size];
    for (;;) {
        const ssize_t received = receive_next(fd, chunk, output_error);
        if (received < 0) {
            std::perror("recv()");
            return false;
        }
        if (received == 0) {
            return true;
        }
        std::fwrite(chunk, 1, static_cast<std::size_t>(received), stdout);
    }
}

bool exchange(int port, const char* host_name, const char* message, int& output_error)
{
    const int fd = connect_to(port, host_name);
    if (fd < 0) {
        return false;
    }
    if (!send_all(fd, message, std::strlen(message))) {
        return false;
    }
    std::printf("send: %s\n", message);
    if (!copy_reply(fd, output_error)) {
        return false;
    }
    if (::close(fd) < 0) {
        std::perror("close()");
        return false;
    }
    return true;
}

// A write to standard output that failed on the way (a full disk, a closed
// descriptor) shows up here, once, at the end. Returns false after reporting
// it, with the first failure's reason when one was seen.
bool output_written(int output_error)
{
    flush_output(output_error);
    if (output_error == 0 && std::ferror(stdout) != 0) {
        // A write inside stdio failed and this flush had nothing left to
        // fail on, so errno no longer tells why.
        output_error = EIO;
    }
    if (output_error != 0) {
        errno = output_error;
        std::perror("fflush()");
        return false;
    }
    return true;
}

} // namespace

int main()
{
    if (!occupy_standard_descriptors()) {
        return 1;
    }
    const int port = read_port();
    if (port == 0) {
        std::puts("Error reading the port.");
        return 1;
    }
    std::printf("port=%d\n", port);
    std::puts("Enter your request:");

    char request_line[line_capacity];
    if (!read_input_line(request_line)) {
        return 1;
    }
    std::printf("request=%s\n", request_line);

    char host_line[line_capacity];
    if (!read_input_line(host_line)) {
        return 1;
    }
    std::printf("host=%s\n", host_line);

    char message[message_capacity];
    if (std::snprintf(message, sizeof message, "%s%s", request_line, host_line) < 0) {
        std::perror("sprintf()");
        return 1;
    }
    cut_line_feed(host_line);
    std::putchar('\n');

    int output_error = 0;
    if (!exchange(port, host_name_of(host_line), message, output_error)) {
        return 1;
    }
    return output_written(output_error) ? 0 : 1;
}
