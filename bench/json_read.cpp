// Times the vault document reader on one file: reads it once, then parses
// it `repeats` times and prints the best time in seconds and the byte count.
// bench/json_read.py drives it and compares with CPython's json.loads.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>

#include "types.hpp"

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: %s VAULT_FILE [REPEATS]\n", argv[0]);
    return 2;
  }
  std::ifstream in(argv[1], std::ios::binary);
  const std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  const int repeats = argc > 2 ? std::atoi(argv[2]) : 5;
  double best = 1e30;
  std::size_t secrets = 0;
  for (int i = 0; i < repeats; ++i) {
    const auto start = std::chrono::steady_clock::now();
    auto vault = vesk::parse_vault(text);
    const std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
    if (!vault) {
      std::fprintf(stderr, "parse failed: %s\n", vault.error().display().c_str());
      return 1;
    }
    secrets = vault->secrets.size();
    if (took.count() < best) best = took.count();
  }
  std::printf("%.6f %zu %zu\n", best, text.size(), secrets);
  return 0;
}
