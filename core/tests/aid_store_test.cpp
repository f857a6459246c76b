#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
#include <sstream>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "core/aid/store.hpp"
#include "core/crypto/encoding.hpp"
#include "core/tests/aid_test_util.hpp"

namespace quorvex::aid {
namespace {

namespace fs = std::filesystem;
using test_util::expect_error;
using test_util::kCreated;
using test_util::key;
using test_util::to_json;

// A fresh directory under the test temp dir, removed afterwards.
class StoreTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = fs::path(::testing::TempDir()) /
           ("aid_store_" +
            std::string(::testing::UnitTest::GetInstance()->current_test_info()->name()));
    fs::remove_all(dir_);
    fs::create_directories(dir_);
  }
  void TearDown() override {
    std::error_code ignored;
    fs::permissions(dir_, fs::perms::owner_all, fs::perm_options::add, ignored);
    fs::remove_all(dir_, ignored);
  }

  static std::string read(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
  }
  static void write(const fs::path& path, std::string_view text) {
    std::ofstream(path, std::ios::binary) << text;
  }
  static Identity alice() {
    auto identity = create_identity("alice", "agents.test", std::nullopt, key(9), kCreated);
    EXPECT_TRUE(identity.has_value());
    return std::move(*identity);
  }
  std::vector<std::string> names() const {
    std::vector<std::string> out;
    for (const auto& entry : fs::directory_iterator(dir_)) {
      out.push_back(entry.path().filename().string());
    }
    std::sort(out.begin(), out.end());
    return out;
  }

  fs::path dir_;
};

TEST_F(StoreTest, CreateDrivesTheBuilder) {
  const Identity id = alice();
  EXPECT_EQ(id.did, "did:aid:agents.test:alice");
  EXPECT_EQ(id.document.controller, "did:aid:agents.test:controller");
  EXPECT_EQ(id.document.verification_method[0].controller, "did:aid:agents.test:controller");
  EXPECT_EQ(id.document.trust_level, "L0");
  auto other = create_identity("bob", "x.y", "did:web:z", key(1), kCreated);
  ASSERT_TRUE(other.has_value());
  EXPECT_EQ(other->document.verification_method[0].controller, "did:web:z");
  const std::string prefix = "invalid AID identifier: ";
  expect_error(create_identity("Alice", "x.y", std::nullopt, key(1), kCreated),
               ErrorKind::InvalidAid,
               prefix + "local name must be lowercase alphanumeric with hyphens: Alice");
  expect_error(create_identity("a", "localhost", std::nullopt, key(1), kCreated),
               ErrorKind::InvalidAid, prefix + "invalid domain: localhost");
  expect_error(create_identity("a", "x.y", "alice", key(1), kCreated), ErrorKind::AidValidation,
               "AID document validation failed: controller must be a valid DID");
}

TEST_F(StoreTest, SavesFilesThatLoadBack) {
  const Identity id = alice();
  const fs::path target = dir_ / "a" / "b";
  ASSERT_TRUE(save_identity(target.string(), id, Instant{1767605400, 500'000'000}).has_value());
  EXPECT_EQ(read(target / "secret.key"), crypto::hex_encode(id.key.seed()));
  EXPECT_EQ(read(target / "aid.json"), to_json(id.document));
  EXPECT_EQ(read(target / "identity.json"),
            "{\n  \"created\": \"2026-01-05T09:30:00.500+00:00\",\n"
            "  \"did\": \"did:aid:agents.test:alice\",\n  \"version\": 1\n}");
  EXPECT_EQ(fs::status(target / "secret.key").permissions() & fs::perms::all,
            fs::perms::owner_read | fs::perms::owner_write);

  fs::remove(target / "identity.json");
  auto loaded = load_identity(target.string());
  ASSERT_TRUE(loaded.has_value()) << loaded.error().display();
  EXPECT_EQ(loaded->did, id.did);
  EXPECT_EQ(loaded->key.public_key_bytes(), id.key.public_key_bytes());
  EXPECT_EQ(to_json(loaded->document), read(target / "aid.json"));
}

TEST_F(StoreTest, ReplacesFilesAndTightensAnOldKeyFile) {
  write(dir_ / "secret.key", "old");
  fs::permissions(dir_ / "secret.key", fs::perms::all);
  write(dir_ / "aid.json", std::string(10000, 'x'));
  ASSERT_TRUE(save_identity(dir_.string(), alice(), kCreated).has_value());
  EXPECT_EQ(fs::status(dir_ / "secret.key").permissions() & fs::perms::all,
            fs::perms::owner_read | fs::perms::owner_write);
  EXPECT_EQ(read(dir_ / "aid.json"), to_json(alice().document));
  EXPECT_EQ(names(), (std::vector<std::string>{"aid.json", "identity.json", "secret.key"}));
}

