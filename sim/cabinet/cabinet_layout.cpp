#include "sim/cabinet/cabinet_layout.h"

namespace sim::cabinet {

uint32_t Checksum(const unsigned char* bytes, size_t count, uint32_t seed) {
  uint32_t sum = seed;
  size_t i = 0;
  for (; i + 4 <= count; i += 4) sum ^= Read32(bytes + i);
  uint32_t last = 0;
  switch (count - i) {
    case 3: last = (static_cast<uint32_t>(bytes[i]) << 16) | (static_cast<uint32_t>(bytes[i + 1]) << 8) | bytes[i + 2]; break;
    case 2: last = (static_cast<uint32_t>(bytes[i]) << 8) | bytes[i + 1]; break;
    case 1: last = bytes[i]; break;
    default: break;
  }
  return sum ^ last;
}

uint32_t BlockChecksum(const unsigned char* header_from_size, size_t header_bytes, const unsigned char* data,
                       size_t data_bytes) {
  return Checksum(header_from_size, header_bytes, Checksum(data, data_bytes, 0));
}

}  // namespace sim::cabinet
