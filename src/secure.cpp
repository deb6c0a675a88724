#include "secure.hpp"

#include <openssl/crypto.h>

namespace vesk {

void wipe(void* p, std::size_t n) {
  if (p != nullptr && n != 0) OPENSSL_cleanse(p, n);
}

void wipe(std::string& s) {
  wipe(s.data(), s.capacity());
  s.clear();
}

}  // namespace vesk
