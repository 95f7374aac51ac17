#include "harness.hpp"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <limits>
#include <sstream>
#include <stdexcept>
#include <utility>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

namespace harness {

namespace {

constexpr auto accept_poll = 20ms;
constexpr auto idle_limit = 300ms;
constexpr auto straggler_wait = 30ms;

[[noreturn]] void fail(const std::string& what)
{
    throw std::runtime_error(what + ": " + std::strerror(errno));
}

bool readable_within(int fd, std::chrono::milliseconds wait)
{
    pollfd entry{fd, POLLIN, 0};
    return ::poll(&entry, 1, static_cast<int>(wait.count())) > 0;
}

void send_all(int fd, const char* data, std::size_t length)
{
    while (length > 0) {
        const ssize_t sent = ::send(fd, data, length, MSG_NOSIGNAL);
        if (sent <= 0) {
            return; // the client went away; the test's expectations tell
        }
        data += sent;
        length -= static_cast<std::size_t>(sent);
    }
}

void reset(int fd)
{
    const linger abort_on_close{1, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_LINGER, &abort_on_close, sizeof abort_on_close);
    ::close(fd);
}

std::string read_file(const std::filesystem::path& path)
{
    std::ifstream file(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>()};
}

void write_file(const std::filesystem::path& path, const std::string& bytes)
{
    std::ofstream file(path, std::ios::binary);
    file.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

std::filesystem::path fresh_directory()
{
    std::string pattern = (std::filesystem::temp_directory_path() / "client-test-XXXXXX").string();
    if (::mkdtemp(pattern.data()) == nullptr) {
        fail("mkdtemp");
    }
    std::filesystem::create_directory(std::filesystem::path(pattern) / "cwd");
    return pattern;
}

std::vector<char*> pointers_to(std::vector<std::string>& strings)
{
    std::vector<char*> pointers;
    pointers.reserve(strings.size() + 1);
    for (auto& s : strings) {
        pointers.push_back(s.data());
    }
    pointers.push_back(nullptr);
    return pointers;
}

// A pseudo-terminal that passes bytes unchanged, as a raw terminal does.
// Returns the controlling side; `peer` gets the client's side.
int open_terminal(int& peer)
{
    const int controller = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (controller < 0 || ::grantpt(controller) < 0 || ::unlockpt(controller) < 0) {
        fail("posix_openpt");
    }
    peer = ::open(::ptsname(controller), O_RDWR | O_NOCTTY | O_CLOEXEC);
    termios settings{};
    if (peer < 0 || ::tcgetattr(peer, &settings) < 0) {
        fail("open terminal");
    }
    ::cfmakeraw(&settings);
    ::tcsetattr(peer, TCSANOW, &settings);
    return controller;
}

// Starts the client with its working directory, standard input, output and
// error set up as the options say. Returns its process id; for output to a
// pipe or a terminal, `reader` gets the side to read it from.
int start_client(const run_options& options, const std::filesystem::path& directory, int& reader)
{
    const client_setup& setup = options.setup;
    const auto cwd = directory / "cwd";
    switch (setup.config_kind) {
    case config_entry::file:
        if (options.config) {
            write_file(cwd / "config.txt", *options.config);
        }
        break;
    case config_entry::directory:
        std::filesystem::create_directory(cwd / "config.txt");
        break;
    case config_entry::dangling_link:
        std::filesystem::create_symlink(directory / "nowhere", cwd / "config.txt");
        break;
    }
    const auto in = directory / "stdin";
    if (setup.input_stays_open) {
        ::mkfifo(in.c_str(), 0600);
    } else {
        write_file(in, options.input);
    }

    // CLIENT_WRAPPER, when set, is a command (words split at blanks) that
    // runs the client, such as a memory checker.
    std::vector<std::string> strings;
    if (const char* wrapper = std::getenv("CLIENT_WRAPPER")) {
        std::istringstream words(wrapper);
        for (std::string word; words >> word;) {
            strings.push_back(word);
        }
    }
    strings.push_back(client_path());
    const std::string program = strings.front();
    strings.insert(strings.end(), setup.arguments.begin(), setup.arguments.end());
    std::vector<std::string> environment(setup.environment);
    for (char** entry = environ; *entry != nullptr; ++entry) {
        environment.emplace_back(*entry);
    }
    const auto argv = pointers_to(strings);
    const auto envp = pointers_to(environment);
    const std::string out =
        setup.output == output_to::dev_full ? "/dev/full" : (directory / "stdout").string();
    const std::string err = (directory / "stderr").string();
    const std::string cwd_text = cwd.string();

    int out_peer = -1;
    reader = -1;
    if (setup.output == output_to::pipe) {
        int ends[2];
        if (::pipe2(ends, O_CLOEXEC) < 0) {
            fail("pipe");
        }
        reader = ends[0];
        out_peer = ends[1];
    } else if (setup.output == output_to::terminal) {
        reader = open_terminal(out_peer);
    }

    const pid_t pid = ::fork();
    if (pid < 0) {
        fail("fork");
    }
    if (pid == 0) {
        // Only async-signal-safe calls from here on. SIGPIPE goes back to its
        // default, as in a user's shell, whatever this process inherited.
        ::signal(SIGPIPE, SIG_DFL);
        // A FIFO opened for reading and writing never ends: the client
        // holds its writer itself.
        const int in_fd = ::open(in.c_str(), setup.input_stays_open ? O_RDWR : O_RDONLY);
        if (setup.input_stays_open &&
            ::write(in_fd, options.input.data(), options.input.size()) < 0) {
            ::_exit(127);
        }
        const int out_fd =
            out_peer >= 0 ? out_peer : ::open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        const int err_fd = setup.output == output_to::merged_file
                               ? ::dup(out_fd)
                               : ::open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        if (in_fd < 0 || out_fd < 0 || err_fd < 0 || ::dup2(in_fd, 0) < 0 ||
            ::dup2(out_fd, 1) < 0 || ::dup2(err_fd, 2) < 0 || ::chdir(cwd_text.c_str()) < 0) {
            ::_exit(127);
        }
        for (const int fd : {in_fd, out_fd, err_fd}) {
            if (fd > STDERR_FILENO) {
                ::close(fd);
            }
        }
        // Nothing the test process holds reaches the client, as from a shell.
        ::close_range(STDERR_FILENO + 1, ~0U, 0);
        for (const int fd : setup.closed) {
            ::close(fd);
        }
        ::signal(SIGXFSZ, SIG_IGN);
        for (const auto& [resource, value] : setup.limits) {
            const rlimit limit{static_cast<rlim_t>(value), static_cast<rlim_t>(value)};
            ::setrlimit(static_cast<__rlimit_resource_t>(resource), &limit);
        }
        ::execve(program.c_str(), argv.data(), envp.data());
        ::_exit(127);
    }
    if (out_peer >= 0) {
        ::close(out_peer);
    }
    return pid;
}

} // namespace

scripted_server::scripted_server(behaviour chosen, std::size_t expected_message_size)
    : chosen_(std::move(chosen)), expected_size_(expected_message_size)
{
    listener_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (listener_ < 0) {
        fail("socket");
    }
    sockaddr_in address{};
    address.sin_family = AF_INET;
    socklen_t length = sizeof address;
    if (::inet_pton(AF_INET, chosen_.address.c_str(), &address.sin_addr) != 1 ||
        ::bind(listener_, reinterpret_cast<sockaddr*>(&address), sizeof address) < 0 ||
        ::getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &length) < 0) {
        fail("bind " + chosen_.address);
    }
    port_ = ntohs(address.sin_port);

