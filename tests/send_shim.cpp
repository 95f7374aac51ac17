// Preloaded into the client by some tests to shape its send calls:
// SEND_SHIM_MAX=N sends at most N bytes a call (short sends);
// SEND_SHIM_DELAY_MS=N waits N milliseconds before each send, so that the
// server can reset the connection first; SEND_SHIM_AFTER_MS=N waits after
// each send, so that the whole reply, and what follows it, has come before
// the client receives.
#include <cstdlib>
#include <dlfcn.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

long setting(const char* name)
{
    const char* text = std::getenv(name);
    return text == nullptr ? -1 : std::strtol(text, nullptr, 10);
}

} // namespace

// The system header's parameter names are reserved identifiers.
// NOLINTNEXTLINE(readability-inconsistent-declaration-parameter-name)
extern "C" ssize_t send(int fd, const void* data, size_t length, int flags)
{
    using send_function = ssize_t (*)(int, const void*, size_t, int);
    static const auto real_send = reinterpret_cast<send_function>(dlsym(RTLD_NEXT, "send"));
    if (const long delay = setting("SEND_SHIM_DELAY_MS"); delay > 0) {
        usleep(static_cast<useconds_t>(delay) * 1000U);
    }
    if (const long most = setting("SEND_SHIM_MAX");
        most > 0 && length > static_cast<size_t>(most)) {
        length = static_cast<size_t>(most);
    }
    const ssize_t sent = real_send(fd, data, length, flags);
    if (const long pause = setting("SEND_SHIM_AFTER_MS"); pause > 0) {
        usleep(static_cast<useconds_t>(pause) * 1000U);
    }
    return sent;
}
