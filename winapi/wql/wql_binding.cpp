#include "winapi/wql/wql_binding.h"

#include <cmath>
#include <cwchar>

namespace winapi::wql {
namespace {

std::string Narrow(std::wstring_view text) {
    std::string out;
    for (wchar_t c : text) out += (c >= 0x20 && c < 0x7F) ? static_cast<char>(c) : '?';
    return out;
}

size_t BindProperty(const WqlClass& cls, const std::wstring& name) {
    auto index = cls.FindProperty(name);
    if (!index) throw WqlBindError("no property " + Narrow(name) + " in class " + Narrow(cls.Name()));
    return *index;
}

// '12', ' 12 ' and '-3' name numbers too, as WMI converts them.
bool ParseNumber(const std::wstring& text, long double& number) {
    const wchar_t* begin = text.c_str();
    wchar_t* end = nullptr;
    number = std::wcstold(begin, &end);
    if (end == begin) return false;
    while (*end == L' ') ++end;
    return *end == L'\0' && std::isfinite(number);
}

void BindLiteral(WqlCondition& node, const WqlProperty& property) {
    WqlLiteral& literal = node.literal;
    const std::string where = "value compared with " + Narrow(property.name);
    switch (property.type) {
    case CimType::String:
        if (literal.kind != WqlLiteral::Kind::String) throw WqlBindError(where + " must be a quoted string");
        return;
    case CimType::Boolean:
        if (literal.kind == WqlLiteral::Kind::String) {
            if (EqualsIgnoreCase(literal.text, L"TRUE")) {
                literal.boolean = true;
            } else if (EqualsIgnoreCase(literal.text, L"FALSE")) {
                literal.boolean = false;
            } else {
                throw WqlBindError(where + " must be TRUE or FALSE");
            }
        } else if (literal.kind == WqlLiteral::Kind::Number && (literal.number == 0 || literal.number == 1)) {
            literal.boolean = literal.number == 1;
        } else if (literal.kind != WqlLiteral::Kind::Boolean) {
            throw WqlBindError(where + " must be TRUE or FALSE");
        }
        literal.kind = WqlLiteral::Kind::Boolean;
        return;
    case CimType::StringArray:
        throw WqlBindError("array property " + Narrow(property.name) + " cannot be compared");
    default:  // integers
        if (literal.kind == WqlLiteral::Kind::String) {
            if (!ParseNumber(literal.text, literal.number)) throw WqlBindError(where + " must be a number");
            literal.kind = WqlLiteral::Kind::Number;
        } else if (literal.kind != WqlLiteral::Kind::Number) {
            throw WqlBindError(where + " must be a number");
        }
        return;
    }
}

void BindCondition(WqlCondition& node, const WqlClass& cls) {
    switch (node.kind) {
    case WqlCondition::Kind::And:
    case WqlCondition::Kind::Or:
    case WqlCondition::Kind::Not:
        for (auto& child : node.children) BindCondition(*child, cls);
        return;
    case WqlCondition::Kind::IsNull:
        node.propertyIndex = BindProperty(cls, node.property);
        return;
    case WqlCondition::Kind::Like: {
        node.propertyIndex = BindProperty(cls, node.property);
        const WqlProperty& property = cls.Properties()[node.propertyIndex];
        if (property.type != CimType::String)
            throw WqlBindError("LIKE needs a string property, not " + Narrow(property.name));
        return;
    }
    case WqlCondition::Kind::Compare:
        node.propertyIndex = BindProperty(cls, node.property);
        BindLiteral(node, cls.Properties()[node.propertyIndex]);
        return;
    }
}

}  // namespace

void BindWqlQuery(WqlQuery& query, const WqlClass& cls) {
    query.propertyIndexes.clear();
    for (const auto& name : query.properties) query.propertyIndexes.push_back(BindProperty(cls, name));
    if (query.where) BindCondition(*query.where, cls);
}

}  // namespace winapi::wql
