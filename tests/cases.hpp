// The shape of an end-to-end case and how it is checked: the built client
// runs in a fresh directory against a scripted server on 127.0.0.1, and its
// standard output, standard error, exit status and the bytes the server
// received are compared with the case.
#pragma once

#include "harness.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

namespace cases {

using namespace harness;
using namespace std::string_literals;

using namespace harness;
using namespace std::string_literals;

inline const std::string sent_message = "GET /\nHost: 127.0.0.1\n";
// What a run that reaches the server prints before the reply.
inline const std::string dialogue = "port={port}\n"
                                    "Enter your request:\n"
                                    "request=GET /\n\n"
                                    "host=Host: 127.0.0.1\n\n"
                                    "\n";
inline const std::string dialogue_and_send = dialogue + "send: GET /\nHost: 127.0.0.1\n\n";
inline const std::string port_refused = "Error reading the port.\n";
inline const std::string complete_run = dialogue_and_send + "OK\n";
inline const std::string prompt = "port={port}\nEnter your request:\n";
inline const std::string aborting = "Error or end of input -- aborting\n";

// Readable text of any size, in lines, for replies.
inline std::string text_of(std::size_t size)
{
    std::string text;
    for (std::size_t i = 0; i < size; ++i) {
        text += static_cast<char>(i % 61 == 60 ? '\n' : 'A' + static_cast<char>(i % 26));
    }
    return text;
}

struct client_case {
    const char* name;
    std::optional<std::string> config = "port: {port}\n";
    std::string input = sent_message;
    behaviour server{play::reply_and_close, "OK\n"};
    std::string out; // expected standard output
    std::string err; // exact, or the fixed part of a report when it ends in ": "
    int status = 0;
    std::string received; // bytes the server must receive
    std::vector<std::string> arguments = {};
};

inline std::ostream& operator<<(std::ostream& stream, const client_case& c)
{
    return stream << c.name;
}

inline std::string case_name(const testing::TestParamInfo<client_case>& info)
{
    return info.param.name;
}

// A report ending in ": " stands for that text followed by one line of
// reason, which must be a real one: never empty, never "Success".
inline void expect_report(const std::string& actual, const std::string& expected)
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

inline void check(const client_case& c, run_options options = {})
{
    scripted_server server(c.server, c.received.size());
    if (c.config) {
        options.config = with_port(*c.config, server.port());
    }
    options.input = c.input;
    options.arguments = c.arguments;
    const run_result result = run_client(options);
    const std::string received = server.finish();

    EXPECT_FALSE(result.timed_out);
    EXPECT_EQ(result.status, c.status);
    EXPECT_EQ(result.out, with_port(c.out, server.port()));
    expect_report(result.err, c.err);
    EXPECT_EQ(received, c.received);
    if (c.received.empty() && c.server.what != play::reset_before_reading) {
        EXPECT_EQ(server.connections(), 0) << "the client should not have connected";
    }
}

// Runs the typical dialogue against a server that sends `reply` and closes;
// the reply must arrive whole and unchanged. Large outputs are compared by
// size and hash rather than printed.
inline void check_large_reply(const std::string& reply, std::chrono::milliseconds deadline)
{
    scripted_server server({play::reply_and_close, reply}, sent_message.size());
    const run_result result = run_client({.config = with_port("port: {port}\n", server.port()),
                                          .input = sent_message,
                                          .deadline = deadline});
    EXPECT_EQ(server.finish(), sent_message);
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(result.err, "");
    const std::string expected = with_port(dialogue_and_send, server.port()) + reply;
    ASSERT_EQ(result.out.size(), expected.size());
    EXPECT_EQ(fnv1a(result.out), fnv1a(expected)) << "the reply differs from what was sent";
}

} // namespace cases
