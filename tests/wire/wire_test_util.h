// Shared by the wire tests: byte fixtures written as hex text.
#pragma once
#include <cstdio>
#include <string>

namespace wire_test {

// "5A 4B 01" -> the bytes 0x5A 0x4B 0x01 (blanks between pairs are optional).
inline std::string from_hex(const char *text)
{
    std::string out;
    unsigned v;
    int n;
    while (sscanf(text, " %2x%n", &v, &n) == 1) {
        out.push_back((char)v);
        text += n;
    }
    return out;
}

} // namespace wire_test
