// client: reads a port from config.txt, asks for a request line and a host
// line, sends both as one message to the named host over IPv4 TCP and prints
// the reply until the server closes the connection.
//
// Exit status 0 after a complete exchange, 1 at the first failure. What it
// prints is written out before each of its waits. Once a write of it has
// failed, nothing more is written and no more of the reply is received; the
// failure is told once, at the end. The program's own buffers have fixed
// capacities (stdio allocates its stream buffers itself), and nothing is
// thrown.

#include <cctype>
#include <cerrno>
#include <cstdarg>
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
// The first six bytes of the configuration line and of the host line
// are labels: the port and the host name start after them.
constexpr std::size_t label_length = 6;
constexpr long lowest_port = 1;
constexpr long highest_port = 65535;
// Bytes asked for by each receive: one input line's worth, as the client has
// always received. It sets the pace of the reply (a receive per 249 bytes)
// that users have measured and the benchmark's floor repeats; a larger size
// would be faster, not more exact.
constexpr std::size_t receive_size = 249;

// The first failure to write standard output: the step that met it and the
// system's reason. end_run() tells it once.
const char* output_step = nullptr;
int output_error = 0;

void remember_output_failure(const char* step)
{
    if (output_step == nullptr) {
        output_step = step;
        output_error = errno;
    }
}

// Whether every write of standard output has succeeded so far. Once one has
// failed, nothing more is written: a failed write loses its part (stdio
// drops it), and a later write that succeeded would leave a hole in what the
// reader gets. So the reader always gets a prefix of the run's output.
bool output_intact() { return output_step == nullptr; }

// Every write to standard output passes its result here. stdio drops what
// it could not write and a later flush may then succeed, so the reason has
// to be taken from the write that failed, when it fails. The count alone
// does not tell: on a line-buffered or unbuffered stream (a terminal,
// stdbuf -oL or -o0) fwrite returns the full count of a chunk that ends in
// a line feed even when writing it failed, and only the stream's error
// indicator knows. Every failure is named fflush(), the name of stdio's
// write-out, whichever call met it: it is the one text callers know for
// output that did not reach standard output.
void check_output(bool written)
{
    if (!written || std::ferror(stdout) != 0) {
        remember_output_failure("fflush()");
    }
}

// Writes out what standard output holds. Called before every wait (each
// read of standard input, the name lookup and connection, each receive that
// would block) and before every report, never while reply data is waiting:
// a run with no time-out may only end by a signal, which would lose what
// stdio still held, and a merged stream keeps the order of the two.
void flush_output() { check_output(std::fflush(stdout) == 0); }

// Prints to standard output, unless a write of it has already failed.
// NOLINTNEXTLINE(cert-dcl50-cpp): printf's own interface, checked by the attribute
[[gnu::format(printf, 1, 2)]] void print(const char* format, ...)
{
    if (!output_intact()) {
        return;
    }
    std::va_list values;
    va_start(values, format);
    check_output(std::vprintf(format, values) >= 0);
    va_end(values);
}

// Tells a failed step on standard error, after the output written so far.
void report(const char* step, const char* reason)
{
    flush_output();
    std::fprintf(stderr, "%s: %s\n", step, reason);
}

// The reason is taken before the flush, which may change errno.
void report(const char* step) { report(step, std::strerror(errno)); }

