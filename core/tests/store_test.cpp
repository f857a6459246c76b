#include "core/aid/store.hpp"

#include <gtest/gtest.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "core/aid/document_json.hpp"
#include "core/aid/store_fs.hpp"
#include "core/crypto/encoding.hpp"
#include "core/crypto/keypair.hpp"

namespace quorvex::aid {
namespace {

namespace fs = std::filesystem;
using Names = std::vector<std::string>;

constexpr Instant kSavedAt{1767605400, 0};
const Names kSet = {"aid.json", "identity.json", "secret.key"};

// identity is the agent whose seed is 32 bytes of fill; a name gives the same
// key another DID and so another document.
Identity identity(std::uint8_t fill, std::string_view name = "agent") {
  std::array<std::uint8_t, crypto::kSeedLen> seed{};
  seed.fill(fill);
  auto made = create_identity(name, "agents.test", std::nullopt, crypto::KeyPair::from_seed(seed),
                              kSavedAt);
  EXPECT_TRUE(made.has_value());
  return std::move(*made);
}

template <typename T>
void expect_error(const Result<T>& result, std::string_view display) {
  ASSERT_FALSE(result.has_value()) << display;
  EXPECT_EQ(result.error().kind(), ErrorKind::Other);
  EXPECT_EQ(result.error().display(), display);
}

class StoreFsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    root_ =
        fs::path(::testing::TempDir()) /
        ("store_" + std::string(::testing::UnitTest::GetInstance()->current_test_info()->name()));
    fs::remove_all(root_);
    dir_ = root_ / "id";
    fs::create_directories(dir_);
  }
  void TearDown() override {
    std::error_code ignored;
    fs::permissions(dir_, fs::perms::owner_all, fs::perm_options::add, ignored);
    fs::remove_all(root_, ignored);
  }

  static Names names(const fs::path& dir) {
    Names out;
    for (const auto& entry : fs::directory_iterator(dir)) {
      out.push_back(entry.path().filename().string());
    }
    std::sort(out.begin(), out.end());
    return out;
  }
  static void write(const fs::path& path, std::string_view text) {
    std::ofstream(path, std::ios::binary) << text;
  }
  // loaded_fill is the seed fill byte of the identity dir loads, after
  // checking that its document names its key; 0 when the load fails.
  std::uint8_t loaded_fill() const { return loaded().first; }
  // loaded is the seed fill byte and the DID of the identity dir loads.
  std::pair<std::uint8_t, std::string> loaded() const {
    auto loaded = load_identity(dir_.string());
    if (!loaded) {
      ADD_FAILURE() << loaded.error().display();
      return {0, ""};
    }
    EXPECT_EQ(loaded->document.verification_method.at(0).public_key_multibase,
              crypto::multibase_base58btc(loaded->key.public_key_bytes()));
    return {loaded->key.seed()[0], loaded->did};
  }

  fs::path root_;
  fs::path dir_;
};

// A writer killed at some instant leaves a staging or a commit subdirectory;
// each state is finished by the next load or save as one whole set. A save
// checks whose key the directory holds only once that is done.
TEST_F(StoreFsTest, LeftoversRecoverToOneWholeSet) {
  const fs::path fresh = root_ / "fresh";
  ASSERT_TRUE(save_identity(fresh.string(), identity(2), kSavedAt).has_value());
  const fs::path staged = dir_ / ".quorvex-save.staged";
  const fs::path commit = dir_ / ".quorvex-save.commit";
  struct Case {
    const char* state;
    fs::path leftover;
    Names in_leftover;  // files of the new set still in the subdirectory
    Names moved;        // files of the new set already over the old ones
    std::uint8_t loads;
  };
  const std::vector<Case> cases = {
      {"empty staging", staged, {}, {}, 1},
      {"staged key", staged, {"secret.key"}, {}, 1},
      {"whole staged set", staged, kSet, {}, 1},
      {"whole commit", commit, kSet, {}, 2},
      {"document moved", commit, {"identity.json", "secret.key"}, {"aid.json"}, 2},
      {"key left", commit, {"secret.key"}, {"aid.json", "identity.json"}, 2},
      {"all moved", commit, {}, kSet, 2},
  };
  for (const bool by_load : {true, false}) {
    for (const Case& c : cases) {
      SCOPED_TRACE(std::string(c.state) + (by_load ? " by load" : " by save"));
      fs::remove_all(dir_);
      ASSERT_TRUE(save_identity(dir_.string(), identity(1), kSavedAt).has_value());
      fs::create_directory(c.leftover);
      for (const std::string& name : c.in_leftover) fs::copy_file(fresh / name, c.leftover / name);
      for (const std::string& name : c.moved) {
        fs::copy_file(fresh / name, dir_ / name, fs::copy_options::overwrite_existing);
      }
      if (by_load) {
        EXPECT_EQ(loaded_fill(), c.loads);
      } else {
        expect_error(save_identity(dir_.string(), identity(c.loads == 1 ? 2 : 1), kSavedAt),
                     "Failed to write key: another identity's key is in " + dir_.string());
        ASSERT_EQ(names(dir_), kSet);
        ASSERT_TRUE(
            save_identity(dir_.string(), identity(c.loads, "renamed"), kSavedAt).has_value());
        EXPECT_EQ(loaded(), std::make_pair(c.loads, std::string("did:aid:agents.test:renamed")));
      }
      EXPECT_EQ(names(dir_), kSet);
    }
  }
}

