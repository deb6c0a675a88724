// Which signatures the vault check accepts; the signed view byte for byte is
// checked against the integrity vectors in mac_test.
#include "signature.hpp"

#include <gtest/gtest.h>
#include <openssl/evp.h>


#include "age/base64.hpp"
#include "signing.hpp"

namespace vesk::signature {
namespace {

using Bytes = std::vector<std::uint8_t>;

struct Doc {
  Vault vault;
  OrderedMap<TextList> groups;
  OrderedMap<GrantEntry> grants;
  UnorderedMap<TextList> github_pins;
  OrderedMap<std::string> signers;

  std::string message() const {
    return signing_message::message(signing_message::make_view(vault, groups, grants, github_pins, signers));
  }
};

// A fixed Ed25519 key and signatures made with it.
struct Key {
  EVP_PKEY* pkey;
  Bytes pub = Bytes(32);
  explicit Key(std::uint8_t fill) {
    const Bytes seed(32, fill);
    pkey = EVP_PKEY_new_raw_private_key(EVP_PKEY_ED25519, nullptr, seed.data(), seed.size());
    std::size_t n = pub.size();
    EVP_PKEY_get_raw_public_key(pkey, pub.data(), &n);
  }
  ~Key() { EVP_PKEY_free(pkey); }
  std::string b64() const { return age::base64_encode(pub); }
  std::string ssh(std::string_view comment = "") const {
    Bytes blob = {0, 0, 0, 11, 's', 's', 'h', '-', 'e', 'd', '2', '5', '5', '1', '9', 0, 0, 0, 32};
    blob.insert(blob.end(), pub.begin(), pub.end());
    return "ssh-ed25519 " + age::base64_encode(blob) + std::string(comment);
  }
  std::string sign(std::string_view msg) const {
    Bytes sig(64);
    std::size_t n = sig.size();
    EVP_MD_CTX* ctx = EVP_MD_CTX_new();
    EVP_DigestSignInit(ctx, nullptr, nullptr, nullptr, pkey);
    EVP_DigestSign(ctx, sig.data(), &n, reinterpret_cast<const unsigned char*>(msg.data()), msg.size());
    EVP_MD_CTX_free(ctx);
    return age::base64_encode(sig);
  }
};

bool check(const Doc& d, const VaultSignature& sig) {
  return verify_vault_signature(d.vault, d.groups, d.grants, d.github_pins, d.signers, sig);
}

TEST(SignatureCheck, SignerAndKeyRules) {
  const Key k(1), other(2);
  const std::string age = "age1qyqszqgpqyqszqgpqyqszqgpqyqszqgpqyqszqgpqyqszqgpqyqs3290gq";
  std::string tab = k.ssh();  // not an SSH signer to the check: its key comes from `signers`
  tab[11] = '\t';
  struct Row {
    const char* name;
    TextList recipients;
    OrderedMap<std::string> signers;
    std::string signer;
    bool want;
    std::uint32_t v = 1;
  } rows[] = {  // every signature is made by k; which fields the view covers: the integrity vectors
      {"age signer with signers entry", {age}, {{age, k.b64()}}, age, true},
      {"age signer without signers entry", {age}, {}, age, false},
      {"age signer not a recipient", {"r1"}, {{age, k.b64()}}, age, false},
      {"ssh signer, other comment, signers entry ignored", {k.ssh(" c2")},
       {{k.ssh(" c1"), other.b64()}}, k.ssh(" c1"), true},
      {"ssh signer with another key than its text", {other.ssh()}, {}, other.ssh(), false},
      {"ssh signer not among recipients", {other.ssh()}, {}, k.ssh(), false},
      {"ssh signer listed with other White_Space", {"ssh-ed25519\xe3\x80\x80" + k.ssh().substr(12)}, {}, k.ssh(), true},
      {"tab after type: byte-equal recipient, signers entry", {tab}, {{tab, k.b64()}}, tab, true},
      {"empty recipient list", {}, {}, k.ssh(), false},
      {"signature format 0", {k.ssh()}, {}, k.ssh(), false, 0},
      {"signature format 2", {k.ssh()}, {}, k.ssh(), false, 2},
  };
  for (const auto& row : rows) {
    Doc d;
    d.vault.recipients = row.recipients;
    d.signers = row.signers;
    EXPECT_EQ(check(d, {row.signer, row.v, k.sign(d.message())}), row.want) << row.name;
  }
}

}  // namespace
}  // namespace vesk::signature
