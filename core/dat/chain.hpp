#pragma once

// Re-delegation: a holder-bound token delegated onwards, each child carrying its ancestors'
// texts in delegationChain, root first; and the whole check of a request against such a token.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "core/base/result.hpp"
#include "core/dat/evaluate.hpp"
#include "core/dat/proof.hpp"
#include "core/dat/token.hpp"
#include "core/dat/violation.hpp"

namespace quorvex::dat {

// The most links a chain may carry, and the longest text a chained token may have: each link
// carries the texts of all above it, so a chain's text about doubles with every link.
inline constexpr std::size_t kMaxChainLinks = 16;
inline constexpr std::size_t kMaxChainBytes = std::size_t{1} << 20;

// read_chain parses the tokens of leaf's delegationChain, root first, checking only that they
// are tokens; their own chains are compared, not parsed again. Fails with
// DelegationChainInvalid when the chain has more than kMaxChainLinks links ("the chain has
// 17 links, more than 16"), the token's text is longer than kMaxChainBytes, or a link is no
// token ("link 1 cannot be read: ...").
Result<std::vector<Dat>> read_chain(const Dat& leaf);

// Delegation is what the holder of a token hands on to a sub-agent.
struct Delegation {
  std::string subject;
  std::vector<std::string> scope;
  std::int64_t expires_in = 0;
  std::optional<crypto::PublicKey> holder;
  std::optional<DatConstraints> constraints;
};

// delegate signs a child of parent with key, which must be the key parent binds: iss is the
// parent's sub, delegationChain the parent's chain followed by its text, nbf no earlier than
// the parent's. It refuses to widen anything. Fails with Other, naming the fault, when the
// parent binds no key or another one, a scope is not covered by a parent scope, the child
// would outlive the parent, a link's maxDelegationDepth allows no more links below it, or the
// chain would pass kMaxChainLinks links or kMaxChainBytes; as read_chain for the parent's chain.
Result<Dat> delegate(const Dat& parent, Delegation delegation, const crypto::KeyPair& key,
                     std::int64_t now_seconds, std::uint64_t now_millis);

// A refused proof of possession: none where the token binds a key, one that does not hold, or
// one seen before.
enum class ProofFault : std::uint8_t { Required, Invalid, Replayed };
struct ProofRefusal {
  ProofFault fault = ProofFault::Invalid;
  std::string text;
};
using Refusal = std::variant<ConstraintViolation, ProofRefusal>;

// AuthorizeRequest is a request to check a token, its chain and its proof against.
struct AuthorizeRequest {
  VerifyRequest verify;                     // public_key is the root issuer's
  std::optional<std::size_t> revoked_link;  // the first link whose jti is revoked, root 0
  std::optional<std::string_view> proof;
  std::string_view method;
  std::string_view url;
  std::int64_t proof_window = kDefaultProofWindow;
};

// Verdict is the outcome of authorize_token: a refusal, or the checked proof (if any).
struct Verdict {
  std::optional<Refusal> refusal;
  std::optional<ProofFacts> proof;
};

// authorize_token checks leaf, whose chain read_chain gave, in this order:
// - a token without a chain: its signature with the request's key, failing as verify_token;
// - a chain, link by link from the root: the root's signature with the request's key; for each
//   further link, that its own chain is the links above it, its iss is its parent's sub, its
//   kid names that DID's key, its signature checks with the key its parent binds, and it
//   widens neither scope nor lifetime. The first fault is ChainValidationFailed("link N: ...");
// - a revoked link: Revoked;
// - the proof: required (Required) when leaf binds a key, checked (Invalid) as check_proof
//   does whenever given;
// - every link's timing, scope and constraints as evaluate_request judges them, root first,
//   link i seeing the delegation depth max(context's, chain length) - i.
// Fails with InvalidDat when leaf's cnf names no key.
Result<Verdict> authorize_token(const Dat& leaf, const std::vector<Dat>& chain,
                                const AuthorizeRequest& request);

}  // namespace quorvex::dat
