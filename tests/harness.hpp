// Drives the real client binary as a user would: a fresh working directory
// with its own config.txt, bytes on standard input, and a scripted server on
// 127.0.0.1 at an ephemeral port that records what it receives.
#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace harness {

using namespace std::chrono_literals;

// What the scripted server does once it has read the client's message.
enum class play {
    reply_and_close,      // sends the reply, then closes
    reply_in_pieces,      // sends the reply `piece` bytes at a time with pauses
    reset_after_part,     // sends the first `piece` bytes, pauses, then resets
    reset_before_reading, // closes its side, then resets, reading nothing
    never_close,          // sends the reply and keeps the connection open
    never_read,           // accepts, then neither reads nor closes
    nothing_listening,    // no server at all: the port refuses connections
};

struct behaviour {
    play what = play::reply_and_close;
    std::string reply;
    std::size_t piece = 0;
    std::chrono::milliseconds pause = 0ms;
};

// One connection at most, accepted on 127.0.0.1; every wait is bounded.
class scripted_server {
public:
    scripted_server(behaviour chosen, std::size_t expected_message_size);
    ~scripted_server();
    scripted_server(const scripted_server&) = delete;
    scripted_server& operator=(const scripted_server&) = delete;

    [[nodiscard]] int port() const { return port_; }
    // Stops the server and returns what it received (after the wait ends).
    std::string finish();
    [[nodiscard]] int connections() const { return connections_; }

private:
    void serve();
    void play_behaviour(int fd);
    void record(int fd, std::size_t enough);
    void close_after_client(int fd);
    void hold_until_stopped(int fd);

    behaviour chosen_;
    std::size_t expected_size_;
    int listener_ = -1;
    int port_ = 0;
    std::atomic<bool> stopping_{false};
    std::atomic<int> connections_{0};
    std::string received_;
    std::thread thread_;
};

// What stands at config.txt in the client's directory.
enum class config_entry { file, directory, dangling_link };

struct run_options {
    std::optional<std::string> config; // config.txt contents; none: no file
    config_entry config_kind = config_entry::file;
    std::string input; // bytes on standard input
    std::vector<std::string> arguments;
    bool output_to_dev_full = false;
    bool close_input = false;                   // start with descriptor 0 closed
    bool close_output = false;                  // start with descriptor 1 closed
    bool close_errors = false;                  // start with descriptor 2 closed
    std::vector<std::string> extra_environment; // NAME=VALUE
    std::chrono::milliseconds deadline = 20s;
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

// A client started in the background, for runs that must not end by
// themselves; killed when destroyed.
class background_client {
public:
    explicit background_client(const run_options& options);
    ~background_client();
    background_client(const background_client&) = delete;
    background_client& operator=(const background_client&) = delete;
    bool still_running();

private:
    std::filesystem::path directory_;
    int pid_ = -1;
    bool exited_ = false;
};

std::uint64_t fnv1a(const std::string& bytes);
std::string client_path();
std::string demo_server_path();
std::string send_shim_path();

} // namespace harness
