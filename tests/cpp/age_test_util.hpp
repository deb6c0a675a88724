// Helpers for the age tests: files, outcomes of a key text, and running the real `age`, `age-keygen`
// and `ssh-keygen` programs that produce test inputs.
#pragma once

#include <stdio.h>

#include <array>
#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "crypto.hpp"
#include "scoped_env.hpp"

namespace vesk::testing_age {

using fixture::TempDir;

inline std::vector<std::uint8_t> read_bytes(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), {}};
}

inline std::string read_text(const std::string& path) {
  auto b = read_bytes(path);
  return {b.begin(), b.end()};
}

inline void write_file(const std::string& path, const std::string& content) {
  std::ofstream(path, std::ios::binary) << content;
}

// Runs a shell command (test inputs only) and returns its exit status.
inline int run(const std::string& command) { return std::system(command.c_str()); }

// Runs a command and captures its standard output.
inline std::string capture(const std::string& command) {
  std::string out;
  if (FILE* p = ::popen(command.c_str(), "r")) {
    char buf[4096];
    for (std::size_t n; (n = std::fread(buf, 1, sizeof buf, p)) > 0;) out.append(buf, n);
    ::pclose(p);
  }
  return out;
}

// "X25519 <pubkey>", "Ssh <pubkey>", "Plugin <pubkey>", or the key's error text.
inline std::string describe(const std::string& key_text) {
  auto id = crypto::parse_identity(key_text);
  if (!id) return id.error().display();
  auto pub = id->pubkey_string();
  return std::string(std::array{"X25519", "Ssh", "Plugin"}[static_cast<int>(id->kind())]) + " " +
         (pub ? *pub : pub.error().display());
}

// The plaintext, or "!" and the key's or the decryption's error text.
inline std::string decrypt_with(const std::string& key_text, const std::vector<std::uint8_t>& ciphertext) {
  auto id = crypto::parse_identity(key_text);
  if (!id) return "!" + id.error().display();
  auto r = crypto::decrypt(*id, ciphertext);
  return r ? std::string(r->begin(), r->end()) : "!" + r.error().display();
}

// Lower-case hex of bytes or chars.
template <class Bytes>
std::string hex(const Bytes& bytes) {
  std::string s;
  for (auto c : bytes) {
    const auto b = static_cast<std::uint8_t>(c);
    s += {"0123456789abcdef"[b >> 4], "0123456789abcdef"[b & 15]};
  }
  return s;
}

inline bool have_program(const std::string& name) { return run("command -v " + name + " >/dev/null 2>&1") == 0; }

}  // namespace vesk::testing_age
