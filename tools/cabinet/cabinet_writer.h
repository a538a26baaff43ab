// Writes a setup program as a one-folder, one-file MSZIP cabinet: version 1.3, flags 0,
// no reserve, the file list right after the one folder record (offset 44), the data
// blocks right after the one file record (offset 70 for "setup.exe"). Every block but the
// last expands to 32,768 bytes; each is "CK" and raw deflate data, compressed with the
// previous 32 KiB as its dictionary; block checksums are 0 ("not computed") unless asked
// for.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

namespace cabinet_tool {

struct CabinetEntry {
  std::string name = "setup.exe";  // at most 256 bytes; UTF-8 beyond ASCII sets _A_NAME_IS_UTF
  uint16_t date = 0;               // DOS date and time, local time
  uint16_t time = 0;
  uint16_t attributes = 0;         // the release payload's word: no attribute bit
  bool checksums = false;          // compute each block's checksum instead of writing 0
};

// The whole cabinet, or an empty vector with `*error` saying why.
std::vector<unsigned char> MakeCabinet(const std::vector<unsigned char>& contents, const CabinetEntry& entry,
                                       std::string* error);

// DOS date and time of broken-down local time; years before 1980 give 1980-01-01 00:00:00
// (a stamp cannot say earlier), years after 2107 fail.
bool ToDosDateTime(int year, int month, int day, int hour, int minute, int second, uint16_t* date, uint16_t* time);

}  // namespace cabinet_tool
