// make_setup_patch INSTALLED NEW PATCH: writes the patch that the installed setup
// stand-in, built as INSTALLED, turns into NEW. Host files throughout.
#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>

#include "tools/standins/setup_patch.h"

int main(int argc, char** argv) {
  if (argc != 4) {
    std::fprintf(stderr, "usage: make_setup_patch INSTALLED NEW PATCH\n");
    return 2;
  }
  auto read = [](const char* path, std::string& bytes) {
    std::ifstream in(path, std::ios::binary);
    bytes.assign(std::istreambuf_iterator<char>(in), {});
    return static_cast<bool>(in) || in.eof();
  };
  std::string installed, new_setup;
  if (!read(argv[1], installed) || !read(argv[2], new_setup)) {
    std::fprintf(stderr, "make_setup_patch: cannot read %s or %s\n", argv[1], argv[2]);
    return 1;
  }
  std::ofstream out(argv[3], std::ios::binary | std::ios::trunc);
  out << standins::MakeSetupPatch(installed, new_setup);
  if (!out.flush()) {
    std::fprintf(stderr, "make_setup_patch: cannot write %s\n", argv[3]);
    return 1;
  }
  return 0;
}
