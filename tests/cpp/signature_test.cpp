// The signed view byte for byte, and which signatures the vault check accepts.
#include "signature.hpp"

#include <gtest/gtest.h>
#include <openssl/evp.h>

#include <fstream>
#include <functional>
#include <map>

#include "age/base64.hpp"
#include "signing.hpp"

namespace vesk::signature {
namespace {

using Bytes = std::vector<std::uint8_t>;
constexpr std::string_view kFirstLine = "vesk.vault.sig.v1\n";

struct Doc {
  Vault vault;
  OrderedMap<TextList> groups;
  OrderedMap<GrantEntry> grants;
  UnorderedMap<TextList> github_pins;
  OrderedMap<std::string> signers;

  std::string message() const {
    return signing_message::message(
        signing_message::make_view(vault, groups, grants, github_pins, signers));
  }
  std::string json() const { return message().substr(kFirstLine.size()); }
};

Doc base() {
  Doc d;
  d.vault.version = "2.0";
  d.vault.recipients = {"r2", "r1"};
  return d;
}

TEST(SignedView, WorkedExample) {
  const std::string m = base().message();
  EXPECT_EQ(m.substr(0, kFirstLine.size()), kFirstLine);
  EXPECT_EQ(m.substr(kFirstLine.size()),
            R"({"v":1,"version":"2.0","recipients":["r1","r2"],"schema":{},"secrets":{},)"
            R"("policy":null,"groups":{},"grants":{},"github_pins":{},"signers":{}})");
}

TEST(SignedView, MembersAndEscapes) {
  struct Row {
    const char* name;
    std::function<void(Doc&)> change;
    std::string contains;
  } rows[] = {
      {"schema entry, every field",
       [](Doc& d) { d.vault.schema["k"] = SchemaEntry{"d", "", {"b", "a"}, "c", "u", 90, "e", "r"}; },
       R"("schema":{"k":{"description":"d","example":"","tags":["b","a"],"created":"c",)"
       R"("updated":"u","rotation_interval_days":90,"expires_at":"e","revoked_at":"r"}})"},
      {"schema entry, nothing optional",
       [](Doc& d) { d.vault.schema["k"] = SchemaEntry{"d", {}, {}, {}, {}, 0, {}, {}}; },
       R"("schema":{"k":{"description":"d","rotation_interval_days":0}})"},
      {"secret entry, empty maps left out",
       [](Doc& d) { d.vault.secrets["s"] = SecretEntry{"c", {}, {}}; }, R"("secrets":{"s":{"shared":"c"}})"},
      {"secret entry, maps in byte order",
       [](Doc& d) { d.vault.secrets["s"] = SecretEntry{"", {{"b", "2"}, {"B", "1"}}, {{"g", "3"}}}; },
       R"("secrets":{"s":{"shared":"","scoped":{"B":"1","b":"2"},"grouped":{"g":"3"}}})"},
      {"empty policy", [](Doc& d) { d.vault.policy = Policy{}; }, R"("policy":{"agent_allow_tags":[]})"},
      {"policy tags unsorted", [](Doc& d) { d.vault.policy = Policy{{"z", "a"}}; },
       R"("policy":{"agent_allow_tags":["z","a"]})"},
      {"groups keep member order", [](Doc& d) { d.groups["g"] = {"m2", "m1"}; },
       R"("groups":{"g":["m2","m1"]})"},
      {"grant with empty expiry",
       [](Doc& d) { d.grants["a"] = GrantEntry{"p", {"s2", "s1"}, "i", "", "u"}; },
       R"("grants":{"a":{"pubkey":"p","scope":["s2","s1"],"issued_at":"i","expires_at":"","issuer":"u"}})"},
      {"github pins sorted by key",
       [](Doc& d) {
         d.github_pins["zed"] = {"2", "1"};
         d.github_pins["Amy"] = {};
         d.github_pins["amy"] = {"x"};
       },
       R"("github_pins":{"Amy":[],"amy":["x"],"zed":["2","1"]})"},
      {"signers", [](Doc& d) { d.signers["s"] = "k"; }, R"("signers":{"s":"k"}})"},
      {"escapes",
       [](Doc& d) { d.vault.version = std::string("\xc3\xa9/\x01\t\"\\\b\f\n\r\x1b\x7f\0", 14); },
       "\"version\":\"\xc3\xa9/\\u0001\\t\\\"\\\\\\b\\f\\n\\r\\u001b\x7f\\u0000\""},
  };
  for (const auto& row : rows) {
    Doc d = base();
    row.change(d);
    EXPECT_NE(d.json().find(row.contains), std::string::npos) << row.name << "\n" << d.json();
  }
}

TEST(SignedView, RecipientOrderAndDuplicates) {
  Doc a = base();
  Doc b = base();
  b.vault.recipients = {"r1", "r2"};
  EXPECT_EQ(a.message(), b.message());
  b.vault.recipients.push_back("r1");
  EXPECT_NE(a.message(), b.message());
  // Prefix first, byte order (upper case before lower case).
  b.vault.recipients = {"ab", "a", "B"};
  EXPECT_NE(b.json().find(R"("recipients":["B","a","ab"])"), std::string::npos);
}

TEST(SignedView, GithubPinsIterationOrderDoesNotMatter) {
  Doc a = base();
  Doc b = base();
  for (int i = 0; i < 50; ++i) a.github_pins["k" + std::to_string(i)] = {std::to_string(i)};
  for (int i = 49; i >= 0; --i) b.github_pins["k" + std::to_string(i)] = {std::to_string(i)};
  b.github_pins.rehash(512);
  EXPECT_EQ(a.message(), b.message());
}

// A fixed Ed25519 key and signatures made with it.
class Key {
 public:
  explicit Key(std::uint8_t fill) {
    const Bytes seed(32, fill);
    key_ = EVP_PKEY_new_raw_private_key(EVP_PKEY_ED25519, nullptr, seed.data(), seed.size());
  }
  ~Key() { EVP_PKEY_free(key_); }
  Bytes raw() const {
    Bytes pub(32);
    std::size_t n = pub.size();
    EVP_PKEY_get_raw_public_key(key_, pub.data(), &n);
    return pub;
  }
  std::string b64() const { return age::base64_encode(raw()); }
  std::string ssh(std::string_view comment) const {
    Bytes blob = {0, 0, 0, 11, 's', 's', 'h', '-', 'e', 'd', '2', '5', '5', '1', '9', 0, 0, 0, 32};
    const Bytes pub = raw();
    blob.insert(blob.end(), pub.begin(), pub.end());
    return "ssh-ed25519 " + age::base64_encode(blob) + std::string(comment);
  }
  std::string sign(const std::string& msg) const {
    Bytes sig(64);
    std::size_t n = sig.size();
    EVP_MD_CTX* ctx = EVP_MD_CTX_new();
    EVP_DigestSignInit(ctx, nullptr, nullptr, nullptr, key_);
    EVP_DigestSign(ctx, sig.data(), &n, reinterpret_cast<const unsigned char*>(msg.data()), msg.size());
    EVP_MD_CTX_free(ctx);
    return age::base64_encode(sig);
  }

