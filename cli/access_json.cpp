// `tavrik access --json`: the report as one JSON object, built with
// nlohmann-json.
#include <nlohmann/json.hpp>

#include "cli/access_report.h"
#include "cli/command.h"

namespace tavrik::cli {
namespace {

using Json = nlohmann::ordered_json;

// Non-ASCII characters are escaped, so the line reads the same in any
// console encoding.
std::string Utf8(const std::wstring& text) { return ToConsole(text); }

Json Words(const std::wstring& words) {
    Json list = Json::array();
    size_t start = 0;
    while (start < words.size()) {
        const size_t plus = words.find(L'+', start);
        const size_t end = plus == std::wstring::npos ? words.size() : plus;
        if (end > start) list.push_back(Utf8(words.substr(start, end - start)));
        start = end + 1;
    }
    return list;
}

Json RightsJson(const Rights& rights) { return {{"rights", Words(rights.words)}, {"mask", rights.mask}}; }

}  // namespace

std::string AccessJson(const AccessReport& report) {
    Json out = {{"record", "access"}, {"object", Utf8(report.object)}, {"type", Utf8(report.type)}};
    out["account"] = {{"name", Utf8(report.account)}, {"sid", Utf8(report.accountSid)}};
    out["rights"] = Words(report.rights.words);
    out["mask"] = report.rights.mask;
    out["null_dacl"] = report.nullDacl;
    out["owner"] = report.ownerRights.mask == 0 ? Json(nullptr) : RightsJson(report.ownerRights);
    Json entries = Json::array();
    for (const auto& entry : report.entries) {
        Json item = {{"trustee", {{"name", Utf8(entry.trustee)}, {"sid", Utf8(entry.sid)}}},
                     {"type", entry.allow ? "allow" : "deny"},
                     {"rights", Words(entry.rights.words)},
                     {"mask", entry.rights.mask},
                     {"inherited", entry.inherited}};
        item[entry.allow ? "grants" : "denies"] = RightsJson(entry.effect);
        entries.push_back(std::move(item));
    }
    out["entries"] = std::move(entries);
    return out.dump(-1, ' ', true, Json::error_handler_t::replace);
}

}  // namespace tavrik::cli
