#pragma once

#include <string>

#include "core/base/result.hpp"
#include "core/dat/token.hpp"
#include "core/json/schema.hpp"

namespace quorvex::json {

template <>
struct Schema<dat::RateLimit> {
  static constexpr std::string_view name = "RateLimit";
  static constexpr bool strict = false;
  static constexpr auto fields = std::tuple{
      field("max_actions", &dat::RateLimit::max_actions),
      field("window_secs", &dat::RateLimit::window_secs),
  };
};

template <>
struct Schema<dat::TimeWindow> {
  static constexpr std::string_view name = "TimeWindow";
  static constexpr bool strict = false;
  static constexpr auto fields = std::tuple{
      field("start_hour", &dat::TimeWindow::start_hour),
      field("end_hour", &dat::TimeWindow::end_hour),
      field("days_of_week", &dat::TimeWindow::days_of_week),
  };
};

template <>
struct Schema<dat::DatConstraints> {
  using C = dat::DatConstraints;
  static constexpr std::string_view name = "DatConstraints";
  static constexpr bool strict = false;
  static constexpr auto fields = std::tuple{
      field("maxActions", &C::max_actions),
      field("allowedServers", &C::allowed_servers),
      field("requireReceipt", &C::require_receipt),
      field("rateLimit", &C::rate_limit),
      field("ipAllowlist", &C::ip_allowlist),
      field("ipDenylist", &C::ip_denylist),
      field("minTrustLevel", &C::min_trust_level),
      field("maxDelegationDepth", &C::max_delegation_depth),
      field("allowedCountries", &C::allowed_countries),
      field("timeWindows", &C::time_windows),
      field("requiredConfigHash", &C::required_config_hash),
  };
};

// The header alone refuses members it does not know.
template <>
struct Schema<dat::DatHeader> {
  static constexpr std::string_view name = "DatHeader";
  static constexpr bool strict = true;
  static constexpr auto fields = std::tuple{
      field("alg", &dat::DatHeader::alg),
      field("typ", &dat::DatHeader::typ),
      field("kid", &dat::DatHeader::kid),
  };
};

template <>
struct Schema<dat::Confirmation> {
  static constexpr std::string_view name = "Confirmation";
  static constexpr bool strict = false;
  static constexpr auto fields = std::tuple{
      field("jwk", &dat::Confirmation::jwk),
  };
};

template <>
struct Schema<dat::DatClaims> {
  using C = dat::DatClaims;
  static constexpr std::string_view name = "DatClaims";
  static constexpr bool strict = false;
  // cnf came after the array form was fixed: it is read from the object form only.
  static constexpr std::size_t array_fields = 10;
  static constexpr auto fields = std::tuple{
      field("iss", &C::iss),
      field("sub", &C::sub),
      field("iat", &C::iat),
      field("exp", &C::exp),
      field("nbf", &C::nbf),
      field("jti", &C::jti),
      field("scope", &C::scope),
      field("constraints", &C::constraints),
      field("configAttestation", &C::config_attestation),
      field("delegationChain", &C::delegation_chain),
      field("cnf", &C::cnf),
  };
};

}  // namespace quorvex::json

namespace quorvex::dat {

// append_header_json / append_claims_json append the compact JSON of a record
// to out. They fail with Serialization ("invalid UTF-8 byte at index 3: 0xff",
// no position) when a text is not valid UTF-8; out then holds the whole JSON
// with those bytes copied as they are.
Result<void> append_header_json(std::string& out, const DatHeader& header);
Result<void> append_claims_json(std::string& out, const DatClaims& claims);

}  // namespace quorvex::dat
