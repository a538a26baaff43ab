// Builds cabinets for tests, with what the cabinet maker never writes: several folders,
// stored folders, several files per folder, reserve areas and block checksums. Blocks
// are written as given so that a test can damage exactly one field afterwards.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

namespace testing_support {

struct BuiltFile {
  std::string name;
  std::string contents;
  uint16_t date = 0x5021;  // 2020-01-01
  uint16_t time = 0x5000;  // 10:00:00
  uint16_t attributes = 0x20;
};

struct BuiltFolder {
  uint16_t compression = 1;  // 0 stored, 1 MSZIP
  std::vector<BuiltFile> files;
};

struct CabinetOptions {
  bool checksums = false;
  uint16_t set_id = 0x1234;
  uint16_t cabinet_index = 0;
  // With any reserve size non-zero the RESERVE_PRESENT flag is set.
  uint16_t header_reserve = 0;
  uint8_t folder_reserve = 0;
  uint8_t block_reserve = 0;
  std::string next_cabinet, next_disk;  // non-empty: NEXT_CABINET flag
};

std::string BuildCabinet(const std::vector<BuiltFolder>& folders, const CabinetOptions& options = {});

// Where the parts of a built cabinet start, for tests that damage one of them.
struct CabinetLayout {
  uint32_t files_offset;
  uint32_t first_block;  // of folder 0
};
CabinetLayout LayoutOf(const std::string& cabinet);

// The block checksum, written independently of the simulation's.
uint32_t CabinetChecksum(const unsigned char* bytes, size_t count, uint32_t seed);

}  // namespace testing_support
