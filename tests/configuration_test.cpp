// config.txt: the port on its first line after a six-character label, and
// config.txt entries that are no readable file.

#include "cases.hpp"

namespace {

using namespace cases;

// A configuration that leads to the typical complete run.
client_case accepted(const char* name, std::string config)
{
    return {
        .name = name, .config = std::move(config), .out = complete_run, .received = sent_message};
}

// An accepted port where nothing listens: the connection, not the
// configuration, fails.
client_case unanswered(const char* name, int port)
{
    return {.name = name,
            .config = "port: " + std::to_string(port) + "\n",
            .server = {.listen = listening::refuses},
            .out = with_port(dialogue_text, port),
            .err = "connect(): Connection refused\n",
            .status = 1,
            .connects = false};
}

// A config.txt that cannot be read is reported on standard error too.
client_case unreadable(const char* name, std::optional<std::string> config, config_entry kind,
                       const char* err)
{
    return {.name = name,
            .config = std::move(config),
            .out = port_refused,
            .err = err,
            .status = 1,
            .connects = false,
            .setup = {.config_kind = kind}};
}

// A refused configuration never reaches the prompt or the server.
client_case refused(const char* name, std::string config)
{
    return {.name = name,
            .config = std::move(config),
            .out = port_refused,
            .status = 1,
            .connects = false};
}

CASE_TABLE(
    port_configuration, accepted("label_then_port", "port: {port}\n"),
    accepted("any_six_characters_are_the_label", "port:9{port}\n"),
    accepted("blanks_and_plus_sign_before_the_number", "port=\t +{port}\n"),
    accepted("text_after_the_number_is_ignored", "port: {port} # demo\n"),
    accepted("carriage_return_line_end", "port: {port}\r\n"),
    accepted("no_line_feed_at_end_of_file", "port: {port}"),
    accepted("only_the_first_line_counts", "port: {port}\nport: 1\n"),
    // Leading zeros make no octal number.
    accepted("leading_zeros_stay_decimal", "port: 00{port}\n"),
    // Ephemeral ports have five digits: the last one is the 99th character.
    accepted("number_ending_at_the_99th_character", "port: " + std::string(88, ' ') + "{port}\n"),
    accepted("number_ending_at_the_99th_character_and_the_file",
             "port: " + std::string(88, ' ') + "{port}"),
    accepted("number_ending_at_the_99th_character_before_a_letter",
             "port: " + std::string(88, ' ') + "{port}x\n"),
    // Digits run past the 99th character, but they are no longer the port.
    accepted("long_line_whose_number_ends_before_the_limit",
             "port: {port} " + std::string(100, '9') + "\n"),
    // The lowest and highest ports are accepted.
    unanswered("lowest_port", 1), unanswered("highest_port", 65535),
    unreadable("missing_file", std::nullopt, config_entry::file,
               "Error opening config file: No such file or directory\n"),
    unreadable("empty_file_says_end_of_file", "", config_entry::file,
               "Error reading port: end of file\n"),
    unreadable("config_is_a_directory", std::nullopt, config_entry::directory,
               "Error reading port: Is a directory\n"),
    unreadable("config_is_a_link_to_nowhere", std::nullopt, config_entry::dangling_link,
               "Error opening config file: No such file or directory\n"),
    refused("port_on_the_second_line_is_never_seen", "# none\nport: {port}\n"),
    refused("label_and_line_feed_only", "port:\n"), refused("line_shorter_than_the_label", "abc\n"),
    refused("short_line_without_line_feed", "ab"), refused("no_number", "port: none\n"),
    refused("sign_without_digits", "port: + {port}\n"), refused("zero", "port: 0\n"),
    refused("negative", "port: -1\n"), refused("just_above_the_range", "port: 65536\n"),
    // Its low 16 bits name the scripted server: it must still be refused.
    refused("above_the_range_aliasing_a_real_port", "port: {port+65536}\n"),
    refused("beyond_32_bits", "port: 4294967297\n"),
    refused("beyond_any_integer", "port: 99999999999999999999999\n"),
    // Only 99 characters of the line are read: the number lies beyond them.
    refused("number_beyond_the_99th_character", "port:" + std::string(94, ' ') + "{port}\n"),
    // The number's first three digits are the 97th to 99th characters:
    // they would name another port.
    refused("number_cut_by_the_99th_character", "port: " + std::string(90, ' ') + "{port}\n"));

} // namespace
