// The OpenSSH / PKCS#1 private key reader and the recipient it derives.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "age/ssh.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::string_view text(reinterpret_cast<const char*>(data), size);
  auto read = vesk::age::read_ssh_identity(text);
  if (read.kind == vesk::age::SshRead::Kind::Unencrypted) {
    if (!read.identity) std::abort();
    auto pub = read.identity->recipient_string();
    // A derived recipient must read back as a recipient.
    if (pub && pub->find(' ') == std::string::npos) std::abort();
  }
  (void)vesk::age::parse_ssh_recipient(text);
  return 0;
}
