// Volume: replies of megabytes, binary and text, and many clients at once.
// The replies are made when the test runs, not with the tables, so that no
// other test process pays for them.

#include "cases.hpp"
#include "describe.hpp"

#include <thread>
#include <vector>

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
    demo_server server({"--connections", std::to_string(clients), "--wait", "60"});
    ASSERT_GT(server.port(), 0);

    std::vector<run_result> results(clients);
    std::vector<std::thread> threads;
    threads.reserve(clients);
    const auto request_of = [](int i) { return "GET /client/" + std::to_string(i) + "\n"; };
    for (int i = 0; i < clients; ++i) {
        threads.emplace_back([&, i] {
            results[static_cast<std::size_t>(i)] =
                run_client({.config = "port: " + std::to_string(server.port()) + "\n",
                            .input = request_of(i) + host_line});
        });
    }
    for (auto& thread : threads) {
        thread.join();
    }
    int complete = 0;
    for (int i = 0; i < clients; ++i) {
        const std::string message = request_of(i) + host_line;
        const std::string expected = with_port(prompt, server.port()) +
                                     echoes(request_of(i), host_line) + send_echo(message) +
                                     demo::describe(message);
        const auto& result = results[static_cast<std::size_t>(i)];
        EXPECT_EQ(result.out, expected) << "client " << i;
        EXPECT_EQ(result.err, "") << "client " << i;
        complete += result.status == 0 && result.out == expected ? 1 : 0;
    }
    EXPECT_EQ(complete, clients);
    // Having served them all, the server ends by itself, with status 0.
    EXPECT_TRUE(complete != clients || server.finish());
}

} // namespace
