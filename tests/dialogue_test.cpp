// The dialogue on standard input and standard output, the message composed
// from the two lines, and the host name taken from the host line.

#include "cases.hpp"

namespace {

using namespace cases;

const std::string a249(249, 'a');
const std::string b243(243, 'b');
// 243 characters that still name 127.0.0.1: zeros lead the last part.
const std::string padded_address = "127.0.0." + std::string(234, '0') + "1";

// A run that fails to resolve the name its host line gives; the lines are
// echoed as read.
client_case unresolved(const char* name, std::string input, const std::string& request,
                       const std::string& host, std::string err = "gethostbyname(): ")
{
    return {.name = name,
            .input = std::move(input),
            .out = prompt + echoes(request, host),
            .err = std::move(err),
            .status = 1,
            .connects = false};
}

// Input that ends before the host line, after the request line's echo.
client_case ends_early(const char* name, std::string input, const std::string& request)
{
    return {.name = name,
            .input = std::move(input),
            .out = prompt + request_echo(request) + aborting,
            .status = 1,
            .connects = false};
}

CASE_TABLE(dialogue, client_case{.name = "typical", .out = complete_run, .received = sent_message},
           client_case{.name = "arguments_change_nothing",
                       .out = complete_run,
                       .received = sent_message,
                       .setup = {.arguments = {"--help", "-v", "other.txt"}}},
           completes("host_name_from_the_hosts_file", request_line, "host: localhost\n"),
           completes("shortened_dotted_address", request_line, "Host: 127.1\n"),
           completes("host_line_without_line_feed", request_line, "Host: 127.0.0.1"),
           completes("empty_request_line", "\n", host_line),
           completes("carriage_return_in_request_is_sent", "GET /\r\n", host_line),
           client_case{.name = "zero_byte_ends_the_request_line",
                       .input = "GET\0junk\n"s + host_line,
                       .out = prompt + echoes("GET", host_line) + send_echo("GET" + host_line) +
                              "OK\n",
                       .received = "GET" + host_line},
           // A line longer than 249 characters is read in two parts.
           completes("long_line_splits_into_request_and_host", a249, host_line),
           completes("message_longer_than_one_line_is_sent_whole", std::string(248, 'a') + "\n",
                     host_line),
           // Two lines of 249 characters each: the whole 498-byte message goes out.
           completes("two_full_lines_fit", a249, "Host: " + padded_address),
           // Only the line feed is cut, so the name keeps the carriage return.
           unresolved("carriage_return_in_host_line_stays_in_the_name",
                      "GET /\nHost: 127.0.0.1\r\n", request_line, "Host: 127.0.0.1\r\n"),
           // The host line's line feed is the 250th character: it is not read.
           unresolved("two_full_lines_with_an_unknown_name", a249 + "Host: " + b243 + "\n", a249,
                      "Host: " + b243),
           unresolved("request_of_249_characters_leaves_a_bare_line_feed", a249 + "\n" + host_line,
                      a249, "\n"),
           unresolved("host_line_shorter_than_its_label", "GET /\nabc\n", request_line, "abc\n"),
           // A bare "1" would name 0.0.0.1, but a line within its label names nothing.
           unresolved("short_host_line_is_no_address", "GET /\n1\n", request_line, "1\n"),
           // The zero byte ends the host line within its label: the address after
           // it is no part of the name.
           unresolved("zero_byte_ends_the_host_line_within_its_label", "GET /\nHost\0:127.0.0.1"s,
                      request_line, "Host"),
           unresolved("host_line_of_label_only", "GET /\nHost: \n", request_line, "Host: \n"),
           // Digits and dots that are no IPv4 address go to the resolver, which
           // refuses them; they never become 0.0.0.0, which would reach this host.
           unresolved("digits_and_dots_that_are_no_address", "GET /\nHost: 1.2.3.4.5\n",
                      request_line, "Host: 1.2.3.4.5\n", "gethostbyname(): Unknown host\n"),
           client_case{.name = "end_of_input_at_once",
                       .input = "",
                       .out = prompt + aborting,
                       .status = 1,
                       .connects = false},
           ends_early("end_of_input_before_the_host_line", request_line, request_line),
           ends_early("request_without_line_feed_then_end_of_input", "GET /", "GET /"),
           // A non-blocking standard input that runs dry inside the host line:
           // the part that has come is no line, and nothing is sent.
           client_case{.name = "non_blocking_input_ends_inside_the_host_line",
                       .input = request_line + "Host: 127.0.0.1",
                       .out = prompt + request_echo(request_line) + aborting,
                       .status = 1,
                       .connects = false,
                       .setup = {.input_stays_open = true, .input_nonblocking = true}},
           client_case{.name = "non_blocking_input_with_nothing_yet",
                       .input = "",
                       .out = prompt + aborting,
                       .status = 1,
                       .connects = false,
                       .setup = {.input_stays_open = true, .input_nonblocking = true}});

} // namespace
