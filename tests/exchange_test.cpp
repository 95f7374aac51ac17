// The exchange with the server: replies of every shape, resets, refused
// connections, and sends that the system shortens (a shim preloaded into the
// client shapes its send calls).

#include "cases.hpp"

namespace {

using namespace cases;

// 71 bytes: fourteen sends of five bytes, then one of the last byte.
const std::string long_request = "POST /form?with=a&long=query&string=to&send=in&pieces!\n";

// The server sends the first `piece` bytes of `reply`, pauses, then resets.
client_case reset_after(const char* name, const std::string& reply, std::size_t piece,
                        std::chrono::milliseconds pause)
{
    return {.name = name,
            .server = {play::reset_after_part, reply, piece, pause},
            .out = dialogue_and_send + reply.substr(0, piece),
            .err = "recv(): Connection reset by peer\n",
            .status = 1,
            .received = sent_message};
}

CASE_TABLE(exchange,
           client_case{.name = "reply_of_many_chunks_is_written_whole",
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
           client_case{.name = "reply_dribbled_one_byte_at_a_time",
                       .server = {play::reply_in_pieces, text_of(300), 1, 1ms},
                       .out = dialogue_and_send + text_of(300),
                       .received = sent_message},
           client_case{.name = "zero_bytes_in_the_reply_are_written",
                       .server = {play::reply_and_close, "ab\0cd\0\0ef\n\0"s},
                       .out = dialogue_and_send + "ab\0cd\0\0ef\n\0"s,
                       .received = sent_message},
           reset_after("reset_after_part_of_the_reply", "partial reply", 7, 200ms),
           reset_after("reset_before_the_reply", "never sent", 0, 50ms),
           reset_after("reset_after_the_whole_reply", "whole reply\n", 12, 200ms),
           // Reply and reset have both come before the client receives: the
           // report still follows the reply in a merged stream.
           client_case{.name = "report_follows_the_reply_in_a_merged_stream",
                       .server = {play::reset_after_part, "partial reply", 7, 0ms},
                       .out = dialogue_and_send + "partial" + "recv(): Connection reset by peer\n",
                       .status = 1,
                       .received = sent_message,
                       .setup = {.output = output_to::merged_file,
                                 .environment = through_send_shim("SEND_SHIM_AFTER_MS=300")}},
           client_case{.name = "urgent_byte_stays_in_the_reply",
                       .server = {play::reply_urgent, "urgent!"},
                       .out = dialogue_and_send + "urgent!",
                       .received = sent_message},
           client_case{.name = "nothing_listening",
                       .server = {play::nothing_listening},
                       .out = dialogue,
                       .err = "connect(): Connection refused\n",
                       .status = 1,
                       .connects = false},
           client_case{.name = "short_sends_are_followed_by_the_rest",
                       .input = long_request + "Host: 127.0.0.1\n",
                       .out = prompt + "request=" + long_request +
                              "\nhost=Host: 127.0.0.1\n\n\nsend: " + long_request +
                              "Host: 127.0.0.1\n\nOK\n",
                       .received = long_request + "Host: 127.0.0.1\n",
                       .setup = {.environment = through_send_shim("SEND_SHIM_MAX=5")}},
           // Without MSG_NOSIGNAL the client would die by SIGPIPE here.
           client_case{.name = "reset_connection_is_reported_not_fatal",
                       .server = {play::reset_before_reading},
                       .out = dialogue,
                       .err = "send(): ",
                       .status = 1,
                       .setup = {.environment = through_send_shim("SEND_SHIM_DELAY_MS=300")}});

} // namespace
