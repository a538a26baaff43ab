#include "tools/cabinet/cabinet_writer.h"

#include <zlib.h>

#include <algorithm>

#include "sim/cabinet/cabinet_layout.h"

namespace cabinet_tool {

namespace {

constexpr size_t kBlockBytes = 32768;
constexpr size_t kMaxPackedBytes = 32768 + 12;  // "CK" included
constexpr size_t kHeaderBytes = 36;
constexpr size_t kFolderBytes = 8;
constexpr size_t kFileBytes = 16;
constexpr size_t kDataBytes = 8;
constexpr uint64_t kMaxFileBytes = 0x7FFF8000;
constexpr uint16_t kMszip = 1;
constexpr uint16_t kNameIsUtf8 = 0x80;

void Put16(std::vector<unsigned char>& out, uint16_t value) {
  out.push_back(static_cast<unsigned char>(value));
  out.push_back(static_cast<unsigned char>(value >> 8));
}

void Put32(std::vector<unsigned char>& out, uint32_t value) {
  Put16(out, static_cast<uint16_t>(value));
  Put16(out, static_cast<uint16_t>(value >> 16));
}

void Patch32(std::vector<unsigned char>& out, size_t offset, uint32_t value) {
  for (int i = 0; i < 4; ++i) out[offset + i] = static_cast<unsigned char>(value >> (8 * i));
}

class Deflater {
 public:
  Deflater() { ready_ = deflateInit2(&stream_, Z_BEST_COMPRESSION, Z_DEFLATED, -MAX_WBITS, 8, Z_DEFAULT_STRATEGY) == Z_OK; }
  ~Deflater() {
    if (ready_) deflateEnd(&stream_);
  }
  Deflater(const Deflater&) = delete;
  Deflater& operator=(const Deflater&) = delete;

  // One block as raw deflate data ending with a final block, primed with `history`.
  bool Compress(const unsigned char* history, size_t history_bytes, const unsigned char* input, size_t bytes,
                std::vector<unsigned char>* packed) {
    if (!ready_ || deflateReset(&stream_) != Z_OK) return false;
    if (history_bytes > 0 &&
        deflateSetDictionary(&stream_, history, static_cast<uInt>(history_bytes)) != Z_OK) {
      return false;
    }
    packed->assign(deflateBound(&stream_, static_cast<uLong>(bytes)) + 16, 0);
    stream_.next_in = const_cast<unsigned char*>(input);
    stream_.avail_in = static_cast<uInt>(bytes);
    stream_.next_out = packed->data();
    stream_.avail_out = static_cast<uInt>(packed->size());
    if (deflate(&stream_, Z_FINISH) != Z_STREAM_END) return false;
    packed->resize(stream_.total_out);
    return true;
  }

 private:
  z_stream stream_{};
  bool ready_ = false;
};

}  // namespace

std::vector<unsigned char> MakeCabinet(const std::vector<unsigned char>& contents, const CabinetEntry& entry,
                                       std::string* error) {
  if (entry.name.empty() || entry.name.size() > 256 || entry.name.find('\0') != std::string::npos) {
    *error = "the name in the cabinet must have 1 to 256 bytes and no NUL";
    return {};
  }
  if (contents.size() > kMaxFileBytes) {
    *error = "the file is larger than a cabinet folder holds (0x7FFF8000 bytes)";
    return {};
  }
  const size_t block_count = (contents.size() + kBlockBytes - 1) / kBlockBytes;
  if (block_count > 0xFFFF) {
    *error = "the file needs more than 65535 data blocks";
    return {};
  }
  const bool utf8_name = std::any_of(entry.name.begin(), entry.name.end(), [](char c) { return (c & 0x80) != 0; });
  const uint32_t files_offset = kHeaderBytes + kFolderBytes;
  const uint32_t blocks_offset = files_offset + static_cast<uint32_t>(kFileBytes + entry.name.size() + 1);

  std::vector<unsigned char> out;
  out.insert(out.end(), {'M', 'S', 'C', 'F'});
  Put32(out, 0);             // reserved1
  Put32(out, 0);             // cbCabinet, patched at the end
  Put32(out, 0);             // reserved2
  Put32(out, files_offset);  // coffFiles
  Put32(out, 0);             // reserved3
  out.push_back(3);          // versionMinor
  out.push_back(1);          // versionMajor
  Put16(out, 1);             // cFolders
  Put16(out, 1);             // cFiles
  Put16(out, 0);             // flags
  Put16(out, 0);             // setID
  Put16(out, 0);             // iCabinet

  Put32(out, blocks_offset);  // coffCabStart
  Put16(out, static_cast<uint16_t>(block_count));
  Put16(out, kMszip);

  Put32(out, static_cast<uint32_t>(contents.size()));  // cbFile
  Put32(out, 0);                                       // uoffFolderStart
  Put16(out, 0);                                       // iFolder
  Put16(out, entry.date);
  Put16(out, entry.time);
  Put16(out, static_cast<uint16_t>(entry.attributes | (utf8_name ? kNameIsUtf8 : 0)));
  out.insert(out.end(), entry.name.begin(), entry.name.end());
  out.push_back(0);

  Deflater deflater;
  std::vector<unsigned char> packed;
  for (size_t start = 0; start < contents.size(); start += kBlockBytes) {
    const size_t bytes = std::min(kBlockBytes, contents.size() - start);
    const size_t history = std::min(start, kBlockBytes);
    if (!deflater.Compress(contents.data() + start - history, history, contents.data() + start, bytes, &packed) ||
        packed.size() + 2 > kMaxPackedBytes) {
      *error = "deflate failed on the block at offset " + std::to_string(start);
      return {};
    }
    const size_t block = out.size();
    Put32(out, 0);  // csum: 0 is "not computed"
    Put16(out, static_cast<uint16_t>(packed.size() + 2));
    Put16(out, static_cast<uint16_t>(bytes));
    out.push_back('C');
    out.push_back('K');
    out.insert(out.end(), packed.begin(), packed.end());
    if (entry.checksums) {
      Patch32(out, block,
              sim::cabinet::BlockChecksum(out.data() + block + 4, 4, out.data() + block + kDataBytes,
                                          packed.size() + 2));
    }
  }
  if (out.size() > 0x7FFFFFFF) {
    *error = "the cabinet would be larger than 0x7FFFFFFF bytes";
    return {};
  }
  Patch32(out, 8, static_cast<uint32_t>(out.size()));
  return out;
}

bool ToDosDateTime(int year, int month, int day, int hour, int minute, int second, uint16_t* date, uint16_t* time) {
  if (year > 2107) return false;
  if (year < 1980) {
    *date = (1 << 5) | 1;
    *time = 0;
    return true;
  }
  *date = static_cast<uint16_t>(((year - 1980) << 9) | (month << 5) | day);
  *time = static_cast<uint16_t>((hour << 11) | (minute << 5) | (second / 2));
  return true;
}

}  // namespace cabinet_tool
