// Wide text to the console's UTF-8: records are converted sixteen
// characters at a time while they are ASCII, one by one where they are not.
#include <gtest/gtest.h>

#include <string>

#include "cli/command.h"

namespace tavrik::cli {
namespace {

struct Encoded {
    char32_t character;
    std::string bytes;
};

// A character of each UTF-8 length and the ones replaced by U+FFFD, at every
// place of a text long enough for two blocks and a tail, in and across the
// blocks; the same string receives each text, so a shorter one after a
// longer one shows whether its room is cut to size.
TEST(ConsoleText, EachCharacterIsEncodedWhereverItStands) {
    const Encoded cases[] = {
        {U'\x7f', "\x7f"},
        {U'\x80', "\xc2\x80"},
        {U'\xe9', "\xc3\xa9"},
        {U'\x20ac', "\xe2\x82\xac"},
        {U'\x1f600', "\xf0\x9f\x98\x80"},
        {static_cast<char32_t>(0xD800), "\xef\xbf\xbd"},
        {static_cast<char32_t>(0x110000), "\xef\xbf\xbd"},
    };
    std::string out;
    for (const Encoded& c : cases) {
        for (size_t at = 0; at < 37; ++at) {
            std::wstring text(37, L' ');
            for (size_t i = 0; i < text.size(); ++i) text[i] = static_cast<wchar_t>(L'A' + i % 26);
            std::string expected(text.begin(), text.end());
            text[at] = static_cast<wchar_t>(c.character);
            expected.replace(at, 1, c.bytes);
            ToConsole(text, &out);
            EXPECT_EQ(out, expected) << "U+" << std::hex << static_cast<unsigned>(c.character) << " at " << at;
            EXPECT_EQ(ToConsole(text), expected);
        }
    }
}

TEST(ConsoleText, AsciiOfEveryLengthComesOutByteForByte) {
    std::string out = "left over from a longer text";
    for (size_t length = 40; length-- > 0;) {
        std::wstring text;
        std::string expected;
        for (size_t i = 0; i < length; ++i) {
            text += static_cast<wchar_t>(0x20 + (i * 7) % 0x5F);
            expected += static_cast<char>(0x20 + (i * 7) % 0x5F);
        }
        ToConsole(text, &out);
        EXPECT_EQ(out, expected) << length;
    }
}

}  // namespace
}  // namespace tavrik::cli