// Ends every run: standard output is written out and closed, since a full
// disk or a network file system's deferred error may show only then, and the
// first failure to write it is told. Returns the exit status: 0 only for a
// completed exchange whose whole output reached standard output.
int end_run(bool completed)
{
    flush_output();
    if (std::fclose(stdout) != 0) {
        remember_output_failure("fclose()");
    }
    if (!output_intact()) {
        // As report() does, but standard output is closed: nothing to flush.
        // The C library fails a write of it only with errno set (a failed
        // write(2), or EBADF for a stream not open for writing); were the
        // reason ever 0, it would still not be told as "Success".
        std::fprintf(stderr, "%s: %s\n", output_step,
                     output_error != 0 ? std::strerror(output_error) : "unknown error");
        return 1;
    }
    return completed ? 0 : 1;
}

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
            report("fcntl()");
            return false;
        }
        const int filler = ::open("/dev/null", O_RDONLY);
        if (filler < 0) {
            report("open()");
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
// space, one sign, digits up to the first non-digit) and sets `end` past it.
// Returns it when it is a usable TCP port, or 0: no digits, zero, negative,
// above 65535, or too large for any integer type. A port is never truncated
// to its low 16 bits, which would send the request to some other service.
int parse_port(const char* text, char** end)
{
    errno = 0;
    const long value = std::strtol(text, end, 10);
    if (errno != 0 || value < lowest_port || value > highest_port) {
        return 0;
    }
    return static_cast<int>(value);
}

// Returns the port that `line`, the first line of `file`, names, or 0. A
// line too short to reach past its label holds none. Only so much of the
// line is read: a number that runs up to that limit and goes on in the file
// (12345 read as 123) is only the start of the one written, and no port.
// Telling so needs the file's next character; a failure to read it is
// reported.
int port_in_line(const char* line, std::FILE* file)
{
    if (std::strlen(line) <= label_length) {
        return 0;
    }
    char* number_end = nullptr;
    const int port = parse_port(line + label_length, &number_end);
    const bool number_reaches_the_read_limit = number_end == line + config_line_capacity - 1;
    if (!number_reaches_the_read_limit) {
        return port;
    }
    const int next = std::getc(file);
    if (next == EOF && std::ferror(file) != 0) {
        report("Error reading port");
        return 0;
    }
    return std::isdigit(next) != 0 ? 0 : port;
}

// Returns the port named by the first line of config.txt, or 0. A file that
// cannot be opened or read is reported on standard error; a line without a
// usable port is not (the caller reports every 0 on standard output).
int read_port()
{
    std::FILE* file = std::fopen(config_file_name, "r");
    if (file == nullptr) {
        report("Error opening config file");
        return 0;
    }
    char line[config_line_capacity];
    if (std::fgets(line, config_line_capacity, file) == nullptr) {
        // An empty file sets no error code: saying "Success" would be a lie.
        if (std::ferror(file) != 0) {
            report("Error reading port");
        } else {
            report("Error reading port", "end of file");
        }
        std::fclose(file);
        return 0;
    }
    const int port = port_in_line(line, file);
    std::fclose(file);
    return port;
}

// Reads one input line, line feed kept. Returns false, after telling the user
// on standard output, at end of input or on a read error. A read error in
// the middle of a line counts too: a non-blocking standard input that runs
// dry (EAGAIN) makes fgets return the part read so far with the stream's
// error set, and a part is never taken for the whole line.
bool read_input_line(char (&line)[line_capacity])
{
    flush_output();
    if (std::fgets(line, line_capacity, stdin) == nullptr || std::ferror(stdin) != 0) {
        print("Error or end of input -- aborting\n");
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

// Reads a name made only of digits and dots as an IPv4 address, as the
// resolver itself reads such names (inet_aton, which also refuses a leading
// or trailing dot; a trailing blank, which it would accept, is no digit).
// Doing it here spares the resolver's start-up, which reads its
// configuration files, on every run to a numeric address. Returns false for
// any other name, and for one that does not parse: the resolver then
// decides, and reports.
bool parse_dotted_address(const char* name, in_addr* address)
{
    return std::strspn(name, "0123456789.") == std::strlen(name) && ::inet_aton(name, address) != 0;
}

// NETDB_INTERNAL is glibc's and the BSDs' name, not POSIX's; musl has none,
// and its h_errno never takes glibc's value for it, -1.
#ifdef NETDB_INTERNAL
constexpr int resolver_internal_error = NETDB_INTERNAL;
#else
constexpr int resolver_internal_error = -1;
#endif

// The resolver tells its reason in h_errno, but not always: its internal
// error (out of descriptors, or an nsswitch.conf naming only services whose
// modules are not installed) and a failure that leaves h_errno 0 (an
// /etc/hosts it may not read) leave the reason, if any, in errno, which is
// cleared before the lookup. With none, the internal error's own text says
// what is known; never "Success".
void report_lookup_failure()
{
    const int reason = errno;
    if (h_errno != resolver_internal_error && h_errno != 0) {
        report("gethostbyname()", ::hstrerror(h_errno));
    } else if (reason != 0) {
        report("gethostbyname()", std::strerror(reason));
    } else {
        report("gethostbyname()", ::hstrerror(resolver_internal_error));
    }
}

// Connects a new IPv4 TCP socket to the first address of `host_name` at
// `port`. Returns the socket, or -1 after reporting the failed step.
int connect_to(int port, const char* host_name)
{
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    if (fd < 0) {
        report("socket()");
        return -1;
    }
    // An urgent byte stays in the reply where the server put it, instead of
    // vanishing from it (RFC 6093 asks this of applications).
    const int inline_urgent = 1;
    if (::setsockopt(fd, SOL_SOCKET, SO_OOBINLINE, &inline_urgent, sizeof inline_urgent) < 0) {
        report("setsockopt()");
        return -1;
    }
    flush_output(); // the name lookup and the connection may wait
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<in_port_t>(port));
    if (!parse_dotted_address(host_name, &address.sin_addr)) {
        errno = 0;
        const hostent* host = ::gethostbyname(host_name);
        if (host == nullptr) {
            report_lookup_failure();
            return -1;
        }
        std::memcpy(&address.sin_addr, host->h_addr_list[0], sizeof address.sin_addr);
    }
    if (::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) < 0) {
        report("connect()");
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
            report("send()");
            return false;
        }
        data += sent;
        length -= static_cast<std::size_t>(sent);
    }
    return true;
}

