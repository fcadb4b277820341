#include "winapi/wql/wql_parser.h"

#include <cwchar>
#include <utility>

#include "winapi/wql/wql_value.h"

namespace winapi::wql {
namespace {

class Parser {
public:
    explicit Parser(std::vector<WqlToken> tokens) : tokens_(std::move(tokens)) {}

    WqlQuery Query() {
        WqlQuery query;
        ExpectKeyword(L"SELECT");
        if (Peek().kind == WqlToken::Kind::Star) {
            Next();
            query.allProperties = true;
        } else {
            query.properties.push_back(ExpectName("a property name or '*'"));
            while (Peek().kind == WqlToken::Kind::Comma) {
                Next();
                query.properties.push_back(ExpectName("a property name"));
            }
        }
        ExpectKeyword(L"FROM");
        query.className = ExpectName("a class name");
        if (IsKeyword(Peek(), L"WHERE")) {
            Next();
            query.where = Disjunction(0);
        }
        if (Peek().kind != WqlToken::Kind::End) Fail("unexpected text after the query");
        return query;
    }

private:
    const WqlToken& Peek() const { return tokens_[pos_]; }
    const WqlToken& Next() {
        const WqlToken& token = tokens_[pos_];
        if (token.kind != WqlToken::Kind::End) ++pos_;
        return token;
    }
    [[noreturn]] void Fail(const std::string& why) const { throw WqlSyntaxError(why, Peek().position); }

    static bool IsKeyword(const WqlToken& token, std::wstring_view keyword) {
        return token.kind == WqlToken::Kind::Name && EqualsIgnoreCase(token.text, keyword);
    }
    static bool IsReserved(const WqlToken& token) {
        for (const wchar_t* word : {L"SELECT", L"FROM", L"WHERE", L"AND", L"OR", L"NOT", L"LIKE", L"IS", L"NULL",
                                    L"TRUE", L"FALSE"})
            if (IsKeyword(token, word)) return true;
        return false;
    }
    void ExpectKeyword(std::wstring_view keyword) {
        if (!IsKeyword(Peek(), keyword)) {
            std::string name;
            for (wchar_t c : keyword) name += static_cast<char>(c);
            Fail("expected " + name);
        }
        Next();
    }
    std::wstring ExpectName(const char* what) {
        if (Peek().kind != WqlToken::Kind::Name || IsReserved(Peek())) Fail(std::string("expected ") + what);
        return Next().text;
    }

    std::unique_ptr<WqlCondition> Disjunction(int depth) {
        return Chain(WqlCondition::Kind::Or, L"OR", depth, &Parser::Conjunction);
    }
    std::unique_ptr<WqlCondition> Conjunction(int depth) {
        return Chain(WqlCondition::Kind::And, L"AND", depth, &Parser::Unary);
    }
    // a OP b OP c becomes one node with three children, so long chains
    // never make the tree deep.
    std::unique_ptr<WqlCondition> Chain(WqlCondition::Kind kind, std::wstring_view keyword, int depth,
                                        std::unique_ptr<WqlCondition> (Parser::*operand)(int)) {
        auto first = (this->*operand)(depth);
        if (!IsKeyword(Peek(), keyword)) return first;
        auto node = std::make_unique<WqlCondition>();
        node->kind = kind;
        node->children.push_back(std::move(first));
        while (IsKeyword(Peek(), keyword)) {
            Next();
            node->children.push_back((this->*operand)(depth));
        }
        return node;
    }

    std::unique_ptr<WqlCondition> Unary(int depth) {
        if (depth >= kMaxWqlNesting) Fail("condition nested too deeply");
        if (IsKeyword(Peek(), L"NOT")) {
            Next();
            auto node = std::make_unique<WqlCondition>();
            node->kind = WqlCondition::Kind::Not;
            node->children.push_back(Unary(depth + 1));
            return node;
        }
        if (Peek().kind == WqlToken::Kind::OpenParen) {
            Next();
            auto inner = Disjunction(depth + 1);
            if (Peek().kind != WqlToken::Kind::CloseParen) Fail("expected ')'");
            Next();
            return inner;
        }
        return Predicate();
    }

    bool AtLiteral() const {
        const WqlToken& t = Peek();
        return t.kind == WqlToken::Kind::String || t.kind == WqlToken::Kind::Number || IsKeyword(t, L"TRUE") ||
               IsKeyword(t, L"FALSE") || IsKeyword(t, L"NULL");
    }

