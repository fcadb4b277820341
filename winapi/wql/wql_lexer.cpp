#include "winapi/wql/wql_lexer.h"

namespace winapi::wql {
namespace {

bool IsNameStart(wchar_t c) { return (c >= L'A' && c <= L'Z') || (c >= L'a' && c <= L'z') || c == L'_'; }
bool IsNameChar(wchar_t c) { return IsNameStart(c) || (c >= L'0' && c <= L'9'); }
bool IsDigit(wchar_t c) { return c >= L'0' && c <= L'9'; }
bool IsSpace(wchar_t c) { return c == L' ' || c == L'\t' || c == L'\r' || c == L'\n' || c == L'\f' || c == L'\v'; }

// A quoted string, ' or ", where a backslash takes the next character as it
// is (so '\\' is one backslash and '\'' a quote).
WqlToken ReadString(std::wstring_view text, size_t& i) {
    WqlToken token{WqlToken::Kind::String, {}, i};
    const wchar_t quote = text[i++];
    while (true) {
        if (i >= text.size()) throw WqlSyntaxError("unterminated string", token.position);
        wchar_t c = text[i++];
        if (c == quote) return token;
        if (c == L'\\') {
            if (i >= text.size()) throw WqlSyntaxError("unterminated string", token.position);
            c = text[i++];
        }
        token.text += c;
    }
}

WqlToken ReadNumber(std::wstring_view text, size_t& i) {
    WqlToken token{WqlToken::Kind::Number, {}, i};
    const size_t start = i;
    if (text[i] == L'-' || text[i] == L'+') ++i;
    const size_t digits = i;
    while (i < text.size() && IsDigit(text[i])) ++i;
    if (i < text.size() && text[i] == L'.') {
        ++i;
        while (i < text.size() && IsDigit(text[i])) ++i;
    }
    if (i == digits || (i == digits + 1 && text[digits] == L'.'))
        throw WqlSyntaxError("malformed number", start);
    if (i < text.size() && IsNameChar(text[i])) throw WqlSyntaxError("malformed number", start);
    token.text.assign(text.substr(start, i - start));
    return token;
}

}  // namespace

std::vector<WqlToken> TokenizeWql(std::wstring_view text) {
    std::vector<WqlToken> tokens;
    size_t i = 0;
    while (true) {
        while (i < text.size() && IsSpace(text[i])) ++i;
        if (i >= text.size()) break;
        const wchar_t c = text[i];
        const size_t at = i;
        if (IsNameStart(c)) {
            while (i < text.size() && IsNameChar(text[i])) ++i;
            tokens.push_back({WqlToken::Kind::Name, std::wstring(text.substr(at, i - at)), at});
        } else if (c == L'\'' || c == L'"') {
            tokens.push_back(ReadString(text, i));
        } else if (IsDigit(c) || ((c == L'-' || c == L'+' || c == L'.') && i + 1 < text.size() &&
                                  (IsDigit(text[i + 1]) || text[i + 1] == L'.'))) {
            tokens.push_back(ReadNumber(text, i));
        } else if (c == L'*') {
            tokens.push_back({WqlToken::Kind::Star, L"*", at});
            ++i;
        } else if (c == L',') {
            tokens.push_back({WqlToken::Kind::Comma, L",", at});
            ++i;
        } else if (c == L'(') {
            tokens.push_back({WqlToken::Kind::OpenParen, L"(", at});
            ++i;
        } else if (c == L')') {
            tokens.push_back({WqlToken::Kind::CloseParen, L")", at});
            ++i;
        } else if (c == L'=' || c == L'<' || c == L'>' || c == L'!') {
            std::wstring op(1, c);
            ++i;
            if (i < text.size() && ((text[i] == L'=' && c != L'=') || (c == L'<' && text[i] == L'>'))) op += text[i++];
            if (op == L"!") throw WqlSyntaxError("'!' must be followed by '='", at);
            tokens.push_back({WqlToken::Kind::Operator, op, at});
        } else {
            throw WqlSyntaxError("unexpected character", at);
        }
    }
    tokens.push_back({WqlToken::Kind::End, {}, text.size()});
    return tokens;
}

}  // namespace winapi::wql
