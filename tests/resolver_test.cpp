// The resolver for real: each case runs in a private network and mount
// namespace that holds only the loopback interface, its own /etc/hosts,
// /etc/resolv.conf and /etc/nsswitch.conf, and a real name server (dnsmasq)
// on 127.0.0.53 that knows the names below. Without the rights to make the
// namespace the cases are skipped, with the reason; under CI they fail.

#include "cases.hpp"

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <thread>

#include <net/if.h>
#include <netdb.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

using namespace cases;

const char* const hosts_file = "127.0.0.1 localhost\n127.0.0.6 from-hosts-file.test\n";
const char* const resolv_conf = "nameserver 127.0.0.53\noptions timeout:1 attempts:1\n";
const char* const usual_nsswitch = "hosts: files dns\n";

// A row: a run, and the resolver's files it runs with.
struct resolver_case {
    client_case run;
    const char* nsswitch = usual_nsswitch;
    bool hosts_unreadable = false; // /etc/hosts readable by no one
};

std::ostream& operator<<(std::ostream& stream, const resolver_case& c) { return stream << c.run; }

class name_server_namespace : public testing::Environment {
public:
    void SetUp() override { unavailable_ = enter(); }
    void TearDown() override
    {
        if (dnsmasq_ > 0) {
            ::kill(dnsmasq_, SIGTERM);
            ::waitpid(dnsmasq_, nullptr, 0);
        }
        std::error_code ignored;
        std::filesystem::remove_all(directory_, ignored);
    }
    // Why the namespace could not be made, or empty.
    static const std::string& unavailable() { return unavailable_; }
    // Gives the bound files the row's contents and permissions.
    static void prepare(const resolver_case& row)
    {
        std::ofstream(directory_ / "nsswitch.conf") << row.nsswitch;
        std::filesystem::permissions(directory_ / "hosts", row.hosts_unreadable
                                                               ? std::filesystem::perms::none
                                                               : std::filesystem::perms{0644});
    }

private:
    std::string enter()
    {
        if (::unshare(CLONE_NEWNET | CLONE_NEWNS) != 0) {
            return "cannot make a network and mount namespace (unshare: "s + std::strerror(errno) +
                   "); run as root";
        }
        // Without this, the files bound below would show outside too.
        if (::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) {
            if (errno == EINVAL) {
                return "cannot make / private: / is not a mount point here (in a chroot?); "
                       "make the chroot's directory a mount point with what is mounted under "
                       "it (mount --rbind DIR DIR) and enter it again";
            }
            return "cannot make / private: "s + std::strerror(errno);
        }
        if (!loopback_up()) {
            return "cannot bring up the loopback interface: "s + std::strerror(errno);
        }
        directory_ = std::filesystem::temp_directory_path() /
                     ("client-resolver-" + std::to_string(::getpid()));
        std::filesystem::create_directories(directory_);
        for (const auto& [name, text, target] :
             {std::tuple{"hosts", hosts_file, "/etc/hosts"},
              std::tuple{"resolv.conf", resolv_conf, "/etc/resolv.conf"},
              std::tuple{"nsswitch.conf", usual_nsswitch, "/etc/nsswitch.conf"}}) {
            std::ofstream(directory_ / name) << text;
            if (::mount((directory_ / name).c_str(), target, nullptr, MS_BIND, nullptr) != 0) {
                return "cannot bind "s + target + ": " + std::strerror(errno);
            }
        }
        return start_dnsmasq();
    }

    static bool loopback_up()
    {
        const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        ifreq request{};
        std::strncpy(request.ifr_name, "lo", IFNAMSIZ - 1);
        const bool up = fd >= 0 && ::ioctl(fd, SIOCGIFFLAGS, &request) == 0 &&
                        (request.ifr_flags |= IFF_UP, ::ioctl(fd, SIOCSIFFLAGS, &request) == 0);
        ::close(fd);
        return up;
    }

