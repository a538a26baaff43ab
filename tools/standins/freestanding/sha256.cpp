#include "tools/standins/freestanding/sha256.h"

namespace freestanding_standins {

namespace {

constexpr DWORD kRoundConstants[64] = {
    0x428a2f98, 0x71374491, 0xb5c0fbcf, 0xe9b5dba5, 0x3956c25b, 0x59f111f1, 0x923f82a4, 0xab1c5ed5,
    0xd807aa98, 0x12835b01, 0x243185be, 0x550c7dc3, 0x72be5d74, 0x80deb1fe, 0x9bdc06a7, 0xc19bf174,
    0xe49b69c1, 0xefbe4786, 0x0fc19dc6, 0x240ca1cc, 0x2de92c6f, 0x4a7484aa, 0x5cb0a9dc, 0x76f988da,
    0x983e5152, 0xa831c66d, 0xb00327c8, 0xbf597fc7, 0xc6e00bf3, 0xd5a79147, 0x06ca6351, 0x14292967,
    0x27b70a85, 0x2e1b2138, 0x4d2c6dfc, 0x53380d13, 0x650a7354, 0x766a0abb, 0x81c2c92e, 0x92722c85,
    0xa2bfe8a1, 0xa81a664b, 0xc24b8b70, 0xc76c51a3, 0xd192e819, 0xd6990624, 0xf40e3585, 0x106aa070,
    0x19a4c116, 0x1e376c08, 0x2748774c, 0x34b0bcb5, 0x391c0cb3, 0x4ed8aa4a, 0x5b9cca4f, 0x682e6ff3,
    0x748f82ee, 0x78a5636f, 0x84c87814, 0x8cc70208, 0x90befffa, 0xa4506ceb, 0xbef9a3f7, 0xc67178f2};

DWORD RotateRight(DWORD value, int bits) { return value >> bits | value << (32 - bits); }

}  // namespace

Sha256::Sha256()
    : state_{0x6a09e667, 0xbb67ae85, 0x3c6ef372, 0xa54ff53a, 0x510e527f, 0x9b05688c, 0x1f83d9ab, 0x5be0cd19},
      block_{} {}

void Sha256::Compress(const BYTE block[64]) {
  DWORD schedule[64];
  for (int i = 0; i < 16; ++i) {
    schedule[i] = static_cast<DWORD>(block[4 * i]) << 24 | static_cast<DWORD>(block[4 * i + 1]) << 16 |
                  static_cast<DWORD>(block[4 * i + 2]) << 8 | block[4 * i + 3];
  }
  for (int i = 16; i < 64; ++i) {
    const DWORD s0 = RotateRight(schedule[i - 15], 7) ^ RotateRight(schedule[i - 15], 18) ^ (schedule[i - 15] >> 3);
    const DWORD s1 = RotateRight(schedule[i - 2], 17) ^ RotateRight(schedule[i - 2], 19) ^ (schedule[i - 2] >> 10);
    schedule[i] = schedule[i - 16] + s0 + schedule[i - 7] + s1;
  }
  DWORD a = state_[0], b = state_[1], c = state_[2], d = state_[3];
  DWORD e = state_[4], f = state_[5], g = state_[6], h = state_[7];
  for (int i = 0; i < 64; ++i) {
    const DWORD t1 = h + (RotateRight(e, 6) ^ RotateRight(e, 11) ^ RotateRight(e, 25)) + ((e & f) ^ (~e & g)) +
                     kRoundConstants[i] + schedule[i];
    const DWORD t2 = (RotateRight(a, 2) ^ RotateRight(a, 13) ^ RotateRight(a, 22)) + ((a & b) ^ (a & c) ^ (b & c));
    h = g;
    g = f;
    f = e;
    e = d + t1;
    d = c;
    c = b;
    b = a;
    a = t1 + t2;
  }
  state_[0] += a; state_[1] += b; state_[2] += c; state_[3] += d;
  state_[4] += e; state_[5] += f; state_[6] += g; state_[7] += h;
}

void Sha256::Update(const BYTE* data, SIZE_T size) {
  total_bytes_ += size;
  for (SIZE_T i = 0; i < size; ++i) {
    block_[block_size_++] = data[i];
    if (block_size_ == 64) {
      Compress(block_);
      block_size_ = 0;
    }
  }
}

void Sha256::Finish(BYTE digest[kSha256Size]) {
  const unsigned long long bits = total_bytes_ * 8;
  const BYTE one = 0x80, zero = 0;
  Update(&one, 1);
  while (block_size_ != 56) Update(&zero, 1);
  BYTE length[8];
  for (int i = 0; i < 8; ++i) length[i] = static_cast<BYTE>(bits >> (56 - 8 * i));
  Update(length, 8);
  for (int i = 0; i < 8; ++i) {
    for (int j = 0; j < 4; ++j) digest[4 * i + j] = static_cast<BYTE>(state_[i] >> (24 - 8 * j));
  }
}

void Sha256Digest(const BYTE* data, SIZE_T size, BYTE digest[kSha256Size]) {
  Sha256 hash;
  hash.Update(data, size);
  hash.Finish(digest);
}

}  // namespace freestanding_standins
