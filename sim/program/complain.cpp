#include "sim/program/complain.h"

#include <cstdio>
#include <cstring>

namespace velquin::sim {

int complain(int status, std::string_view message) {
  std::fprintf(stderr, "%s: %.*s\n", me, static_cast<int>(message.size()), message.data());
  return status;
}

std::string failure(const std::string& what, int e) {
  return what + ": " + std::strerror(e);
}

std::string untypeable(char c) {
  char detail[8];
  std::snprintf(detail, sizeof detail, "0x%02x", static_cast<unsigned char>(c));
  return std::string("no key types the character ") + detail;
}

}  // namespace velquin::sim