    // Local names under .test only; any other name is refused, as by a
    // name server that cannot answer. two.test has two addresses, answered
    // always in the same order (the last given first): 127.0.0.3, which
    // refuses, then 127.0.0.4.
    std::string start_dnsmasq()
    {
        dnsmasq_ = ::fork();
        if (dnsmasq_ == 0) {
            ::prctl(PR_SET_PDEATHSIG, SIGKILL); // stopped on every path
            ::execlp("dnsmasq", "dnsmasq", "--keep-in-foreground", "--no-resolv", "--no-hosts",
                     "--user=root", "--pid-file=", "--listen-address=127.0.0.53",
                     "--bind-interfaces", "--local=/test/", "--address=/two.test/127.0.0.4",
                     "--address=/two.test/127.0.0.3", "--host-record=other-loopback.test,127.0.0.2",
                     "--host-record=only-ipv6.test,::2", "--log-facility=/dev/null",
                     static_cast<char*>(nullptr));
            ::_exit(127);
        }
        for (int attempt = 0; attempt < 100; ++attempt) {
            if (::gethostbyname("other-loopback.test") != nullptr) {
                return {};
            }
            std::this_thread::sleep_for(50ms);
        }
        return "dnsmasq did not answer (is dnsmasq-base installed?)";
    }

    static inline std::string unavailable_;
    static inline std::filesystem::path directory_;
    pid_t dnsmasq_ = -1;
};

// A name that resolves to where the scripted server listens.
resolver_case reaches(const char* name, const std::string& host, const char* address)
{
    client_case run = completes(name, request_line, "Host: " + host + "\n");
    run.server.address = address;
    return {.run = run};
}

resolver_case fails(const char* name, const std::string& host, const char* address, const char* err)
{
    const std::string host_line = "Host: " + host + "\n";
    return {.run = {.name = name,
                    .input = request_line + host_line,
                    .server = {.reply = "OK\n", .address = address},
                    .out = prompt + echoes(request_line, host_line),
                    .err = err,
                    .status = 1,
                    .connects = false}};
}

class resolver : public testing::TestWithParam<resolver_case> {
protected:
    void SetUp() override
    {
        if (name_server_namespace::unavailable().empty()) {
            name_server_namespace::prepare(GetParam());
            return;
        }
        if (std::getenv("CI") != nullptr) {
            FAIL() << name_server_namespace::unavailable();
        }
        GTEST_SKIP() << name_server_namespace::unavailable();
    }
};

TEST_P(resolver, run) { check(GetParam().run); }

// The resolver fails without setting h_errno's reason.
resolver_case fails_silently(const char* name, const char* nsswitch, bool hosts_unreadable,
                             const char* err)
{
    resolver_case row = fails(name, "from-hosts-file.test", "127.0.0.6", err);
    row.run.setup.bound_by_file_permissions = true;
    row.nsswitch = nsswitch;
    row.hosts_unreadable = hosts_unreadable;
    return row;
}

INSTANTIATE_TEST_SUITE_P(
    table, resolver,
    testing::Values(reaches("name_from_the_name_server", "other-loopback.test", "127.0.0.2"),
                    reaches("name_from_the_hosts_file", "from-hosts-file.test", "127.0.0.6"),
                    // Only the first address is tried: the second, where the server
                    // listens, is never contacted.
                    fails("first_of_two_addresses_refuses", "two.test", "127.0.0.4",
                          "connect(): Connection refused\n"),
                    fails("unknown_name", "nothing.test", "127.0.0.1",
                          "gethostbyname(): Unknown host\n"),
                    fails("name_with_only_an_ipv6_address", "only-ipv6.test", "127.0.0.1",
                          "gethostbyname(): No address associated with name\n"),
                    fails("name_server_refuses", "elsewhere.example", "127.0.0.1",
                          "gethostbyname(): Host name lookup failure\n"),
                    // As in a container whose nsswitch.conf was copied from elsewhere.
                    fails_silently("no_installed_service_for_hosts", "hosts: notinstalled\n", false,
                                   "gethostbyname(): Resolver internal error\n"),
                    fails_silently("hosts_file_unreadable", "hosts: files\n", true,
                                   "gethostbyname(): Permission denied\n")),
    [](const testing::TestParamInfo<resolver_case>& row) { return row.param.run.name; });

// Registered before gtest_main runs the tests; gtest owns it.
// NOLINTNEXTLINE(cppcoreguidelines-owning-memory)
const auto* const namespace_environment =
    testing::AddGlobalTestEnvironment(new name_server_namespace);

} // namespace
