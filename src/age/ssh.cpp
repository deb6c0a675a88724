// The ssh-ed25519 and ssh-rsa stanzas.
#include "age/ssh.hpp"

namespace vesk::age {

struct SshIdentity::Impl {
  Kind kind = Kind::Ed25519;
};

SshIdentity::SshIdentity(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}
SshIdentity::SshIdentity(SshIdentity&&) noexcept = default;
SshIdentity& SshIdentity::operator=(SshIdentity&&) noexcept = default;
SshIdentity::~SshIdentity() = default;
SshIdentity::Kind SshIdentity::kind() const { return impl_->kind; }
Result<std::string, std::string> SshIdentity::recipient_string() const { return unexpected(std::string("Ignore")); }
Unwrap SshIdentity::unwrap_stanza(const Stanza&) const { return Unwrap::no_match(); }
SshRead read_ssh_identity(std::string_view) { return {}; }
bool parse_ssh_recipient(std::string_view) { return false; }

}  // namespace vesk::age
