#include "winapi/wql/wql_evaluator.h"

#include <utility>

#include "winapi/wql/wql_like.h"

namespace winapi::wql {
namespace {

bool Holds(WqlOperator op, int order) {
    switch (op) {
    case WqlOperator::Equal: return order == 0;
    case WqlOperator::NotEqual: return order != 0;
    case WqlOperator::Less: return order < 0;
    case WqlOperator::Greater: return order > 0;
    case WqlOperator::LessOrEqual: return order <= 0;
    case WqlOperator::GreaterOrEqual: return order >= 0;
    }
    return false;
}

template <class T>
int Order(T a, T b) {
    return a < b ? -1 : (b < a ? 1 : 0);
}

bool Compare(const WqlCondition& node, const WqlValue& value) {
    const WqlLiteral& literal = node.literal;
    if (const auto* text = std::get_if<std::wstring>(&value))
        return literal.kind == WqlLiteral::Kind::String && Holds(node.op, CompareIgnoreCase(*text, literal.text));
    if (const auto* flag = std::get_if<bool>(&value))
        return literal.kind == WqlLiteral::Kind::Boolean && Holds(node.op, Order<int>(*flag, literal.boolean));
    // long double carries every 64-bit integer exactly.
    if (const auto* number = std::get_if<int64_t>(&value))
        return literal.kind == WqlLiteral::Kind::Number &&
               Holds(node.op, Order(static_cast<long double>(*number), literal.number));
    if (const auto* number = std::get_if<uint64_t>(&value))
        return literal.kind == WqlLiteral::Kind::Number &&
               Holds(node.op, Order(static_cast<long double>(*number), literal.number));
    return false;
}

}  // namespace

bool WqlMatches(const WqlCondition& condition, const WqlObject& object) {
    switch (condition.kind) {
    case WqlCondition::Kind::And:
        for (const auto& child : condition.children)
            if (!WqlMatches(*child, object)) return false;
        return true;
    case WqlCondition::Kind::Or:
        for (const auto& child : condition.children)
            if (WqlMatches(*child, object)) return true;
        return false;
    case WqlCondition::Kind::Not:
        return !WqlMatches(*condition.children.at(0), object);
    case WqlCondition::Kind::IsNull:
        return IsNull(object.values.at(condition.propertyIndex)) != condition.negated;
    case WqlCondition::Kind::Like: {
        const auto* text = std::get_if<std::wstring>(&object.values.at(condition.propertyIndex));
        return text != nullptr && MatchesLike(*text, condition.literal.text);
    }
    case WqlCondition::Kind::Compare:
        return Compare(condition, object.values.at(condition.propertyIndex));
    }
    return false;
}

std::vector<WqlObject> SelectWql(const WqlQuery& query, std::vector<WqlObject> instances) {
    std::vector<WqlObject> selected;
    for (auto& instance : instances) {
        if (query.where && !WqlMatches(*query.where, instance)) continue;
        if (!query.allProperties) {
            std::vector<WqlValue> kept(instance.values.size());
            kept[0] = instance.values[0];
            for (size_t index : query.propertyIndexes) kept.at(index) = instance.values.at(index);
            instance.values = std::move(kept);
        }
        selected.push_back(std::move(instance));
    }
    return selected;
}

}  // namespace winapi::wql
