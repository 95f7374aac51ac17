// End-to-end cases: each runs the built client in a fresh directory against
// a scripted server on 127.0.0.1 and checks standard output, standard error,
// the exit status and the bytes the server received.

#include "cases.hpp"

#include <gtest/gtest.h>

#include <cstdlib>
#include <optional>
#include <string>
#include <vector>

namespace {

using namespace cases;

// ---------------------------------------------------------------------------
// The first line of config.txt: a six-character label, then the port.

class port_configuration : public testing::TestWithParam<client_case> {};

TEST_P(port_configuration, run) { check(GetParam()); }

INSTANTIATE_TEST_SUITE_P(
    table, port_configuration,
    testing::Values(
        client_case{.name = "label_then_port", .out = complete_run, .received = sent_message},
        client_case{.name = "any_six_characters_are_the_label",
                    .config = "port:9{port}\n",
                    .out = complete_run,
                    .received = sent_message},
        client_case{.name = "blanks_and_plus_sign_before_the_number",
                    .config = "port=\t +{port}\n",
                    .out = complete_run,
                    .received = sent_message},
        client_case{.name = "text_after_the_number_is_ignored",
                    .config = "port: {port} # demo\n",
                    .out = complete_run,
                    .received = sent_message},
        client_case{.name = "carriage_return_line_end",
                    .config = "port: {port}\r\n",
                    .out = complete_run,
                    .received = sent_message},
        client_case{.name = "no_line_feed_at_end_of_file",
                    .config = "port: {port}",
                    .out = complete_run,
                    .received = sent_message},
        client_case{.name = "only_the_first_line_counts",
                    .config = "port: {port}\nport: 1\n",
                    .out = complete_run,
                    .received = sent_message},

        client_case{.name = "missing_file",
                    .config = std::nullopt,
                    .out = port_refused,
                    .err = "Error opening config file: ",
                    .status = 1},
        client_case{.name = "empty_file_says_end_of_file",
                    .config = "",
                    .out = port_refused,
                    .err = "Error reading port: end of file\n",
                    .status = 1},
        client_case{.name = "port_on_the_second_line_is_never_seen",
                    .config = "# none\nport: {port}\n",
                    .out = port_refused,
                    .status = 1},
        client_case{.name = "label_and_line_feed_only",
                    .config = "port:\n",
                    .out = port_refused,
                    .status = 1},
        client_case{.name = "line_shorter_than_the_label",
                    .config = "abc\n",
                    .out = port_refused,
                    .status = 1},
        client_case{.name = "short_line_without_line_feed",
                    .config = "ab",
                    .out = port_refused,
                    .status = 1},
        client_case{
            .name = "no_number", .config = "port: none\n", .out = port_refused, .status = 1},
        client_case{.name = "sign_without_digits",
                    .config = "port: + {port}\n",
                    .out = port_refused,
                    .status = 1},
        client_case{.name = "zero", .config = "port: 0\n", .out = port_refused, .status = 1},
        client_case{.name = "negative", .config = "port: -1\n", .out = port_refused, .status = 1},
        client_case{.name = "just_above_the_range",
                    .config = "port: 65536\n",
                    .out = port_refused,
                    .status = 1},
        // Its low 16 bits name the scripted server: it must still be refused.
        client_case{.name = "above_the_range_aliasing_a_real_port",
                    .config = "port: {port+65536}\n",
                    .out = port_refused,
                    .status = 1},
        client_case{.name = "beyond_32_bits",
                    .config = "port: 4294967297\n",
                    .out = port_refused,
                    .status = 1},
        client_case{.name = "beyond_any_integer",
                    .config = "port: 99999999999999999999999\n",
                    .out = port_refused,
                    .status = 1},
        // Only 99 characters of the line are read: the number lies beyond them.
        client_case{.name = "number_beyond_the_99th_character",
                    .config = "port:" + std::string(94, ' ') + "{port}\n",
                    .out = port_refused,
                    .status = 1}),
    case_name);

// ---------------------------------------------------------------------------
// The dialogue on standard input and standard output, and the message sent.

class dialogue_cases : public testing::TestWithParam<client_case> {};

TEST_P(dialogue_cases, run) { check(GetParam()); }

const std::string a249(249, 'a');
const std::string b243(243, 'b');

INSTANTIATE_TEST_SUITE_P(
    table, dialogue_cases,
    testing::Values(client_case{.name = "typical", .out = complete_run, .received = sent_message},
                    client_case{.name = "arguments_change_nothing",
                                .out = complete_run,
                                .received = sent_message,
                                .arguments = {"--help", "-v", "other.txt"}},
                    client_case{.name = "host_name_from_the_hosts_file",
                                .input = "GET /\nhost: localhost\n",
                                .out = prompt + "request=GET /\n\nhost=host: localhost\n\n\n"
                                                "send: GET /\nhost: localhost\n\nOK\n",
                                .received = "GET /\nhost: localhost\n"},
                    client_case{.name = "shortened_dotted_address",
                                .input = "GET /\nHost: 127.1\n",
                                .out = prompt + "request=GET /\n\nhost=Host: 127.1\n\n\n"
                                                "send: GET /\nHost: 127.1\n\nOK\n",
                                .received = "GET /\nHost: 127.1\n"},
                    client_case{.name = "host_line_without_line_feed",
                                .input = "GET /\nHost: 127.0.0.1",
                                .out = prompt + "request=GET /\n\nhost=Host: 127.0.0.1\n\n"
                                                "send: GET /\nHost: 127.0.0.1\nOK\n",
                                .received = "GET /\nHost: 127.0.0.1"},
                    client_case{.name = "empty_request_line",
                                .input = "\nHost: 127.0.0.1\n",
                                .out = prompt + "request=\n\nhost=Host: 127.0.0.1\n\n\n"
                                                "send: \nHost: 127.0.0.1\n\nOK\n",
                                .received = "\nHost: 127.0.0.1\n"},
                    client_case{.name = "carriage_return_in_request_is_sent",
                                .input = "GET /\r\nHost: 127.0.0.1\n",
                                .out = prompt + "request=GET /\r\n\nhost=Host: 127.0.0.1\n\n\n"
                                                "send: GET /\r\nHost: 127.0.0.1\n\nOK\n",
                                .received = "GET /\r\nHost: 127.0.0.1\n"},
                    // Only the line feed is cut, so the name keeps the carriage return.
                    client_case{.name = "carriage_return_in_host_line_stays_in_the_name",
                                .input = "GET /\nHost: 127.0.0.1\r\n",
                                .out = prompt + "request=GET /\n\nhost=Host: 127.0.0.1\r\n\n\n",
                                .err = "gethostbyname(): ",
                                .status = 1},
                    client_case{.name = "zero_byte_ends_the_request_line",
                                .input = "GET\0junk\nHost: 127.0.0.1\n"s,
                                .out = prompt + "request=GET\nhost=Host: 127.0.0.1\n\n\n"
                                                "send: GETHost: 127.0.0.1\n\nOK\n",
                                .received = "GETHost: 127.0.0.1\n"},
                    // A line longer than 249 characters is read in two parts.
                    client_case{.name = "long_line_splits_into_request_and_host",
                                .input = a249 + "Host: 127.0.0.1\n",
                                .out = prompt + "request=" + a249 +
                                       "\nhost=Host: 127.0.0.1\n\n\n"
                                       "send: " +
                                       a249 + "Host: 127.0.0.1\n\nOK\n",
                                .received = a249 + "Host: 127.0.0.1\n"},
                    client_case{.name = "message_longer_than_one_line_is_sent_whole",
                                .input = std::string(248, 'a') + "\nHost: 127.0.0.1\n",
                                .out = prompt + "request=" + std::string(248, 'a') +
                                       "\n\nhost=Host: 127.0.0.1\n\n\n"
                                       "send: " +
                                       std::string(248, 'a') + "\nHost: 127.0.0.1\n\nOK\n",
                                .received = std::string(248, 'a') + "\nHost: 127.0.0.1\n"},
                    client_case{.name = "two_full_lines_fit",
                                .input = a249 + "Host: " + b243 + "\n",
                                .out = prompt + "request=" + a249 + "\nhost=Host: " + b243 + "\n\n",
                                .err = "gethostbyname(): ",
                                .status = 1},
                    client_case{.name = "request_of_249_characters_leaves_a_bare_line_feed",
                                .input = a249 + "\nHost: 127.0.0.1\n",
                                .out = prompt + "request=" + a249 + "\nhost=\n\n\n",
                                .err = "gethostbyname(): ",
                                .status = 1},
                    client_case{.name = "host_line_shorter_than_its_label",
                                .input = "GET /\nabc\n",
                                .out = prompt + "request=GET /\n\nhost=abc\n\n\n",
                                .err = "gethostbyname(): ",
                                .status = 1},
                    client_case{.name = "host_line_of_label_only",
                                .input = "GET /\nHost: \n",
                                .out = prompt + "request=GET /\n\nhost=Host: \n\n\n",
                                .err = "gethostbyname(): ",
                                .status = 1},
                    client_case{.name = "end_of_input_at_once",
                                .input = "",
                                .out = prompt + aborting,
                                .status = 1},
                    client_case{.name = "end_of_input_before_the_host_line",
                                .input = "GET /\n",
                                .out = prompt + "request=GET /\n\n" + aborting,
                                .status = 1},
                    client_case{.name = "request_without_line_feed_then_end_of_input",
                                .input = "GET /",
                                .out = prompt + "request=GET /\n" + aborting,
                                .status = 1}),
    case_name);

// ---------------------------------------------------------------------------
// The exchange with the server.

class exchange_cases : public testing::TestWithParam<client_case> {};

TEST_P(exchange_cases, run) { check(GetParam()); }

INSTANTIATE_TEST_SUITE_P(
    table, exchange_cases,
    testing::Values(client_case{.name = "reply_of_many_chunks_is_written_whole",
                                .server = {play::reply_and_close, text_of(1000)},
                                .out = dialogue_and_send + text_of(1000),
                                .received = sent_message},
                    client_case{.name = "close_without_reply",
                                .server = {play::reply_and_close, ""},
                                .out = dialogue_and_send,
                                .received = sent_message},
                    client_case{.name = "reply_in_small_pieces_with_pauses",
                                .server = {play::reply_in_pieces, text_of(700), 13, 3ms},
                                .out = dialogue_and_send + text_of(700),
                                .received = sent_message},
                    client_case{.name = "zero_bytes_in_the_reply_are_written",
                                .server = {play::reply_and_close, "ab\0cd\0\0ef\n\0"s},
                                .out = dialogue_and_send + "ab\0cd\0\0ef\n\0"s,
                                .received = sent_message},
                    client_case{.name = "reset_after_part_of_the_reply",
                                .server = {play::reset_after_part, "partial reply", 7, 200ms},
                                .out = dialogue_and_send + "partial",
                                .err = "recv(): ",
                                .status = 1,
                                .received = sent_message},
                    client_case{.name = "reset_before_the_reply",
                                .server = {play::reset_after_part, "never sent", 0, 50ms},
                                .out = dialogue_and_send,
                                .err = "recv(): ",
                                .status = 1,
                                .received = sent_message},
                    client_case{.name = "reset_after_the_whole_reply",
                                .server = {play::reset_after_part, "whole reply\n", 12, 200ms},
                                .out = dialogue_and_send + "whole reply\n",
                                .err = "recv(): ",
                                .status = 1,
                                .received = sent_message},
                    client_case{.name = "reply_dribbled_one_byte_at_a_time",
                                .server = {play::reply_in_pieces, text_of(300), 1, 1ms},
                                .out = dialogue_and_send + text_of(300),
                                .received = sent_message},
                    client_case{.name = "nothing_listening",
                                .server = {play::nothing_listening},
                                .out = dialogue,
                                .err = "connect(): ",
                                .status = 1}),
    case_name);

TEST(exchange, binary_reply_of_megabytes_arrives_byte_for_byte)
{
    std::string reply(4 << 20, '\0');
    unsigned state = 12345;
    for (std::size_t i = 0; i < reply.size(); ++i) {
        state = state * 1103515245U + 12345U;
        reply[i] = i % 7 == 0 ? '\0' : static_cast<char>(state >> 16);
    }
    check_large_reply(reply, 20s);
}

// ---------------------------------------------------------------------------
// Sending: short sends are completed; a reset connection is reported. A shim
// preloaded into the client shapes its send calls.

run_options through_send_shim(const std::string& setting)
{
    // A sanitized client must accept a library loaded before its runtime.
    std::string sanitizer_options = "ASAN_OPTIONS=verify_asan_link_order=0";
    if (const char* inherited = std::getenv("ASAN_OPTIONS")) {
        sanitizer_options += ":"s + inherited;
    }
    return {.extra_environment = {"LD_PRELOAD=" + send_shim_path(), setting, sanitizer_options}};
}

TEST(sending, short_sends_are_followed_by_the_rest)
{
    const std::string request = "POST /form?with=a&long=query&string=to&send=in&pieces\n";
    check({.name = "short_sends",
           .input = request + "Host: 127.0.0.1\n",
           .out = prompt + "request=" + request + "\nhost=Host: 127.0.0.1\n\n\nsend: " + request +
                  "Host: 127.0.0.1\n\nOK\n",
           .received = request + "Host: 127.0.0.1\n"},
          through_send_shim("SEND_SHIM_MAX=5"));
}

TEST(sending, reset_connection_is_reported_not_fatal)
{
    check({.name = "reset_before_send",
           .server = {play::reset_before_reading},
           .out = dialogue,
           .err = "send(): ",
           .status = 1},
          through_send_shim("SEND_SHIM_DELAY_MS=300"));
}

// ---------------------------------------------------------------------------
// Output that cannot be written is a failure, found once at the end.

class unwritable_output : public testing::TestWithParam<client_case> {};

TEST_P(unwritable_output, run) { check(GetParam(), {.output_to_dev_full = true}); }

INSTANTIATE_TEST_SUITE_P(
    table, unwritable_output,
    testing::Values(client_case{.name = "small_reply",
                                .err = "fflush(): No space left on device\n",
                                .status = 1,
                                .received = sent_message},
                    client_case{.name = "reply_larger_than_the_output_buffer",
                                .server = {play::reply_and_close, text_of(100000)},
                                .err = "fflush(): ",
                                .status = 1,
                                .received = sent_message},
                    client_case{.name = "failures_before_the_end_keep_their_own_report",
                                .server = {play::nothing_listening},
                                .err = "connect(): ",
                                .status = 1}),
    case_name);

} // namespace
