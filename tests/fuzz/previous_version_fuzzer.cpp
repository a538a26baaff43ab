// libFuzzer target for the previous-version resource (RT_RCDATA 1) of the stub's own
// image: any bytes as its data, in an image mapped by the simulated process as Windows
// maps a module. Checked on every input: the record takes the version exactly when the
// data is a non-empty, even number of bytes ending with a zero unit; the version then
// points into the mapped resource itself and reads as its text up to the first zero
// unit; otherwise there is none. Loading never fails on it and leaves no block behind.
#include <cstddef>
#include <cstdint>
#include <fstream>
#include <string>

#include "platform/kernel32_resources.h"
#include "stub/config/configuration.h"
#include "tests/fuzz/fuzz_image.h"
#include "tests/fuzz/fuzz_machine.h"

using fuzzing::Check;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  // The first byte may put another RT_RCDATA resource before it, which must not count.
  const std::string version(reinterpret_cast<const char*>(data + 1), size - 1);
  std::vector<fuzzing::Resource> resources;
  if (data[0] & 1) resources.push_back({WORD{10}, WORD{2}, std::string("2\0\0\0", 4)});
  resources.push_back({WORD{10}, WORD{1}, version});

  sim::EndProcess();  // no mapping of the last image outlives its file
  const auto image_path = fuzzing::MachineRoot() / "C" / "installer.exe";
  std::ofstream(image_path, std::ios::binary | std::ios::trunc) << fuzzing::MakeImage(resources);
  sim::Process& process = fuzzing::StartFuzzProcess(u"C:\\installer.exe", u"installer.exe");

  Configuration configuration;
  Check(configuration.LoadFromModule(process.module()));
  const bool valid = !version.empty() && version.size() % 2 == 0 && version[version.size() - 2] == 0 &&
                     version.back() == 0;
  Check((configuration.previous_version != nullptr) == valid);
  if (valid) {
    const auto* text = reinterpret_cast<const BYTE*>(configuration.previous_version);
    Check(text >= process.image_base() && text + version.size() <= process.image_base() + process.image_size());
    size_t units = 0;
    while (configuration.previous_version[units] != 0) ++units;
    Check(units * 2 <= version.size() - 2);
    for (size_t i = 0; i < units; ++i) {
      const char16_t expected = static_cast<char16_t>(static_cast<uint8_t>(version[2 * i]) |
                                                      (static_cast<uint8_t>(version[2 * i + 1]) << 8));
      Check(configuration.previous_version[i] == expected);
    }
    const size_t end = 2 * units;
    Check(version[end] == 0 && version[end + 1] == 0);
  }
  configuration.Reset();
  const sim::Accounting accounting = process.Snapshot();
  Check(accounting.open_handles.empty() && accounting.live_local_blocks == 0 && accounting.live_heap_blocks == 0);
  return 0;
}
