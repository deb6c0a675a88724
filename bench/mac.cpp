// The newest MAC and the signed view of a 50 MB synthetic document, against
// BLAKE3's own throughput on the same stream bytes (the floor: the keyed MAC
// cannot be faster than hashing its stream).
//
// Prints MB/s per step and the ratios; the goal is that building the stream
// costs no more than hashing it (build / hash <= 1).
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <memory>
#include <functional>
#include <string>

#include "blake3.h"
#include "mac.hpp"
#include "signature.hpp"

namespace {

using Clock = std::chrono::steady_clock;
constexpr std::size_t kTargetBytes = 50u << 20;
constexpr int kRounds = 10;

std::string filler(std::size_t n, std::size_t seed) {
  static constexpr char kB64[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string s(n, 'A');
  for (std::size_t i = 0; i < n; ++i) s[i] = kB64[(i * 31 + seed * 17) % 64];
  return s;
}

struct Document {
  vesk::Vault vault;
  vesk::OrderedMap<vesk::TextList> groups;
  vesk::OrderedMap<vesk::GrantEntry> grants;
  vesk::UnorderedMap<vesk::TextList> github_pins;
  vesk::OrderedMap<std::string> signers;
};

// Secrets with a shared value, two scoped and one grouped value each, and a
// schema entry per secret, until the document holds about 50 MB of text.
Document synthetic() {
  Document d;
  d.vault.version = "2.0";
  for (int r = 0; r < 20; ++r) d.vault.recipients.push_back("age1" + filler(58, r));
  d.vault.policy = vesk::Policy{{"prod", "db", "ci"}};
  d.groups["ops"] = {d.vault.recipients[0], d.vault.recipients[1]};
  d.grants["bot"] = vesk::GrantEntry{d.vault.recipients[2], {"prod"}, "2026-01-01T00:00:00Z", "", "me"};
  std::size_t total = 0;
  for (std::size_t i = 0; total < kTargetBytes; ++i) {
    char name[32];
    std::snprintf(name, sizeof name, "SECRET_%07zu", i);
    vesk::SecretEntry e{filler(600, i), {}, {}};
    e.scoped[d.vault.recipients[i % 20]] = filler(500, i + 1);
    e.scoped[d.vault.recipients[(i + 7) % 20]] = filler(500, i + 2);
    e.grouped["ops"] = filler(500, i + 3);
    d.vault.secrets.emplace(name, std::move(e));
    d.vault.schema.emplace(name, vesk::SchemaEntry{"what it is", "example", {"prod", "db"}, "2026-01-01",
                                                   "2026-02-01", 90, {}, {}});
    total += 600 + 1000 + 500 + 3 * 62 + 60;
  }
  d.vault.schema.begin()->second.revoked_at = "2026-03-01";
  return d;
}

// The best of a few rounds, in seconds.
double best_of(const std::function<void()>& f) {
  double best = 1e9;
  for (int i = 0; i < kRounds; ++i) {
    const auto t0 = Clock::now();
    f();
    best = std::min(best, std::chrono::duration<double>(Clock::now() - t0).count());
  }
  return best;
}

double mb_per_s(std::size_t bytes, double seconds) { return bytes / seconds / 1e6; }

}  // namespace

int main() {
  const Document d = synthetic();
  vesk::mac::MacKey key{};
  key.bytes.fill(0x42);

  vesk::mac::MacBytes stream;
  vesk::mac::v8_mac_bytes(d.vault, d.groups, d.grants, stream);  // the v9 stream bar its last bytes
  const std::size_t n = stream.size();
  std::string sink;

  const double hash = best_of([&] {
    blake3_hasher h;
    blake3_hasher_init_keyed(&h, key.data());
    blake3_hasher_update(&h, stream.data(), stream.size());
    std::uint8_t out[32];
    blake3_hasher_finalize(&h, out, sizeof out);
    sink.assign(1, static_cast<char>(out[0]));
  });
  const double mac = best_of([&] { sink = vesk::mac::compute_mac_v9(d.vault, d.groups, d.grants, key); });
  // What the MAC spends beyond hashing: measuring and building its stream.
  const double build = std::max(mac - hash, 0.0);
  // A buffer of the stream's size, fresh from the allocator and written once:
  // what holding the stream in one buffer costs before any byte is built.
  const double touch = best_of([&] {
    std::unique_ptr<std::uint8_t[]> fresh(new std::uint8_t[n]);
    std::memset(fresh.get(), 1, n);
    sink.assign(1, static_cast<char>(fresh[n - 1]));
  });
  std::size_t view_bytes = 0;
  const double view = best_of([&] {
    const auto v = vesk::signature::signing_message::make_view(d.vault, d.groups, d.grants,
                                                                d.github_pins, d.signers);
    view_bytes = vesk::signature::signing_message::message(v).size();
  });

  std::printf("document: %zu secrets, MAC stream %.1f MB, signed view %.1f MB\n",
              d.vault.secrets.size(), n / 1e6, view_bytes / 1e6);
  std::printf("BLAKE3 keyed hash of the stream (floor): %8.0f MB/s\n", mb_per_s(n, hash));
  std::printf("stream building (MAC minus hash):        %8.0f MB/s\n", mb_per_s(n, build));
  std::printf("fresh stream-sized buffer, first write:  %8.0f MB/s\n", mb_per_s(n, touch));
  std::printf("newest MAC (compute_mac_v9, build+hash): %8.0f MB/s\n", mb_per_s(n, mac));
  std::printf("signed view (make_view + message):       %8.0f MB/s\n", mb_per_s(view_bytes, view));
  std::printf("ratio build / hash: %.2f (goal <= 1)\n", build / hash);
  std::printf("ratio MAC / hash:   %.2f\n", mac / hash);
  std::printf("ratio fresh buffer / hash: %.2f (part of the build that is the buffer itself)\n",
              touch / hash);
  std::printf("ratio view / hash:  %.2f (per byte)\n", (view / view_bytes) / (hash / n));
  return 0;
}
