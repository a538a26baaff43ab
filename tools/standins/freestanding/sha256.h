// SHA-256 (FIPS 180-4) without a library, for the patch scheme of the freestanding
// installed-setup stand-in; the host tool makes the same digests with OpenSSL.
#pragma once
#include "platform/types.h"

namespace freestanding_standins {

constexpr SIZE_T kSha256Size = 32;

class Sha256 {
 public:
  Sha256();
  void Update(const BYTE* data, SIZE_T size);
  void Finish(BYTE digest[kSha256Size]);

 private:
  void Compress(const BYTE block[64]);
  DWORD state_[8];
  BYTE block_[64];
  SIZE_T block_size_ = 0;
  unsigned long long total_bytes_ = 0;
};

void Sha256Digest(const BYTE* data, SIZE_T size, BYTE digest[kSha256Size]);

}  // namespace freestanding_standins
