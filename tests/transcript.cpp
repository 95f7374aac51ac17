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
    // The demo server's port, as the client prints it: 1 to 65535, in digits.
    const std::string digits = argc == 4 ? argv[2] : "";
    const bool port_read = !digits.empty() && digits.size() <= 5 && digits[0] != '0' &&
                           digits.find_first_not_of("0123456789") == std::string::npos;
    const int port = port_read ? std::stoi(digits) : 0;
    std::string text;
    if (name == "exchange" && port_read && port <= 65535) {
        const std::string request = std::string(argv[3]) + "\n";
        const std::string message = request + cases::host_line;
        text = cases::with_port(cases::prompt + cases::echoes(request, cases::host_line) +
                                    cases::send_echo(message) + demo::describe(message),
                                port);
    } else if (name == "port-refused" && argc == 2) {
        text = cases::port_refused;
    } else if (name == "aborting" && argc == 2) {
        text = cases::aborting;
    } else {
        std::fputs("usage: transcript exchange PORT(1-65535) REQUEST | port-refused | aborting\n",
                   stderr);
        return 2;
    }
    std::fputs(text.c_str(), stdout);
    return 0;
}
