// Parsing a plugin's reply as the client reads it (16 KiB pieces from the
// pipe), at 1, 4 and 16 MiB (the cap), against two floors measured on the
// same bytes in the same run: copying them, and base64-decoding the body.
//
// Prints milliseconds per size and the ratios; the goal is linear growth:
// parse / decode stays flat across sizes, and 16 MiB takes about 16 times
// as long as 1 MiB.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <functional>
#include <random>
#include <string>
#include <vector>

#include "age/base64.hpp"
#include "age/format.hpp"

namespace {

using Clock = std::chrono::steady_clock;
constexpr std::size_t kPiece = 16384;
constexpr std::size_t kCap = std::size_t{16} << 20;
constexpr int kRounds = 7;

double best_ms(const std::function<void()>& f) {
  double best = 1e18;
  for (int i = 0; i < kRounds; ++i) {
    const auto t0 = Clock::now();
    f();
    best = std::min(best, std::chrono::duration<double, std::milli>(Clock::now() - t0).count());
  }
  return best;
}

// A "msg" stanza whose whole text is just under `size` bytes.
std::string reply_of(std::size_t size) {
  std::vector<std::uint8_t> body((size - 16) / 65 * 48);
  std::mt19937 rng(1);
  for (auto& b : body) b = static_cast<std::uint8_t>(rng());
  return std::string(vesk::age::write_stanza("msg", {}, body).view());
}

std::size_t parse(const std::string& reply) {
  vesk::age::StanzaReader reader(kCap);
  std::size_t found = 0;
  for (std::size_t at = 0; at < reply.size(); at += kPiece) {
    std::span<const std::uint8_t> piece(reinterpret_cast<const std::uint8_t*>(reply.data()) + at,
                                        std::min(kPiece, reply.size() - at));
    while (!piece.empty()) {
      std::size_t used = 0;
      auto st = reader.feed(piece, used);
      piece = piece.subspan(used);
      if (st == vesk::age::StanzaReader::Status::Ready) found += reader.take().body.size();
      else if (st != vesk::age::StanzaReader::Status::NeedMore) return 0;
    }
  }
  return found;
}

}  // namespace

int main() {
  std::printf("%8s %10s %10s %10s %14s %14s %12s\n", "size", "parse ms", "copy ms", "decode ms", "parse/copy",
              "parse/decode", "vs 1 MiB");
  double first = 0;
  for (std::size_t mib : {1, 4, 16}) {
    const std::string reply = reply_of(mib << 20);
    // The body text without its line feeds, for the decode floor.
    std::string text;
    for (std::size_t at = reply.find('\n') + 1; at < reply.size(); at += 65) text.append(reply, at, 64);
    while (!text.empty() && text.back() == '\n') text.pop_back();
    std::string copy(reply.size(), '\0');
    std::size_t sink = 0;
    const double parse_ms = best_ms([&] { sink += parse(reply); });
    const double copy_ms = best_ms([&] {
      std::memcpy(copy.data(), reply.data(), reply.size());
      sink += static_cast<unsigned char>(copy[reply.size() / 2]);
    });
    const double decode_ms = best_ms([&] { sink += vesk::age::base64_decode_unpadded(text)->size(); });
    if (sink == 0) return 1;
    if (first == 0) first = parse_ms;
    std::printf("%5zu MiB %10.2f %10.2f %10.2f %14.1f %14.2f %12.2f\n", mib, parse_ms, copy_ms, decode_ms,
                parse_ms / copy_ms, parse_ms / decode_ms, parse_ms / first);
  }
  return 0;
}
