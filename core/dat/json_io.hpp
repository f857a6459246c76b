#pragma once

#include <string>

#include "core/base/result.hpp"
#include "core/dat/token.hpp"

namespace quorvex::dat {

// append_header_json / append_claims_json append the compact JSON of a record
// to out. They fail with Serialization ("invalid UTF-8 byte at index 3: 0xff",
// no position) when a text is not valid UTF-8; out then holds the whole JSON
// with those bytes copied as they are.
Result<void> append_header_json(std::string& out, const DatHeader& header);
Result<void> append_claims_json(std::string& out, const DatClaims& claims);

}  // namespace quorvex::dat
