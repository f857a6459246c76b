#include "core/dat/violation.hpp"

#include "core/base/decimal.hpp"
#include "core/base/text.hpp"

namespace quorvex {
namespace {

// Writes the `Name { a: .., b: .. }` form field by field.
class Fields {
 public:
  Fields(std::string& out, std::string_view name) : out_(out) {
    out_ += name;
    out_ += " { ";
  }
  Fields& text(std::string_view name, std::string_view value) {
    key(name);
    append_debug_quoted(out_, value);
    return *this;
  }
  Fields& number(std::string_view name, std::uint64_t value) {
    key(name);
    append_decimal(out_, value);
    return *this;
  }
  Fields& list(std::string_view name, const std::vector<std::string>& values) {
    key(name);
    out_ += '[';
    for (std::size_t i = 0; i < values.size(); ++i) {
      if (i != 0) out_ += ", ";
      append_debug_quoted(out_, values[i]);
    }
    out_ += ']';
    return *this;
  }
  Fields& optional(std::string_view name, const std::optional<std::string>& value) {
    key(name);
    if (!value) {
      out_ += "None";
    } else {
      out_ += "Some(";
      append_debug_quoted(out_, *value);
      out_ += ')';
    }
    return *this;
  }
  void close() { out_ += " }"; }

 private:
  void key(std::string_view name) {
    if (!first_) out_ += ", ";
    first_ = false;
    out_ += name;
    out_ += ": ";
  }
  std::string& out_;
  bool first_ = true;
};

void tuple(std::string& out, std::string_view name, std::string_view value) {
  out += name;
  out += '(';
  append_debug_quoted(out, value);
  out += ')';
}

template <class... Ts>
struct Overloaded : Ts... {
  using Ts::operator()...;
};
template <class... Ts>
Overloaded(Ts...) -> Overloaded<Ts...>;

}  // namespace

std::string render_violation(const ConstraintViolation& v) {
  using namespace violation;
  std::string out;
  std::visit(
      Overloaded{
          [&](const Expired&) { out = "Expired"; },
          [&](const NotYetValid&) { out = "NotYetValid"; },
          [&](const ScopeNotCovered&) { out = "ScopeNotCovered"; },
          [&](const Revoked&) { out = "Revoked"; },
          [&](const RateLimitExceeded& x) {
            Fields(out, "RateLimitExceeded")
                .text("limit_type", x.limit_type)
                .number("limit", x.limit)
                .number("current", x.current)
                .close();
          },
          [&](const IpBlocked& x) {
            Fields(out, "IpBlocked").text("ip", x.ip).text("reason", x.reason).close();
          },
          [&](const InsufficientTrustLevel& x) {
            Fields(out, "InsufficientTrustLevel")
                .text("required", x.required)
                .text("actual", x.actual)
                .close();
          },
          [&](const DelegationDepthExceeded& x) {
            Fields(out, "DelegationDepthExceeded")
                .number("max_depth", x.max_depth)
                .number("actual_depth", x.actual_depth)
                .close();
          },
          [&](const GeofenceViolation& x) {
            Fields(out, "GeofenceViolation")
                .text("country", x.country)
                .list("allowed", x.allowed)
                .close();
          },
          [&](const OutsideTimeWindow&) { out = "OutsideTimeWindow"; },
          [&](const ConfigAttestationMismatch& x) {
            Fields(out, "ConfigAttestationMismatch")
                .text("expected", x.expected)
                .optional("actual", x.actual)
                .close();
          },
          [&](const ChainValidationFailed& x) { tuple(out, "ChainValidationFailed", x.text); },
          [&](const SignatureInvalid&) { out = "SignatureInvalid"; },
          [&](const Custom& x) { tuple(out, "Custom", x.text); },
      },
      v);
  return out;
}

}  // namespace quorvex
