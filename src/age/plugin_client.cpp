// The client side of the identity-v1 plugin protocol: phase 1 hands the
// plugin our identity and every stanza, phase 2 answers its commands until it
// is done.
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <filesystem>

#include "age/base64.hpp"
#include "age/child_process.hpp"
#include "age/plugin.hpp"
#include "age/terminal_ui.hpp"
#include "cancel.hpp"
#include "error.hpp"
#include "path.hpp"
#include "unicode.hpp"

namespace vesk::age {
namespace {

using namespace std::chrono_literals;

constexpr std::string_view kStateMachine = "--age-plugin=identity-v1";
constexpr auto kSlowPluginNotice = 10s;
// A plugin message larger than this is refused instead of buffered without end.
constexpr std::size_t kMaxMessage = std::size_t{16} << 20;
constexpr std::size_t kFileKeyLen = 16;
constexpr const char* kInvalidResponse = "invalid response";
// Never shown: the binding raises the pending KeyboardInterrupt instead.
constexpr const char* kInterrupted = "interrupted";

// The program name between quotes, as the messages show it.
std::string quoted(const std::string& binary) {
  std::string q(1, '\'');
  q.append(ui::isolate(binary)).push_back('\'');
  return q;
}

std::string plugin_died(const std::string& binary) {
  std::string text = quoted(binary);
  text.append(" unexpectedly died.\nIf you are developing a plugin, run with ");
  text.append(ui::isolate("AGEDEBUG=plugin"));
  text.append(" for more information.\nWarning: this prints private encryption key material to standard error.");
  return text;
}

std::string too_large(const std::string& binary) {
  return quoted(binary) + " sent a message larger than 16 MiB; the plugin is not working as it should.";
}

// Plugin texts are shown as UTF-8, invalid bytes replaced by U+FFFD.
template <class Bytes>
std::string lossy(const Bytes& b) {
  return unicode::lossy_utf8(std::string_view(reinterpret_cast<const char*>(b.data()), b.size()));
}

// A fresh empty directory for the plugin to run in, removed afterwards; the
// path stays empty when none can be made (TMPDIR missing, say). An empty
// TMPDIR counts as unset, as it does for mkstemp and the shell.
struct ScratchDir {
  std::string path;
  ScratchDir() {
    const char* tmpdir = std::getenv("TMPDIR");
    const std::string base = tmpdir != nullptr && *tmpdir != '\0' ? tmpdir : "/tmp";
    std::string tmpl = vesk::path::join(base, "age-plugin-XXXXXX");
    if (::mkdtemp(tmpl.data())) path = tmpl;
  }
  ~ScratchDir() {
    std::error_code ec;
    if (!path.empty()) std::filesystem::remove_all(path, ec);
  }
};

class Session {
 public:
  Session(ChildProcess& child, std::string binary)
      : child_(child), binary_(std::move(binary)), notice_at_(std::chrono::steady_clock::now() + kSlowPluginNotice) {}

  Result<Stanza, std::string> receive();
  // The error text when the message could not be handed over.
  std::optional<std::string> send(const SecretText& message);

 private:
  std::chrono::milliseconds wait_limit() const;
  void notice();

