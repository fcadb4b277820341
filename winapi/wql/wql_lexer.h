// Splits WQL text into tokens: names, quoted strings, numbers, operators.
#pragma once

#include <cstddef>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace winapi::wql {

struct WqlToken {
    enum class Kind { Name, String, Number, Star, Comma, OpenParen, CloseParen, Operator, End };
    Kind kind = Kind::End;
    std::wstring text;     // Name and Operator as written; String unescaped; Number as written
    size_t position = 0;   // offset of the token's first character
};

// Why a query is not valid WQL, and where.
class WqlSyntaxError : public std::runtime_error {
public:
    WqlSyntaxError(const std::string& what, size_t position) : std::runtime_error(what), position_(position) {}
    size_t Position() const { return position_; }

private:
    size_t position_;
};

// The tokens of `text`, ending with one End token. Throws WqlSyntaxError
// for an unterminated string or a character that starts no token.
std::vector<WqlToken> TokenizeWql(std::wstring_view text);

}  // namespace winapi::wql