 private:
  EVP_PKEY* key_;
};

constexpr std::string_view kAge = "age1qyqszqgpqyqszqgpqyqszqgpqyqszqgpqyqszqgpqyqszqgpqyqs3290gq";

bool check(const Doc& d, const VaultSignature& sig) {
  return verify_vault_signature(d.vault, d.groups, d.grants, d.github_pins, d.signers, sig);
}

TEST(VaultSignatureCheck, SignerAndKeyRules) {
  const Key k(1);
  const Key other(2);
  struct Row {
    const char* name;
    std::function<void(Doc&, VaultSignature&)> setup;
    bool want;
  } rows[] = {
      {"age signer with signers entry",
       [&](Doc& d, VaultSignature& s) {
         d.vault.recipients.push_back(std::string(kAge));
         d.signers[std::string(kAge)] = k.b64();
         s.signer = kAge;
       },
       true},
      {"age signer without signers entry",
       [&](Doc& d, VaultSignature& s) {
         d.vault.recipients.push_back(std::string(kAge));
         s.signer = kAge;
       },
       false},
      {"age signer not a recipient",
       [&](Doc& d, VaultSignature& s) {
         d.signers[std::string(kAge)] = k.b64();
         s.signer = kAge;
       },
       false},
      {"ssh signer, other comment, signers entry ignored",
       [&](Doc& d, VaultSignature& s) {
         d.vault.recipients.push_back(k.ssh(" c2"));
         s.signer = k.ssh(" c1");
         d.signers[s.signer] = other.b64();
       },
       true},
      {"ssh signer with another key than its text",
       [&](Doc& d, VaultSignature& s) {
         d.vault.recipients.push_back(other.ssh(""));
         s.signer = other.ssh("");
       },
       false},
      {"ssh signer not among recipients",
       [&](Doc& d, VaultSignature& s) {
         d.vault.recipients.push_back(other.ssh(""));
         s.signer = k.ssh("");
       },
       false},
      {"tab after type: byte-equal recipient and signers entry",
       [&](Doc& d, VaultSignature& s) {
         s.signer = k.ssh("");
         s.signer[11] = '\t';
         d.vault.recipients.push_back(s.signer);
         d.signers[s.signer] = k.b64();
       },
       true},
      {"tab after type without signers entry",
       [&](Doc& d, VaultSignature& s) {
         s.signer = k.ssh("");
         s.signer[11] = '\t';
         d.vault.recipients.push_back(s.signer);
       },
       false},
      {"signers value of 33 bytes",
       [&](Doc& d, VaultSignature& s) {
         d.vault.recipients.push_back(std::string(kAge));
         Bytes raw = k.raw();
         raw.push_back(0);
         d.signers[std::string(kAge)] = age::base64_encode(raw);
         s.signer = kAge;
       },
       false},
      {"empty recipient list",
       [&](Doc& d, VaultSignature& s) {
         d.vault.recipients.clear();
         s.signer = k.ssh("");
       },
       false},
  };
  for (const auto& row : rows) {
    Doc d = base();
    VaultSignature sig{"", 1, ""};
    row.setup(d, sig);
    sig.sig = k.sign(d.message());
    EXPECT_EQ(check(d, sig), row.want) << row.name;
  }
}

TEST(VaultSignatureCheck, CoveredAndUncoveredFields) {
  const Key k(3);
  Doc signed_doc = base();
  signed_doc.vault.recipients.push_back(k.ssh(""));
  VaultSignature sig{k.ssh(" me"), 1, ""};
  sig.sig = k.sign(signed_doc.message());
  struct Row {
    const char* name;
    std::function<void(Doc&, VaultSignature&)> change;
    bool want;
  } rows[] = {
      {"unchanged", [](Doc&, VaultSignature&) {}, true},
      {"v 0", [](Doc&, VaultSignature& s) { s.v = 0; }, false},
      {"v 2", [](Doc&, VaultSignature& s) { s.v = 2; }, false},
      {"created, name, repo, meta not covered",
       [](Doc& d, VaultSignature&) {
         d.vault.created = "x";
         d.vault.vault_name = "y";
         d.vault.repo = "z";
         d.vault.meta = "w";
       },
       true},
      {"recipients reordered", [](Doc& d, VaultSignature&) {
         std::reverse(d.vault.recipients.begin(), d.vault.recipients.end());
       }, true},
      {"version", [](Doc& d, VaultSignature&) { d.vault.version = "2.1"; }, false},
      {"grant expiry set",
       [](Doc& d, VaultSignature&) { d.grants["g"] = GrantEntry{"p", {}, "i", "", "u"}; }, false},
      {"github pin added", [](Doc& d, VaultSignature&) { d.github_pins["u"] = {}; }, false},
      {"signer added", [](Doc& d, VaultSignature&) { d.signers["s"] = "k"; }, false},
      {"policy added", [](Doc& d, VaultSignature&) { d.vault.policy = Policy{}; }, false},
  };
  for (const auto& row : rows) {
    Doc d = signed_doc;
    VaultSignature s = sig;
    row.change(d, s);
    EXPECT_EQ(check(d, s), row.want) << row.name;
  }
}

}  // namespace
}  // namespace vesk::signature

