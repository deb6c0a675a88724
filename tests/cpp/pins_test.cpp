// Signer pins: the pin file's bytes, its reading, and reconcile's outcomes on
// a private HOME.
#include "pins.hpp"

#include <dirent.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

namespace vesk::pins {
namespace {

namespace fs = std::filesystem;

TEST(PinFile, WrittenBytes) {
  struct Row {
    SignerPin pin;
    std::string want;
  } rows[] = {
      {{{}, false}, "{\n  \"signers\": {},\n  \"was_signed\": false\n}"},
      {{{{"s1", "k1"}}, true}, "{\n  \"signers\": {\n    \"s1\": \"k1\"\n  },\n  \"was_signed\": true\n}"},
      {{{{"b", "2"}, {"B", "1"}}, false},
       "{\n  \"signers\": {\n    \"B\": \"1\",\n    \"b\": \"2\"\n  },\n  \"was_signed\": false\n}"},
      {{{{"q\"\\/\x01\t\xc3\xa9", "k"}}, true},
       "{\n  \"signers\": {\n    \"q\\\"\\\\/\\u0001\\t\xc3\xa9\": \"k\"\n  },\n  \"was_signed\": true\n}"},
  };
  for (const auto& row : rows) EXPECT_EQ(write_pin(row.pin), row.want);
}

TEST(PinFile, Reading) {
  struct Row {
    std::string text;
    bool ok;
    std::size_t signers;
    bool was_signed;
  } rows[] = {
      {R"({"signers":{"a":"k"},"was_signed":true})", true, 1, true},
      {R"({"signers":{}})", true, 0, false},
      {R"({"signers":{},"extra":[1,{"x":null}]})", true, 0, false},
      {R"([{"a":"k","b":"l"},true])", true, 2, true},
      {R"([{}])", true, 0, false},
      {R"([])", false, 0, false},
      {R"({"was_signed":true})", false, 0, false},
      {R"({"signers":{},"signers":{}})", false, 0, false},
      {R"({"signers":{},"was_signed":null})", false, 0, false},
      {R"({"signers":{},"was_signed":1})", false, 0, false},
      {R"({"signers":{"a":1}})", false, 0, false},
      {R"({"signers":{}} x)", false, 0, false},
      {"{\"signers\":{\"\xff\":\"k\"}}", false, 0, false},
      {"", false, 0, false},
  };
  for (const auto& row : rows) {
    const auto pin = parse_pin(row.text);
    ASSERT_EQ(pin.has_value(), row.ok) << row.text;
    if (!pin) continue;
    EXPECT_EQ(pin->signers.size(), row.signers) << row.text;
    EXPECT_EQ(pin->was_signed, row.was_signed) << row.text;
  }
}

std::string slurp(const fs::path& p) {
  std::ifstream in(p, std::ios::binary);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

void put(const fs::path& p, std::string_view text) {
  fs::create_directories(p.parent_path());
  std::ofstream(p, std::ios::binary) << text;
}

std::optional<std::string> getenv_copy(const char* name) {
  const char* v = std::getenv(name);
  return v ? std::optional<std::string>(v) : std::nullopt;
}

void restore(const char* name, const std::optional<std::string>& v) {
  if (v) {
    ::setenv(name, v->c_str(), 1);
  } else {
    ::unsetenv(name);
  }
}

// A private HOME under a fresh directory, with the environment and the
// current directory restored afterwards.
class Pins : public ::testing::Test {
 protected:
  void SetUp() override {
    root_ = fs::temp_directory_path() / ("vesk-pins-" + std::to_string(::getpid()) + "-" +
                                         ::testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::remove_all(root_);
    fs::create_directories(root_ / "home");
    cwd_ = fs::current_path();
    fs::current_path(root_);
    ::setenv("HOME", (root_ / "home").c_str(), 1);
    ::unsetenv("USERPROFILE");
    ::unsetenv("VESK_NO_SIGNER_PIN");
  }
  void TearDown() override {
    fs::current_path(cwd_);
    restore("HOME", home_);
    restore("USERPROFILE", profile_);
    restore("VESK_NO_SIGNER_PIN", off_);
    fs::remove_all(root_);
  }

  // The pin file named by a vault hash under `home`.
  static fs::path pin_of(const fs::path& home, std::string_view hash) {
    return home / ".config/vesk/signer-pins" / (std::string(hash) + ".json");
  }

  static Reconciled reconciled(const PinOutcome& o) {
    EXPECT_TRUE(std::holds_alternative<Reconciled>(o));
    return std::holds_alternative<Reconciled>(o) ? std::get<Reconciled>(o) : Reconciled{};
  }

  fs::path root_;
  fs::path cwd_;
  std::optional<std::string> home_ = getenv_copy("HOME");
  std::optional<std::string> profile_ = getenv_copy("USERPROFILE");
  std::optional<std::string> off_ = getenv_copy("VESK_NO_SIGNER_PIN");
};

// SHA-256 of "/srv/project/.vesk", first 8 bytes, from Python's hashlib.
constexpr std::string_view kVault = "/srv/project/.vesk";
constexpr std::string_view kVaultHash = "0e62e566fdde06c5";

using Set = std::set<std::string>;

TEST_F(Pins, FirstLoadSecondLoadAndKeyChange) {
  const fs::path pin = pin_of(root_ / "home", kVaultHash);
  auto first = reconciled(reconcile(kVault, {{"s1", "k1"}}, true));
  EXPECT_EQ(first.unpinned, Set{"s1"});
  EXPECT_FALSE(first.downgraded);
  EXPECT_EQ(slurp(pin), "{\n  \"signers\": {\n    \"s1\": \"k1\"\n  },\n  \"was_signed\": true\n}");

  struct stat before {};
  ::stat(pin.c_str(), &before);
  auto second = reconciled(reconcile(kVault, {{"s1", "k1"}}, true));
  EXPECT_EQ(second.unpinned, Set{});
  EXPECT_FALSE(second.downgraded);
  struct stat after {};
  ::stat(pin.c_str(), &after);
  EXPECT_EQ(before.st_ino, after.st_ino) << "nothing new: the file is not written";

  const auto changed = reconcile(kVault, {{"s1", "k2"}, {"s2", "k"}}, true);
  ASSERT_TRUE(std::holds_alternative<KeyChanged>(changed));
  EXPECT_EQ(std::get<KeyChanged>(changed).signer, "s1");
  EXPECT_EQ(parse_pin(slurp(pin))->signers, (OrderedMap<std::string>{{"s1", "k1"}}));
}

TEST_F(Pins, SmallestChangedNameAndRemovedSignerStaysPinned) {
  put(pin_of(root_ / "home", kVaultHash), R"({"signers":{"b":"1","a":"1","c":"1"},"was_signed":true})");
  const auto both = reconcile(kVault, {{"b", "2"}, {"a", "2"}}, true);
  ASSERT_TRUE(std::holds_alternative<KeyChanged>(both));
  EXPECT_EQ(std::get<KeyChanged>(both).signer, "a");
  // "c" is absent now, still pinned, and caught when it returns changed.
  EXPECT_EQ(reconciled(reconcile(kVault, {{"a", "1"}}, true)).unpinned, Set{});
  const auto back = reconcile(kVault, {{"c", "9"}}, true);
  ASSERT_TRUE(std::holds_alternative<KeyChanged>(back));
  EXPECT_EQ(std::get<KeyChanged>(back).signer, "c");
}

TEST_F(Pins, StrippedSignature) {
  const fs::path pin = pin_of(root_ / "home", kVaultHash);
  put(pin, R"({"signers":{"s1":"k1"},"was_signed":true})");
  auto down = reconciled(reconcile(kVault, {{"s1", "k1"}}, false));
  EXPECT_TRUE(down.downgraded);
  EXPECT_EQ(slurp(pin), R"({"signers":{"s1":"k1"},"was_signed":true})") << "not rewritten";
  // A new signer at the same time rewrites the pin; the flag stays true.
  down = reconciled(reconcile(kVault, {{"s1", "k1"}, {"s2", "k2"}}, false));
  EXPECT_TRUE(down.downgraded);
  EXPECT_EQ(down.unpinned, Set{"s2"});
  EXPECT_TRUE(parse_pin(slurp(pin))->was_signed);
}

TEST_F(Pins, WhatGetsWritten) {
  struct Row {
    const char* name;
    std::optional<std::string> existing;
    OrderedMap<std::string> signers;
    bool signed_now;
    std::optional<std::string> want_file;  // nothing: no file
    Set unpinned;
  } rows[] = {
      {"signed, no signers", {}, {}, true, "{\n  \"signers\": {},\n  \"was_signed\": true\n}", {}},
      {"unsigned, no signers, no pin", {}, {}, false, {}, {}},
      {"unsigned with a signer", {}, {{"s", "k"}}, false,
       "{\n  \"signers\": {\n    \"s\": \"k\"\n  },\n  \"was_signed\": false\n}", {"s"}},
      {"invalid pin counts as none", "{not json", {{"s", "k"}}, true,
       "{\n  \"signers\": {\n    \"s\": \"k\"\n  },\n  \"was_signed\": true\n}", {"s"}},
      {"pin without was_signed, extra member dropped", R"({"signers":{"a":"1"},"x":1})",
       {{"a", "1"}}, true, "{\n  \"signers\": {\n    \"a\": \"1\"\n  },\n  \"was_signed\": true\n}", {}},
      {"pin not UTF-8 counts as none", "{\"signers\":{\"\xff\":\"1\"}}", {{"s", "k"}}, false,
       "{\n  \"signers\": {\n    \"s\": \"k\"\n  },\n  \"was_signed\": false\n}", {"s"}},
  };
  const fs::path pin = pin_of(root_ / "home", kVaultHash);
  for (const auto& row : rows) {
    fs::remove_all(root_ / "home" / ".config");
    if (row.existing) put(pin, *row.existing);
    const auto r = reconciled(reconcile(kVault, row.signers, row.signed_now));
    EXPECT_EQ(r.unpinned, row.unpinned) << row.name;
    EXPECT_FALSE(r.downgraded) << row.name;
    EXPECT_EQ(fs::exists(pin), row.want_file.has_value()) << row.name;
    if (row.want_file) {
      EXPECT_EQ(slurp(pin), *row.want_file) << row.name;
    }
  }
}

TEST_F(Pins, PinningOff) {
  const OrderedMap<std::string> signers{{"a", "1"}, {"b", "2"}};
  ::setenv("VESK_NO_SIGNER_PIN", "", 1);
  auto r = reconciled(reconcile(kVault, signers, true));
  EXPECT_EQ(r.unpinned, (Set{"a", "b"}));
  EXPECT_FALSE(fs::exists(root_ / "home" / ".config"));
  ::unsetenv("VESK_NO_SIGNER_PIN");

  // A relative vault path while the current directory is gone: off.
  fs::create_directories(root_ / "gone");
  fs::current_path(root_ / "gone");
  fs::remove(root_ / "gone");
  r = reconciled(reconcile(".vesk", signers, true));
  fs::current_path(root_);
  EXPECT_EQ(r.unpinned, (Set{"a", "b"}));
  EXPECT_FALSE(fs::exists(root_ / "home" / ".config"));

  // Neither HOME nor USERPROFILE: off as well.
  ::unsetenv("HOME");
  r = reconciled(reconcile(kVault, signers, true));
  EXPECT_EQ(r.unpinned, (Set{"a", "b"}));
  EXPECT_FALSE(fs::exists(root_ / "home" / ".config"));
}

TEST_F(Pins, HomeFallbacksAndRelativePaths) {
  ::unsetenv("HOME");
  ::setenv("USERPROFILE", (root_ / "profile").c_str(), 1);
  (void)reconcile(kVault, {{"s", "k"}}, true);
  EXPECT_TRUE(fs::exists(pin_of(root_ / "profile", kVaultHash)));

  // An empty HOME puts the pins below the current directory.
  ::setenv("HOME", "", 1);
  (void)reconcile(kVault, {{"s", "k"}}, true);
  EXPECT_TRUE(fs::exists(pin_of(root_, kVaultHash)));

  // ".vesk" and "./.vesk" name two different pin files.
  ::setenv("HOME", (root_ / "home").c_str(), 1);
  (void)reconcile(".vesk", {{"s", "k"}}, true);
  (void)reconcile("./.vesk", {{"s", "k"}}, true);
  std::size_t files = 0;
  for (const auto& e : fs::directory_iterator(root_ / "home/.config/vesk/signer-pins")) {
    files += e.path().extension() == ".json";
  }
  EXPECT_EQ(files, 2u);
}

mode_t mode_of(const fs::path& p) {
  struct stat st {};
  ::stat(p.c_str(), &st);
  return st.st_mode & 07777;
}

TEST_F(Pins, DirectoryModes) {
  const mode_t old_umask = ::umask(0);
  fs::create_directories(root_ / "home/.config");
  fs::permissions(root_ / "home/.config", fs::perms(0755));
  fs::create_directories(root_ / "home/.config/vesk");
  fs::permissions(root_ / "home/.config/vesk", fs::perms(0777));
  (void)reconcile(kVault, {{"s", "k"}}, true);
  EXPECT_EQ(mode_of(root_ / "home/.config"), 0755u) << "never changed";
  EXPECT_EQ(mode_of(root_ / "home/.config/vesk"), 0700u);
  EXPECT_EQ(mode_of(root_ / "home/.config/vesk/signer-pins"), 0700u);
  EXPECT_EQ(mode_of(pin_of(root_ / "home", kVaultHash)), 0666u);

  // Directories made new are 0700 from the start, whatever the umask.
  ::setenv("HOME", (root_ / "fresh").c_str(), 1);
  (void)reconcile(kVault, {{"s", "k"}}, true);
  EXPECT_EQ(mode_of(root_ / "fresh/.config"), 0700u);
  ::umask(old_umask);
}

TEST_F(Pins, AtomicReplaceKeepsModeAndLeavesNoTemporaryFile) {
  const fs::path pin = pin_of(root_ / "home", kVaultHash);
  put(pin, R"({"signers":{"a":"1"},"was_signed":false})");
  ::chmod(pin.c_str(), 0640);
  // A torn leftover from an earlier crash is never read as the pin.
  put(pin.string() + ".0011223344556677.tmp", "{\"signers\":{\"a\":\"");
  struct stat before {};
  ::stat(pin.c_str(), &before);
  const auto r = reconciled(reconcile(kVault, {{"a", "1"}, {"b", "2"}}, true));
  EXPECT_EQ(r.unpinned, Set{"b"});
  struct stat after {};
  ::stat(pin.c_str(), &after);
  EXPECT_NE(before.st_ino, after.st_ino) << "replaced by rename, not rewritten in place";
  EXPECT_EQ(mode_of(pin), 0640u);
  EXPECT_EQ(parse_pin(slurp(pin))->signers.size(), 2u);
  std::size_t entries = 0;
  for (const auto& e : fs::directory_iterator(pin.parent_path())) entries += !e.path().empty();
  EXPECT_EQ(entries, 2u) << "the pin and the old leftover only";
}

}  // namespace
}  // namespace vesk::pins
