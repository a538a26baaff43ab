#include "tests/support/cabinet_builder.h"

#include <zlib.h>

#include <stdexcept>

namespace testing_support {

namespace {

constexpr size_t kBlock = 32768;

void Put16(std::string& out, uint32_t value) {
  out += static_cast<char>(value & 0xFF);
  out += static_cast<char>((value >> 8) & 0xFF);
}
void Put32(std::string& out, uint32_t value) {
  Put16(out, value & 0xFFFF);
  Put16(out, value >> 16);
}
void Set32(std::string& out, size_t at, uint32_t value) {
  for (int i = 0; i < 4; ++i) out[at + i] = static_cast<char>((value >> (8 * i)) & 0xFF);
}
uint32_t Get32(const std::string& s, size_t at) {
  uint32_t v = 0;
  for (int i = 3; i >= 0; --i) v = (v << 8) | static_cast<unsigned char>(s[at + i]);
  return v;
}

// Each block compressed on its own: back-references across blocks are optional.
std::string Deflate(const std::string& block) {
  z_stream stream{};
  if (deflateInit2(&stream, 6, Z_DEFLATED, -MAX_WBITS, 8, Z_DEFAULT_STRATEGY) != Z_OK) throw std::runtime_error("zlib");
  std::string out(deflateBound(&stream, block.size()) + 16, '\0');
  stream.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(block.data()));
  stream.avail_in = static_cast<uInt>(block.size());
  stream.next_out = reinterpret_cast<Bytef*>(out.data());
  stream.avail_out = static_cast<uInt>(out.size());
  const int result = deflate(&stream, Z_FINISH);
  out.resize(stream.total_out);
  deflateEnd(&stream);
  if (result != Z_STREAM_END) throw std::runtime_error("deflate");
  return "CK" + out;
}

}  // namespace

uint32_t CabinetChecksum(const unsigned char* bytes, size_t count, uint32_t seed) {
  uint32_t sum = seed;
  size_t i = 0;
  for (; i + 4 <= count; i += 4) {
    sum ^= bytes[i] | (bytes[i + 1] << 8) | (bytes[i + 2] << 16) | (static_cast<uint32_t>(bytes[i + 3]) << 24);
  }
  const size_t left = count - i;
  uint32_t last = 0;
  for (size_t k = 0; k < left; ++k) last = (last << 8) | bytes[i + k];
  return sum ^ last;
}

std::string BuildCabinet(const std::vector<BuiltFolder>& folders, const CabinetOptions& options) {
  const bool reserve = options.header_reserve != 0 || options.folder_reserve != 0 || options.block_reserve != 0;
  const bool next = !options.next_cabinet.empty();
  std::string header;
  header += "MSCF";
  Put32(header, 0);
  Put32(header, 0);  // cbCabinet, set at the end
  Put32(header, 0);
  Put32(header, 0);  // coffFiles, set below
  Put32(header, 0);
  header += '\x03';
  header += '\x01';
  Put16(header, static_cast<uint32_t>(folders.size()));
  size_t file_count = 0;
  for (const auto& folder : folders) file_count += folder.files.size();
  Put16(header, static_cast<uint32_t>(file_count));
  Put16(header, (reserve ? 4 : 0) | (next ? 2 : 0));
  Put16(header, options.set_id);
  Put16(header, options.cabinet_index);
  if (reserve) {
    Put16(header, options.header_reserve);
    header += static_cast<char>(options.folder_reserve);
    header += static_cast<char>(options.block_reserve);
    header += std::string(options.header_reserve, '\xAA');
  }
  if (next) header += options.next_cabinet + '\0' + options.next_disk + '\0';

  // Data blocks of every folder, then their offsets once the records' size is known.
  std::vector<std::string> folder_data;
  std::vector<uint32_t> folder_blocks;
  std::string files;
  for (size_t f = 0; f < folders.size(); ++f) {
    std::string uncompressed;
    for (const auto& file : folders[f].files) {
      Put32(files, static_cast<uint32_t>(file.contents.size()));
      Put32(files, static_cast<uint32_t>(uncompressed.size()));
      Put16(files, static_cast<uint32_t>(f));
      Put16(files, file.date);
      Put16(files, file.time);
      Put16(files, file.attributes);
      files += file.name + '\0';
      uncompressed += file.contents;
    }
    std::string data;
    uint32_t blocks = 0;
    for (size_t at = 0; at < uncompressed.size(); at += kBlock, ++blocks) {
      const std::string plain = uncompressed.substr(at, kBlock);
      const std::string packed = folders[f].compression == 0 ? plain : Deflate(plain);
      std::string block;
      Put32(block, 0);
      Put16(block, static_cast<uint32_t>(packed.size()));
      Put16(block, static_cast<uint32_t>(plain.size()));
      block += std::string(options.block_reserve, '\xBB');
      block += packed;
      if (options.checksums) {
        const auto* bytes = reinterpret_cast<const unsigned char*>(block.data());
        // Over cbData and cbUncomp but not the reserve area, as cabextract checks it.
        Set32(block, 0, CabinetChecksum(bytes + 4, 4, CabinetChecksum(bytes + 8 + options.block_reserve, packed.size(), 0)));
      }
      data += block;
    }
    folder_data.push_back(data);
    folder_blocks.push_back(blocks);
  }
  const size_t folder_record = 8 + options.folder_reserve;
  const uint32_t files_offset = static_cast<uint32_t>(header.size() + folders.size() * folder_record);
  uint32_t data_offset = files_offset + static_cast<uint32_t>(files.size());
  std::string folder_records;
  for (size_t f = 0; f < folders.size(); ++f) {
    Put32(folder_records, data_offset);
    Put16(folder_records, folder_blocks[f]);
    Put16(folder_records, folders[f].compression);
    folder_records += std::string(options.folder_reserve, '\xCC');
    data_offset += static_cast<uint32_t>(folder_data[f].size());
  }
  std::string cabinet = header + folder_records + files;
  for (const auto& data : folder_data) cabinet += data;
  Set32(cabinet, 8, static_cast<uint32_t>(cabinet.size()));
  Set32(cabinet, 16, files_offset);
  return cabinet;
}

CabinetLayout LayoutOf(const std::string& cabinet) {
  const bool reserve = (static_cast<unsigned char>(cabinet[30]) & 4) != 0;
  const size_t header_reserve = reserve ? (static_cast<unsigned char>(cabinet[36]) | (static_cast<unsigned char>(cabinet[37]) << 8)) + 4 : 0;
  return CabinetLayout{Get32(cabinet, 16), Get32(cabinet, 36 + header_reserve)};
}

}  // namespace testing_support
