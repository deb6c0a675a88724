// A vault read from a FIFO against the same vault read from a regular file
// (the floor: a FIFO only adds the pipe's copies and the waits for its writer).
// The vault is synthetic, about MIB MiB (default 256) of secrets with a shared
// value each; a thread of this process writes it into the FIFO in one write.
//
// Usage: bench_fifo_read [MIB]. Prints the median of a few reads of each and
// their ratio; the goal is fifo / file <= 1.5.
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "vault.hpp"

namespace {

using Clock = std::chrono::steady_clock;
constexpr int kRounds = 5;
constexpr std::size_t kValueBytes = 2048;  // base64 of an age file for a few recipients

std::string synthetic(std::size_t target) {
  static constexpr char kB64[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string value(kValueBytes, 'A');
  for (std::size_t i = 0; i < value.size(); ++i) value[i] = kB64[(i * 31) % 64];
  std::string schema, secrets;
  for (std::size_t i = 0; schema.size() + secrets.size() < target; ++i) {
    const std::string name = "\"SECRET_" + std::to_string(i) + "\"";
    schema += (i ? "," : "") + name + ":{\"description\":\"secret\",\"tags\":[\"app\"]}";
    secrets += (i ? "," : "") + name + ":{\"shared\":\"" + value + "\"}";
  }
  return "{\"version\":\"2.0\",\"created\":\"2026-01-01\",\"vault_name\":\"bench\",\"recipients\":[],"
         "\"schema\":{" + schema + "},\"secrets\":{" + secrets + "},\"meta\":\"\"}";
}

bool write_file(const std::string& path, const std::string& text) {
  std::FILE* f = std::fopen(path.c_str(), "wb");
  if (!f) return false;
  const bool ok = std::fwrite(text.data(), 1, text.size(), f) == text.size();
  return std::fclose(f) == 0 && ok;
}

double median_seconds(const std::function<void()>& round) {
  std::vector<double> samples;
  for (int i = 0; i < kRounds; ++i) {
    const auto start = Clock::now();
    round();
    samples.push_back(std::chrono::duration<double>(Clock::now() - start).count());
  }
  std::sort(samples.begin(), samples.end());
  return samples[samples.size() / 2];
}

// A failed read ends the run at once: a FIFO writer may be left blocked.
void read_vault(const std::string& path) {
  if (auto vault = vesk::vault::read(path); !vault) {
    std::fprintf(stderr, "reading %s failed: %s\n", path.c_str(), vault.error().display().c_str());
    std::_Exit(1);
  }
}

// The writer opens the FIFO blocking, so it starts once the read has opened it.
void read_fifo(const std::string& fifo, const std::string& text) {
  std::thread writer([&] {
    std::FILE* f = std::fopen(fifo.c_str(), "wb");
    if (!f) return;
    std::fwrite(text.data(), 1, text.size(), f);
    std::fclose(f);
  });
  read_vault(fifo);
  writer.join();
}

}  // namespace

int main(int argc, char** argv) {
  const std::size_t mib = argc > 1 ? std::strtoul(argv[1], nullptr, 10) : 256;
  const std::string text = synthetic(mib << 20);
  const char* tmp = std::getenv("TMPDIR");
  std::string dir = std::string(tmp && *tmp ? tmp : "/tmp") + "/vesk-bench-XXXXXX";
  if (!::mkdtemp(dir.data())) return 1;
  const std::string file = dir + "/vault.vesk", fifo = dir + "/fifo.vesk";
  if (!write_file(file, text) || ::mkfifo(fifo.c_str(), 0600) != 0) return 1;
  const double file_s = median_seconds([&] { read_vault(file); });
  const double fifo_s = median_seconds([&] { read_fifo(fifo, text); });
  ::unlink(file.c_str());
  ::unlink(fifo.c_str());
  ::rmdir(dir.c_str());
  std::printf("vault: %.1f MiB\n", static_cast<double>(text.size()) / (1 << 20));
  std::printf("regular file   %8.1f ms\n", file_s * 1e3);
  std::printf("FIFO           %8.1f ms   fifo/file = %.2fx  (target <= 1.5x)\n", fifo_s * 1e3,
              fifo_s / file_s);
  return 0;
}
