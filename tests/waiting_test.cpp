// Servers that never close: the client has no time-out and keeps waiting,
// but whatever it received is already written out, to a pipe, a terminal or
// a file, and nothing is lost when a signal ends it.

#include "cases.hpp"

namespace {

using namespace cases;

// A server's prompt: no line feed after it.
client_case waiting_for_more(const char* name, output_to output)
{
    return {.name = name,
            .server = {.what = play::never_close, .reply = "Welcome.\nlogin: "},
            .out = dialogue_and_send + "Welcome.\nlogin: ",
            .received = sent_message,
            .keeps_waiting = true,
            .setup = {.output = output}};
}

CASE_TABLE(waiting, waiting_for_more("prompt_reaches_a_pipe", output_to::pipe),
           waiting_for_more("prompt_reaches_a_terminal", output_to::terminal),
           waiting_for_more("prompt_reaches_a_file", output_to::file),
           client_case{.name = "server_never_reads",
                       .server = {.what = play::never_read},
                       .out = dialogue_and_send,
                       .received = sent_message,
                       .keeps_waiting = true,
                       .setup = {.output = output_to::pipe}},
           client_case{.name = "prompt_shows_before_any_input",
                       .input = "",
                       .out = prompt,
                       .connects = false,
                       .keeps_waiting = true,
                       .setup = {.output = output_to::pipe, .input_stays_open = true}},
           client_case{.name = "dialogue_shows_while_connect_waits",
                       .server = {.what = play::backlog_full},
                       .out = dialogue,
                       .connects = false,
                       .keeps_waiting = true,
                       .setup = {.output = output_to::pipe}},
           // More than stdio's buffer, all of it out while the client waits.
           client_case{.name = "long_reply_then_silence",
                       .server = {.what = play::never_close, .reply = text_of(100000)},
                       .out = dialogue_and_send + text_of(100000),
                       .received = sent_message,
                       .keeps_waiting = true,
                       .setup = {.output = output_to::pipe}});

} // namespace
