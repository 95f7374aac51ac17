// The demo server's reply: a readable account of the bytes it received.
// tests/transcript builds the tests' expectation of it with it too, so it
// is spelled once.
#pragma once

#include <cstdio>
#include <string>

namespace demo {

// Shows each byte so that a person can see exactly what arrived: one line
// of output for each line received, with line feeds, carriage returns and
// other control bytes written as escapes.
inline std::string describe(const std::string& request)
{
    std::string text =
        "Hello from the demo server. It received " + std::to_string(request.size()) + " bytes:\n";
    bool line_open = false;
    for (const char c : request) {
        const auto byte = static_cast<unsigned char>(c);
        if (!line_open) {
            text += "  | ";
            line_open = true;
        }
        if (byte == '\n') {
            text += "\\n\n";
            line_open = false;
        } else if (byte == '\r') {
            text += "\\r";
        } else if (byte == '\t') {
            text += "\\t";
        } else if (byte == '\\') {
            text += "\\\\";
        } else if (byte < 0x20 || byte >= 0x7f) {
            char escape[8];
            std::snprintf(escape, sizeof escape, "\\x%02x", byte);
            text += escape;
        } else {
            text += c;
        }
    }
    if (line_open) {
        text += "\n";
    }
    text += "Goodbye.\n";
    return text;
}

} // namespace demo