TEST_F(StoreTest, FailedSaveLeavesTheDirectoryAsItWas) {
  fs::create_directory(dir_ / "aid.json");  // cannot be replaced by a file
  const auto result = save_identity(dir_.string(), alice(), kCreated);
  expect_error(result, ErrorKind::Other, "Failed to write AID: Is a directory (os error 21)");
  EXPECT_EQ(names(), (std::vector<std::string>{"aid.json"}));

  fs::remove(dir_ / "aid.json");
  fs::create_directory(dir_ / "identity.json");
  expect_error(save_identity(dir_.string(), alice(), kCreated), ErrorKind::Other,
               "Failed to write metadata: Is a directory (os error 21)");
  EXPECT_EQ(names(), (std::vector<std::string>{"identity.json"}));

  write(dir_ / "file", "");
  expect_error(save_identity((dir_ / "file" / "sub").string(), alice(), kCreated), ErrorKind::Other,
               "Failed to create directory: Not a directory (os error 20)");

  Identity bad = alice();
  bad.document.controller = "did:\xff";
  fs::create_directory(dir_ / "bad");
  expect_error(save_identity((dir_ / "bad").string(), bad, kCreated), ErrorKind::Other,
               "Serialization error: invalid UTF-8 byte at index 4: 0xff");
  EXPECT_TRUE(fs::is_empty(dir_ / "bad"));

  if (::geteuid() != 0) {  // root writes anywhere
    fs::create_directory(dir_ / "ro");
    fs::permissions(dir_ / "ro", fs::perms::owner_read | fs::perms::owner_exec);
    expect_error(save_identity((dir_ / "ro").string(), alice(), kCreated), ErrorKind::Other,
                 "Failed to write key: Permission denied (os error 13)");
  }
}

TEST_F(StoreTest, LoadFailsInOrder) {
  ASSERT_TRUE(save_identity(dir_.string(), alice(), kCreated).has_value());
  const std::string hex = read(dir_ / "secret.key");
  const std::string document = read(dir_ / "aid.json");
  const std::string upper = [&] {
    std::string s = hex;
    for (char& c : s) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return s;
  }();
  for (const std::string& text : {"\u3000 " + hex + "\r\n", upper}) {
    write(dir_ / "secret.key", text);
    auto loaded = load_identity(dir_.string());
    ASSERT_TRUE(loaded.has_value());
    EXPECT_EQ(crypto::hex_encode(loaded->key.seed()), hex);
  }

  struct Case {
    std::optional<std::string> key;
    std::optional<std::string> aid;
    ErrorKind kind;
    std::string display;
  };
  const std::string document_with = document.substr(0, document.find("\"controller\""));
  const std::vector<Case> cases = {
      {std::nullopt, std::nullopt, ErrorKind::Other,
       "Failed to read key: No such file or directory (os error 2)"},
      {"\xff", std::nullopt, ErrorKind::Other, "Failed to read key: file is not valid UTF-8"},
      {hex.substr(0, 63), std::nullopt, ErrorKind::InvalidKey,
       "invalid key material: Invalid key hex: Odd number of digits"},
      {"zz" + hex.substr(2), std::nullopt, ErrorKind::InvalidKey,
       "invalid key material: Invalid key hex: Invalid character 'z' at position 0"},
      {hex.substr(0, 62), std::nullopt, ErrorKind::InvalidKey,
       "invalid key material: Secret key must be 32 bytes"},
      {hex + "00", std::nullopt, ErrorKind::InvalidKey,
       "invalid key material: Secret key must be 32 bytes"},
      {hex, std::nullopt, ErrorKind::Other,
       "Failed to read AID: No such file or directory (os error 2)"},
      {hex, "{}", ErrorKind::Serialization,
       "serialization error: missing field `@context` at line 1 column 2"},
      {hex, document_with + "\"controller\": \"x\"" + document.substr(document.find(",\n  \"ver")),
       ErrorKind::AidValidation, "AID document validation failed: controller must be a valid DID"},
  };
  for (const Case& c : cases) {
    fs::remove(dir_ / "secret.key");
    fs::remove(dir_ / "aid.json");
    if (c.key) write(dir_ / "secret.key", *c.key);
    if (c.aid) write(dir_ / "aid.json", *c.aid);
    expect_error(load_identity(dir_.string()), c.kind, c.display);
  }
  // The key and the document are not checked against each other.
  write(dir_ / "secret.key", crypto::hex_encode(key(1).seed()));
  write(dir_ / "aid.json", document);
  EXPECT_TRUE(load_identity(dir_.string()).has_value());
}

TEST_F(StoreTest, HomeDirectoryAndTilde) {
  const char* saved_home = std::getenv("HOME");
  const char* saved_profile = std::getenv("USERPROFILE");
  const std::string home = saved_home ? saved_home : "";
  const std::string profile = saved_profile ? saved_profile : "";

  setenv("HOME", "/h", 1);
  setenv("USERPROFILE", "/p", 1);
  EXPECT_EQ(home_directory(), "/h");
  EXPECT_EQ(expand_tilde("~/ids/a"), "/h/ids/a");
  EXPECT_EQ(expand_tilde("~bob"), "/hbob");
  EXPECT_EQ(expand_tilde("a/~"), "a/~");
  EXPECT_EQ(default_identity_directory("did:aid:a.b:alice"), "/h/.quorvex/identities/alice");
  setenv("HOME", "/h\xff", 1);
  EXPECT_EQ(home_directory(), "/p");
  unsetenv("USERPROFILE");
  EXPECT_EQ(home_directory(), ".");
  unsetenv("HOME");
  EXPECT_EQ(default_identity_directory("did:aid:a.b:alice"), "./.quorvex/identities/alice");

  if (saved_home) setenv("HOME", home.c_str(), 1);
  if (saved_profile) setenv("USERPROFILE", profile.c_str(), 1);
}

}  // namespace
}  // namespace quorvex::aid
