// The exchange with the server: replies of every shape, resets, refused
// connections, and sends that the system shortens (a shim preloaded into the
// client shapes its send calls).

#include "cases.hpp"

namespace {

using namespace cases;

// 71 bytes: fourteen sends of five bytes, then one of the last byte.
const std::string long_request = "POST /form?with=a&long=query&string=to&send=in&pieces!\n";

// The server sends the first `sent` bytes of `reply`, waits, then resets.
client_case reset_after(const char* name, const std::string& reply, std::size_t sent,
                        std::chrono::milliseconds delay, client_setup setup = {})
{
    return {.name = name,
            .server = {.what = play::reset_after_part,
                       .reply = reply,
                       .sent_first = sent,
                       .reset_delay = delay},
            .out = dialogue_and_send + reply.substr(0, sent),
            .err = "recv(): Connection reset by peer\n",
            .status = 1,
            .received = sent_message,
            .setup = std::move(setup)};
}

CASE_TABLE(
    exchange,
    client_case{.name = "reply_of_many_chunks_is_written_whole",
                .server = {.reply = text_of(1000)},
                .out = dialogue_and_send + text_of(1000),
                .received = sent_message},
    client_case{.name = "close_without_reply",
                .server = {.reply = ""},
                .out = dialogue_and_send,
                .received = sent_message},
    client_case{
        .name = "reply_in_small_pieces_with_pauses",
        .server = {.what = play::reply_in_pieces, .reply = text_of(700), .piece = 13, .pause = 3ms},
        .out = dialogue_and_send + text_of(700),
        .received = sent_message},
    client_case{
        .name = "reply_dribbled_one_byte_at_a_time",
        .server = {.what = play::reply_in_pieces, .reply = text_of(300), .piece = 1, .pause = 1ms},
        .out = dialogue_and_send + text_of(300),
        .received = sent_message},
    client_case{.name = "zero_bytes_in_the_reply_are_written",
                .server = {.reply = "ab\0cd\0\0ef\n\0"s},
                .out = dialogue_and_send + "ab\0cd\0\0ef\n\0"s,
                .received = sent_message},
    reset_after("reset_after_part_of_the_reply", "partial reply", 7, 200ms),
    reset_after("reset_before_the_reply", "never sent", 0, 50ms),
    reset_after("reset_after_the_whole_reply", "whole reply\n", 12, 200ms),
    // Reply and reset have both come before the client receives: the
    // report still follows the reply in a merged stream.
    reset_after("report_follows_the_reply_in_a_merged_stream", "partial reply", 7, 0ms,
                {.output = output_to::merged_file,
                 .environment = through_send_shim("SEND_SHIM_AFTER=closed")}),
    client_case{.name = "urgent_byte_stays_in_the_reply",
                .server = {.what = play::reply_urgent, .reply = "urgent!"},
                .out = dialogue_and_send + "urgent!",
                .received = sent_message},
    client_case{.name = "nothing_listening",
                .server = {.listen = listening::refuses},
                .out = dialogue_text,
                .err = "connect(): Connection refused\n",
                .status = 1,
                .connects = false},
    completes("short_sends_are_followed_by_the_rest", long_request, host_line,
              {.environment = through_send_shim("SEND_SHIM_MAX=5")}),
    // Without MSG_NOSIGNAL the client would die by SIGPIPE here.
    client_case{.name = "reset_connection_is_reported_not_fatal",
                .server = {.what = play::reset_before_reading},
                .out = dialogue_text,
                .err = "send(): ",
                .status = 1,
                .setup = {.environment = through_send_shim("SEND_SHIM_BEFORE=reset")}});

} // namespace
