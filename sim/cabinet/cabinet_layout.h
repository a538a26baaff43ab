// The cabinet file layout the library reads: fixed record sizes, header flags, folder
// compression types and the block checksum. All integers are little-endian.
#pragma once
#include <cstddef>
#include <cstdint>

namespace sim::cabinet {

constexpr size_t kHeaderBytes = 36;        // CFHEADER without its optional parts
constexpr size_t kHeaderReserveBytes = 4;  // cbCFHeader, cbCFFolder, cbCFData
constexpr size_t kFolderBytes = 8;         // CFFOLDER without its reserve
constexpr size_t kFileBytes = 16;          // CFFILE without its name
constexpr size_t kDataBytes = 8;           // CFDATA without its reserve and data

constexpr uint16_t kFlagPreviousCabinet = 0x0001;
constexpr uint16_t kFlagNextCabinet = 0x0002;
constexpr uint16_t kFlagReservePresent = 0x0004;

constexpr uint16_t kCompressionMask = 0x000F;
constexpr uint16_t kCompressionNone = 0;
constexpr uint16_t kCompressionMszip = 1;

// iFolder values of an entry that spans cabinets.
constexpr uint16_t kContinuedFromPrevious = 0xFFFD;
constexpr uint16_t kContinuedToNext = 0xFFFE;
constexpr uint16_t kContinuedBoth = 0xFFFF;

constexpr size_t kMaxBlockUncompressed = 32768;
constexpr size_t kMaxBlockCompressed = 32768 + 12;  // MSZIP's worst case, "CK" included
constexpr size_t kMaxNameBytes = 256;               // entry names, terminator excluded
constexpr size_t kMaxSetNameBytes = 255;            // neighbouring cabinet and disk names
constexpr size_t kMszipHistoryBytes = 32768;

inline uint16_t Read16(const unsigned char* p) { return static_cast<uint16_t>(p[0] | (p[1] << 8)); }
inline uint32_t Read32(const unsigned char* p) {
  return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) | (static_cast<uint32_t>(p[2]) << 16) |
         (static_cast<uint32_t>(p[3]) << 24);
}

// The XOR of the little-endian 32-bit words of `bytes`, seeded with `seed`; one to three
// left-over bytes form a last word with the final byte lowest.
uint32_t Checksum(const unsigned char* bytes, size_t count, uint32_t seed);

// A data block's checksum: over its data, then over its header from cbData onwards.
uint32_t BlockChecksum(const unsigned char* header_from_size, size_t header_bytes, const unsigned char* data,
                       size_t data_bytes);

}  // namespace sim::cabinet
