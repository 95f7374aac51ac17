// config.txt: the port on its first line after a six-character label, and
// config.txt entries that are no readable file.

#include "cases.hpp"

namespace {

using namespace cases;

// A refused configuration never reaches the prompt or the server.
client_case refused(const char* name, std::string config)
{
    return {.name = name, .config = std::move(config), .out = port_refused, .status = 1, .connects = false};
}

CASE_TABLE(
    port_configuration,
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
    // Leading zeros make no octal number.
    client_case{.name = "leading_zeros_stay_decimal",
                .config = "port: 00{port}\n",
                .out = complete_run,
                .received = sent_message},
    // Ephemeral ports have five digits: the last one is the 99th character.
    client_case{.name = "number_ending_at_the_99th_character",
                .config = "port: " + std::string(88, ' ') + "{port}\n",
                .out = complete_run,
                .received = sent_message},
    // The lowest and highest ports are accepted: nothing listens there, so
    // the connection, not the configuration, fails.
    client_case{.name = "lowest_port",
                .config = "port: 1\n",
                .server = {play::nothing_listening},
                .out = with_port(dialogue, 1),
                .err = "connect(): Connection refused\n",
                .status = 1,
                .connects = false},
    client_case{.name = "highest_port",
                .config = "port: 65535\n",
                .server = {play::nothing_listening},
                .out = with_port(dialogue, 65535),
                .err = "connect(): Connection refused\n",
                .status = 1,
                .connects = false},

    client_case{.name = "missing_file",
                .config = std::nullopt,
                .out = port_refused,
                .err = "Error opening config file: No such file or directory\n",
                .status = 1,
                .connects = false},
    client_case{.name = "empty_file_says_end_of_file",
                .config = "",
                .out = port_refused,
                .err = "Error reading port: end of file\n",
                .status = 1,
                .connects = false},
    client_case{.name = "config_is_a_directory",
                .out = port_refused,
                .err = "Error reading port: Is a directory\n",
                .status = 1,
                .connects = false,
                .setup = {.config_kind = config_entry::directory}},
    client_case{.name = "config_is_a_link_to_nowhere",
                .out = port_refused,
                .err = "Error opening config file: No such file or directory\n",
                .status = 1,
                .connects = false,
                .setup = {.config_kind = config_entry::dangling_link}},
    refused("port_on_the_second_line_is_never_seen", "# none\nport: {port}\n"),
    refused("label_and_line_feed_only", "port:\n"),
    refused("line_shorter_than_the_label", "abc\n"),
    refused("short_line_without_line_feed", "ab"),
    refused("no_number", "port: none\n"),
    refused("sign_without_digits", "port: + {port}\n"),
    refused("zero", "port: 0\n"),
    refused("negative", "port: -1\n"),
    refused("just_above_the_range", "port: 65536\n"),
    // Its low 16 bits name the scripted server: it must still be refused.
    refused("above_the_range_aliasing_a_real_port", "port: {port+65536}\n"),
    refused("beyond_32_bits", "port: 4294967297\n"),
    refused("beyond_any_integer", "port: 99999999999999999999999\n"),
    // Only 99 characters of the line are read: the number lies beyond them.
    refused("number_beyond_the_99th_character", "port:" + std::string(94, ' ') + "{port}\n"));

} // namespace
