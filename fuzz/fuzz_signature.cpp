// The integrity checks on arbitrary meta bytes against a fixed document: the
// meta reader, the MAC check and the signature check must never crash, and
// with a MAC key the expected MAC text is always one that verifies (without
// one it is the unkeyed text, which the downgrade guard may refuse).
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "mac.hpp"
#include "signature.hpp"
#include "types.hpp"

namespace {

const vesk::Vault& fixed_document() {
  static const vesk::Vault vault = [] {
    vesk::Vault v;
    v.version = "2.0";
    v.recipients = {"ssh-ed25519 AAAAC3NzaC1lZDI1NTE5AAAAIDtqJ7zOtqQtYqOo0CpvDXNlMhV3HeJDpjrASKGLWdop c",
                    "age1qyqszqgpqyqszqgpqyqszqgpqyqszqgpqyqszqgpqyqszqgpqyqs3290gq"};
    v.schema["API"] = vesk::SchemaEntry{"d", "e", {"t"}, "c", "u", 30, "x", {}};
    v.secrets["API"] = vesk::SecretEntry{"YQ==", {{"k", "Yg=="}}, {}};
    return v;
  }();
  return vault;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view bytes(reinterpret_cast<const char*>(data), size);
  const auto meta = vesk::parse_meta(bytes);
  if (!meta) return 0;
  const vesk::Vault& vault = fixed_document();
  const auto key = meta->mac_key ? vesk::mac::decode_mac_key(*meta->mac_key) : std::nullopt;
  (void)vesk::mac::verify_mac(vault, meta->groups, meta->grants, meta->mac, key);
  const std::string expected = vesk::mac::compute_mac(vault, meta->groups, meta->grants, key);
  if (key && !vesk::mac::verify_mac(vault, meta->groups, meta->grants, expected, key)) std::abort();
  if (meta->sig) {
    (void)vesk::signature::verify_vault_signature(vault, meta->groups, meta->grants,
                                                  meta->github_pins, meta->signers, *meta->sig);
  }
  return 0;
}
