#include "harness.hpp"

#include <algorithm>
#include <array>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <limits>
#include <sstream>
#include <stdexcept>
#include <string_view>
#include <utility>

#include <arpa/inet.h>
#include <fcntl.h>
#include <linux/capability.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/prctl.h>
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
// Between reset_before_reading's close and its reset: long enough for the
// client's side to take the close first, and so be half closed when the
// reset comes.
constexpr auto close_before_reset = 30ms;
// How long reply_when_released waits for the test, at most.
constexpr auto release_limit = 60s;

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
    if (!file.flush()) {
        fail("write " + path.string());
    }
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
    if (::tcsetattr(peer, TCSANOW, &settings) < 0) {
        fail("make the terminal raw");
    }
    return controller;
}

// Puts config.txt, or what stands in its place, and standard input's file
// or FIFO into the client's directory.
void prepare_directory(const run_options& options, const std::filesystem::path& directory)
{
    const auto cwd = directory / "cwd";
    switch (options.setup.config_kind) {
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
    if (!options.setup.input_stays_open) {
        write_file(in, options.input);
    } else if (::mkfifo(in.c_str(), 0600) < 0) {
        fail("mkfifo " + in.string());
    }
}

// The client's argument vector, led by CLIENT_WRAPPER when it is set: a
// command (words split at blanks) that runs the client, such as a memory
// checker.
std::vector<std::string> command_for(const client_setup& setup)
{
    std::vector<std::string> words;
    if (const char* wrapper = std::getenv("CLIENT_WRAPPER")) {
        std::istringstream split(wrapper);
        for (std::string word; split >> word;) {
            words.push_back(word);
        }
    }
    words.push_back(client_path());
    words.insert(words.end(), setup.arguments.begin(), setup.arguments.end());
    return words;
}

// The test's environment with the setup's variables in place of any of the
// same name, which the dynamic loader and getenv would each pick its own way.
std::vector<std::string> environment_for(const client_setup& setup)
{
    std::vector<std::string> environment(setup.environment);
    const auto set_by_setup = [&setup](std::string_view entry) {
        const auto name = entry.substr(0, entry.find('=') + 1);
        return std::any_of(setup.environment.begin(), setup.environment.end(),
                           [&name](const std::string& own) { return own.starts_with(name); });
    };
    for (char** entry = environ; *entry != nullptr; ++entry) {
        if (!set_by_setup(*entry)) {
            environment.emplace_back(*entry);
        }
    }
    return environment;
}

// What the child tells the test when a step of its set-up fails: the step
// and its errno, through a pipe that exec closes.
struct setup_failure {
    std::array<char, 64> step{};
    int error = 0;
};

// Where the child's descriptors come from, opened by the test or by the
// child itself.
struct child_plan {
    std::string in, out, err, cwd;
    int out_peer = -1; // the client's side of a pipe or terminal, or -1
    int report = -1;   // the write end of the set-up failure pipe
};

[[noreturn]] void setup_failed(int report, const char* step)
{
    setup_failure failure;
    failure.error = errno;
    for (std::size_t i = 0; step[i] != '\0' && i + 1 < failure.step.size(); ++i) {
        failure.step[i] = step[i];
    }
    [[maybe_unused]] const ssize_t ignored = ::write(report, &failure, sizeof failure);
    ::_exit(127);
}

// In the child, as below: makes descriptors 0, 1 and 2 the client's
// standard input, output and error.
void attach_standard_descriptors(const run_options& options, const child_plan& plan)
{
    const client_setup& setup = options.setup;
    // A FIFO opened for reading and writing never ends: the client holds
    // its writer itself.
    const int in_fd = ::open(plan.in.c_str(), setup.input_stays_open ? O_RDWR : O_RDONLY);
    if (in_fd < 0) {
        setup_failed(plan.report, "open standard input");
    }
    if (setup.input_stays_open && ::write(in_fd, options.input.data(), options.input.size()) !=
                                      static_cast<ssize_t>(options.input.size())) {
        setup_failed(plan.report, "write standard input");
    }
    if (setup.input_nonblocking && ::fcntl(in_fd, F_SETFL, O_NONBLOCK) < 0) {
        setup_failed(plan.report, "make standard input non-blocking");
    }
    const int out_fd = plan.out_peer >= 0
                           ? plan.out_peer
                           : ::open(plan.out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    const int err_fd = setup.output == output_to::merged_file
                           ? ::dup(out_fd)
                           : ::open(plan.err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    if (out_fd < 0 || err_fd < 0 || ::dup2(in_fd, 0) < 0 || ::dup2(out_fd, 1) < 0 ||
        ::dup2(err_fd, 2) < 0) {
        setup_failed(plan.report, "open standard output and error");
    }
}

// Runs in the child between fork and exec, so only async-signal-safe calls.
// A step that fails is told to the test, which fails the row and names it.
[[noreturn]] void set_up_child_and_exec(const run_options& options, const child_plan& plan,
                                        char* const* argv, char* const* envp)
{
    const client_setup& setup = options.setup;
    // SIGPIPE goes back to its default, as in a user's shell, whatever this
    // process inherited.
    ::signal(SIGPIPE, SIG_DFL);
    attach_standard_descriptors(options, plan);
    if (::chdir(plan.cwd.c_str()) < 0) {
        setup_failed(plan.report, "chdir");
    }
    // Nothing the test process holds reaches the client, as from a shell;
    // the report pipe stays open until exec.
    if (::close_range(STDERR_FILENO + 1, ~0U, CLOSE_RANGE_CLOEXEC) < 0) {
        setup_failed(plan.report, "close_range");
    }
    for (const int fd : setup.closed) {
        ::close(fd);
    }
    ::signal(SIGXFSZ, SIG_IGN);
    for (const auto& [resource, value] : setup.limits) {
        const rlimit limit{static_cast<rlim_t>(value), static_cast<rlim_t>(value)};
        if (::setrlimit(static_cast<__rlimit_resource_t>(resource), &limit) < 0) {
            setup_failed(plan.report, "setrlimit");
        }
    }
    // Root keeps its user id but loses, across exec, the capabilities that
    // let it read and search any file; any other user has none to lose.
    if (setup.bound_by_file_permissions && ::geteuid() == 0 &&
        (::prctl(PR_CAPBSET_DROP, CAP_DAC_OVERRIDE, 0, 0, 0) < 0 ||
         ::prctl(PR_CAPBSET_DROP, CAP_DAC_READ_SEARCH, 0, 0, 0) < 0)) {
        setup_failed(plan.report, "drop the capabilities to read any file");
    }
    ::execve(argv[0], argv, envp);
    setup_failed(plan.report, "execve");
}

// Starts the client with its working directory, standard input, output and
// error set up as the options say. Returns its process id; for output to a
// pipe or a terminal, `reader` gets the side to read it from. A set-up step
// that fails, here or in the child, throws, naming the step.
int start_client(const run_options& options, const std::filesystem::path& directory, int& reader)
{
    prepare_directory(options, directory);
    auto words = command_for(options.setup);
    auto environment = environment_for(options.setup);
    const auto argv = pointers_to(words);
    const auto envp = pointers_to(environment);
    child_plan plan{.in = (directory / "stdin").string(),
                    .out = options.setup.output == output_to::dev_full
                               ? "/dev/full"
                               : (directory / "stdout").string(),
                    .err = (directory / "stderr").string(),
                    .cwd = (directory / "cwd").string()};
    reader = -1;
    if (options.setup.output == output_to::pipe) {
        int ends[2];
        if (::pipe2(ends, O_CLOEXEC) < 0) {
            fail("pipe");
        }
        reader = ends[0];
        plan.out_peer = ends[1];
    } else if (options.setup.output == output_to::terminal) {
        reader = open_terminal(plan.out_peer);
    }
    int report[2];
    if (::pipe2(report, O_CLOEXEC) < 0) {
        fail("pipe");
    }
    plan.report = report[1];

    const pid_t pid = ::fork();
    if (pid < 0) {
        fail("fork");
    }
    if (pid == 0) {
        set_up_child_and_exec(options, plan, argv.data(), envp.data());
    }
    ::close(report[1]);
    if (plan.out_peer >= 0) {
        ::close(plan.out_peer);
    }
    setup_failure failure;
    const ssize_t told = ::read(report[0], &failure, sizeof failure);
    ::close(report[0]);
    if (told > 0) {
        ::waitpid(pid, nullptr, 0);
        errno = failure.error;
        fail("the client's set-up failed: " + std::string(failure.step.data()));
    }
    return pid;
}

} // namespace

void event::set()
{
    {
        const std::lock_guard lock(mutex_);
        set_ = true;
    }
    changed_.notify_all();
}

bool event::happens_within(std::chrono::milliseconds bound)
{
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, bound, [this] { return set_; });
}

scripted_server::scripted_server(behaviour chosen, std::size_t expected_message_size)
    : chosen_(std::move(chosen)), expected_size_(expected_message_size)
{
    bind_to_an_ephemeral_port();
    listen_as_chosen();
    if (chosen_.listen == listening::accepts) {
        thread_ = std::thread([this] { accept_and_play(); });
    }
}

void scripted_server::bind_to_an_ephemeral_port()
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
}