namespace vesk::signature {
namespace {

// One case of tests/cpp/data/integrity_vectors.txt: "field value" lines,
// written by tests/gen_integrity_vectors.py from its own implementation.
using Case = std::map<std::string, std::string>;

std::vector<Case> integrity_cases() {
  std::ifstream in(std::string(VESK_SOURCE_DIR) + "/tests/cpp/data/integrity_vectors.txt");
  std::vector<Case> cases;
  for (std::string line; std::getline(in, line);) {
    if (line.empty() || line[0] == '#') continue;
    const auto space = line.find(' ');
    const std::string field = line.substr(0, space);
    if (field == "case") cases.emplace_back();
    cases.back()[field] = line.substr(space + 1);
  }
  return cases;
}

std::string from_hex(std::string_view hex) {
  std::string out;
  for (std::size_t i = 0; i + 1 < hex.size(); i += 2) {
    out.push_back(static_cast<char>(std::stoi(std::string(hex.substr(i, 2)), nullptr, 16)));
  }
  return out;
}

TEST(SignatureVectors, AgreeWithTheIndependentImplementation) {
  const auto cases = integrity_cases();
  ASSERT_GE(cases.size(), 4u);
  for (const auto& c : cases) {
    const auto vault = parse_vault(c.at("vault"));
    const auto meta = parse_meta(c.at("meta"));
    ASSERT_TRUE(vault && meta) << c.at("case");
    const auto view = signing_message::make_view(*vault, meta->groups, meta->grants,
                                                 meta->github_pins, meta->signers);
    const std::string message = signing_message::message(view);
    EXPECT_EQ(message, from_hex(c.at("view"))) << c.at("case");
    EXPECT_TRUE(signing::verify(c.at("verifying_key"), c.at("signature"), message)) << c.at("case");
  }
}

}  // namespace
}  // namespace vesk::signature