    if (chosen_.what == play::nothing_listening) {
        return; // bound, so no other test takes the port, but refusing
    }
    if (chosen_.what == play::backlog_full) {
        // A queue of length 0 holds one connection, never accepted: the
        // kernel then drops further connection requests, so the client's
        // connect waits, retrying, as with a host that does not answer.
        filler_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (::listen(listener_, 0) < 0 ||
            ::connect(filler_, reinterpret_cast<sockaddr*>(&address), length) < 0) {
            fail("fill the backlog");
        }
        return;
    }
    if (::listen(listener_, 1) < 0) {
        fail("listen");
    }
    // One connection is accepted, on a thread of its own, and played on.
    thread_ = std::thread([this] {
        while (!stopping_) {
            if (!readable_within(listener_, accept_poll)) {
                continue;
            }
            const int fd = ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
            if (fd >= 0) {
                ++connections_;
                play_on(fd);
                return;
            }
        }
    });
}

void scripted_server::play_on(int fd)
{
    const std::string& reply = chosen_.reply;
    switch (chosen_.what) {
    case play::reply_and_close:
        record_message(fd);
        send_all(fd, reply.data(), reply.size());
        close_after_client(fd);
        return;
    case play::reply_in_pieces:
        record_message(fd);
        for (std::size_t at = 0; at < reply.size(); at += chosen_.piece) {
            send_all(fd, reply.data() + at, std::min(chosen_.piece, reply.size() - at));
            std::this_thread::sleep_for(chosen_.pause);
        }
        close_after_client(fd);
        return;
    case play::reply_urgent:
        record_message(fd);
        ::send(fd, reply.data(), reply.size(), MSG_OOB | MSG_NOSIGNAL);
        close_after_client(fd);
        return;
    case play::reset_after_part:
        record_message(fd);
        send_all(fd, reply.data(), std::min(chosen_.sent_before_reset, reply.size()));
        std::this_thread::sleep_for(chosen_.reset_delay);
        reset(fd);
        return;
    case play::reset_before_reading:
        // A reset that follows a close finds the client's side half closed:
        // its next send then fails with EPIPE, which raises SIGPIPE unless
        // the client asked for none.
        ::shutdown(fd, SHUT_WR);
        std::this_thread::sleep_for(straggler_wait);
        reset(fd);
        return;
    case play::never_close:
        record_message(fd);
        send_all(fd, reply.data(), reply.size());
        hold_until_stopped(fd);
        return;
    case play::never_read:
    case play::nothing_listening:
    case play::backlog_full:
        hold_until_stopped(fd);
        return;
    }
}

scripted_server::~scripted_server() { finish(); }

std::string scripted_server::finish()
{
    stopping_ = true;
    if (thread_.joinable()) {
        thread_.join();
    }
    if (listener_ >= 0) {
        ::close(listener_);
        listener_ = -1;
    }
    if (filler_ >= 0) {
        ::close(filler_);
        filler_ = -1;
    }
    return received_;
}

// Appends what the client sends until a pause. The client never half-closes,
// so its message ends when `enough` bytes have come (the pause that ends it
// is then shorter: it only catches stragglers), or at a pause.
void scripted_server::record(int fd, std::size_t enough)
{
    char buffer[4096];
    auto wait = idle_limit;
    while (readable_within(fd, wait)) {
        const ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
        if (n <= 0) {
            return;
        }
        received_.append(buffer, static_cast<std::size_t>(n));
        if (received_.size() >= enough) {
            wait = straggler_wait;
        }
    }
}

// After its reply the server closes only its own side and keeps recording
// until the client closes: any byte the client sends late, such as text
// meant for its standard output, is caught.
void scripted_server::close_after_client(int fd)
{
    ::shutdown(fd, SHUT_WR);
    record(fd, std::numeric_limits<std::size_t>::max());
    ::close(fd);
}

void scripted_server::hold_until_stopped(int fd)
{
    while (!stopping_) {
        std::this_thread::sleep_for(accept_poll);
    }
    // Whatever came while it held the connection counts as received.
    record(fd, 0);
    ::close(fd);
}

std::string with_port(std::string text, int port)
{
    const auto replace_all = [&text](const std::string& token, const std::string& value) {
        for (auto at = text.find(token); at != std::string::npos; at = text.find(token, at)) {
            text.replace(at, token.size(), value);
            at += value.size();
        }
    };
    replace_all("{port+65536}", std::to_string(port + 65536));
    replace_all("{port}", std::to_string(port));
    return text;
}

run_result run_client(const run_options& options)
{
    return background_client(options).finish(options.deadline);
}

background_client::background_client(const run_options& options)
    : directory_(fresh_directory()), pid_(start_client(options, directory_, output_fd_))
{
}

background_client::~background_client()
{
    if (still_running()) {
        ::kill(pid_, SIGKILL);
        ::waitpid(pid_, nullptr, 0);
    }
    if (output_fd_ >= 0) {
        ::close(output_fd_);
    }
    std::filesystem::remove_all(directory_);
}

bool background_client::still_running()
{
    if (!exited_ && ::waitpid(pid_, &status_, WNOHANG) != 0) {
        exited_ = true;
    }
    return !exited_;
}

run_result background_client::finish(std::chrono::milliseconds deadline)
{
    const auto give_up = std::chrono::steady_clock::now() + deadline;
    run_result result;
    while (still_running()) {
        if (std::chrono::steady_clock::now() > give_up) {
            ::kill(pid_, SIGKILL);
            result.timed_out = true;
        }
        std::this_thread::sleep_for(5ms);
    }
    if (WIFEXITED(status_)) {
        result.status = WEXITSTATUS(status_);
    }
    result.out = read_file(directory_ / "stdout");
    result.err = read_file(directory_ / "stderr");
    return result;
}

// Takes what the pipe or terminal holds, waiting at most `wait` for the
// first byte; output to a file is read whole.
void background_client::read_available(std::chrono::milliseconds wait)
{
    if (output_fd_ < 0) {
        output_ = read_file(directory_ / "stdout");
        std::this_thread::sleep_for(std::min(wait, 10ms));
        return;
    }
    char buffer[4096];
    while (readable_within(output_fd_, wait)) {
        const ssize_t n = ::read(output_fd_, buffer, sizeof buffer);
        if (n <= 0) { // end of the pipe; a terminal says EIO
            return;
        }
        output_.append(buffer, static_cast<std::size_t>(n));
        wait = 0ms;
    }
}

std::string background_client::output_within(std::size_t size, std::chrono::milliseconds wait)
{
    const auto give_up = std::chrono::steady_clock::now() + wait;
    while (output_.size() < size && std::chrono::steady_clock::now() < give_up) {
        read_available(10ms);
    }
    return output_;
}

std::string background_client::terminate()
{
    if (still_running()) {
        ::kill(pid_, SIGTERM);
        ::waitpid(pid_, &status_, 0);
        exited_ = true;
    }
    read_available(0ms);
    return output_;
}

std::string client_path() { return CLIENT_PATH; }

std::string demo_server_path() { return DEMO_SERVER_PATH; }

std::string send_shim_path() { return SEND_SHIM_PATH; }

} // namespace harness