void scripted_server::listen_as_chosen()
{
    switch (chosen_.listen) {
    case listening::refuses:
        return; // bound, so no other test takes the port, but refusing
    case listening::backlog_full: {
        // A queue of length 0 holds one connection, never accepted: the
        // kernel then drops further connection requests, so the client's
        // connect waits, retrying, as with a host that does not answer.
        sockaddr_in address{};
        socklen_t length = sizeof address;
        filler_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (::getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &length) < 0 ||
            ::listen(listener_, 0) < 0 ||
            ::connect(filler_, reinterpret_cast<sockaddr*>(&address), length) < 0) {
            fail("fill the backlog");
        }
        return;
    }
    case listening::accepts:
        if (::listen(listener_, 1) < 0) {
            fail("listen");
        }
        return;
    }
}

// One connection is accepted, on the server's thread, and played on. Once
// told to stop, it still takes a connection already queued: a client may
// have connected and sent while this thread was not yet scheduled, and what
// it sent counts.
void scripted_server::accept_and_play()
{
    for (;;) {
        const bool last_look = stopping_;
        if (readable_within(listener_, last_look ? 0ms : accept_poll)) {
            const int fd = ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
            if (fd >= 0) {
                ++connections_;
                accepted_.set();
                play_on(fd);
                return;
            }
        }
        if (last_look) {
            return;
        }
    }
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
        send_all(fd, reply.data(), std::min(chosen_.sent_first, reply.size()));
        std::this_thread::sleep_for(chosen_.reset_delay);
        reset(fd);
        return;
    case play::reply_when_released: {
        record_message(fd);
        const std::size_t first = std::min(chosen_.sent_first, reply.size());
        send_all(fd, reply.data(), first);
        released_.happens_within(release_limit);
        send_all(fd, reply.data() + first, reply.size() - first);
        hold_until_stopped(fd);
        return;
    }
    case play::reset_before_reading:
        // A reset that follows a close finds the client's side half closed:
        // its next send then fails with EPIPE, which raises SIGPIPE unless
        // the client asked for none.
        ::shutdown(fd, SHUT_WR);
        std::this_thread::sleep_for(close_before_reset);
        reset(fd);
        return;
    case play::never_close:
        record_message(fd);
        send_all(fd, reply.data(), reply.size());
        hold_until_stopped(fd);
        return;
    case play::never_read:
        hold_until_stopped(fd);
        return;
    }
}

