// The public age test vectors (C2SP CCTV), run through our decryptor with
// each vector's X25519 identity. Armored, passphrase-only and post-quantum
// vectors are skipped: vesk reads none of them.
#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <set>
#include <sstream>

#include "age/decrypt.hpp"
#include "age/x25519.hpp"
#include "age_test_util.hpp"
#include "prerequisite.hpp"

namespace {

using namespace vesk::testing_age;
namespace fs = std::filesystem;
using Bytes = std::vector<std::uint8_t>;
// The identity of vectors that name none.
constexpr const char* kDefaultIdentity = "AGE-SECRET-KEY-1EGTZVFFV20835NWYV6270LXYVK2VKNX2MMDKWYKLMGR48UAWX40Q2P2LM0";

// Our error texts, sorted into the vector file's outcome names.
std::string outcome_of(const std::string& error) {
  static const std::set<std::string> header = {"Header is invalid", "Incomplete header", "failed to fill whole buffer",
                                               "Unknown age format.\nHave you tried upgrading to the latest version?"};
  if (header.count(error)) return "header failure";
  if (error == "Header MAC is invalid") return "HMAC failure";
  if (error == "No matching keys found" || error == "Decryption failed") return "no match";
  return "payload failure";
}

TEST(AgeTestkit, EveryApplicableVector) {
  const fs::path dir = fs::path(VESK_TESTKIT_DIR) / "age" / "testdata";
  if (!fs::is_directory(dir)) VESK_MISSING() << "age test vectors not found at " << dir;
  // We also read the legacy stanza form, whose body may end without its final
  // short line: these two vectors use it, and decrypt.
  const std::set<std::string> legacy_accepted = {"stanza_missing_body", "stanza_missing_final_line"};
  TempDir tmp;
  const bool have_python = have_program("python3");  // zlib-compressed vectors are inflated by python3
  int ran = 0;
  for (const auto& entry : fs::directory_iterator(dir)) {
    // A vector file: "name: value" lines (the first of each name counts), an empty line, the age file.
    const std::string name = entry.path().filename().string(), raw = read_text(entry.path().string());
    const std::size_t end = std::min(raw.find("\n\n"), raw.size());
    std::map<std::string, std::string> f;
    std::istringstream head(raw.substr(0, end));
    for (std::string line; std::getline(head, line);) {
      if (const std::size_t colon = line.find(": "); colon != std::string::npos) {
        f.emplace(line.substr(0, colon), line.substr(colon + 2));
      }
    }
    Bytes file(raw.begin() + static_cast<std::ptrdiff_t>(std::min(end + 2, raw.size())), raw.end());
    if (f.count("armored") || (!f.count("identity") && f.count("passphrase"))) continue;
    const std::string id_text = f.emplace("identity", kDefaultIdentity).first->second;
    if (id_text.starts_with("AGE-SECRET-KEY-PQ-") || (f.count("compressed") && !have_python)) continue;
    if (f.count("compressed")) {
      write_file(tmp / "z", std::string(file.begin(), file.end()));
      run("python3 -c 'import sys,zlib; sys.stdout.buffer.write(zlib.decompress(sys.stdin.buffer.read()))' < " +
          tmp / "z" + " > " + tmp / "plain");
      file = read_bytes(tmp / "plain");
    }
    auto id = vesk::age::X25519Identity::parse(id_text);
    ASSERT_TRUE(id) << name;
    auto result = vesk::age::decrypt(file, *id);
    EXPECT_EQ(result ? "success" : outcome_of(result.error()), legacy_accepted.count(name) ? "success" : f["expect"])
        << name << (result ? "" : ": " + result.error());
    if (result && f.count("payload")) {
      EXPECT_EQ(hex(vesk::age::sha256(*result)), f["payload"]) << name;
    }
    ++ran;
  }
  EXPECT_GT(ran, have_python ? 60 : 45);
}

}  // namespace
