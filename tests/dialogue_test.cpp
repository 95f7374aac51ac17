// The dialogue on standard input and standard output, the message composed
// from the two lines, and the host name taken from the host line.

#include "cases.hpp"

namespace {

using namespace cases;

const std::string a249(249, 'a');
const std::string b243(243, 'b');
// 243 characters that still name 127.0.0.1: zeros lead the last part.
const std::string padded_address = "127.0.0." + std::string(234, '0') + "1";

// A run that fails to resolve the name its host line gives.
client_case unresolved(const char* name, std::string input, std::string out)
{
    return {.name = name,
            .input = std::move(input),
            .out = prompt + std::move(out),
            .err = "gethostbyname(): ",
            .status = 1,
            .connects = false};
}

CASE_TABLE(
    dialogue, client_case{.name = "typical", .out = complete_run, .received = sent_message},
    client_case{.name = "arguments_change_nothing",
                .out = complete_run,
                .received = sent_message,
                .setup = {.arguments = {"--help", "-v", "other.txt"}}},
    completes("host_name_from_the_hosts_file", "GET /\n", "host: localhost\n"),
    completes("shortened_dotted_address", "GET /\n", "Host: 127.1\n"),
    completes("host_line_without_line_feed", "GET /\n", "Host: 127.0.0.1"),
    completes("empty_request_line", "\n", "Host: 127.0.0.1\n"),
    completes("carriage_return_in_request_is_sent", "GET /\r\n", "Host: 127.0.0.1\n"),
    client_case{.name = "zero_byte_ends_the_request_line",
                .input = "GET\0junk\nHost: 127.0.0.1\n"s,
                .out = prompt + "request=GET\nhost=Host: 127.0.0.1\n\n\n"
                                "send: GETHost: 127.0.0.1\n\nOK\n",
                .received = "GETHost: 127.0.0.1\n"},
    // A line longer than 249 characters is read in two parts.
    completes("long_line_splits_into_request_and_host", a249, "Host: 127.0.0.1\n"),
    completes("message_longer_than_one_line_is_sent_whole", std::string(248, 'a') + "\n",
              "Host: 127.0.0.1\n"),
    // Two lines of 249 characters each: the whole 498-byte message goes out.
    completes("two_full_lines_fit", a249, "Host: " + padded_address),
    // Only the line feed is cut, so the name keeps the carriage return.
    unresolved("carriage_return_in_host_line_stays_in_the_name", "GET /\nHost: 127.0.0.1\r\n",
               "request=GET /\n\nhost=Host: 127.0.0.1\r\n\n\n"),
    unresolved("two_full_lines_with_an_unknown_name", a249 + "Host: " + b243 + "\n",
               "request=" + a249 + "\nhost=Host: " + b243 + "\n\n"),
    unresolved("request_of_249_characters_leaves_a_bare_line_feed", a249 + "\nHost: 127.0.0.1\n",
               "request=" + a249 + "\nhost=\n\n\n"),
    unresolved("host_line_shorter_than_its_label", "GET /\nabc\n",
               "request=GET /\n\nhost=abc\n\n\n"),
    // A bare "1" would name 0.0.0.1, but a line within its label names nothing.
    unresolved("short_host_line_is_no_address", "GET /\n1\n", "request=GET /\n\nhost=1\n\n\n"),
    // The zero byte ends the host line within its label: the address after
    // it is no part of the name.
    unresolved("zero_byte_ends_the_host_line_within_its_label", "GET /\nHost\0:127.0.0.1"s,
               "request=GET /\n\nhost=Host\n\n"),
    unresolved("host_line_of_label_only", "GET /\nHost: \n", "request=GET /\n\nhost=Host: \n\n\n"),
    // Digits and dots that are no IPv4 address go to the resolver, which
    // refuses them; they never become 0.0.0.0, which would reach this host.
    client_case{.name = "digits_and_dots_that_are_no_address",
                .input = "GET /\nHost: 1.2.3.4.5\n",
                .out = prompt + "request=GET /\n\nhost=Host: 1.2.3.4.5\n\n\n",
                .err = "gethostbyname(): Unknown host\n",
                .status = 1,
                .connects = false},
    client_case{.name = "end_of_input_at_once",
                .input = "",
                .out = prompt + aborting,
                .status = 1,
                .connects = false},
    client_case{.name = "end_of_input_before_the_host_line",
                .input = "GET /\n",
                .out = prompt + "request=GET /\n\n" + aborting,
                .status = 1,
                .connects = false},
    client_case{.name = "request_without_line_feed_then_end_of_input",
                .input = "GET /",
                .out = prompt + "request=GET /\n" + aborting,
                .status = 1,
                .connects = false});

} // namespace
