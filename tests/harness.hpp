// Drives the real client binary as a user would: a fresh working directory
// with its own config.txt, bytes on standard input, and a scripted server on
// a loopback address at an ephemeral port that records what it receives.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <filesystem>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace harness {

using namespace std::chrono_literals;

// How the scripted server takes connections.
enum class listening {
    accepts,      // accepts one connection and plays on it
    refuses,      // bound but not listening: connections are refused
    backlog_full, // listens, its queue full: connections wait, never accepted
};

// What the scripted server does with the connection it accepts.
enum class play {
    reply_and_close,      // reads the message, sends the reply, then closes
    reply_in_pieces,      // the same, a piece at a time with pauses
    reset_after_part,     // reads, sends part of the reply, waits, resets
    reply_when_released,  // reads, sends part of the reply, and the rest
                          // once the test releases it; then keeps the
                          // connection open, so that only a client that
                          // stops receiving by itself ends
    reset_before_reading, // closes its side, then resets, reading nothing
    never_close,          // reads, sends the reply and keeps the connection open
    never_read,           // accepts, then neither reads nor closes
    reply_urgent,         // reply_and_close, the reply's last byte urgent
};

struct behaviour {
    listening listen = listening::accepts;
    play what = play::reply_and_close;
    std::string reply;
    std::size_t piece = 0;                       // reply_in_pieces: bytes a piece
    std::chrono::milliseconds pause = 0ms;       // reply_in_pieces: after each
    std::size_t sent_first = 0;                  // reset_after_part and
                                                 // reply_when_released: bytes sent
    std::chrono::milliseconds reset_delay = 0ms; // reset_after_part: then
    std::string address = "127.0.0.1";           // where it listens
};

// Something that happens once, waited for with a bound.
class event {
public:
    void set();
    bool happens_within(std::chrono::milliseconds bound);

private:
    std::mutex mutex_;
    std::condition_variable changed_;
    bool set_ = false;
};

// One connection at most; every wait is bounded.
class scripted_server {
public:
    scripted_server(behaviour chosen, std::size_t expected_message_size);
    ~scripted_server();
    scripted_server(const scripted_server&) = delete;
    scripted_server& operator=(const scripted_server&) = delete;

    [[nodiscard]] int port() const { return port_; }
    // Stops the server and returns what it received.
    std::string finish();
    [[nodiscard]] int connections() const { return connections_; }
    // Whether the server has accepted its connection within `bound`.
    bool accepts_within(std::chrono::milliseconds bound) { return accepted_.happens_within(bound); }
    // Lets reply_when_released send the rest of its reply.
    void release() { released_.set(); }

private:
    void play_on(int fd);
    void record(int fd, std::size_t enough);
    void record_message(int fd) { record(fd, expected_size_); }
    void close_after_client(int fd);
    void hold_until_stopped(int fd);
    void bind_to_an_ephemeral_port();
    void listen_as_chosen();
    void accept_and_play();

    behaviour chosen_;
    std::size_t expected_size_;
    int listener_ = -1;
    int port_ = 0;
    std::atomic<bool> stopping_{false};
    std::atomic<int> connections_{0};
    event accepted_;
    event released_;
    std::string received_;
    int filler_ = -1; // the connection that fills a full backlog
    std::thread thread_;
};

// What stands at config.txt in the client's directory.
enum class config_entry { file, directory, dangling_link };

// Where the client's standard output goes; merged_file takes standard error
// too, as 2>&1 does.
enum class output_to { file, dev_full, pipe, terminal, merged_file };

// How the client is started, beyond config.txt and its standard input.
struct client_setup {
    config_entry config_kind = config_entry::file;
    output_to output = output_to::file;
    std::vector<int> closed; // standard descriptors closed at start
    // Standard input never ends: once `input` is read, the client waits,
    // or, when it is non-blocking, its reads fail with EAGAIN.
    bool input_stays_open = false;
    bool input_nonblocking = false;
    // The client runs without root's power to read any file, as a user
    // does: a file's permissions bind it.
    bool bound_by_file_permissions = false;
    // Resource limits, such as {RLIMIT_NOFILE, 5}. SIGXFSZ is ignored, so
    // that writes beyond RLIMIT_FSIZE fail with EFBIG instead of killing.
    std::vector<std::pair<int, long>> limits;
    std::vector<std::string> arguments;
    std::vector<std::string> environment; // NAME=VALUE, added
};

struct run_options {
    std::optional<std::string> config; // config.txt contents; none: no file
    std::string input;                 // bytes on standard input
    client_setup setup;
    // Below CTest's time-out, so that a hang is reported as one.
    std::chrono::milliseconds deadline = 60s;
};

struct run_result {
    std::string out;
    std::string err;
    int status = -1; // exit status, or -1 when it did not exit
    bool timed_out = false;
};

// Replaces each "{port}" in `text` with `port`, and "{port+65536}" with
// port + 65536.
std::string with_port(std::string text, int port);

// Runs the client in a fresh directory and waits for it up to the deadline,
// then kills it.
run_result run_client(const run_options& options);

// The client started in its fresh directory, as every run is: its output
// can be read while it waits, and it is ended by a signal as a user would
// end it, or waited for (finish).
class running_client {
public:
    explicit running_client(const run_options& options);
    ~running_client();
    running_client(const running_client&) = delete;
    running_client& operator=(const running_client&) = delete;

    // Reads standard output until `size` bytes have come or `wait` passes.
    std::string output_within(std::size_t size, std::chrono::milliseconds wait);
    bool still_running();
    // Sends SIGTERM, waits for the end, and returns all output read.
    std::string terminate();
    // Closes the terminal that shows the output, as when its window is
    // closed: the client's further writes to it fail.
    void hang_up();
    // Waits for the end, killing the client at the deadline, and returns
    // its status and standard error, and its standard output when that
    // went to a file (for a pipe or terminal, see output_within).
    run_result finish(std::chrono::milliseconds deadline);

private:
    void read_available(std::chrono::milliseconds wait);

    std::filesystem::path directory_;
    int output_fd_ = -1; // read end of the pipe or terminal, or -1
    int pid_ = -1;
    bool exited_ = false;
    int status_ = 0;
    std::string output_;
};

// The client under test: $CLIENT when set (a client built another way:
// by clang, for the sanitizers, for gcov, for memcheck), otherwise the one
// built with the tests.
std::string client_path();
std::string send_shim_path();

} // namespace harness
