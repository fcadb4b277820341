// Checks a parsed query against its class: every named property must
// exist, and every value must suit the property it is compared with
// (strings with strings, numbers with integers, TRUE/FALSE with booleans).
// Binding records property indexes and brings values into the property's
// form, so evaluation needs no lookups.
#pragma once

#include <string>

#include "winapi/wql/wql_class.h"
#include "winapi/wql/wql_query.h"

namespace winapi::wql {

// Throws WqlBindError naming the first problem.
void BindWqlQuery(WqlQuery& query, const WqlClass& cls);

class WqlBindError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

}  // namespace winapi::wql
