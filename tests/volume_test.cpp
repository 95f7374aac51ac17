// Volume: replies of megabytes, binary and text, and many clients at once.
// The replies are made when the test runs, not with the tables, so that no
// other test process pays for them.

#include "cases.hpp"

#include <csignal>
#include <cstdio>
#include <thread>
#include <vector>

#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

using namespace cases;

void check_reply(const char* name, const std::string& reply)
{
    check({.name = name,
           .server = {play::reply_and_close, reply},
           .out = dialogue_and_send + reply,
           .received = sent_message});
}

TEST(volume, binary_reply_of_megabytes_arrives_byte_for_byte)
{
    std::string reply(4 << 20, '\0');
    unsigned state = 12345;
    for (std::size_t i = 0; i < reply.size(); ++i) {
        state = state * 1103515245U + 12345U;
        reply[i] = i % 7 == 0 ? '\0' : static_cast<char>(state >> 16);
    }
    check_reply("binary", reply);
}

TEST(volume, reply_of_100_megabytes_arrives_whole) { check_reply("large", text_of(100U << 20)); }

// The demo server, started with its arguments; stopped when destroyed.
class demo_server {
public:
    explicit demo_server(std::vector<std::string> arguments)
    {
        arguments.insert(arguments.begin(), demo_server_path());
        std::vector<char*> argv;
        argv.reserve(arguments.size() + 1);
        for (auto& argument : arguments) {
            argv.push_back(argument.data());
        }
        argv.push_back(nullptr);
        int ends[2];
        if (::pipe(ends) != 0) {
            return;
        }
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, ends[1], STDOUT_FILENO);
        posix_spawn_file_actions_addclose(&actions, ends[0]);
        ::posix_spawn(&pid_, argv[0], &actions, nullptr, argv.data(), environ);
        posix_spawn_file_actions_destroy(&actions);
        ::close(ends[1]);
        std::FILE* output = ::fdopen(ends[0], "r");
        char first_line[16] = {};
        if (output != nullptr && std::fgets(first_line, sizeof first_line, output) != nullptr) {
            port_ = static_cast<int>(std::strtol(first_line, nullptr, 10));
        }
        if (output != nullptr) {
            std::fclose(output);
        }
    }
    ~demo_server()
    {
        if (pid_ > 0) {
            ::kill(pid_, SIGTERM);
            ::waitpid(pid_, nullptr, 0);
        }
    }
    demo_server(const demo_server&) = delete;
    demo_server& operator=(const demo_server&) = delete;
    [[nodiscard]] int port() const { return port_; }
    // The server's exit status once it has served all, or -1.
    int finish()
    {
        int status = 0;
        const bool done = ::waitpid(pid_, &status, 0) == pid_;
        pid_ = -1;
        return done && WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }

private:
    pid_t pid_ = -1;
    int port_ = 0;
};

// Each client sends its own request; the demo server's reply shows every
// byte it received, so each client's output proves both directions.
TEST(volume, two_hundred_clients_at_once_each_byte_exact)
{
    constexpr int clients = 200;
    demo_server server({"--connections", std::to_string(clients), "--wait", "60"});
    ASSERT_GT(server.port(), 0);

    std::vector<run_result> results(clients);
    std::vector<std::thread> threads;
    threads.reserve(clients);
    for (int i = 0; i < clients; ++i) {
        threads.emplace_back([i, &server, &results] {
            results[static_cast<std::size_t>(i)] =
                run_client({.config = "port: " + std::to_string(server.port()) + "\n",
                            .input = "GET /client/" + std::to_string(i) + "\nHost: 127.0.0.1\n",
                            .deadline = 50s});
        });
    }
    for (auto& thread : threads) {
        thread.join();
    }
    int complete = 0;
    for (int i = 0; i < clients; ++i) {
        const std::string path = "GET /client/" + std::to_string(i);
        std::string expected = with_port(prompt, server.port());
        expected += "request=" + path + "\n\nhost=Host: 127.0.0.1\n\n\n";
        expected += "send: " + path + "\nHost: 127.0.0.1\n\n";
        expected += "Hello from the demo server. It received ";
        expected += std::to_string(path.size() + 17) + " bytes:\n";
        expected += "  | " + path + "\\n\n  | Host: 127.0.0.1\\n\nGoodbye.\n";
        const auto& result = results[static_cast<std::size_t>(i)];
        EXPECT_EQ(result.out, expected) << "client " << i;
        EXPECT_EQ(result.err, "") << "client " << i;
        complete += result.status == 0 && result.out == expected ? 1 : 0;
    }
    // A server still waiting for clients that failed is stopped at once.
    ASSERT_EQ(complete, clients);
    EXPECT_EQ(server.finish(), 0);
}

} // namespace
