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
#include "error.hpp"

namespace vesk::age {
namespace {

using namespace std::chrono_literals;

constexpr std::string_view kStateMachine = "--age-plugin=identity-v1";
constexpr auto kSlowPluginNotice = 10s;
// A plugin message larger than this is refused instead of buffered without end.
constexpr std::size_t kMaxMessage = std::size_t{16} << 20;
constexpr std::size_t kFileKeyLen = 16;
constexpr const char* kInvalidResponse = "invalid response";

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

std::string lossy(const std::vector<std::uint8_t>& b) { return std::string(b.begin(), b.end()); }

// A fresh empty directory for the plugin to run in, removed afterwards.
struct ScratchDir {
  std::string path;
  ScratchDir() {
    std::string tmpl = (std::filesystem::temp_directory_path() / "age-plugin-XXXXXX").string();
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
  ~Session() { wipe(buffer_); }

  Result<Stanza, std::string> receive();
  bool send(std::string message) {
    bool ok = child_.write_all(message);
    wipe(message);
    return ok;
  }
  const std::string& binary() const { return binary_; }

 private:
  ChildProcess& child_;
  std::string binary_;
  std::string buffer_;
  std::chrono::steady_clock::time_point notice_at_;
  bool noticed_ = false;
};

Result<Stanza, std::string> Session::receive() {
  for (;;) {
    Stanza s;
    std::size_t used = 0;
    auto parsed = parse_strict_stanza(as_bytes(buffer_), s, used);
    if (parsed == StanzaParse::Ok) {
      wipe(buffer_.data(), used);
      buffer_.erase(0, used);
      return s;
    }
    if (parsed == StanzaParse::Invalid || buffer_.size() > kMaxMessage) return unexpected(std::string(kInvalidResponse));
    auto wait = std::chrono::duration_cast<std::chrono::milliseconds>(notice_at_ - std::chrono::steady_clock::now());
    auto status = child_.read_some(buffer_, noticed_ ? -1ms : std::max(wait, 0ms));
    if (status == ChildProcess::ReadStatus::Timeout) {
      // Tell the user once why nothing happens (a hardware key may wait for a touch).
      ui::display_message("Waiting for " + ui::isolate(binary_) + "...");
      noticed_ = true;
    } else if (status != ChildProcess::ReadStatus::Data) {
      return unexpected(plugin_died(binary_));
    }
  }
}

std::string reply(std::string_view tag, const std::vector<std::string>& args = {},
                  std::span<const std::uint8_t> data = {}) {
  return write_stanza(tag, args, data);
}

// What phase 2 gathers.
struct Outcome {
  std::optional<SecretBytes> file_key;
  std::vector<std::string> errors;
};

std::string confirm_reply(const Stanza& cmd, Outcome& out) {
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

std::string secret_reply(const Stanza& cmd) {
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

std::string handle(const Stanza& cmd, Outcome& out, const std::string& binary) {
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
    out.file_key = SecretBytes(cmd.body.begin(), cmd.body.end());
    return reply("ok");
  }
  if (cmd.type == "error") {
    out.errors.push_back(error_text(cmd, binary));
    return reply("ok");
  }
  return reply("unsupported");
}

std::string phase_one(const PluginIdentity& identity, std::span<const Stanza> stanzas) {
  std::string msg = write_stanza("add-identity", {identity.identity}, {});
  for (const auto& s : stanzas) {
    std::vector<std::string> args{"0", s.type};
    args.insert(args.end(), s.args.begin(), s.args.end());
    msg += write_stanza("recipient-stanza", args, s.body);
  }
  return msg + write_stanza("done", {}, {});
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
  std::string binary = "age-plugin-" + identity_.name;
  ScratchDir scratch;
  const char* debug = std::getenv("AGEDEBUG");
  bool inherit_stderr = debug && std::string_view(debug) == "plugin";
  auto child = ChildProcess::start({program_, {std::string(kStateMachine)}, scratch.path, inherit_stderr});
  // A plugin that cannot be started simply matches nothing.
  if (!child) return Unwrap::no_match();
  Session session(*child, binary);
  if (!session.send(phase_one(identity_, stanzas))) return Unwrap::fail(IoError::from_errno(EPIPE).text);
  Outcome out;
  for (;;) {
    auto cmd = session.receive();
    if (!cmd) return Unwrap::fail(std::move(cmd.error()));
    if (cmd->type == "done") break;
    if (!session.send(handle(*cmd, out, binary))) return Unwrap::fail(IoError::from_errno(EPIPE).text);
  }
  return conclude(out);
}

}  // namespace vesk::age
