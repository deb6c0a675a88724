#include <gtest/gtest.h>

#include <cerrno>

#include "error.hpp"

using namespace vesk;

// Texts no end-to-end test reaches; the integrity, decryption, key and
// missing-vault texts are checked through the module in test_load.py.
TEST(Error, DisplayTexts) {
  struct Row {
    VeskError err;
    const char* text;
  };
  const Row rows[] = {
      {VeskError::crypto({CryptoError::Kind::Encrypt, "z"}), "encryption failed: z"},
      {VeskError::github({GithubKeyError::Kind::FetchFailed, "timeout"}), "GitHub key fetch failed: timeout"},
      {VeskError::github({GithubKeyError::Kind::NoSupportedKeys, "bob"}),
       "no supported SSH keys found for GitHub user bob (need ed25519 or rsa)"},
      {VeskError::io(IoError::make(IoError::Kind::Other, "boom")), "I/O error: boom"},
      {VeskError::vault_read(VaultReadError::from_parse("p")), "vault parse error: p"},
      {VeskError::vault_read(VaultReadError::from_io(IoError::from_errno(EISDIR))),
       "vault I/O error: Is a directory (os error 21)"},
  };
  for (const auto& r : rows) EXPECT_EQ(r.err.display(), r.text);
}