  ChildProcess& child_;
  std::string binary_;
  std::chrono::steady_clock::time_point notice_at_;
  bool noticed_ = false;
  SecretBytes pending_;  // read from the plugin, not yet parsed from `pos_` on
  std::size_t pos_ = 0;
  StanzaReader reader_{kMaxMessage};
};

// Until the slow-plugin notice is due; after it, no limit.
std::chrono::milliseconds Session::wait_limit() const {
  if (noticed_) return -1ms;
  return std::max(std::chrono::ceil<std::chrono::milliseconds>(notice_at_ - std::chrono::steady_clock::now()), 0ms);
}

// Tells the user once why nothing happens (a hardware key may wait for a touch).
void Session::notice() {
  ui::display_message("Waiting for " + ui::isolate(binary_) + "...");
  noticed_ = true;
}

Result<Stanza, std::string> Session::receive() {
  for (;;) {
    while (pos_ < pending_.size()) {
      std::size_t used = 0;
      const auto status = reader_.feed(std::span<const std::uint8_t>(pending_).subspan(pos_), used);
      pos_ += used;
      if (status == StanzaReader::Status::Ready) return reader_.take();
      if (status == StanzaReader::Status::Invalid) return unexpected(std::string(kInvalidResponse));
      if (status == StanzaReader::Status::TooLarge) return unexpected(too_large(binary_));
    }
    wipe(pending_.data(), pending_.size());
    pending_.clear();
    pos_ = 0;
    const auto status = child_.read_some(pending_, wait_limit());
    if (status == ChildProcess::Status::Timeout) {
      notice();
    } else if (status == ChildProcess::Status::Cancelled) {
      return unexpected(std::string(kInterrupted));
    } else if (status != ChildProcess::Status::Done) {
      return unexpected(plugin_died(binary_));
    }
  }
}

std::optional<std::string> Session::send(const SecretText& message) {
  std::string_view rest = message.view();
  for (;;) {
    const auto status = child_.write(rest, wait_limit());
    if (status == ChildProcess::Status::Done) return std::nullopt;
    if (status == ChildProcess::Status::Cancelled) return kInterrupted;
    if (status != ChildProcess::Status::Timeout) return IoError::from_errno(EPIPE).text;
    notice();
  }
}

SecretText reply(std::string_view tag, const std::vector<std::string_view>& args = {},
                 std::span<const std::uint8_t> data = {}) {
  return write_stanza(tag, args, data);
}

// What phase 2 gathers.
struct Outcome {
  std::optional<SecretBytes> file_key;
  std::vector<std::string> errors;
};

SecretText confirm_reply(const Stanza& cmd, Outcome& out) {
  if (cmd.args.empty()) {
    out.errors.push_back("(internal) confirm command must have at least one metadata argument");
    return reply("fail");
  }
  auto yes = base64_decode_unpadded(cmd.args[0]);
  std::optional<std::vector<std::uint8_t>> no;
  if (cmd.args.size() > 1) no = base64_decode_unpadded(cmd.args[1]);
  if (!yes || (cmd.args.size() > 1 && !no)) {
    out.errors.push_back(
        "(internal) The first two metadata arguments to the confirm command must be Base64-encoded");
    return reply("fail");
  }
  std::optional<std::string> no_text;
  if (no) no_text = lossy(*no);
  auto answer = ui::confirm(lossy(cmd.body), lossy(*yes), no_text ? std::optional<std::string_view>(*no_text)
                                                                   : std::nullopt);
  if (!answer) return reply("fail");
  return reply("ok", {*answer ? "yes" : "no"});
}

SecretText secret_reply(const Stanza& cmd) {
  auto secret = ui::request_passphrase(lossy(cmd.body));
  if (!secret) return reply("fail");
  return reply("ok", {}, secret->bytes());
}

std::string error_text(const Stanza& cmd, const std::string& binary) {
  std::string message = lossy(cmd.body);
  if (cmd.args.size() == 2 && cmd.args[0] == "identity" && cmd.args[1] == "0") {
    return quoted(binary).append(" couldn't use an identity: ").append(ui::isolate(message));
  }
  std::string text = "(" + (cmd.args.empty() ? std::string("unknown") : cmd.args[0]);
  for (std::size_t i = 1; i < cmd.args.size(); ++i) text += " " + cmd.args[i];
  text += ")";
  if (!message.empty()) text += " " + message;
  return text;
}

SecretText handle(const Stanza& cmd, Outcome& out, const std::string& binary) {
  if (cmd.type == "msg") {
    ui::display_message(lossy(cmd.body));
    return reply("ok");
  }
  if (cmd.type == "confirm") return confirm_reply(cmd, out);
  if (cmd.type == "request-public") {
    auto value = ui::request_public_string(lossy(cmd.body));
    return value ? reply("ok", {}, as_bytes(*value)) : reply("fail");
  }
  if (cmd.type == "request-secret") return secret_reply(cmd);
  if (cmd.type == "file-key") {
    // We asked about one file; another index, extra arguments or a second key are refused.
    if (cmd.args.size() != 1 || cmd.args[0] != "0" || out.file_key) return reply("fail");
    out.file_key = cmd.body;
    return reply("ok");
  }
  if (cmd.type == "error") {
    out.errors.push_back(error_text(cmd, binary));
    return reply("ok");
  }
  return reply("unsupported");
}

SecretText phase_one(const PluginIdentity& identity, std::span<const Stanza> stanzas) {
  // Views only: the identity text is the key and stays in its wiping storage.
  SecretText msg = write_stanza("add-identity", {identity.identity.view()}, {});
  for (const auto& s : stanzas) {
    std::vector<std::string_view> args{"0", s.type};
    args.insert(args.end(), s.args.begin(), s.args.end());
    msg.append(write_stanza("recipient-stanza", args, s.body).view());
  }
  msg.append(write_stanza("done", {}, {}).view());
  return msg;
}

Unwrap conclude(Outcome& out) {
  if (out.file_key) {
    if (out.file_key->size() != kFileKeyLen) return Unwrap::fail(kErrDecryptionFailed);
    FileKey key;
    std::copy(out.file_key->begin(), out.file_key->end(), key.bytes.begin());
    return Unwrap::found(key);
  }
  if (out.errors.size() == 1) return Unwrap::fail(out.errors[0]);
  if (out.errors.empty()) return Unwrap::no_match();
  std::string text = "Plugin returned multiple errors:\n";
  for (const auto& e : out.errors) text += "- " + e + "\n";
  return Unwrap::fail(text);
}

}  // namespace

Unwrap PluginIdentityV1::unwrap_stanzas(std::span<const Stanza> stanzas) const {
  // A cancelled load starts no more plugins.
  if (cancel::requested()) return Unwrap::fail(kInterrupted);
  std::string binary = "age-plugin-" + identity_.name;
  ScratchDir scratch;
  // Without its fresh directory the plugin is not started, and like a plugin
  // that cannot be started it matches nothing.
  if (scratch.path.empty()) return Unwrap::no_match();
  const char* debug = std::getenv("AGEDEBUG");
  bool inherit_stderr = debug && std::string_view(debug) == "plugin";
  auto child = ChildProcess::start({program_, {std::string(kStateMachine)}, scratch.path, inherit_stderr});
  if (!child) return Unwrap::no_match();
  Session session(*child, binary);
  if (auto failed = session.send(phase_one(identity_, stanzas))) return Unwrap::fail(std::move(*failed));
  Outcome out;
  for (;;) {
    auto cmd = session.receive();
    if (!cmd) return Unwrap::fail(std::move(cmd.error()));
    if (cmd->type == "done") break;
    if (auto failed = session.send(handle(*cmd, out, binary))) return Unwrap::fail(std::move(*failed));
  }
  return conclude(out);
}

}  // namespace vesk::age
