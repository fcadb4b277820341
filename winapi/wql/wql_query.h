// A parsed WQL data query: SELECT props|* FROM class [WHERE condition].
#pragma once

#include <cstddef>
#include <memory>
#include <string>
#include <vector>

namespace winapi::wql {

struct WqlLiteral {
    enum class Kind { String, Number, Boolean, Null };
    Kind kind = Kind::Null;
    std::wstring text;        // String: the unescaped characters; Number: as written
    long double number = 0;   // Number (exact for every 64-bit integer)
    bool boolean = false;     // Boolean
};

enum class WqlOperator { Equal, NotEqual, Less, Greater, LessOrEqual, GreaterOrEqual };

struct WqlCondition {
    enum class Kind { And, Or, Not, Compare, Like, IsNull };
    Kind kind = Kind::Compare;
    std::vector<std::unique_ptr<WqlCondition>> children;  // And, Or: two or more; Not: one

    // Compare, Like, IsNull: the property, as written and, once bound, its index.
    std::wstring property;
    size_t propertyIndex = 0;
    WqlOperator op = WqlOperator::Equal;  // Compare: property op literal
    WqlLiteral literal;                   // Compare; Like: the pattern
    bool negated = false;                 // IsNull: IS NOT NULL
};

struct WqlQuery {
    bool allProperties = false;              // SELECT *
    std::vector<std::wstring> properties;    // otherwise, as written
    std::vector<size_t> propertyIndexes;     // once bound
    std::wstring className;
    std::unique_ptr<WqlCondition> where;     // null without WHERE
};

}  // namespace winapi::wql
