// Faults around the client: closed standard descriptors, odd config.txt
// entries, servers that reset, stall or dribble, huge replies, and many
// clients at once. Nothing may crash, hang, leak into the connection, lose
// a reply byte or pass a failure off as success.

#include "cases.hpp"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include <sys/wait.h>

namespace {

using namespace cases;

// ---------------------------------------------------------------------------
// An unusual start: standard descriptors closed (nothing meant for them may
// reach the server, and output that could not be written is a failure), or
// a config.txt that is no readable file.

struct environment_case {
    client_case expected;
    run_options environment;
};

std::ostream& operator<<(std::ostream& stream, const environment_case& c)
{
    return stream << c.expected.name;
}

class unusual_environment : public testing::TestWithParam<environment_case> {};

TEST_P(unusual_environment, run) { check(GetParam().expected, GetParam().environment); }

// Larger than the output buffer, so that output is written while connected.
const std::string long_reply = text_of(20000);

INSTANTIATE_TEST_SUITE_P(
    table, unusual_environment,
    testing::Values(
        environment_case{{.name = "standard_output_closed",
                          .server = {play::reply_and_close, long_reply},
                          .err = "fflush(): Bad file descriptor\n",
                          .status = 1,
                          .received = sent_message},
                         {.close_output = true}},
        environment_case{{.name = "standard_input_closed", .out = prompt + aborting, .status = 1},
                         {.close_input = true}},
        environment_case{{.name = "standard_error_closed_on_success",
                          .server = {play::reply_and_close, long_reply},
                          .out = dialogue_and_send + long_reply,
                          .received = sent_message},
                         {.close_errors = true}},
        environment_case{{.name = "standard_error_closed_on_failure",
                          .server = {play::nothing_listening},
                          .out = dialogue,
                          .status = 1},
                         {.close_errors = true}},
        environment_case{{.name = "config_is_a_directory",
                          .out = port_refused,
                          .err = "Error reading port: Is a directory\n",
                          .status = 1},
                         {.config_kind = config_entry::directory}},
        environment_case{{.name = "config_is_a_link_to_nowhere",
                          .out = port_refused,
                          .err = "Error opening config file: No such file or directory\n",
                          .status = 1},
                         {.config_kind = config_entry::dangling_link}}),
    [](const testing::TestParamInfo<environment_case>& param) {
        return param.param.expected.name;
    });

// ---------------------------------------------------------------------------
// Servers that stall: the client has no time-out and must keep waiting.

class stalled_server : public testing::TestWithParam<play> {};

TEST_P(stalled_server, client_keeps_waiting)
{
    scripted_server server({GetParam(), "still here\n"}, sent_message.size());
    {
        background_client client(
            {.config = with_port("port: {port}\n", server.port()), .input = sent_message});
        std::this_thread::sleep_for(1s);
        EXPECT_TRUE(client.still_running());
    }
    EXPECT_EQ(server.connections(), 1);
}

INSTANTIATE_TEST_SUITE_P(table, stalled_server,
                         testing::Values(play::never_close, play::never_read),
                         [](const testing::TestParamInfo<play>& param) {
                             return param.param == play::never_close ? "replies_but_never_closes"
                                                                     : "never_reads";
                         });

// ---------------------------------------------------------------------------
// Volume: a 100 MB reply, and many clients at once.

TEST(volume, reply_of_100_megabytes_arrives_whole) { check_large_reply(text_of(100U << 20), 120s); }

// Each client sends its own request; the demo server's reply shows every
// byte it received, so each client's output proves both directions.
TEST(volume, two_hundred_clients_at_once_each_byte_exact)
{
    constexpr int clients = 200;
    // NOLINTNEXTLINE(cert-env33-c): runs the project's own server binary.
    std::FILE* server = ::popen((demo_server_path() + " --connections 200 --wait 60").c_str(), "r");
    ASSERT_NE(server, nullptr);
    char first_line[16] = {};
    ASSERT_NE(std::fgets(first_line, sizeof first_line, server), nullptr);
    const int port = static_cast<int>(std::strtol(first_line, nullptr, 10));
    ASSERT_GT(port, 0);

    std::vector<run_result> results(clients);
    std::vector<std::thread> threads;
    threads.reserve(clients);
    for (int i = 0; i < clients; ++i) {
        threads.emplace_back([i, port, &results] {
            results[static_cast<std::size_t>(i)] =
                run_client({.config = "port: " + std::to_string(port) + "\n",
                            .input = "GET /client/" + std::to_string(i) + "\nHost: 127.0.0.1\n",
                            .deadline = 60s});
        });
    }
    for (auto& thread : threads) {
        thread.join();
    }
    int complete = 0;
    for (int i = 0; i < clients; ++i) {
        const std::string path = "GET /client/" + std::to_string(i);
        std::string expected = with_port(prompt, port);
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
    EXPECT_EQ(complete, clients);
    EXPECT_EQ(WEXITSTATUS(::pclose(server)), 0);
}

} // namespace
