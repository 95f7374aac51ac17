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
    dialogue,
    client_case{.name = "typical", .out = complete_run, .received = sent_message},
    client_case{.name = "arguments_change_nothing",
                .out = complete_run,
                .received = sent_message,
                .setup = {.arguments = {"--help", "-v", "other.txt"}}},
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
    client_case{.name = "zero_byte_ends_the_request_line",
                .input = "GET\0junk\nHost: 127.0.0.1\n"s,
                .out = prompt + "request=GET\nhost=Host: 127.0.0.1\n\n\n"
                                "send: GETHost: 127.0.0.1\n\nOK\n",
                .received = "GETHost: 127.0.0.1\n"},
    // A line longer than 249 characters is read in two parts.
    client_case{.name = "long_line_splits_into_request_and_host",
                .input = a249 + "Host: 127.0.0.1\n",
                .out = prompt + "request=" + a249 + "\nhost=Host: 127.0.0.1\n\n\nsend: " + a249 +
                       "Host: 127.0.0.1\n\nOK\n",
                .received = a249 + "Host: 127.0.0.1\n"},
    client_case{.name = "message_longer_than_one_line_is_sent_whole",
                .input = std::string(248, 'a') + "\nHost: 127.0.0.1\n",
                .out = prompt + "request=" + std::string(248, 'a') +
                       "\n\nhost=Host: 127.0.0.1\n\n\nsend: " + std::string(248, 'a') +
                       "\nHost: 127.0.0.1\n\nOK\n",
                .received = std::string(248, 'a') + "\nHost: 127.0.0.1\n"},
    // Two lines of 249 characters each: the whole 498-byte message goes out.
    client_case{.name = "two_full_lines_fit",
                .input = a249 + "Host: " + padded_address + "\n",
                .out = prompt + "request=" + a249 + "\nhost=Host: " + padded_address +
                       "\n\nsend: " + a249 + "Host: " + padded_address + "\nOK\n",
                .received = a249 + "Host: " + padded_address},
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