// When a commit cannot be finished, a load reads the set it holds.
TEST_F(StoreFsTest, UnfinishedCommitIsReadAsTheNewSet) {
  const fs::path fresh = root_ / "fresh";
  ASSERT_TRUE(save_identity(fresh.string(), identity(2), kSavedAt).has_value());
  const fs::path commit = dir_ / ".quorvex-save.commit";
  const bool root = ::geteuid() == 0;  // root writes into a read-only directory
  for (const bool read_only : {false, true}) {
    if (read_only && root) continue;
    SCOPED_TRACE(read_only ? "read-only" : "target is a directory");
    fs::remove_all(dir_);
    ASSERT_TRUE(save_identity(dir_.string(), identity(1), kSavedAt).has_value());
    fs::create_directory(commit);
    fs::copy_file(fresh / "aid.json", commit / "aid.json");
    fs::copy_file(fresh / "secret.key", commit / "secret.key");
    fs::copy_file(fresh / "identity.json", dir_ / "identity.json",
                  fs::copy_options::overwrite_existing);
    if (read_only) {
      fs::permissions(dir_, fs::perms::owner_read | fs::perms::owner_exec);
    } else {
      fs::remove(dir_ / "aid.json");
      fs::create_directory(dir_ / "aid.json");
    }
    EXPECT_EQ(loaded_fill(), 2);
    expect_error(save_identity(dir_.string(), identity(3), kSavedAt),
                 read_only
                     ? "Failed to recover an interrupted save: Permission denied (os error 13)"
                     : "Failed to recover an interrupted save: Is a directory (os error 21)");
    EXPECT_TRUE(fs::exists(commit / "aid.json"));
    if (read_only) {
      fs::permissions(dir_, fs::perms::owner_all);
    } else {
      fs::remove(dir_ / "aid.json");
    }
    EXPECT_EQ(loaded_fill(), 2);
    EXPECT_EQ(names(dir_), kSet);
  }
}

TEST_F(StoreFsTest, FailedSaveLeavesTheOldSetAndNothingElse) {
  ASSERT_TRUE(save_identity(dir_.string(), identity(1), kSavedAt).has_value());
  fs::remove(dir_ / "identity.json");
  fs::create_directory(dir_ / "identity.json");
  expect_error(save_identity(dir_.string(), identity(1, "renamed"), kSavedAt),
               "Failed to write metadata: Is a directory (os error 21)");
  EXPECT_EQ(names(dir_), kSet);
  EXPECT_EQ(loaded(), std::make_pair(std::uint8_t{1}, std::string("did:aid:agents.test:agent")));
}

