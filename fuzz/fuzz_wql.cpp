// libFuzzer target for the WQL engine: arbitrary text through the parser,
// the binder and the evaluator. Syntax and binding errors are expected;
// anything else (another exception, a crash, an out-of-bounds read, a
// sanitizer report) is a defect. Also checks LIKE against plain equality
// for patterns without wildcards.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "winapi/wql/wql_binding.h"
#include "winapi/wql/wql_evaluator.h"
#include "winapi/wql/wql_like.h"
#include "winapi/wql/wql_parser.h"

using namespace winapi::wql;

namespace {

const WqlClass& FuzzClass() {
    static const WqlClass cls(
        L"Fuzz_Class",
        {{L"Name", CimType::String},
         {L"Size", CimType::UInt64},
         {L"Offset", CimType::SInt32},
         {L"Enabled", CimType::Boolean},
         {L"Tags", CimType::StringArray}},
        [](const WqlClass& self) {
            std::vector<WqlObject> objects;
            const wchar_t* names[] = {L"alpha", L"", L"a_%[b]", L"\\\\x"};
            for (int i = 0; i < 4; ++i) {
                WqlObject object = self.NewObject();
                object.Set(L"Name", std::wstring(names[i]));
                if (i != 1) object.Set(L"Size", static_cast<uint64_t>(i) * 0x7FFFFFFFFFFFFFFFull);
                object.Set(L"Offset", static_cast<int64_t>(i) - 2);
                if (i != 3) object.Set(L"Enabled", i % 2 == 0);
                object.Set(L"Tags", std::vector<std::wstring>{L"t"});
                objects.push_back(std::move(object));
            }
            return objects;
        });
    return cls;
}

bool HasWildcard(const std::wstring& pattern) { return pattern.find_first_of(L"%_[") != std::wstring::npos; }

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    // Bytes as characters, so that every ASCII query is reachable directly.
    std::wstring text(data, data + size);

    try {
        WqlQuery query = ParseWql(text);
        try {
            BindWqlQuery(query, FuzzClass());
            (void)SelectWql(query, FuzzClass().Instances());
        } catch (const WqlBindError&) {
        }
    } catch (const WqlSyntaxError&) {
    }

    const size_t half = text.size() / 2;
    const std::wstring left = text.substr(0, half), right = text.substr(half);
    const bool matched = MatchesLike(left, right);
    if (!HasWildcard(right) && matched != EqualsIgnoreCase(left, right)) std::abort();
    if (MatchesLike(left, L"%") != true) std::abort();
    return 0;
}
