// Servers that never close: the client has no time-out and keeps waiting,
// but whatever it received is already written out, to a pipe, a terminal or
// a file, and nothing is lost when a signal ends it.

#include "cases.hpp"

namespace {

using namespace cases;

// The client must still be waiting once it has printed `out`; its output
// goes to a pipe unless `setup` says otherwise.
client_case waits(const char* name, behaviour server, std::string out, bool reaches_server = true,
                  client_setup setup = {.output = output_to::pipe})
{
    return {.name = name,
            .server = std::move(server),
            .out = std::move(out),
            .received = reaches_server ? sent_message : "",
            .connects = reaches_server,
            .end = ending::keeps_waiting,
            .setup = std::move(setup)};
}

// A server's prompt: no line feed after it.
const behaviour server_prompt{.what = play::never_close, .reply = "Welcome.\nlogin: "};
const std::string prompted = dialogue_and_send + server_prompt.reply;

CASE_TABLE(waiting, waits("prompt_reaches_a_pipe", server_prompt, prompted),
           waits("prompt_reaches_a_terminal", server_prompt, prompted, true,
                 {.output = output_to::terminal}),
           waits("prompt_reaches_a_file", server_prompt, prompted, true,
                 {.output = output_to::file}),
           waits("server_never_reads", {.what = play::never_read}, dialogue_and_send),
           client_case{.name = "prompt_shows_before_any_input",
                       .input = "",
                       .out = prompt,
                       .connects = false,
                       .end = ending::keeps_waiting,
                       .setup = {.output = output_to::pipe, .input_stays_open = true}},
           waits("dialogue_shows_while_connect_waits", {.listen = listening::backlog_full},
                 dialogue_text, false),
           // More than stdio's buffer, all of it out while the client waits.
           waits("long_reply_then_silence", {.what = play::never_close, .reply = text_of(100000)},
                 dialogue_and_send + text_of(100000)));

} // namespace
