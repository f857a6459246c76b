#pragma once

// identity.json, the record of when and what was saved beside an identity's key and document.

#include <cstdint>
#include <string>
#include <string_view>
#include <tuple>

#include "core/json/schema.hpp"

namespace quorvex::aid {

struct SavedIdentity {
  std::string created;
  std::string did;
  std::uint32_t version = 1;
};

}  // namespace quorvex::aid

namespace quorvex::json {

template <>
struct Schema<aid::SavedIdentity> {
  using S = aid::SavedIdentity;
  static constexpr std::string_view name = "SavedIdentity";
  static constexpr bool strict = false;
  static constexpr auto fields = std::tuple{
      field("created", &S::created),
      field("did", &S::did),
      field("version", &S::version),
  };
};

}  // namespace quorvex::json
