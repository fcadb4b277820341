// Evaluation of a bound query over a class's instances.
#pragma once

#include <vector>

#include "winapi/wql/wql_class.h"
#include "winapi/wql/wql_query.h"

namespace winapi::wql {

// Whether `object` satisfies `condition`. A NULL property satisfies no
// comparison and no LIKE (only IS NULL); NOT turns the answer round.
bool WqlMatches(const WqlCondition& condition, const WqlObject& object);

// The instances that satisfy the query's condition, in the order given,
// each holding only the selected properties (the others NULL; __CLASS stays).
std::vector<WqlObject> SelectWql(const WqlQuery& query, std::vector<WqlObject> instances);

}  // namespace winapi::wql
