// Decrypting one small vault value, against the X25519 work it cannot avoid.
//
// (a) the floor: one raw X25519 derivation with OpenSSL (a loaded private
//     key, a fresh peer key, one derive);
// (b) decrypt_value of a 32-byte value encrypted to 1 recipient;
// (c) the same encrypted to 20 X25519 recipients, ours last.
// Targets: (b) <= 1.5 x (a), (c) <= 1.2 x 20 x (a). Also prints the `age -d`
// program per value, for comparison. Needs `age` and `age-keygen` on PATH.
#include <openssl/evp.h>
#include <stdlib.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <string>

#include "age/base64.hpp"
#include "crypto.hpp"

namespace {

using Clock = std::chrono::steady_clock;
constexpr double kSecondsPerMeasure = 1.0;
constexpr int kAgeRuns = 20;

std::string read_file(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), {}};
}

std::string shell(const std::string& cmd) {
  std::string out;
  if (FILE* p = ::popen(cmd.c_str(), "r")) {
    char buf[512];
    for (std::size_t n; (n = std::fread(buf, 1, sizeof buf, p)) > 0;) out.append(buf, n);
    ::pclose(p);
  }
  return out;
}

// Mean seconds per call, over about a second of calls.
double per_call(const std::function<void()>& f) {
  for (int i = 0; i < 10; ++i) f();
  long n = 0;
  auto start = Clock::now();
  double elapsed = 0;
  while (elapsed < kSecondsPerMeasure) {
    for (int i = 0; i < 50; ++i) f();
    n += 50;
    elapsed = std::chrono::duration<double>(Clock::now() - start).count();
  }
  return elapsed / static_cast<double>(n);
}

double raw_x25519() {
  EVP_PKEY* priv = EVP_PKEY_Q_keygen(nullptr, nullptr, "X25519");
  EVP_PKEY* other = EVP_PKEY_Q_keygen(nullptr, nullptr, "X25519");
  unsigned char pub[32], out[32];
  std::size_t len = sizeof pub;
  EVP_PKEY_get_raw_public_key(other, pub, &len);
  double t = per_call([&] {
    EVP_PKEY* peer = EVP_PKEY_new_raw_public_key(EVP_PKEY_X25519, nullptr, pub, sizeof pub);
    EVP_PKEY_CTX* ctx = EVP_PKEY_CTX_new(priv, nullptr);
    std::size_t n = sizeof out;
    EVP_PKEY_derive_init(ctx);
    EVP_PKEY_derive_set_peer(ctx, peer);
    EVP_PKEY_derive(ctx, out, &n);
    EVP_PKEY_CTX_free(ctx);
    EVP_PKEY_free(peer);
  });
  EVP_PKEY_free(other);
  EVP_PKEY_free(priv);
  return t;
}

}  // namespace

int main() {
  std::string dir = (std::filesystem::temp_directory_path() / "vesk-bench-XXXXXX").string();
  if (!::mkdtemp(dir.data())) return 1;
  shell("age-keygen -o " + dir + "/key 2>/dev/null");
  std::string others;
  for (int i = 0; i < 19; ++i) {
    shell("age-keygen -o " + dir + "/k" + std::to_string(i) + " 2>/dev/null");
    others += "-r " + shell("age-keygen -y " + dir + "/k" + std::to_string(i)).substr(0, 62) + " ";
  }
  std::string ours = "-r " + shell("age-keygen -y " + dir + "/key").substr(0, 62);
  shell("head -c 32 /dev/urandom > " + dir + "/value");
  shell("age " + ours + " -o " + dir + "/one " + dir + "/value");
  shell("age " + others + ours + " -o " + dir + "/twenty " + dir + "/value");
  auto id = vesk::crypto::parse_identity(read_file(dir + "/key"));
  std::string one = read_file(dir + "/one"), twenty = read_file(dir + "/twenty");
  if (!id || one.empty() || twenty.empty()) {
    std::fprintf(stderr, "setup failed: are age and age-keygen installed?\n");
    return 1;
  }
  auto b64 = [](const std::string& s) { return vesk::age::base64_encode(vesk::age::as_bytes(s)); };
  std::string v1 = b64(one), v20 = b64(twenty);
  double a = raw_x25519();
  double b = per_call([&] { (void)vesk::decrypt_value(*id, v1); });
  double c = per_call([&] { (void)vesk::decrypt_value(*id, v20); });
  auto start = Clock::now();
  for (int i = 0; i < kAgeRuns; ++i) shell("age -d -i " + dir + "/key " + dir + "/one");
  double age_d = std::chrono::duration<double>(Clock::now() - start).count() / kAgeRuns;
  std::filesystem::remove_all(dir);

  std::printf("(a) raw X25519 derivation (OpenSSL):   %8.2f us\n", a * 1e6);
  std::printf("(b) decrypt_value, 1 recipient:        %8.2f us   ratio b/a      = %.2f (target <= 1.5)\n",
              b * 1e6, b / a);
  std::printf("(c) decrypt_value, 20 recipients:      %8.2f us   ratio c/(20 a) = %.2f (target <= 1.2)\n",
              c * 1e6, c / (20 * a));
  std::printf("`age -d` per value (process start included): %.2f ms, %.0fx (b)\n", age_d * 1e3, age_d / b);
  return 0;
}
