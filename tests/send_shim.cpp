// Preloaded into the client by some tests to shape its send calls:
// SEND_SHIM_MAX=N sends at most N bytes a call (short sends);
// SEND_SHIM_DELAY_MS=N waits N milliseconds before each send, so that the
// server can reset the connection first.
#include <cstdlib>
#include <dlfcn.h>
#include <sys/socket.h>
#include <unistd.h>

extern "C" ssize_t send(int fd, const void* data, size_t length, int flags)
{
    using send_function = ssize_t (*)(int, const void*, size_t, int);
    static const auto real_send = reinterpret_cast<send_function>(dlsym(RTLD_NEXT, "send"));
    if (const char* delay = std::getenv("SEND_SHIM_DELAY_MS")) {
        usleep(static_cast<useconds_t>(std::atoi(delay)) * 1000U);
    }
    if (const char* most = std::getenv("SEND_SHIM_MAX")) {
        const auto limit = static_cast<size_t>(std::atoi(most));
        if (length > limit) {
            length = limit;
        }
    }
    return real_send(fd, data, length, flags);
}
