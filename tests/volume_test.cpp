// Volume: replies of megabytes, binary and text, and many clients at once.
// The replies are made when the test runs, not with the tables, so that no
// other test process pays for them.

#include "cases.hpp"

#include <csignal>
#include <cstdio>
#include <thread>
#include <vector>

#include <sys/wait.h>
#include <unistd.h>

namespace {

using namespace cases;

void check_reply(const char* name, const std::string& reply)
{
    check({.name = name,
           .server = {.reply = reply},
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

// Each client sends its own request; the demo server's reply shows every
// byte it received, so each client's output proves both directions.
TEST(volume, two_hundred_clients_at_once_each_byte_exact)
{
    constexpr int clients = 200;
    // The shell first tells the server's process id, so that a failed run
    // stops it at once instead of sitting out its wait for missing clients.
    // NOLINTNEXTLINE(cert-env33-c): runs the project's own server binary.
    std::FILE* server = ::popen(
        ("echo $$; exec " + demo_server_path() + " --connections 200 --wait 60").c_str(), "r");
    ASSERT_NE(server, nullptr);
    char pid_line[16] = {};
    char port_line[16] = {};
    ASSERT_NE(std::fgets(pid_line, sizeof pid_line, server), nullptr);
    ASSERT_NE(std::fgets(port_line, sizeof port_line, server), nullptr);
    const auto server_pid = static_cast<pid_t>(std::strtol(pid_line, nullptr, 10));
    const int port = static_cast<int>(std::strtol(port_line, nullptr, 10));
    ASSERT_GT(port, 0);

    std::vector<run_result> results(clients);
    std::vector<std::thread> threads;
    threads.reserve(clients);
    for (int i = 0; i < clients; ++i) {
        threads.emplace_back([i, port, &results] {
            results[static_cast<std::size_t>(i)] =
                run_client({.config = "port: " + std::to_string(port) + "\n",
                            .input = "GET /client/" + std::to_string(i) + "\n" + host_line});
        });
    }
    for (auto& thread : threads) {
        thread.join();
    }
    int complete = 0;
    for (int i = 0; i < clients; ++i) {
        const std::string path = "GET /client/" + std::to_string(i);
        const std::string request = path + "\n";
        std::string expected = with_port(prompt, port) + echoes(request, host_line);
        expected += send_echo(request + host_line);
        expected += "Hello from the demo server. It received ";
        expected += std::to_string(request.size() + host_line.size()) + " bytes:\n";
        expected += "  | " + path + "\\n\n  | Host: 127.0.0.1\\n\nGoodbye.\n";
        const auto& result = results[static_cast<std::size_t>(i)];
        EXPECT_EQ(result.out, expected) << "client " << i;
        EXPECT_EQ(result.err, "") << "client " << i;
        complete += result.status == 0 && result.out == expected ? 1 : 0;
    }
    EXPECT_EQ(complete, clients);
    if (complete != clients) {
        ::kill(server_pid, SIGTERM);
    }
    const int status = ::pclose(server);
    EXPECT_TRUE(complete != clients || (WIFEXITED(status) && WEXITSTATUS(status) == 0));
}

} // namespace
