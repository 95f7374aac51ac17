// transcript exchange PORT REQUEST | port-refused | aborting: for the scripts,
// the tables' transcript of a run of REQUEST against the demo server on PORT,
// or of a refusal.
#include "../demo/describe.hpp"
#include "cases.hpp"

#include <cstdio>
#include <cstdlib>

int main(int argc, char** argv)
{
    const std::string name = argc > 1 ? argv[1] : "";
    char* end = nullptr;
    const long port = argc == 4 ? std::strtol(argv[2], &end, 10) : 0;
    std::string text;
    if (name == "exchange" && argc == 4 && end != argv[2] && *end == '\0') {
        const std::string request = std::string(argv[3]) + "\n";
        const std::string message = request + cases::host_line;
        text = cases::with_port(cases::prompt + cases::echoes(request, cases::host_line) +
                                    cases::send_echo(message) + demo::describe(message),
                                static_cast<int>(port));
    } else if (name == "port-refused" && argc == 2) {
        text = cases::port_refused;
    } else if (name == "aborting" && argc == 2) {
        text = cases::aborting;
    } else {
        std::fputs("usage: transcript exchange PORT REQUEST | port-refused | aborting\n", stderr);
        return 2;
    }
    std::fputs(text.c_str(), stdout);
    return 0;
}