scripted_server::~scripted_server() { finish(); }

std::string scripted_server::finish()
{
    stopping_ = true;
    release();
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
    return running_client(options).finish(options.deadline);
}

running_client::running_client(const run_options& options)
    : directory_(fresh_directory()), pid_(start_client(options, directory_, output_fd_))
{
}

running_client::~running_client()
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

bool running_client::still_running()
{
    if (!exited_ && ::waitpid(pid_, &status_, WNOHANG) != 0) {
        exited_ = true;
    }
    return !exited_;
}

run_result running_client::finish(std::chrono::milliseconds deadline)
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
void running_client::read_available(std::chrono::milliseconds wait)
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

std::string running_client::output_within(std::size_t size, std::chrono::milliseconds wait)
{
    const auto give_up = std::chrono::steady_clock::now() + wait;
    while (output_.size() < size && std::chrono::steady_clock::now() < give_up) {
        read_available(10ms);
    }
    return output_;
}

std::string running_client::terminate()
{
    if (still_running()) {
        ::kill(pid_, SIGTERM);
        ::waitpid(pid_, &status_, 0);
        exited_ = true;
    }
    read_available(0ms);
    return output_;
}

void running_client::hang_up()
{
    if (output_fd_ >= 0) {
        ::close(output_fd_);
        output_fd_ = -1;
    }
}

std::string client_path()
{
    const char* chosen = std::getenv("CLIENT");
    return chosen != nullptr ? chosen : CLIENT_PATH;
}

std::string send_shim_path() { return SEND_SHIM_PATH; }

} // namespace harness
