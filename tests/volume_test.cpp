// Volume: replies of megabytes, binary and text (many clients at once are
// tests/many_clients). The replies are made when the test runs, not with
// the tables, so that no other test process pays for them.

#include "cases.hpp"

namespace {

using namespace cases;

void check_reply(const char* name, const std::string& reply)
{
    check({.name = name,
           .server = {.reply = reply},
           .out = dialogue_and_send + reply,
           .received = sent_message});
}

TEST(volume, binary_reply_of_megabytes_arrives_byte_for_byte)
{
    std::string reply(4 << 20, '\0');
    unsigned state = 12345;
    for (std::size_t i = 0; i < reply.size(); ++i) {
        state = state * 1103515245U + 12345U;
        reply[i] = i % 7 == 0 ? '\0' : static_cast<char>(state >> 16);
    }
    check_reply("binary", reply);
}

TEST(volume, reply_of_100_megabytes_arrives_whole) { check_reply("large", text_of(100U << 20)); }

} // namespace
