#include "tools/standins/setup_patch.h"

#include <openssl/evp.h>

#include <memory>
#include <stdexcept>

namespace standins {

namespace {

constexpr char kMagic[8] = {'S', 'E', 'T', 'U', 'P', 'P', 'A', '1'};
constexpr size_t kDigestSize = 32;
constexpr size_t kHeaderSize = sizeof kMagic + kDigestSize + 8;

std::string LittleEndian64(uint64_t value) {
  std::string bytes(8, '\0');
  for (int i = 0; i < 8; ++i) bytes[i] = static_cast<char>(value >> (8 * i));
  return bytes;
}

uint64_t ReadLittleEndian64(const std::string& bytes, size_t offset) {
  uint64_t value = 0;
  for (int i = 7; i >= 0; --i) value = value << 8 | static_cast<unsigned char>(bytes[offset + i]);
  return value;
}

// body XOR keystream, where block i of the stream is SHA-256(key || i as 8 bytes LE).
std::string ApplyKeystream(const std::string& key, const std::string& body) {
  // One fetched algorithm and one context for every block: looking the digest up again
  // for each 32 bytes would dominate the time.
  std::unique_ptr<EVP_MD, decltype(&EVP_MD_free)> sha256(EVP_MD_fetch(nullptr, "SHA256", nullptr), EVP_MD_free);
  std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)> context(EVP_MD_CTX_new(), EVP_MD_CTX_free);
  if (!sha256 || !context) throw std::runtime_error("SHA-256 context failed");
  std::string out = body;
  unsigned char block[kDigestSize];
  for (size_t i = 0; i < out.size(); ++i) {
    if (i % kDigestSize == 0) {
      const std::string counter = LittleEndian64(i / kDigestSize);
      unsigned int size = 0;
      if (EVP_DigestInit_ex(context.get(), sha256.get(), nullptr) != 1 ||
          EVP_DigestUpdate(context.get(), key.data(), key.size()) != 1 ||
          EVP_DigestUpdate(context.get(), counter.data(), counter.size()) != 1 ||
          EVP_DigestFinal_ex(context.get(), block, &size) != 1) {
        throw std::runtime_error("SHA-256 failed");
      }
    }
    out[i] = static_cast<char>(out[i] ^ block[i % kDigestSize]);
  }
  return out;
}

}  // namespace

std::string Sha256(const std::string& bytes) {
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int size = 0;
  if (EVP_Digest(bytes.data(), bytes.size(), digest, &size, EVP_sha256(), nullptr) != 1 || size != kDigestSize) {
    throw std::runtime_error("SHA-256 failed");
  }
  return std::string(reinterpret_cast<const char*>(digest), size);
}

std::string MakeSetupPatch(const std::string& installed, const std::string& new_setup) {
  return std::string(kMagic, sizeof kMagic) + Sha256(new_setup) + LittleEndian64(new_setup.size()) +
         ApplyKeystream(Sha256(installed), new_setup);
}

std::optional<std::string> ApplySetupPatch(const std::string& installed, const std::string& patch) {
  if (patch.size() < kHeaderSize || patch.compare(0, sizeof kMagic, kMagic, sizeof kMagic) != 0) return std::nullopt;
  if (ReadLittleEndian64(patch, sizeof kMagic + kDigestSize) != patch.size() - kHeaderSize) return std::nullopt;
  std::string rebuilt = ApplyKeystream(Sha256(installed), patch.substr(kHeaderSize));
  if (Sha256(rebuilt) != patch.substr(sizeof kMagic, kDigestSize)) return std::nullopt;
  return rebuilt;
}

}  // namespace standins