// A secret.key that loads as another key is that identity's only copy: save
// leaves the whole set as it is. The same key in any spelling load reads, or a
// secret.key load refuses, is replaced with the rest of the set.
TEST_F(StoreFsTest, SaveNeverReplacesAnotherIdentitysKey) {
  const auto contents = [&] {
    std::vector<std::pair<std::string, std::string>> out;
    for (const std::string& name : names(dir_)) {
      std::ifstream in(dir_ / name, std::ios::binary);
      std::stringstream text;
      text << in.rdbuf();
      out.emplace_back(name, text.str());
    }
    return out;
  };
  const auto inodes = [&] {
    std::vector<ino_t> out;
    for (const std::string& name : kSet) {
      struct stat info {};
      EXPECT_EQ(::stat((dir_ / name).c_str(), &info), 0);
      out.push_back(info.st_ino);
    }
    return out;
  };
  const std::string refused = "Failed to write key: another identity's key is in ";
  ASSERT_TRUE(save_identity(dir_.string(), identity(1), kSavedAt).has_value());
  const auto before = contents();
  expect_error(save_identity(dir_.string(), identity(2), kSavedAt), refused + dir_.string());
  EXPECT_EQ(contents(), before);
  const auto first = inodes();
  ASSERT_TRUE(
      save_identity(dir_.string(), identity(1), Instant{kSavedAt.seconds + 1, 0}).has_value());
  const auto second = inodes();
  for (std::size_t i = 0; i < kSet.size(); ++i) EXPECT_NE(first[i], second[i]) << kSet[i];
  EXPECT_NE(contents(), before);  // identity.json holds the new time

  const std::string hex = crypto::hex_encode(identity(1).key.seed());
  std::string upper = hex;
  std::transform(upper.begin(), upper.end(), upper.begin(),
                 [](char c) { return c >= 'a' ? static_cast<char>(c - 'a' + 'A') : c; });
  for (const std::string& spelling : {upper, "\u3000 " + hex + "\r\n"}) {
    SCOPED_TRACE(spelling);
    write(dir_ / "secret.key", spelling);
    expect_error(save_identity(dir_.string(), identity(2), kSavedAt), refused + dir_.string());
    EXPECT_TRUE(save_identity(dir_.string(), identity(1, "renamed"), kSavedAt).has_value());
    EXPECT_EQ(loaded(),
              std::make_pair(std::uint8_t{1}, std::string("did:aid:agents.test:renamed")));
  }

  struct Case {
    enum { kText, kFifo, kLink } type;
    std::string text;  // the file's text, or the link's target
  };
  const std::vector<Case> cases = {
      {Case::kText, ""},
      {Case::kText, "old"},
      {Case::kText, "\xff" + hex},
      {Case::kText, hex.substr(1)},
      {Case::kText, hex.substr(2)},
      {Case::kText, hex + "00"},
      {Case::kText, hex + std::string(4097 - hex.size(), ' ')},  // past load's limit
      {Case::kFifo, ""},
      {Case::kLink, "missing"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text.substr(0, 70));
    ASSERT_TRUE(save_identity(dir_.string(), identity(1), kSavedAt).has_value());
    const fs::path key = dir_ / "secret.key";
    fs::remove(key);
    switch (c.type) {
      case Case::kText:
        write(key, c.text);
        break;
      case Case::kFifo:
        ASSERT_EQ(::mkfifo(key.c_str(), 0600), 0);
        break;
      case Case::kLink:
        fs::create_symlink(c.text, key);
        break;
    }
    ASSERT_TRUE(save_identity(dir_.string(), identity(2), kSavedAt).has_value());
    EXPECT_EQ(loaded_fill(), 2);
    EXPECT_EQ(names(dir_), kSet);
    fs::remove_all(dir_);
  }

  // The directory is named as given; the current one, "", as ".".
  const fs::path cwd = fs::current_path();
  fs::create_directories(dir_);
  fs::current_path(dir_);
  const bool saved = save_identity("", identity(1), kSavedAt).has_value();
  const auto other = save_identity("", identity(2), kSavedAt);
  fs::current_path(cwd);
  EXPECT_TRUE(saved);
  expect_error(other, refused + ".");
}

TEST_F(StoreFsTest, SaveNewClaimsADirectoryOnce) {
  auto first = save_new_identity(dir_.string(), identity(1), kSavedAt);
  ASSERT_TRUE(first.has_value());
  EXPECT_TRUE(*first);
  auto second = save_new_identity(dir_.string(), identity(2), kSavedAt);
  ASSERT_TRUE(second.has_value());
  EXPECT_FALSE(*second);
  EXPECT_EQ(loaded_fill(), 1);
  EXPECT_EQ(names(dir_), kSet);

  // A key still in an unfinished commit is found once it has been moved in.
  const fs::path other = root_ / "other";
  ASSERT_TRUE(save_identity(other.string(), identity(2), kSavedAt).has_value());
  fs::remove(other / "secret.key");
  fs::create_directory(other / ".quorvex-save.commit");
  write(other / ".quorvex-save.commit" / "secret.key", "");
  auto pending = save_new_identity(other.string(), identity(3), kSavedAt);
  ASSERT_TRUE(pending.has_value());
  EXPECT_FALSE(*pending);
  EXPECT_EQ(names(other), kSet);

  // Any entry named secret.key counts; other files do not.
  const fs::path linked = root_ / "linked";
  fs::create_directory(linked);
  fs::create_symlink("missing", linked / "secret.key");
  auto refused = save_new_identity(linked.string(), identity(3), kSavedAt);
  ASSERT_TRUE(refused.has_value());
  EXPECT_FALSE(*refused);
  fs::remove(linked / "secret.key");
  write(linked / "aid.json", "x");
  auto taken = save_new_identity(linked.string(), identity(3), kSavedAt);
  ASSERT_TRUE(taken.has_value());
  EXPECT_TRUE(*taken);
}

