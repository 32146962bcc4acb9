#include "platform/temporary_names.h"

#include <cstdint>
#include <random>

namespace plotspool::platform {

std::string RandomHex12() {
  static std::mt19937_64 generator{std::random_device{}()};
  static constexpr char kHex[] = "0123456789abcdef";
  std::uint64_t bits = generator();
  std::string text;
  for (int i = 0; i < 12; ++i, bits >>= 4) text += kHex[bits & 15];
  return text;
}

std::string HiddenTemporaryName(const std::string& leaf) {
  // Short enough that a long target name cannot make the temporary's name too long.
  return kOwnTemporaryPrefix + leaf.substr(0, 64) + "." + RandomHex12() + ".tmp";
}

}  // namespace plotspool::platform