// Receives the next part of the reply, flushing the output only when it has
// to wait, so that a bulk transfer makes no extra writes. Returns the bytes
// received, 0 when the copy ends (the server has closed, or the output
// failed as it was written out, and nothing more could be shown), or -1.
ssize_t receive_next(int fd, char (&chunk)[receive_size])
{
    const ssize_t ready = ::recv(fd, chunk, receive_size, MSG_DONTWAIT);
    if (ready >= 0 || (errno != EAGAIN && errno != EWOULDBLOCK)) {
        return ready;
    }
    flush_output();
    if (!output_intact()) {
        return 0;
    }
    return ::recv(fd, chunk, receive_size, 0);
}

// Copies the reply to standard output byte for byte, zero bytes included,
// until the server closes the connection or a write of standard output
// fails: the rest could not be shown, so it is not waited for. Returns
// false after reporting a failed receive; what was already received stays
// written.
bool copy_reply(int fd)
{
    char chunk[receive_size];
    while (output_intact()) {
        const ssize_t received = receive_next(fd, chunk);
        if (received < 0) {
            report("recv()");
            return false;
        }
        if (received == 0) {
            break;
        }
        const auto size = static_cast<std::size_t>(received);
        check_output(std::fwrite(chunk, 1, size, stdout) == size);
    }
    return true;
}

// The exchange with the server: connects to `host_name` at `port`, sends
// `message` whole, echoes it, and copies the reply to standard output until
// the server closes the connection, then closes the socket. Returns true
// when all of that succeeded, or false after reporting the first step that
// failed; a failure to write standard output is left to end_run().
bool exchange(int port, const char* host_name, const char* message)
{
    const int fd = connect_to(port, host_name);
    if (fd < 0) {
        return false;
    }
    if (!send_all(fd, message, std::strlen(message))) {
        return false;
    }
    print("send: %s\n", message);
    if (!copy_reply(fd)) {
        return false;
    }
    if (::close(fd) < 0) {
        report("close()");
        return false;
    }
    return true;
}

} // namespace

int main()
{
    if (!occupy_standard_descriptors()) {
        return end_run(false);
    }
    const int port = read_port();
    if (port == 0) {
        print("Error reading the port.\n");
        return end_run(false);
    }
    print("port=%d\n", port);
    print("Enter your request:\n");

    char request_line[line_capacity];
    if (!read_input_line(request_line)) {
        return end_run(false);
    }
    print("request=%s\n", request_line);

    char host_line[line_capacity];
    if (!read_input_line(host_line)) {
        return end_run(false);
    }
    print("host=%s\n", host_line);

    // The storage holds two full lines, so this cannot fail or cut; the
    // result is still checked, as the call's contract allows a failure, and
    // would be told under the step's name that users know.
    char message[message_capacity];
    if (std::snprintf(message, sizeof message, "%s%s", request_line, host_line) < 0) {
        report("sprintf()");
        return end_run(false);
    }
    // Only now: the server is sent the host line as typed, line feed
    // included, while the name that is looked up must not hold it.
    cut_line_feed(host_line);
    // The empty line that ends the dialogue on the screen, after the echo of
    // the host line (which ends in its own line feed, or in the echo's).
    print("\n");

    return end_run(exchange(port, host_name_of(host_line), message));
}
