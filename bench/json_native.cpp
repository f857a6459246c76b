// The JSON reader's fast path against the parser alone, per record kind: read<T>() (the
// scanner, falling back to the parser) and a Reader driven by the parser. Prints one line
// per record with both times and their ratio; the fast path earns its place only where the
// ratio is clearly above 1.
#include <sodium.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

#include "core/aid/builder.hpp"
#include "core/aid/document_json.hpp"
#include "core/base/clock.hpp"
#include "core/dat/token.hpp"
#include "core/dat/token_json.hpp"
#include "core/json/reader.hpp"
#include "core/receipt/log.hpp"
#include "core/receipt/receipt.hpp"

namespace {

namespace json = quorvex::json;

template <typename F>
double best_ns_per_call(F&& f, int calls, int repeats = 7) {
  double best = 1e300;
  for (int r = 0; r < repeats; ++r) {
    const auto start = std::chrono::steady_clock::now();
    for (int i = 0; i < calls; ++i) f();
    const auto end = std::chrono::steady_clock::now();
    best = std::min(best, std::chrono::duration<double, std::nano>(end - start).count() / calls);
  }
  return best;
}

template <typename T>
void compare(const char* name, const std::string& text, int calls) {
  volatile bool sink = false;
  const double quick = best_ns_per_call([&] { sink = json::read<T>(text).has_value(); }, calls);
  const double parser = best_ns_per_call(
      [&] {
        T value;
        sink = json::Reader(text, json::slot_of(value)).parse(false);
      },
      calls);
  if (!json::read<T>(text)) std::printf("%s: the text does not read\n", name);
  std::printf("%-28s %6zu bytes  read %9.0f ns  parser alone %9.0f ns  %5.2fx\n", name, text.size(),
              quick, parser, parser / quick);
}

// A token's claims carrying every constraint, as the Python benchmark signs them.
constexpr const char* kClaims =
    R"({"iss":"did:aid:example.com:principal","sub":"did:aid:example.com:agent-7",)"
    R"("iat":1767225600,"exp":1767229200,"nbf":1767225600,)"
    R"("jti":"dat_01J00000000000000000000000",)"
    R"("scope":["mcp:tool:filesystem:read","mcp:tool:search:*"],)"
    R"("constraints":{"maxActions":1000,"allowedServers":["srv-a.example.com","srv-b.example.com"],)"
    R"("requireReceipt":true,"rateLimit":{"max_actions":100,"window_secs":3600},)"
    R"("ipAllowlist":["10.0.0.0/8","192.168.0.0/16","2001:db8::/32"],)"
    R"("ipDenylist":["10.9.9.9/32"],"minTrustLevel":2,"maxDelegationDepth":3,)"
    R"("allowedCountries":["DE","FR","US"],)"
    R"("timeWindows":[{"start_hour":0,"end_hour":23,"days_of_week":[0,1,2,3,4,5,6]},)"
    R"({"start_hour":22,"end_hour":6}],)"
    R"("requiredConfigHash":"blake3:0123456789abcdef0123456789abcdef0123456789abcdef0123456789abcdef"},)"
    R"("delegationChain":[]})";

constexpr const char* kShortClaims =
    R"({"iss":"did:aid:example.com:principal","sub":"did:aid:example.com:agent-7",)"
    R"("iat":1767225600,"exp":1767229200,"nbf":1767225600,)"
    R"("jti":"dat_01J00000000000000000000000","scope":["mcp:tool:filesystem:read"]})";

constexpr const char* kHeader =
    R"({"alg":"EdDSA","typ":"quorvex-dat+jwt","kid":"did:aid:example.com:principal#key-ed25519"})";

}  // namespace

int main() {
  if (sodium_init() < 0) return 1;
  const auto key = quorvex::crypto::KeyPair::generate();
  compare<quorvex::dat::DatClaims>("token claims, every member", kClaims, 100000);
  compare<quorvex::dat::DatClaims>("token claims, no constraints", kShortClaims, 200000);
  compare<quorvex::dat::DatHeader>("token header", kHeader, 400000);

  quorvex::aid::AidBuilder builder;
  builder.id("did:aid:example.com:agent-7");
  builder.controller("did:aid:example.com:principal");
  builder.name("agent-7");
  builder.description("Reads files for the research team");
  builder.model("m-1");
  builder.trust_level("L2");
  builder.add_ed25519_key(key);
  const auto document = builder.build(quorvex::now());
  const auto document_text = quorvex::aid::document_to_json(*document);
  compare<quorvex::aid::AidDocument>("AID document", *document_text, 50000);

  quorvex::receipt::ReceiptLog log;
  const std::string data(64, 'x');
  const quorvex::crypto::ByteView bytes(reinterpret_cast<const std::uint8_t*>(data.data()),
                                        data.size());
  for (int i = 0; i < 100; ++i) {
    const quorvex::receipt::ActionInput action{"did:aid:example.com:agent-7",
                                               "dat_01JGZ8Y4R3X0P9Q7V5T2M6K1NB",
                                               "mcp:tool-call",
                                               bytes,
                                               "files.example.com",
                                               "read_file",
                                               bytes,
                                               "success",
                                               12,
                                               "s-1"};
    if (!log.append(action, key, quorvex::now())) return 1;
  }
  compare<std::vector<quorvex::receipt::PrintedReceipt>>("printed log, 100 receipts",
                                                         *log.to_json(), 500);
  return 0;
}
