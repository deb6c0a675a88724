// Signer keys and Ed25519 verification: SSH line oddities as table rows, and
// the C2SP edge-case vectors (small-order and non-canonical A and R).
#include "signing.hpp"

#include <gtest/gtest.h>

#include <fstream>
#include <sstream>

#include "age/base64.hpp"
#include "prerequisite.hpp"

namespace vesk::signing {
namespace {

using Bytes = std::vector<std::uint8_t>;

Bytes unhex(std::string_view hex) {
  Bytes out;
  for (std::size_t i = 0; i + 1 < hex.size(); i += 2) {
    out.push_back(static_cast<std::uint8_t>(std::stoi(std::string(hex.substr(i, 2)), nullptr, 16)));
  }
  return out;
}

std::string b64(const Bytes& b) { return age::base64_encode(b); }

// RFC 8032's first test vector: the empty message.
const Bytes kPub = unhex("d75a980182b10ab7d54bfed3c964073a0ee172f3daa62325af021a68f707511a");
const Bytes kSig = unhex(
    "e5564300c360ac729086e2cc806e828a84877f1eb8e5d974d873e06522490155"
    "5fb8821590a33bacc61e39701cf9b46bd25bf5f0595bbe24655141438e7a100b");

// The OpenSSH public key blob: string "ssh-ed25519", string(key), and `extra`.
std::string ssh_blob(std::uint8_t algorithm_byte = 'e', std::size_t extra = 0) {
  Bytes blob = {0, 0, 0, 11, 's', 's', 'h', '-', algorithm_byte, 'd', '2', '5', '5', '1', '9', 0, 0, 0, 32};
  blob.insert(blob.end(), kPub.begin(), kPub.end());
  blob.resize(blob.size() + extra);
  return b64(blob);
}

TEST(SigningVerify, KeyAndSignatureEncodings) {
  const std::string key = b64(kPub), good = b64(kSig);
  Bytes s_plus_l = kSig;  // the same signature with a non-canonical s
  const Bytes l = unhex("edd3f55c1a631258d69cf7a2def9de1400000000000000000000000000000010");
  for (unsigned i = 0, carry = 0; i < 32; ++i, carry >>= 8) {
    s_plus_l[32 + i] = static_cast<std::uint8_t>(carry += s_plus_l[32 + i] + l[i]);
  }
  Bytes off_curve(32, 0);
  off_curve[0] = 2;  // y = 2 is not the y of any curve point
  struct Row {
    const char* name;
    std::string key, sig, msg;
    bool want;
  } rows[] = {
      {"genuine", key, good, "", true},
      {"key 31 bytes", b64(Bytes(kPub.begin(), kPub.end() - 1)), good, "", false},
      {"key 33 bytes", b64([&] { Bytes k = kPub; k.push_back(0); return k; }()), good, "", false},
      {"signature 63 bytes", key, b64(Bytes(kSig.begin(), kSig.end() - 1)), "", false},
      {"unpadded signature", key, good.substr(0, good.find('=')), "", false},
      {"line break in signature", key, good.substr(0, 40) + "\n" + good.substr(40), "", false},
      {"trailing space in key", key + " ", good, "", false},
      {"s + L", key, b64(s_plus_l), "", false},
      {"key not a point", b64(off_curve), good, "", false},
  };
  for (const auto& row : rows) EXPECT_EQ(verify(row.key, row.sig, row.msg), row.want) << row.name;
}

TEST(SigningSsh, VerifyingKeyFromRecipientLine) {
  const std::string blob = ssh_blob();
  const std::pair<std::string, bool> rows[] = {
      {"ssh-ed25519 " + blob, true},
      {"ssh-ed25519 " + blob + " \t\r\n\xe3\x80\x80", true},
      {" ssh-ed25519 " + blob, false},
      {"ssh-ed25519  " + blob, false},
      {"ssh-ed25519\t" + blob, false},
      {"ssh-ed25519 " + blob + "\tcomment", false},
      {"ssh-rsa " + blob, false},
      {"ssh-ed25519 " + ssh_blob('e', 1), false},
      {"ssh-ed25519 " + ssh_blob('X'), false},  // the blob names another algorithm
      {"ssh-ed25519 " + blob.substr(0, blob.size() - 4), false},
      {"age1qyqszqgpqyqszqgpqyqszqgpqyqszqgpqyqszqgpqyqszqgpqyqs3290gq", false},
  };
  for (const auto& [line, ok] : rows) {
    EXPECT_EQ(ed25519_verifying_key_b64_from_ssh_recipient(line).value_or(""), ok ? b64(kPub) : "")
        << line;
  }
}

// The value of "name": "..." in one object of the vectors file.
std::string string_member(const std::string& object, const std::string& name) {
  const std::string key = "\"" + name + "\": \"";
  const auto start = object.find(key) + key.size();
  return object.substr(start, object.find('"', start) - start);
}

// A cofactorless verifier that compares R by its encoding accepts exactly the
// vectors flagged neither low_order_residue (needs the cofactored equation)
// nor non_canonical_R (a re-encoded R never matches it).
TEST(SigningVerify, C2spEdgeCaseVectors) {
  const std::string kit = std::string(VESK_TESTKIT_DIR) + "/ed25519/ed25519vectors.json";
  std::ifstream in(kit);
  if (!in) VESK_MISSING() << "Ed25519 vectors not found at " << kit;
  const std::string all = (std::stringstream() << in.rdbuf()).str();
  int count = 0, accepted = 0;
  for (std::size_t at = all.find('{'); at != std::string::npos; at = all.find('{', at + 1)) {
    const std::string object = all.substr(at, all.find('}', at) - at);
    const bool want = object.find("\"low_order_residue\"") == std::string::npos &&
                      object.find("\"non_canonical_R\"") == std::string::npos;
    const bool got = verify(b64(unhex(string_member(object, "key"))),
                            b64(unhex(string_member(object, "sig"))), string_member(object, "msg"));
    EXPECT_EQ(got, want) << object;
    ++count;
    accepted += want;
  }
  EXPECT_EQ(count, 914);
  EXPECT_EQ(accepted, 208);
}

}  // namespace
}  // namespace vesk::signing
