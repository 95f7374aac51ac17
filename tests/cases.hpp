// The one shape of an end-to-end case and how it is checked: the built
// client runs in a fresh directory against a scripted server, and its
// standard output, standard error, exit status, the connection it made or
// not, and the bytes the server received are compared with the case.
#pragma once

#include "harness.hpp"

#include <gtest/gtest.h>

#include <optional>
#include <ostream>
#include <string>

namespace cases {

using namespace harness;
using namespace std::string_literals;

// The client's transcript, written here once: the scripts take it through
// tests/transcript. "{port}" stands for the port.
inline const std::string prompt = "port={port}\nEnter your request:\n";
// The echo of the request line, as read.
inline std::string request_echo(const std::string& line) { return "request=" + line + "\n"; }
// The echoes of both lines, as read, and the empty line after them.
inline std::string echoes(const std::string& request, const std::string& host)
{
    return request_echo(request) + "host=" + host + "\n\n";
}
inline std::string send_echo(const std::string& message) { return "send: " + message + "\n"; }
inline const std::string port_refused = "Error reading the port.\n";
inline const std::string aborting = "Error or end of input -- aborting\n";

// The typical run: its two lines, and what it prints.
inline const std::string request_line = "GET /\n";
inline const std::string host_line = "Host: 127.0.0.1\n";
inline const std::string sent_message = request_line + host_line;
// What a run that reaches the server prints before sending, and before the
// reply.
inline const std::string dialogue_text = prompt + echoes(request_line, host_line);
inline const std::string dialogue_and_send = dialogue_text + send_echo(sent_message);
inline const std::string complete_run = dialogue_and_send + "OK\n";

// Readable text of any size, in lines, for replies.
std::string text_of(std::size_t size);

// The size of `text` once "{port}" is replaced: the scripted server's port
// is ephemeral, and check() makes sure that it has five digits.
inline std::size_t size_with_port(const std::string& text) { return with_port(text, 10000).size(); }

// How a run ends.
enum class ending {
    by_itself,       // it must end as `err` and `status` say
    keeps_waiting,   // it must still be waiting once `out` has come; it is then
                     // ended by SIGTERM, and its output must still be `out`
    terminal_closed, // its output goes to a terminal that is closed once
                     // `out` has come; the server is then released
                     // (play::reply_when_released), and the run must end by
                     // itself, as `err` and `status` say, having shown `out`
};

struct client_case {
    const char* name;
    std::optional<std::string> config = "port: {port}\n";
    std::string input = sent_message;
    behaviour server{.reply = "OK\n"};
    std::string out; // expected standard output
    std::string err; // exact, or the fixed part of a report when it ends in ": "
    int status = 0;
    std::string received; // bytes the server must receive
    bool connects = true; // whether the client must reach the server
    ending end = ending::by_itself;
    client_setup setup = {};
};

inline std::ostream& operator<<(std::ostream& stream, const client_case& c)
{
    return stream << c.name;
}

inline std::string case_name(const testing::TestParamInfo<client_case>& info)
{
    return info.param.name;
}

// A complete run of the two input lines as read (each with its line feed,
// if it has one) against a server that answers "OK\n".
client_case completes(const char* name, const std::string& request, const std::string& host,
                      client_setup setup = {});

// Runs the case and checks every outcome.
void check(const client_case& c);

// The environment that preloads the send shim with `setting`.
std::vector<std::string> through_send_shim(const std::string& setting);
// The environment that gives standard output `mode` of buffering, as
// stdbuf -o does: "L" line by line, "0" none.
std::vector<std::string> buffered(const std::string& mode);

// One fixture per table: each table's rows run the same way.
class table : public testing::TestWithParam<client_case> {};

} // namespace cases

// A table of cases, run as CTest tests named SUITE/NAME.
#define CASE_TABLE(suite, ...)                                                                     \
    class suite : public cases::table {};                                                          \
    TEST_P(suite, run) { cases::check(GetParam()); }                                               \
    INSTANTIATE_TEST_SUITE_P(table, suite, testing::Values(__VA_ARGS__), cases::case_name)
