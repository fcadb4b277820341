// The WQL parser: SELECT props|* FROM class [WHERE condition] with =, <>, !=,
// <, >, <=, >=, LIKE, IS [NOT] NULL, AND, OR, NOT and parentheses.
// Keywords are case-insensitive. Class and property names are not checked
// here (see BindWqlQuery).
#pragma once

#include <string_view>

#include "winapi/wql/wql_lexer.h"
#include "winapi/wql/wql_query.h"

namespace winapi::wql {

// Longest query text accepted, in characters.
constexpr size_t kMaxWqlLength = 16384;
// Deepest nesting of parentheses and NOT accepted.
constexpr int kMaxWqlNesting = 64;

// Throws WqlSyntaxError when `text` is not such a query.
WqlQuery ParseWql(std::wstring_view text);

}  // namespace winapi::wql
