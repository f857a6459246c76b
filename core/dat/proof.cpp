#include "core/dat/proof.hpp"

#include <algorithm>
#include <array>
#include <span>
#include <string>
#include <string_view>
#include <tuple>
#include <utility>
#include <vector>

#include "core/base/random.hpp"
#include "core/base/text.hpp"
#include "core/crypto/digest.hpp"
#include "core/crypto/encoding.hpp"
#include "core/crypto/jwk.hpp"
#include "core/json/reader.hpp"
#include "core/json/schema.hpp"
#include "core/json/writer.hpp"

namespace quorvex::dat {

// The members of a proof's header and claims this verifier reads; others are skipped.
struct ProofHeader {  // NOLINT(bugprone-exception-escape)
  std::optional<std::string> typ;
  std::optional<std::string> alg;
  std::optional<crypto::JwkRecord> jwk;
  std::optional<nlohmann::json> crit;
};

struct ProofClaims {
  std::optional<std::string> jti;
  std::optional<std::string> htm;
  std::optional<std::string> htu;
  std::optional<std::int64_t> iat;
  std::optional<std::string> ath;
};

}  // namespace quorvex::dat

namespace quorvex::json {

template <>
struct Schema<dat::ProofHeader> {
  static constexpr std::string_view name = "ProofHeader";
  static constexpr bool strict = false;
  static constexpr auto fields = std::tuple{
      field("typ", &dat::ProofHeader::typ),
      field("alg", &dat::ProofHeader::alg),
      field("jwk", &dat::ProofHeader::jwk),
      field("crit", &dat::ProofHeader::crit),
  };
};

template <>
struct Schema<dat::ProofClaims> {
  static constexpr std::string_view name = "ProofClaims";
  static constexpr bool strict = false;
  static constexpr auto fields = std::tuple{
      field("jti", &dat::ProofClaims::jti), field("htm", &dat::ProofClaims::htm),
      field("htu", &dat::ProofClaims::htu), field("iat", &dat::ProofClaims::iat),
      field("ath", &dat::ProofClaims::ath),
  };
};

}  // namespace quorvex::json

namespace quorvex::dat {
namespace {

constexpr std::string_view kProofType = "dpop+jwt";
constexpr std::string_view kAlgorithm = "EdDSA";
constexpr std::size_t kProofIdRandomBytes = 16;

std::span<const std::uint8_t> bytes_of(std::string_view text) noexcept {
  return {reinterpret_cast<const std::uint8_t*>(text.data()), text.size()};
}

char ascii_lower(char c) noexcept { return c >= 'A' && c <= 'Z' ? static_cast<char>(c + 32) : c; }

std::string lower(std::string_view text) {
  std::string out(text);
  std::transform(out.begin(), out.end(), out.begin(), ascii_lower);
  return out;
}

Failure url_refused(std::string_view url) {
  std::string text = "url must be an absolute http or https URL, got: ";
  append_debug_excerpt(text, url);
  return fail(ErrorKind::Other, std::move(text));
}

// token_hash: the unpadded base64url of SHA-256 over the token's text.
std::string token_hash(std::string_view token) {
  return crypto::base64url_encode(crypto::sha256(token));
}

Failure refused(std::string text) { return fail(ErrorKind::Other, std::move(text)); }

// excerpt: a claim's value in a refusal, escaped and cut short as every echoed text is.
std::string excerpt(std::string_view value) {
  std::string out;
  append_debug_excerpt(out, value);
  return out;
}

}  // namespace

Result<std::string> target_uri(std::string_view url) {
  for (const char c : url) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte <= 0x20 || byte == 0x7f) return url_refused(url);
  }
  const std::size_t scheme_end = url.find("://");
  if (scheme_end == std::string_view::npos) return url_refused(url);
  const std::string scheme = lower(url.substr(0, scheme_end));
  if (scheme != "http" && scheme != "https") return url_refused(url);
  const std::string_view rest = url.substr(scheme_end + 3);
  const std::size_t authority_end = std::min(rest.find_first_of("/?#"), rest.size());
  std::string_view authority = rest.substr(0, authority_end);
  std::string_view path = rest.substr(authority_end);
  path = path.substr(0, std::min(path.find_first_of("?#"), path.size()));
  // A user name in the URL is not part of the resource, and no client sends one.
  if (authority.find('@') != std::string_view::npos) return url_refused(url);
  // The port follows the last colon, unless that colon is inside an IPv6 literal.
  std::string_view host = authority;
  std::string_view port;
  const std::size_t colon = authority.rfind(':');
  if (colon != std::string_view::npos && authority.find(']', colon) == std::string_view::npos) {
    host = authority.substr(0, colon);
    port = authority.substr(colon + 1);
    if (!std::all_of(port.begin(), port.end(), [](char c) { return c >= '0' && c <= '9'; })) {
      return url_refused(url);
    }
  }
  if (host.empty()) return url_refused(url);
  // A colon or a bracket belongs in a host only as an IPv6 literal, "[" ... "]"; elsewhere it
  // would make the normal form read differently the second time.
  const bool literal = host.front() == '[' && host.back() == ']' && host.size() > 2;
  const std::string_view inner = literal ? host.substr(1, host.size() - 2) : host;
  if (inner.find_first_of(literal ? "[]" : ":[]") != std::string_view::npos) {
    return url_refused(url);
  }
  const std::string_view default_port = scheme == "http" ? "80" : "443";
  std::string out = scheme;
  out += "://";
  out += lower(host);
  if (!port.empty() && port != default_port) {
    out += ':';
    out += port;
  }
  if (path.empty()) {
    out += '/';
  } else {
    out += path;
  }
  return out;
}