    WqlLiteral Literal() {
        const WqlToken& t = Peek();
        WqlLiteral literal;
        if (t.kind == WqlToken::Kind::String) {
            literal.kind = WqlLiteral::Kind::String;
            literal.text = t.text;
        } else if (t.kind == WqlToken::Kind::Number) {
            literal.kind = WqlLiteral::Kind::Number;
            literal.text = t.text;
            literal.number = std::wcstold(t.text.c_str(), nullptr);
        } else if (IsKeyword(t, L"TRUE") || IsKeyword(t, L"FALSE")) {
            literal.kind = WqlLiteral::Kind::Boolean;
            literal.boolean = IsKeyword(t, L"TRUE");
        } else if (IsKeyword(t, L"NULL")) {
            literal.kind = WqlLiteral::Kind::Null;
        } else {
            Fail("expected a value");
        }
        Next();
        return literal;
    }

    static WqlOperator ParseOperator(const std::wstring& op) {
        if (op == L"=") return WqlOperator::Equal;
        if (op == L"<>" || op == L"!=") return WqlOperator::NotEqual;
        if (op == L"<") return WqlOperator::Less;
        if (op == L">") return WqlOperator::Greater;
        if (op == L"<=") return WqlOperator::LessOrEqual;
        return WqlOperator::GreaterOrEqual;
    }
    // 5 < X means X > 5.
    static WqlOperator Mirror(WqlOperator op) {
        switch (op) {
        case WqlOperator::Less: return WqlOperator::Greater;
        case WqlOperator::Greater: return WqlOperator::Less;
        case WqlOperator::LessOrEqual: return WqlOperator::GreaterOrEqual;
        case WqlOperator::GreaterOrEqual: return WqlOperator::LessOrEqual;
        default: return op;
        }
    }

    // X = NULL and X <> NULL read as IS NULL and IS NOT NULL.
    static std::unique_ptr<WqlCondition> Comparison(std::wstring property, WqlOperator op, WqlLiteral literal,
                                                    size_t position) {
        auto node = std::make_unique<WqlCondition>();
        node->property = std::move(property);
        if (literal.kind == WqlLiteral::Kind::Null) {
            if (op != WqlOperator::Equal && op != WqlOperator::NotEqual)
                throw WqlSyntaxError("NULL can only be compared with = or <>", position);
            node->kind = WqlCondition::Kind::IsNull;
            node->negated = op == WqlOperator::NotEqual;
            return node;
        }
        node->kind = WqlCondition::Kind::Compare;
        node->op = op;
        node->literal = std::move(literal);
        return node;
    }

    std::unique_ptr<WqlCondition> Predicate() {
        const size_t position = Peek().position;
        if (AtLiteral()) {
            WqlLiteral literal = Literal();
            if (Peek().kind != WqlToken::Kind::Operator) Fail("expected a comparison operator");
            WqlOperator op = Mirror(ParseOperator(Next().text));
            std::wstring property = ExpectName("a property name");
            return Comparison(std::move(property), op, std::move(literal), position);
        }
        std::wstring property = ExpectName("a property name or a value");
        if (Peek().kind == WqlToken::Kind::Operator) {
            WqlOperator op = ParseOperator(Next().text);
            if (!AtLiteral()) Fail("expected a value to compare with");
            return Comparison(std::move(property), op, Literal(), position);
        }
        if (IsKeyword(Peek(), L"LIKE")) {
            Next();
            if (Peek().kind != WqlToken::Kind::String) Fail("LIKE needs a quoted pattern");
            auto node = std::make_unique<WqlCondition>();
            node->kind = WqlCondition::Kind::Like;
            node->property = std::move(property);
            node->literal = Literal();
            return node;
        }
        if (IsKeyword(Peek(), L"IS")) {
            Next();
            auto node = std::make_unique<WqlCondition>();
            node->kind = WqlCondition::Kind::IsNull;
            node->property = std::move(property);
            if (IsKeyword(Peek(), L"NOT")) {
                Next();
                node->negated = true;
            }
            ExpectKeyword(L"NULL");
            return node;
        }
        Fail("expected a comparison, LIKE or IS after the property name");
    }

    std::vector<WqlToken> tokens_;
    size_t pos_ = 0;
};

}  // namespace

WqlQuery ParseWql(std::wstring_view text) {
    if (text.size() > kMaxWqlLength) throw WqlSyntaxError("query too long", kMaxWqlLength);
    Parser parser(TokenizeWql(text));
    return parser.Query();
}

}  // namespace winapi::wql
