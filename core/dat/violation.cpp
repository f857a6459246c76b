#include "core/dat/violation.hpp"

#include "core/base/decimal.hpp"
#include "core/base/text.hpp"

namespace quorvex {
namespace {

// Writes the fields after the variant's name: ` { a: .., b: .. }` for named
// fields, `(..)` for a tuple variant's text, nothing for a variant without fields.
class Fields final : public ViolationFields {
 public:
  explicit Fields(std::string& out) : out_(out) {}
  void text(std::string_view name, std::string_view value) override {
    key(name);
    append_debug_quoted(out_, value);
  }
  void number(std::string_view name, std::uint64_t value) override {
    key(name);
    append_decimal(out_, value);
  }
  void list(std::string_view name, const std::vector<std::string>& values) override {
    key(name);
    out_ += '[';
    for (std::size_t i = 0; i < values.size(); ++i) {
      if (i != 0) out_ += ", ";
      append_debug_quoted(out_, values[i]);
    }
    out_ += ']';
  }
  void optional(std::string_view name, const std::optional<std::string>& value) override {
    key(name);
    if (!value) {
      out_ += "None";
    } else {
      out_ += "Some(";
      append_debug_quoted(out_, *value);
      out_ += ')';
    }
  }
  void unnamed(std::string_view value) override {
    out_ += '(';
    append_debug_quoted(out_, value);
    out_ += ')';
  }
  void close() {
    if (!first_) out_ += " }";
  }

 private:
  void key(std::string_view name) {
    out_ += first_ ? " { " : ", ";
    first_ = false;
    out_ += name;
    out_ += ": ";
  }
  std::string& out_;
  bool first_ = true;
};

template <class... Ts>
struct Overloaded : Ts... {
  using Ts::operator()...;
};
template <class... Ts>
Overloaded(Ts...) -> Overloaded<Ts...>;

}  // namespace

std::string_view violation_name(const ConstraintViolation& v) {
  using namespace violation;
  return std::visit(
      Overloaded{
          [](const Expired&) { return "Expired"; },
          [](const NotYetValid&) { return "NotYetValid"; },
          [](const ScopeNotCovered&) { return "ScopeNotCovered"; },
          [](const Revoked&) { return "Revoked"; },
          [](const RateLimitExceeded&) { return "RateLimitExceeded"; },
          [](const IpBlocked&) { return "IpBlocked"; },
          [](const InsufficientTrustLevel&) { return "InsufficientTrustLevel"; },
          [](const DelegationDepthExceeded&) { return "DelegationDepthExceeded"; },
          [](const GeofenceViolation&) { return "GeofenceViolation"; },
          [](const OutsideTimeWindow&) { return "OutsideTimeWindow"; },
          [](const ConfigAttestationMismatch&) { return "ConfigAttestationMismatch"; },
          [](const ChainValidationFailed&) { return "ChainValidationFailed"; },
          [](const SignatureInvalid&) { return "SignatureInvalid"; },
          [](const Custom&) { return "Custom"; },
      },
      v);
}

void visit_fields(const ConstraintViolation& v, ViolationFields& fields) {
  using namespace violation;
  std::visit(Overloaded{
                 [](const Expired&) {},
                 [](const NotYetValid&) {},
                 [](const ScopeNotCovered&) {},
                 [](const Revoked&) {},
                 [&](const RateLimitExceeded& x) {
                   fields.text("limit_type", x.limit_type);
                   fields.number("limit", x.limit);
                   fields.number("current", x.current);
                 },
                 [&](const IpBlocked& x) {
                   fields.text("ip", x.ip);
                   fields.text("reason", x.reason);
                 },
                 [&](const InsufficientTrustLevel& x) {
                   fields.text("required", x.required);
                   fields.text("actual", x.actual);
                 },
                 [&](const DelegationDepthExceeded& x) {
                   fields.number("max_depth", x.max_depth);
                   fields.number("actual_depth", x.actual_depth);
                 },
                 [&](const GeofenceViolation& x) {
                   fields.text("country", x.country);
                   fields.list("allowed", x.allowed);
                 },
                 [](const OutsideTimeWindow&) {},
                 [&](const ConfigAttestationMismatch& x) {
                   fields.text("expected", x.expected);
                   fields.optional("actual", x.actual);
                 },
                 [&](const ChainValidationFailed& x) { fields.unnamed(x.text); },
                 [](const SignatureInvalid&) {},
                 [&](const Custom& x) { fields.unnamed(x.text); },
             },
             v);
}

std::string render_violation(const ConstraintViolation& v) {
  std::string out(violation_name(v));
  Fields fields(out);
  visit_fields(v, fields);
  fields.close();
  return out;
}

}  // namespace quorvex