Result<void> check_proof_window(std::int64_t window) {
  if (window < 1 || window > kMaxProofWindow) {
    return fail(ErrorKind::Other, "proof_window must be between 1 and 3600 seconds");
  }
  return ok();
}

Result<std::string> make_proof(const crypto::KeyPair& key, std::string_view token,
                               std::string_view method, std::string_view url,
                               std::int64_t now_seconds) {
  if (method.empty()) return fail(ErrorKind::Other, "method must not be empty");
  auto htu = target_uri(url);
  if (!htu) return fail(std::move(htu).error());
  std::array<std::uint8_t, kProofIdRandomBytes> id{};
  fill_fast_random(id.data(), id.size());

  std::string header;
  {
    const crypto::PublicJwk jwk = crypto::public_jwk(key.public_key_bytes());
    json::Writer w(header);
    w.begin_object();
    w.field("typ");
    w.ascii_text(kProofType);
    w.field("alg");
    w.ascii_text(kAlgorithm);
    w.field("jwk");
    w.begin_object();
    w.field("kty");
    w.ascii_text(jwk.kty);
    w.field("crv");
    w.ascii_text(jwk.crv);
    w.field("x");
    w.ascii_text(jwk.x);
    w.end_object();
    w.end_object();
  }
  std::string claims;
  {
    json::Writer w(claims);
    w.begin_object();
    w.field("jti");
    w.ascii_text(crypto::base64url_encode(id));
    w.field("htm");
    w.text(method);
    w.field("htu");
    w.text(*htu);
    w.field("iat");
    w.signed_integer(now_seconds);
    w.field("ath");
    w.ascii_text(token_hash(token));
    w.end_object();
    if (auto written = w.finish(); !written) return fail(written.error());
  }
  std::string out = crypto::base64url_encode(bytes_of(header));
  out += '.';
  crypto::base64url_encode_append(out, bytes_of(claims));
  const crypto::Signature signature = key.sign(bytes_of(out));
  out += '.';
  crypto::base64url_encode_append(out, signature);
  return out;
}

