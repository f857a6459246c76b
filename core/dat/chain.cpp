#include "core/dat/chain.hpp"

#include <algorithm>
#include <string>
#include <utility>

#include "core/base/text.hpp"
#include "core/crypto/ulid.hpp"
#include "core/dat/scope.hpp"

namespace quorvex::dat {
namespace {

Failure chain_invalid(std::string text) {
  return fail(ErrorKind::DelegationChainInvalid, std::move(text));
}

std::string excerpt(std::string_view text) {
  std::string out;
  append_debug_excerpt(out, text);
  return out;
}

std::string links_text(std::size_t count) {
  return std::to_string(count) + " links, more than " + std::to_string(kMaxChainLinks);
}

// covered_by: whether some scope of granted covers requested; a text that does not parse
// covers nothing and is covered by nothing.
bool covered_by(const std::vector<std::string>& granted, std::string_view requested) noexcept {
  const auto wanted = split_scope(requested);
  if (!wanted) return false;
  return std::any_of(granted.begin(), granted.end(), [&](const std::string& text) {
    const auto parts = split_scope(text);
    return parts && parts_cover(*parts, *wanted);
  });
}

// widening names what child claims beyond parent, or is empty.
std::string widening(const DatClaims& parent, const DatClaims& child) {
  for (const std::string& scope : child.scope) {
    if (!covered_by(parent.scope, scope)) {
      return "scope " + excerpt(scope) + " is not covered by its parent's scope";
    }
  }
  if (child.exp > parent.exp) return "it expires after its parent";
  if (child.nbf < parent.nbf) return "it is valid before its parent";
  return {};
}

// chain_is_prefix: whether a link's own chain is the first count texts of the leaf's chain.
bool chain_is_prefix(const DatClaims& link, const std::vector<std::string>& texts,
                     std::size_t count) {
  if (!link.delegation_chain) return count == 0;
  const std::vector<std::string>& own = *link.delegation_chain;
  return own.size() == count && std::equal(own.begin(), own.end(), texts.begin());
}

ConstraintViolation broken(std::size_t link, std::string_view why) {
  return violation::ChainValidationFailed{"link " + std::to_string(link) + ": " + std::string(why)};
}

// check_links checks every link's signature and its place in the chain; the first fault.
std::optional<ConstraintViolation> check_links(const Dat& leaf, const std::vector<Dat>& chain,
                                               const crypto::PublicKey& root_key) {
  const std::vector<std::string>& texts = *leaf.claims().delegation_chain;
  const auto link_at = [&](std::size_t i) -> const Dat& {
    return i < chain.size() ? chain[i] : leaf;
  };
  if (!chain_is_prefix(chain[0].claims(), texts, 0)) {
    return broken(0, "the root carries a delegation chain of its own");
  }
  if (!chain[0].verify_signature(root_key)) {
    return broken(0, "its signature does not verify with its issuer's key");
  }
  for (std::size_t i = 1; i <= chain.size(); ++i) {
    const Dat& parent = link_at(i - 1);
    const Dat& link = link_at(i);
    if (i < chain.size() && !chain_is_prefix(link.claims(), texts, i)) {
      return broken(i, "its delegationChain is not the links above it");
    }
    if (link.claims().iss != parent.claims().sub) {
      return broken(i, "its iss is not the sub of link " + std::to_string(i - 1));
    }
    if (auto kid = link.check_key_id(); !kid) return broken(i, kid.error().text());
    auto key = parent.bound_key();
    if (!key || !*key) {
      return broken(i, "link " + std::to_string(i - 1) + " binds no key to check it with");
    }
    if (!link.verify_signature(**key)) {
      return broken(
          i, "its signature does not verify with the key link " + std::to_string(i - 1) + " binds");
    }
    if (std::string why = widening(parent.claims(), link.claims()); !why.empty()) {
      return broken(i, why);
    }
  }
  return std::nullopt;
}

}  // namespace

Result<std::vector<Dat>> read_chain(const Dat& leaf) {
  std::vector<Dat> links;
  const auto& texts = leaf.claims().delegation_chain;
  if (!texts || texts->empty()) return links;
  if (texts->size() > kMaxChainLinks) {
    return chain_invalid("the chain has " + links_text(texts->size()));
  }
  if (leaf.signing_input().size() > kMaxChainBytes) {
    return chain_invalid("the token is longer than " + std::to_string(kMaxChainBytes) + " bytes");
  }
  links.reserve(texts->size());
  for (std::size_t i = 0; i < texts->size(); ++i) {
    auto link = Dat::from_compact((*texts)[i]);
    if (!link) {
      return chain_invalid("link " + std::to_string(i) + " cannot be read: " + link.error().text());
    }
    links.push_back(std::move(*link));
  }
  return links;
}

Result<Dat> delegate(const Dat& parent, Delegation delegation, const crypto::KeyPair& key,
                     std::int64_t now_seconds, std::uint64_t now_millis) {
  auto bound = parent.bound_key();
  if (!bound || !*bound) {
    return fail(ErrorKind::Other,
                "the parent token binds no holder key, so it cannot be delegated");
  }
  if (**bound != key.public_key_bytes()) {
    return fail(ErrorKind::Other, "signing_key is not the key the parent token binds");
  }
  auto ancestors = read_chain(parent);
  if (!ancestors) return fail(std::move(ancestors).error());
  const std::size_t position = ancestors->size() + 1;  // the child's, the root's being 0
  if (position > kMaxChainLinks) {
    return fail(ErrorKind::Other, "the chain would have " + links_text(position));
  }
  for (std::size_t j = 0; j < position; ++j) {
    const DatClaims& above = j < ancestors->size() ? (*ancestors)[j].claims() : parent.claims();
    if (!above.constraints || !above.constraints->max_delegation_depth) continue;
    const std::uint32_t allowed = *above.constraints->max_delegation_depth;
    if (position - j > allowed) {
      return fail(ErrorKind::Other, "link " + std::to_string(j) + "'s maxDelegationDepth " +
                                        std::to_string(allowed) + " allows no further link");
    }
  }
  for (const std::string& scope : delegation.scope) {
    if (!covered_by(parent.claims().scope, scope)) {
      return fail(ErrorKind::Other,
                  "scope " + excerpt(scope) + " is not covered by the parent token's scope");
    }
  }
  auto expiry = expiry_after(now_seconds, delegation.expires_in);
  if (!expiry) return fail(std::move(expiry).error());
  if (*expiry > parent.claims().exp) {
    return fail(ErrorKind::Other, "the child would outlive the parent token, which expires at " +
                                      std::to_string(parent.claims().exp));
  }

  DatClaims claims;
  claims.iss = parent.claims().sub;
  claims.sub = std::move(delegation.subject);
  claims.iat = now_seconds;
  claims.exp = *expiry;
  claims.nbf = std::max(now_seconds, parent.claims().nbf);
  claims.jti = crypto::new_dat_id(now_millis);
  claims.scope = std::move(delegation.scope);
  claims.constraints = std::move(delegation.constraints);
  std::vector<std::string>& chain = claims.delegation_chain.emplace();
  if (parent.claims().delegation_chain) chain = *parent.claims().delegation_chain;
  chain.push_back(parent.compact_text());
  std::size_t bytes = 0;
  for (const std::string& text : chain) bytes += text.size();
  if (bytes > kMaxChainBytes / 2) {  // base64url makes the child's text 4/3 of its claims
    return fail(ErrorKind::Other,
                "the child would be longer than " + std::to_string(kMaxChainBytes) + " bytes");
  }
  if (delegation.holder) claims.cnf = confirmation_of(*delegation.holder);
  return Dat::sign(std::move(claims), key);
}

Result<Verdict> authorize_token(const Dat& leaf, const std::vector<Dat>& chain,
                                const AuthorizeRequest& request) {
  Verdict verdict;
  if (chain.empty()) {
    if (auto signature = leaf.verify_signature(request.verify.public_key); !signature) {
      return fail(signature.error());
    }
  } else if (auto fault = check_links(leaf, chain, request.verify.public_key)) {
    verdict.refusal = std::move(*fault);
    return verdict;
  }
  if (request.revoked_link) {
    verdict.refusal = violation::Revoked{};
    return verdict;
  }

  auto bound = leaf.bound_key();
  if (!bound) return fail(std::move(bound).error());
  if (*bound && !request.proof) {
    verdict.refusal = ProofRefusal{ProofFault::Required,
                                   "the token is bound to its holder's key: the request must "
                                   "carry a proof of possession"};
    return verdict;
  }
  if (request.proof) {
    const std::string token = leaf.compact_text();
    ProofRequest proof{*request.proof,      token, request.method, request.url, request.verify.now,
                       request.proof_window};
    auto facts = check_proof(proof, *bound);
    if (!facts) {
      verdict.refusal = ProofRefusal{ProofFault::Invalid, facts.error().text()};
      return verdict;
    }
    verdict.proof = std::move(*facts);
  }

  const std::uint32_t depth = std::max<std::uint32_t>(request.verify.context.delegation_depth,
                                                      static_cast<std::uint32_t>(chain.size()));
  for (std::size_t i = 0; i <= chain.size(); ++i) {
    const Dat& link = i < chain.size() ? chain[i] : leaf;
    if (auto refused = evaluate_request(link.claims(), request.verify,
                                        depth - static_cast<std::uint32_t>(i))) {
      verdict.refusal = std::move(*refused);
      verdict.proof.reset();
      return verdict;
    }
  }
  return verdict;
}

}  // namespace quorvex::dat