TEST_F(StoreFsTest, CreatedDirectoriesAreOwnerOnlyWhateverTheUmask) {
  for (const mode_t mask : {0077, 0000, 0277}) {
    SCOPED_TRACE(mask);
    const fs::path parent = root_ / ("mask" + std::to_string(mask));
    const fs::path child = parent / "a" / "b";
    const mode_t old = ::umask(mask);
    const auto saved = save_identity(child.string() + "//", identity(1), kSavedAt);
    ::umask(old);
    ASSERT_TRUE(saved.has_value()) << saved.error().display();
    for (const fs::path& made : {parent, parent / "a", child}) {
      EXPECT_EQ(fs::status(made).permissions(), fs::perms::owner_all);
    }
    EXPECT_EQ(fs::status(child / "secret.key").permissions(),
              fs::perms::owner_read | fs::perms::owner_write);
    EXPECT_TRUE(load_identity(child.string()).has_value());
  }
  // An existing directory keeps its mode.
  fs::permissions(dir_, fs::perms::all);
  ASSERT_TRUE(save_identity(dir_.string(), identity(1), kSavedAt).has_value());
  EXPECT_EQ(fs::status(dir_).permissions(), fs::perms::all);
}

TEST_F(StoreFsTest, LoadReadsOnlyRegularFilesOfIdentitySize) {
  ASSERT_TRUE(save_identity(dir_.string(), identity(1), kSavedAt).has_value());
  std::ifstream in(dir_ / "aid.json", std::ios::binary);
  std::stringstream document;
  document << in.rdbuf();
  const std::string hex = crypto::hex_encode(identity(1).key.seed());
  // JSON allows white space after the document; the key file, around the digits.
  const std::string padded_key = hex + std::string(4096 - hex.size(), '\n');
  const std::string padded_document =
      document.str() + std::string((1 << 20) - document.str().size(), ' ');

  const std::string key = "Failed to read key: ";
  const std::string aid = "Failed to read AID: ";
  struct Case {
    const char* file;
    enum { kFifo, kLink, kDirectory, kText } type;
    std::string text;
    std::string display;  // empty: loads
  };
  const std::vector<Case> cases = {
      {"secret.key", Case::kFifo, "", key + "file is not a regular file"},
      {"secret.key", Case::kLink, "/dev/zero", key + "file is not a regular file"},
      {"secret.key", Case::kDirectory, "", key + "file is not a regular file"},
      {"secret.key", Case::kText, padded_key + "\n", key + "file is larger than 4096 bytes"},
      {"secret.key", Case::kText, padded_key, ""},
      {"aid.json", Case::kFifo, "", aid + "file is not a regular file"},
      {"aid.json", Case::kLink, "/dev/null", aid + "file is not a regular file"},
      {"aid.json", Case::kText, padded_document + " ", aid + "file is larger than 1048576 bytes"},
      {"aid.json", Case::kText, padded_document, ""},
      {"aid.json", Case::kLink, "identity.json",
       "serialization error: missing field `@context` at line 5 column 1"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.display);
    ASSERT_TRUE(save_identity(dir_.string(), identity(1), kSavedAt).has_value());
    const fs::path path = dir_ / c.file;
    fs::remove(path);
    switch (c.type) {
      case Case::kFifo:
        ASSERT_EQ(::mkfifo(path.c_str(), 0600), 0);
        break;
      case Case::kLink:
        fs::create_symlink(c.text, path);
        break;
      case Case::kDirectory:
        fs::create_directory(path);
        break;
      case Case::kText:
        write(path, c.text);
        break;
    }
    const auto loaded = load_identity(dir_.string());
    if (c.display.empty()) {
      EXPECT_TRUE(loaded.has_value());
    } else {
      ASSERT_FALSE(loaded.has_value());
      EXPECT_EQ(loaded.error().display(), c.display);
    }
    fs::remove_all(path);
  }
}

// A child forked during a save shares the locked descriptor; the lock must
// still end with the save, not with the child.
TEST_F(StoreFsTest, LockEndsWithItsOwnerWhenTheDescriptorIsShared) {
  auto held = open_directory(dir_.string(), "");
  ASSERT_TRUE(held.has_value());
  UniqueFd inherited;
  {
    auto lock = lock_directory(held->get(), true, "");
    ASSERT_TRUE(lock.has_value());
    inherited = UniqueFd(::dup(held->get()));
  }
  auto other = open_directory(dir_.string(), "");
  ASSERT_TRUE(other.has_value());
  EXPECT_EQ(::flock(other->get(), LOCK_EX | LOCK_NB), 0);
}

TEST_F(StoreFsTest, PathsWithANulAreRefused) {
  const std::string path = (dir_ / "a").string() + std::string(1, '\0') + "b";
  expect_error(save_identity(path, identity(1), kSavedAt),
               "Failed to create directory: embedded null byte");
  expect_error(save_new_identity(path, identity(1), kSavedAt),
               "Failed to create directory: embedded null byte");
  expect_error(load_identity(path), "Failed to read key: embedded null byte");
  EXPECT_EQ(names(dir_), Names{});
}

}  // namespace
}  // namespace quorvex::aid
