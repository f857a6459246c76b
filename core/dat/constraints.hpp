#pragma once

#include <string>
#include <vector>

#include "core/base/result.hpp"
#include "core/dat/token.hpp"

namespace quorvex::dat {

// check_constraints refuses, before a token is issued, what no verification could ever accept
// and what is plainly a typo: a scope entry that does not parse, an ipAllowlist or ipDenylist
// entry that is no address or network, an allowedCountries entry that is not two ASCII letters
// (either case: the geofence compares without regard to case), a time window's start_hour or
// end_hour above 23 and a days_of_week entry above 6. It fails with Other, for the first such
// value in the order of the claims, its text naming the member and the value
// ("ipAllowlist entry \"10.0.0.0/33\" is no address or network").
Result<void> check_constraints(const std::vector<std::string>& scope,
                               const DatConstraints& constraints);

}  // namespace quorvex::dat
