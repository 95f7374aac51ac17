#include "cases.hpp"

#include <algorithm>
#include <cstdlib>
#include <utility>

namespace cases {

namespace {

// Large outputs are not printed whole: a mismatch names its first offset.
constexpr std::size_t printable_size = 4096;
// How long a waiting client may take to show what it received: a second,
// or more when a wrapper such as valgrind slows it down.
std::chrono::milliseconds output_wait()
{
    return std::getenv("CLIENT_WRAPPER") == nullptr ? 1s : 15s;
}

// A report ending in ": " stands for that text followed by one line of
// reason, which must be a real one: never empty, never "Success".
void expect_report(const std::string& actual, const std::string& expected)
{
    if (!expected.ends_with(": ")) {
        EXPECT_EQ(actual, expected);
        return;
    }
    ASSERT_TRUE(actual.starts_with(expected)) << "standard error: " << actual;
    const std::string reason = actual.substr(expected.size());
    EXPECT_TRUE(reason.ends_with("\n")) << reason;
    EXPECT_EQ(std::count(reason.begin(), reason.end(), '\n'), 1) << reason;
    EXPECT_GT(reason.size(), 1U);
    EXPECT_NE(reason, "Success\n");
}

void expect_output(const std::string& actual, const std::string& expected)
{
    if (expected.size() <= printable_size) {
        EXPECT_EQ(actual, expected);
        return;
    }
    const auto differ =
        std::mismatch(actual.begin(), actual.end(), expected.begin(), expected.end());
    EXPECT_TRUE(differ.first == actual.end() && differ.second == expected.end())
        << "standard output differs from byte " << (differ.first - actual.begin()) << " on ("
        << actual.size() << " bytes written, " << expected.size() << " expected)";
}

} // namespace

std::string text_of(std::size_t size)
{
    std::string text(size, '\0');
    for (std::size_t i = 0; i < size; ++i) {
        text[i] = static_cast<char>(i % 61 == 60 ? '\n' : 'A' + static_cast<char>(i % 26));
    }
    return text;
}

namespace {

std::vector<std::string> preloading(const std::string& library, const std::string& setting)
{
    // A sanitized client must accept a library loaded before its runtime.
    std::string sanitizer_options = "ASAN_OPTIONS=verify_asan_link_order=0";
    if (const char* inherited = std::getenv("ASAN_OPTIONS")) {
        sanitizer_options += ":"s + inherited;
    }
    return {"LD_PRELOAD=" + library, setting, sanitizer_options};
}

} // namespace

std::vector<std::string> through_send_shim(const std::string& setting)
{
    return preloading(send_shim_path(), setting);
}

std::vector<std::string> buffered(const std::string& mode)
{
    return preloading(STDBUF_LIBRARY, "_STDBUF_O=" + mode);
}

client_case completes(const char* name, const std::string& request, const std::string& host,
                      client_setup setup)
{
    return {.name = name,
            .input = request + host,
            .out = prompt + echoes(request, host) + send_echo(request + host) + "OK\n",
            .received = request + host,
            .setup = std::move(setup)};
}

void check(const client_case& c)
{
    scripted_server server(c.server, c.received.size());
    // Rows that reach the limit of the configuration line count on it.
    ASSERT_EQ(std::to_string(server.port()).size(), 5U) << "the server's port " << server.port();
    const run_options options{
        .config = c.config ? std::optional(with_port(*c.config, server.port())) : std::nullopt,
        .input = c.input,
        .setup = c.setup};
    std::string out = with_port(c.out, server.port());
    std::string err = c.err;
    if (c.setup.output == output_to::merged_file) {
        // Every report follows what was printed before it.
        out += std::exchange(err, "");
    }
    run_result result;
    if (c.end == ending::by_itself) {
        result = run_client(options);
    } else {
        running_client client(options);
        const std::string shown = client.output_within(out.size(), output_wait());
        EXPECT_EQ(shown, out) << "not all received was written out while the client waited";
        // Whatever the client sent counts only once the server has it.
        EXPECT_EQ(server.accepts_within(c.connects ? output_wait() : 0ms), c.connects);
        switch (c.end) {
        case ending::keeps_waiting:
            EXPECT_TRUE(client.still_running()) << "the client should still be waiting";
            result.out = client.terminate();
            break;
        case ending::terminal_closed:
            client.hang_up();
            server.release();
            result = client.finish(options.deadline);
            result.out = shown;
            break;
        case ending::by_itself:
            break;
        }
    }
    if (c.end != ending::keeps_waiting) {
        EXPECT_FALSE(result.timed_out);
        EXPECT_EQ(result.status, c.status);
        expect_report(result.err, err);
    }
    const std::string received = server.finish();
    expect_output(result.out, out);
    EXPECT_EQ(received, c.received);
    EXPECT_EQ(server.connections(), c.connects ? 1 : 0);
}

} // namespace cases
