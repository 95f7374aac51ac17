// An unusual start: standard descriptors closed (nothing meant for them may
// reach the server, and output that could not be written is a failure),
// output to a full device, and few descriptors left.

#include "cases.hpp"

#include <sys/resource.h>
#include <unistd.h>

namespace {

using namespace cases;

// stdio's buffer for standard output when it is a file.
constexpr std::size_t output_buffer = 4096;
// Larger than the output buffer, so that output is written while connected.
const std::string long_reply = text_of(5 * output_buffer);

// A complete exchange whose output cannot be written: the run fails, told
// with the reason of the first failed write.
client_case unwritten(const char* name, std::string reply, std::string err, client_setup setup)
{
    return {.name = name,
            .server = {.reply = std::move(reply)},
            .err = std::move(err),
            .status = 1,
            .received = sent_message,
            .setup = std::move(setup)};
}

const std::string full_device = "fflush(): No space left on device\n";

// An exchange under a file size limit that the dialogue and the echo of
// the message fill exactly, so that no byte of the reply can be written:
// standard output ends where the limit is. With a server that keeps the
// connection open, the run ends only because the client stops receiving.
client_case past_the_size_limit(const char* name, std::string reply, play server_play,
                                std::vector<std::string> environment)
{
    client_case run =
        unwritten(name, std::move(reply), "fflush(): File too large\n",
                  {.limits = {{RLIMIT_FSIZE, static_cast<long>(size_with_port(dialogue_and_send))}},
                   .environment = std::move(environment)});
    run.server.what = server_play;
    run.out = dialogue_and_send;
    return run;
}

// A refused port, told on a full device.
client_case refused_on_a_full_device(const char* name, std::vector<std::string> environment)
{
    return {.name = name,
            .config = "port: 0\n",
            .err = full_device,
            .status = 1,
            .connects = false,
            .setup = {.output = output_to::dev_full, .environment = std::move(environment)}};
}

CASE_TABLE(environment,
           unwritten("standard_output_closed", long_reply, "fflush(): Bad file descriptor\n",
                     {.closed = {STDOUT_FILENO}}),
           client_case{.name = "standard_input_closed",
                       .out = prompt + aborting,
                       .status = 1,
                       .connects = false,
                       .setup = {.closed = {STDIN_FILENO}}},
           client_case{.name = "standard_error_closed_on_success",
                       .server = {.reply = long_reply},
                       .out = dialogue_and_send + long_reply,
                       .received = sent_message,
                       .setup = {.closed = {STDERR_FILENO}}},
           client_case{.name = "standard_error_closed_on_failure",
                       .server = {.listen = listening::refuses},
                       .out = dialogue_text,
                       .status = 1,
                       .connects = false,
                       .setup = {.closed = {STDERR_FILENO}}},
           unwritten("full_device_small_reply", "OK\n", full_device,
                     {.output = output_to::dev_full}),
           unwritten("full_device_reply_larger_than_the_output_buffer", text_of(100000),
                     full_device, {.output = output_to::dev_full}),
           // The reply leaves stdio's buffer one byte short of full.
           unwritten("full_device_failure_on_the_way_is_still_reported",
                     text_of(output_buffer - 1 - size_with_port(dialogue_and_send)), full_device,
                     {.output = output_to::dev_full}),
           client_case{.name = "full_device_failures_before_the_end_keep_their_own_report",
                       .server = {.listen = listening::refuses},
                       .err = "connect(): Connection refused\n" + full_device,
                       .status = 1,
                       .connects = false,
                       .setup = {.output = output_to::dev_full}},
           refused_on_a_full_device("refused_port_on_a_full_device", {}),
           refused_on_a_full_device("refused_port_on_a_full_device_line_buffered", buffered("L")),
           // The whole reply has come before the client receives, so it is
           // copied without a flush in between: the write that fails is one
           // that stdio makes when a chunk overflows its buffer, and stdio then
           // drops what it held. Standard output ends where the limit is.
           past_the_size_limit("file_size_limit_hit_in_one_burst", text_of(output_buffer + 1),
                               play::reply_and_close, through_send_shim("SEND_SHIM_AFTER=closed")),
           // Line by line, stdio's fwrite returns the full count of a line that
           // it failed to write: only the stream's error tells, with this reason.
           past_the_size_limit("file_size_limit_hit_by_a_reply_line_line_buffered", "OK\n",
                               play::never_close, buffered("L")),
           past_the_size_limit("file_size_limit_hit_by_a_reply_line_unbuffered", "OK\n",
                               play::never_close, buffered("0")),
           // The terminal's window is closed while the reply comes: its first
           // line is shown, the rest cannot be, and is not waited for.
           client_case{.name = "terminal_gone_in_the_middle_of_the_reply",
                       .server = {.what = play::reply_when_released,
                                  .reply = "Welcome.\nGoodbye.\n",
                                  .sent_first = 9},
                       .out = dialogue_and_send + "Welcome.\n",
                       .err = "fflush(): Input/output error\n",
                       .status = 1,
                       .received = sent_message,
                       .end = ending::terminal_closed,
                       .setup = {.output = output_to::terminal}},
           // Just enough descriptors for the socket and the resolver's own files:
           // config.txt must have been closed before them.
           completes("few_descriptors_suffice", request_line, "Host: localhost\n",
                     {.limits = {{RLIMIT_NOFILE, 5}}}),
           // With one descriptor fewer the resolver cannot open its files.
           client_case{.name = "resolver_out_of_descriptors_tells_why",
                       .input = request_line + "Host: localhost\n",
                       .out = prompt + echoes(request_line, "Host: localhost\n"),
                       .err = "gethostbyname(): Too many open files\n",
                       .status = 1,
                       .connects = false,
                       .setup = {.limits = {{RLIMIT_NOFILE, 4}}}});

} // namespace
