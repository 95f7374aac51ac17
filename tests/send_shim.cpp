// Preloaded into the client by some tests to shape its send calls:
// SEND_SHIM_MAX=N sends at most N bytes a call (short sends);
// SEND_SHIM_BEFORE=reset waits, before each send, until the server has reset
// the connection; SEND_SHIM_AFTER=closed waits, after each send, until the
// server has closed or reset its side, so that the whole reply, and what
// follows it, has come before the client receives. Each wait is for the
// event itself, bounded at ten seconds, so a busy machine cannot reorder
// them.
#include <cstdlib>
#include <cstring>
#include <dlfcn.h>
#include <poll.h>
#include <sys/socket.h>

namespace {

constexpr int event_limit_ms = 10000;

long setting(const char* name)
{
    const char* text = std::getenv(name);
    return text == nullptr ? -1 : std::strtol(text, nullptr, 10);
}

bool asked(const char* name, const char* value)
{
    const char* text = std::getenv(name);
    return text != nullptr && std::strcmp(text, value) == 0;
}

// POLLHUP: both directions are shut, as after a reset; POLLRDHUP: the
// server's side is, by a close or a reset.
void wait_for(int fd, short events)
{
    pollfd entry{fd, events, 0};
    poll(&entry, 1, event_limit_ms);
}

} // namespace

// The system header's parameter names are reserved identifiers.
// NOLINTNEXTLINE(readability-inconsistent-declaration-parameter-name)
extern "C" ssize_t send(int fd, const void* data, size_t length, int flags)
{
    using send_function = ssize_t (*)(int, const void*, size_t, int);
    static const auto real_send = reinterpret_cast<send_function>(dlsym(RTLD_NEXT, "send"));
    if (asked("SEND_SHIM_BEFORE", "reset")) {
        wait_for(fd, POLLHUP);
    }
    if (const long most = setting("SEND_SHIM_MAX");
        most > 0 && length > static_cast<size_t>(most)) {
        length = static_cast<size_t>(most);
    }
    const ssize_t sent = real_send(fd, data, length, flags);
    if (asked("SEND_SHIM_AFTER", "closed")) {
        wait_for(fd, POLLRDHUP);
    }
    return sent;
}
