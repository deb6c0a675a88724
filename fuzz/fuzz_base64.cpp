// Both strict base64 decoders: what decodes must re-encode to the same text.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "age/base64.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::string_view text(reinterpret_cast<const char*>(data), size);
  if (auto padded = vesk::age::base64_decode(text)) {
    if (vesk::age::base64_encode(*padded) != text) std::abort();
  } else if (padded.error().empty()) {
    std::abort();
  }
  if (auto bare = vesk::age::base64_decode_unpadded(text)) {
    if (vesk::age::base64_encode_unpadded(*bare) != text) std::abort();
  }
  return 0;
}
