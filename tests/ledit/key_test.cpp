// Key decoder: byte sequences to key codes.
#include <gtest/gtest.h>

#include <string>

#include "libledit/ledit_imp.h"

namespace {

struct bytes_src {
    std::string s;
    size_t i = 0;
};

int next_byte(void *ctx)
{
    auto *b = static_cast<bytes_src *>(ctx);
    if (b->i >= b->s.size())
        return -1;
    return (unsigned char)b->s[b->i++];
}

TEST(LeditKey, KnownCodes)
{
    struct row {
        const char *seq;
        uint32_t code;
        bool escaped;
    } rows[] = {
        {"a", 'a', false},
        {"\x01", 1, false},
        {"\x7f", 8, false},          // DEL is Backspace
        {"\x08", 8, false},
        {"\x1b[A", 0x1B41, true},     // Up
        {"\x1b[D", 0x1B44, true},
        {"\x1b[1~", 0x311B7E, true},  // Home
        {"\x1b[H", 0x311B7E, true},   // Home, other encoding
        {"\x1b[4~", 0x341B7E, true},  // End
        {"\x1b[F", 0x341B7E, true},
        {"\x1b[3~", 0x331B7E, true},  // Delete
        {"\x1b[5~", 0x351B7E, true},  // PgUp
        {"\x1bOP", 0x4F1B50, true},   // F1
        {"\x1bOR", 0x4F1B52, true},   // F3
        {"\x1b[[A", 0x4F1B50, true},  // F1, console encoding
        {"\x1b[[D", 0x4F1B53, true},  // F4
        {"\x1b[[Z", 0x5B1B5A, true},
        {"\x1b[1;5A", 0x35311B41, true}, // Ctrl-Up
        {"\x1bOA", 0x35311B41, true},
        {"\x1bOD", 0x35311B44, true},
        {"\x1b[1;3C", 0x33311B43, true}, // Alt-Right
        {"\x1b[1;2A", 0, true},          // Shift: ignored
        {"\x1b[3;5~", 0x35331B7E, true}, // Ctrl-Delete
        {"\x1b[2x", '2', true},          // digit then something else
        {"\x1b" "b", 0x1C62, true},      // Alt-b
        {"\x1b\x7f", 0x1C7F, true},      // Alt-Backspace
        {"\x1b\x1b\x7f", 0x1C7F, true},  // ESC ESC Backspace
        {"\x1b\x1b[A", 0x33311B41, true}, // ESC ESC Up
        {"\x1b\x1b[3~", 0x33331B7E, true},
        {"\x1b\x1b[H", 0x33311B48, true},
        {"\x1b\x1b[4~", 0x33311B46, true},
        {"\x1bOQ", 0x4F1B51, true},
    };
    for (const row &r : rows) {
        bytes_src src{r.seq};
        ledit_key_t k = ledit_key_decode(next_byte, &src);
        EXPECT_EQ(k.code, r.code) << testing::PrintToString(std::string(r.seq));
        EXPECT_EQ(k.escaped, r.escaped) << testing::PrintToString(std::string(r.seq));
        EXPECT_FALSE(k.eof);
        EXPECT_EQ(src.i, src.s.size()) << "whole sequence read: " << testing::PrintToString(std::string(r.seq));
    }
}

TEST(LeditKey, EndOfInputInsideASequence)
{
    for (const char *seq : {"", "\x1b", "\x1b[", "\x1b[1;", "\x1bO", "\x1b\x1b"}) {
        bytes_src src{seq};
        ledit_key_t k = ledit_key_decode(next_byte, &src);
        EXPECT_TRUE(k.eof) << testing::PrintToString(std::string(seq));
    }
}

} // namespace
