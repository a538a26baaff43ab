// Decoding one folder of a cabinet block by block: its CFDATA blocks are read through
// the caller's callbacks and expanded (stored or MSZIP) into one block of output at a
// time. MSZIP's 32 KiB history is carried from each block into the next.
#pragma once
#include <zlib.h>

#include <cstdint>

#include "platform/fdi.h"
#include "sim/cabinet/callback_memory.h"
#include "sim/cabinet/callback_reader.h"

namespace sim::cabinet {

struct FolderRecord {
  uint32_t first_block = 0;  // absolute offset of its first CFDATA
  uint16_t block_count = 0;
  uint16_t compression = 0;  // typeCompress & kCompressionMask
};

class FolderDecoder {
 public:
  FolderDecoder(const CallbackMemory& memory, CallbackReader& reader, uint32_t cabinet_end, uint8_t block_reserve);
  ~FolderDecoder();
  FolderDecoder(const FolderDecoder&) = delete;
  FolderDecoder& operator=(const FolderDecoder&) = delete;

  // The buffers and the inflater, all from the caller's allocator.
  bool Allocate();

  // Starts decoding `folder` from its first byte. `index` identifies it for `folder()`.
  FDIERROR Start(const FolderRecord& folder, uint32_t index);
  // Up to `max_bytes` of the next output, decoding the next block when the current one is
  // used up. FDIERROR_CORRUPT_CABINET when a block is damaged or the folder ends first
  // (`exhausted()` then tells the two apart).
  FDIERROR Take(uint32_t max_bytes, const unsigned char** data, uint32_t* bytes);

  bool started() const { return started_; }
  uint32_t folder() const { return folder_index_; }
  uint64_t position() const { return position_; }  // uncompressed bytes handed out so far
  bool exhausted() const { return blocks_left_ == 0 && output_used_ == output_bytes_; }

 private:
  FDIERROR DecodeNextBlock();
  FDIERROR ExpandMszip(uint32_t packed_bytes, uint32_t expected_bytes);
  void RememberHistory();

  const CallbackMemory& memory_;
  CallbackReader& reader_;
  uint32_t cabinet_end_;
  uint8_t block_reserve_;

  CallbackBlock input_;    // one block as stored
  CallbackBlock output_;   // one block expanded
  CallbackBlock history_;  // the last 32 KiB of the folder's output
  z_stream inflater_{};
  bool inflater_ready_ = false;

  bool started_ = false;
  uint32_t folder_index_ = 0;
  uint16_t compression_ = 0;
  uint32_t next_block_ = 0;
  uint32_t blocks_left_ = 0;
  uint32_t output_bytes_ = 0;
  uint32_t output_used_ = 0;
  uint32_t history_bytes_ = 0;
  uint64_t position_ = 0;
};

}  // namespace sim::cabinet