Result<ProofFacts> check_proof(const ProofRequest& request,
                               const std::optional<crypto::PublicKey>& bound_key) {
  const std::string_view proof = request.proof;
  if (proof.size() > kMaxProofBytes) {
    return refused("proof is longer than " + std::to_string(kMaxProofBytes) + " bytes");
  }
  const std::size_t first_dot = proof.find('.');
  const std::size_t second_dot =
      first_dot == std::string_view::npos ? first_dot : proof.find('.', first_dot + 1);
  if (second_dot == std::string_view::npos ||
      proof.find('.', second_dot + 1) != std::string_view::npos) {
    return refused("proof must be a compact JWS of 3 parts");
  }
  auto header_json = crypto::base64url_decode(proof.substr(0, first_dot));
  auto claims_json =
      crypto::base64url_decode(proof.substr(first_dot + 1, second_dot - first_dot - 1));
  auto signature = crypto::base64url_decode(proof.substr(second_dot + 1));
  if (!header_json || !claims_json || !signature) {
    return refused("proof must be a compact JWS of 3 base64url parts");
  }
  const auto text_of = [](const std::vector<std::uint8_t>& bytes) {
    return std::string_view(reinterpret_cast<const char*>(bytes.data()), bytes.size());
  };
  auto header = json::read<ProofHeader>(text_of(*header_json));
  if (!header) return refused("proof header cannot be read: " + header.error().text());
  if (header->typ != kProofType) return refused("proof header typ must be \"dpop+jwt\"");
  if (header->alg != kAlgorithm) return refused("proof header alg must be \"EdDSA\"");
  if (header->crit) return refused("proof header has crit members this verifier does not know");
  std::optional<crypto::PublicKey> key;
  if (header->jwk && !header->jwk->d) {
    crypto::JwkMembers members;
    members.kty = header->jwk->kty;
    members.crv = header->jwk->crv;
    members.x = header->jwk->x;
    if (auto read = crypto::public_key_from_jwk(members)) key = *read;
  }
  if (!key) return refused("proof header jwk must be an Ed25519 public key");
  if (bound_key && *bound_key != *key) {
    return refused("proof is signed with a key other than the one the token binds");
  }
  if (!crypto::KeyPair::verify_signature(*key, bytes_of(proof.substr(0, second_dot)), *signature)) {
    return refused("proof signature does not verify with its jwk");
  }

  auto claims = json::read<ProofClaims>(text_of(*claims_json));
  if (!claims) return refused("proof claims cannot be read: " + claims.error().text());
  if (!claims->jti || claims->jti->empty() || claims->jti->size() > kMaxProofIdBytes) {
    return refused("proof jti must be 1 to " + std::to_string(kMaxProofIdBytes) + " bytes");
  }
  if (claims->htm != request.method) {
    return refused("proof htm " + excerpt(claims->htm.value_or("")) +
                   " is not the request's method " + excerpt(request.method));
  }
  auto expected_uri = target_uri(request.url);
  if (!expected_uri) return fail(std::move(expected_uri).error());
  auto given_uri = claims->htu ? target_uri(*claims->htu) : Result<std::string>(std::string());
  if (!given_uri || *given_uri != *expected_uri) {
    return refused("proof htu " + excerpt(claims->htu.value_or("")) + " is not the request's URL " +
                   excerpt(*expected_uri));
  }
  if (claims->ath != token_hash(request.token)) {
    return refused("proof ath is not the hash of this token");
  }
  if (!claims->iat) return refused("proof has no iat");
  const std::int64_t iat = *claims->iat;
  // The gap is taken without sign, where it cannot overflow: iat may be any 64-bit value.
  const auto gap = [](std::int64_t later, std::int64_t earlier) {
    return static_cast<std::uint64_t>(later) - static_cast<std::uint64_t>(earlier);
  };
  const auto window = static_cast<std::uint64_t>(request.window);
  const bool too_old = iat < request.now && gap(request.now, iat) > window;
  const bool too_new = iat > request.now && gap(iat, request.now) > window;
  if (too_old || too_new) {
    return refused("proof iat " + std::to_string(iat) + " is not within " +
                   std::to_string(request.window) + " seconds of now");
  }
  return ProofFacts{*key, std::move(*claims->jti), iat};
}

}  // namespace quorvex::dat
