#include "core/receipt/checkpoint.hpp"

#include <gtest/gtest.h>
#include <sodium.h>

#include <string>
#include <vector>

namespace quorvex::receipt {
namespace {

crypto::KeyPair key_of(std::uint8_t fill) {
  std::array<std::uint8_t, crypto::kSeedLen> seed{};
  seed.fill(fill);
  return crypto::KeyPair::from_seed(seed);
}

std::string b64(std::span<const std::uint8_t> bytes) {
  std::string out(sodium_base64_ENCODED_LEN(bytes.size(), sodium_base64_VARIANT_ORIGINAL), '\0');
  sodium_bin2base64(out.data(), out.size(), bytes.data(), bytes.size(),
                    sodium_base64_VARIANT_ORIGINAL);
  out.pop_back();
  return out;
}

Checkpoint sample() {
  Checkpoint c;
  c.origin = "example.com/receipts";
  c.size = 20852163;
  for (std::size_t i = 0; i < c.root.size(); ++i) c.root[i] = static_cast<std::uint8_t>(i * 7);
  return c;
}

TEST(CheckpointTest, SignedNoteIsTheFormatByteForByte) {
  const auto key = key_of(3);
  const Checkpoint c = sample();
  auto note = sign_checkpoint(c, key);
  ASSERT_TRUE(note);

  // Built here from the formats alone: the body, a blank line, then an em dash,
  // the key name and base64(key ID || Ed25519 signature over the body).
  const std::string body = "example.com/receipts\n20852163\n" + b64(c.root) + "\n";
  EXPECT_EQ(checkpoint_body(c), body);
  std::array<std::uint8_t, 32> digest{};
  std::string id_input = c.origin + "\n\x01";
  id_input.append(reinterpret_cast<const char*>(key.public_key_bytes().data()), 32);
  crypto_hash_sha256(digest.data(), reinterpret_cast<const unsigned char*>(id_input.data()),
                     id_input.size());
  std::vector<std::uint8_t> blob(digest.begin(), digest.begin() + 4);
  std::array<std::uint8_t, crypto_sign_BYTES> signature{};
  std::array<std::uint8_t, crypto_sign_SECRETKEYBYTES> secret{};
  std::array<std::uint8_t, crypto_sign_PUBLICKEYBYTES> public_key{};
  std::array<std::uint8_t, crypto::kSeedLen> seed{};
  seed.fill(3);
  crypto_sign_seed_keypair(public_key.data(), secret.data(), seed.data());
  crypto_sign_detached(signature.data(), nullptr,
                       reinterpret_cast<const unsigned char*>(body.data()), body.size(),
                       secret.data());
  blob.insert(blob.end(), signature.begin(), signature.end());
  EXPECT_EQ(*note, body + "\n\u2014 example.com/receipts " + b64(blob) + "\n");
  EXPECT_EQ(note_key_id(c.origin, key.public_key_bytes()),
            (std::uint32_t{digest[0]} << 24) | (std::uint32_t{digest[1]} << 16) |
                (std::uint32_t{digest[2]} << 8) | digest[3]);

  auto opened = open_checkpoint(*note, c.origin, key.public_key_bytes());
  ASSERT_TRUE(opened);
  EXPECT_EQ(opened->size, c.size);
  EXPECT_EQ(opened->root, c.root);
  auto read = read_checkpoint(*note);
  ASSERT_TRUE(read);
  EXPECT_EQ(read->origin, c.origin);

  for (const std::string_view origin : {"", "a b", "+a", "a\nb", "a\u00a0b", "a\u3000b"}) {
    Checkpoint bad = c;
    bad.origin = std::string(origin);
    auto refused = sign_checkpoint(bad, key);
    ASSERT_FALSE(refused) << origin;
    EXPECT_EQ(refused.error().kind(), ErrorKind::Other);
  }
}

TEST(CheckpointTest, OpeningRefusesEveryDamageWithItsReason) {
  const auto key = key_of(3);
  const auto other = key_of(4);
  const Checkpoint c = sample();
  const std::string note = *sign_checkpoint(c, key);
  const std::string by_other = *sign_checkpoint(c, other);
  const std::string other_line = by_other.substr(by_other.rfind("\n\n") + 2);
  const std::string our_line = note.substr(note.rfind("\n\n") + 2);
  const std::string body = checkpoint_body(c);

  // Other keys' signatures are ignored, before or after ours.
  EXPECT_TRUE(
      open_checkpoint(body + "\n" + other_line + our_line, c.origin, key.public_key_bytes()));
  std::string many = body + "\n";
  for (int i = 0; i < 99; ++i) many += other_line;
  EXPECT_TRUE(open_checkpoint(many + our_line, c.origin, key.public_key_bytes()));

  std::string flipped = note;
  flipped[3] = 'X';
  std::string extension = note;
  extension.insert(body.size(), "extension line\n");
  const struct {
    std::string note;
    std::string origin;
    std::string error;
  } cases[] = {
      {flipped, c.origin, "checkpoint signature does not verify"},
      {note, "example.com/other", "checkpoint has no signature by this key"},
      {by_other, c.origin, "checkpoint has no signature by this key"},
      {extension, c.origin, "checkpoint signature does not verify"},
      {body + other_line, c.origin, "checkpoint is malformed: no blank line before the signatures"},
      {body + "\n", c.origin, "checkpoint is malformed: no signature lines"},
      {note.substr(0, note.size() - 1), c.origin,
       "checkpoint is malformed: a signature line without its newline"},
      {many + other_line + our_line, c.origin, "checkpoint is malformed: more than 100 signatures"},
      {"example.com/receipts\n020852163\nAAAA\n\n" + our_line, c.origin,
       "checkpoint is malformed: the tree size is no number"},
      {"example.com/receipts\n1\nAAAA\n\n" + our_line, c.origin,
       "checkpoint is malformed: the root hash is not 32 bytes"},
      {"example.com/receipts\n1\n\n" + our_line, c.origin,
       "checkpoint is malformed: fewer than three lines of text"},
      {body + "\n- example.com/receipts AAAA\n", c.origin,
       "checkpoint is malformed: a signature line without its dash"},
      {body + "\n\u2014 example.com/receipts A\n", c.origin,
       "checkpoint is malformed: a signature line that is not a key name and a signature"},
      {std::string("x\tz\n1\n") + b64(c.root) + "\n\n" + our_line, c.origin,
       "checkpoint is malformed: not UTF-8 text without control characters"},
      {std::string("\xff\n1\n") + b64(c.root) + "\n\n" + our_line, c.origin,
       "checkpoint is malformed: not UTF-8 text without control characters"},
  };
  for (const auto& t : cases) {
    auto opened = open_checkpoint(t.note, t.origin, key.public_key_bytes());
    ASSERT_FALSE(opened) << t.error;
    EXPECT_EQ(opened.error().kind(), ErrorKind::InvalidReceipt);
    EXPECT_EQ(opened.error().text(), t.error);
  }

  // A note signed for another origin by the right key is that origin's.
  Checkpoint renamed = c;
  renamed.origin = "example.com/other";
  const std::string other_origin = *sign_checkpoint(renamed, key);
  const std::string misnamed = body + other_origin.substr(other_origin.rfind("\n\n") + 1);
  auto opened = open_checkpoint(misnamed, "example.com/other", key.public_key_bytes());
  ASSERT_FALSE(opened);
  EXPECT_EQ(opened.error().text(), "checkpoint signature does not verify");
}

TEST(ProofBundleTest, FormatsAndParsesEveryPartExactly) {
  ProofBundle bundle;
  bundle.index = 73894;
  bundle.proof = {merkle::leaf_hash("a"), merkle::leaf_hash("b")};
  bundle.checkpoint = "example.com/log\n3\n" + b64(merkle::leaf_hash("r")) + "\n\n\u2014 x y\n";
  const std::string text = format_proof_bundle(bundle);
  EXPECT_EQ(text, "c2sp.org/tlog-proof@v1\nindex 73894\n" + b64(bundle.proof[0]) + "\n" +
                      b64(bundle.proof[1]) + "\n\n" + bundle.checkpoint);
  auto parsed = parse_proof_bundle(text);
  ASSERT_TRUE(parsed);
  EXPECT_EQ(parsed->index, 73894U);
  EXPECT_EQ(parsed->proof, bundle.proof);
  EXPECT_EQ(parsed->checkpoint, bundle.checkpoint);
  EXPECT_TRUE(parsed->extra.empty());

  bundle.extra = {1, 2, 3};
  const std::string with_extra = format_proof_bundle(bundle);
  EXPECT_EQ(with_extra.substr(0, 40), "c2sp.org/tlog-proof@v1\nextra AQID\nindex ");
  EXPECT_EQ(format_proof_bundle(*parse_proof_bundle(with_extra)), with_extra);

  const std::string hash = b64(bundle.proof[0]) + "\n";
  std::string too_many = "c2sp.org/tlog-proof@v1\nindex 0\n";
  for (int i = 0; i < 65; ++i) too_many += hash;
  const struct {
    std::string text;
    std::string error;
  } cases[] = {
      {"c2sp.org/tlog-proof@v2\nindex 0\n\nx", "no c2sp.org/tlog-proof@v1 line"},
      {"c2sp.org/tlog-proof@v1\nindex 01\n\nx", "no index line"},
      {"c2sp.org/tlog-proof@v1\nindex -1\n\nx", "no index line"},
      {"c2sp.org/tlog-proof@v1\nindex 18446744073709551616\n\nx", "no index line"},
      {"c2sp.org/tlog-proof@v1\nextra !!\nindex 0\n\nx", "the extra data is not base64"},
      {"c2sp.org/tlog-proof@v1\nindex 0\nAAAA\n\nx", "a proof hash that is not 32 bytes"},
      {too_many + "\nx", "more than 64 proof hashes"},
      {"c2sp.org/tlog-proof@v1\nindex 0\n" + hash, "no blank line before the checkpoint"},
      {"c2sp.org/tlog-proof@v1\nindex 0\n\n", "no checkpoint"},
  };
  for (const auto& t : cases) {
    auto refused = parse_proof_bundle(t.text);
    ASSERT_FALSE(refused) << t.error;
    EXPECT_EQ(refused.error().text(), "proof bundle is malformed: " + t.error);
  }
}

}  // namespace
}  // namespace quorvex::receipt
