#include "sim/cabinet/folder_decoder.h"

#include <cstring>

#include "sim/cabinet/cabinet_layout.h"

namespace sim::cabinet {

namespace {

// zlib's own memory goes through the caller's allocator too.
voidpf ZlibAllocate(voidpf opaque, uInt items, uInt size) {
  const uint64_t bytes = static_cast<uint64_t>(items) * size;
  if (bytes > 0xFFFFFFFFu) return Z_NULL;
  return static_cast<const CallbackMemory*>(opaque)->Allocate(static_cast<size_t>(bytes));
}

void ZlibRelease(voidpf opaque, voidpf block) { static_cast<const CallbackMemory*>(opaque)->Release(block); }

}  // namespace

FolderDecoder::FolderDecoder(const CallbackMemory& memory, CallbackReader& reader, uint32_t cabinet_end,
                             uint8_t block_reserve)
    : memory_(memory), reader_(reader), cabinet_end_(cabinet_end), block_reserve_(block_reserve) {}

FolderDecoder::~FolderDecoder() {
  if (inflater_ready_) inflateEnd(&inflater_);
}

bool FolderDecoder::Allocate() {
  input_ = CallbackBlock(memory_, kMaxBlockCompressed);
  output_ = CallbackBlock(memory_, kMaxBlockUncompressed);
  history_ = CallbackBlock(memory_, kMszipHistoryBytes);
  if (!input_ || !output_ || !history_) return false;
  inflater_.zalloc = ZlibAllocate;
  inflater_.zfree = ZlibRelease;
  inflater_.opaque = const_cast<CallbackMemory*>(&memory_);
  // Raw deflate: MSZIP blocks carry no zlib header or trailer.
  inflater_ready_ = inflateInit2(&inflater_, -MAX_WBITS) == Z_OK;
  return inflater_ready_;
}

FDIERROR FolderDecoder::Start(const FolderRecord& folder, uint32_t index) {
  if (folder.compression != kCompressionNone && folder.compression != kCompressionMszip) {
    return FDIERROR_BAD_COMPR_TYPE;
  }
  started_ = true;
  folder_index_ = index;
  compression_ = folder.compression;
  next_block_ = folder.first_block;
  blocks_left_ = folder.block_count;
  output_bytes_ = output_used_ = 0;
  history_bytes_ = 0;
  position_ = 0;
  return FDIERROR_NONE;
}

FDIERROR FolderDecoder::Take(uint32_t max_bytes, const unsigned char** data, uint32_t* bytes) {
  while (output_used_ == output_bytes_) {
    if (blocks_left_ == 0) return FDIERROR_CORRUPT_CABINET;
    if (const FDIERROR error = DecodeNextBlock(); error != FDIERROR_NONE) return error;
  }
  const uint32_t available = output_bytes_ - output_used_;
  *bytes = available < max_bytes ? available : max_bytes;
  *data = output_.get() + output_used_;
  output_used_ += *bytes;
  position_ += *bytes;
  return FDIERROR_NONE;
}

FDIERROR FolderDecoder::DecodeNextBlock() {
  // Any failure leaves the folder unusable until it is started again.
  output_bytes_ = output_used_ = 0;
  const uint32_t header_bytes = static_cast<uint32_t>(kDataBytes) + block_reserve_;
  unsigned char header[kDataBytes + 255];
  if (next_block_ > cabinet_end_ || cabinet_end_ - next_block_ < header_bytes ||
      !reader_.ReadAt(next_block_, header, header_bytes)) {
    blocks_left_ = 0;
    return FDIERROR_CORRUPT_CABINET;
  }
  const uint32_t checksum = Read32(header);
  const uint32_t packed = Read16(header + 4);
  const uint32_t expanded = Read16(header + 6);
  // A block of 0 expanded bytes continues in the next cabinet: sets are not read here.
  if (packed > kMaxBlockCompressed || expanded == 0 || expanded > kMaxBlockUncompressed ||
      cabinet_end_ - next_block_ - header_bytes < packed || !reader_.ReadNext(input_.get(), packed)) {
    blocks_left_ = 0;
    return FDIERROR_CORRUPT_CABINET;
  }
  // A checksum of 0 means that none was computed. Whether a block's reserve area is part
  // of its checksum is not clear from the format's description (cabextract leaves it
  // out); either reading is accepted.
  if (checksum != 0 && BlockChecksum(header + 4, 4, input_.get(), packed) != checksum &&
      BlockChecksum(header + 4, header_bytes - 4, input_.get(), packed) != checksum) {
    blocks_left_ = 0;
    return FDIERROR_CORRUPT_CABINET;
  }
  next_block_ += header_bytes + packed;
  --blocks_left_;
  if (compression_ == kCompressionNone) {
    if (packed != expanded) {
      blocks_left_ = 0;
      return FDIERROR_CORRUPT_CABINET;
    }
    std::memcpy(output_.get(), input_.get(), expanded);
  } else if (const FDIERROR error = ExpandMszip(packed, expanded); error != FDIERROR_NONE) {
    blocks_left_ = 0;
    return error;
  }
  output_bytes_ = expanded;
  RememberHistory();
  return FDIERROR_NONE;
}

FDIERROR FolderDecoder::ExpandMszip(uint32_t packed_bytes, uint32_t expected_bytes) {
  const unsigned char* in = input_.get();
  if (packed_bytes < 2 || in[0] != 'C' || in[1] != 'K') return FDIERROR_CORRUPT_CABINET;
  if (inflateReset(&inflater_) != Z_OK) return FDIERROR_MDI_FAIL;
  // Back-references may reach into the previous blocks of the folder. zlib allocates its
  // window here or in inflate(): a refusal of the caller's allocator is ALLOC_FAIL.
  if (history_bytes_ > 0) {
    const int primed = inflateSetDictionary(&inflater_, history_.get(), history_bytes_);
    if (primed != Z_OK) return primed == Z_MEM_ERROR ? FDIERROR_ALLOC_FAIL : FDIERROR_MDI_FAIL;
  }
  inflater_.next_in = const_cast<unsigned char*>(in + 2);
  inflater_.avail_in = packed_bytes - 2;
  inflater_.next_out = output_.get();
  inflater_.avail_out = static_cast<uInt>(kMaxBlockUncompressed);
  // The block's last deflate block has BFINAL set: the stream must end inside it, having
  // produced exactly the announced size.
  const int result = inflate(&inflater_, Z_FINISH);
  if (result == Z_MEM_ERROR) return FDIERROR_ALLOC_FAIL;
  if (result != Z_STREAM_END || inflater_.total_out != expected_bytes) return FDIERROR_CORRUPT_CABINET;
  return FDIERROR_NONE;
}

void FolderDecoder::RememberHistory() {
  if (compression_ != kCompressionMszip) return;
  unsigned char* history = history_.get();
  if (output_bytes_ >= kMszipHistoryBytes) {
    std::memcpy(history, output_.get() + output_bytes_ - kMszipHistoryBytes, kMszipHistoryBytes);
    history_bytes_ = kMszipHistoryBytes;
    return;
  }
  const uint32_t keep = history_bytes_ + output_bytes_ > kMszipHistoryBytes
                            ? static_cast<uint32_t>(kMszipHistoryBytes) - output_bytes_
                            : history_bytes_;
  std::memmove(history, history + history_bytes_ - keep, keep);
  std::memcpy(history + keep, output_.get(), output_bytes_);
  history_bytes_ = keep + output_bytes_;
}

}  // namespace sim::cabinet
