// Draws the Pellora icon and writes it as a Windows icon file: 16, 32 and 48 pixels as
// 32-bit images (BITMAPINFOHEADER, bottom-up BGRA, AND mask) and 256 pixels as PNG.
// The same program always writes the same bytes, so the committed resources/pellora.ico
// can be checked against it:  make_icon resources/pellora.ico
#include <zlib.h>

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

namespace {

using Bytes = std::vector<uint8_t>;

struct Rgba {
  uint8_t r, g, b, a;
};

void Put16(Bytes& out, uint32_t value) {
  out.push_back(static_cast<uint8_t>(value));
  out.push_back(static_cast<uint8_t>(value >> 8));
}
void Put32(Bytes& out, uint32_t value) {
  Put16(out, value & 0xFFFF);
  Put16(out, value >> 16);
}
void Put32BigEndian(Bytes& out, uint32_t value) {
  for (int shift = 24; shift >= 0; shift -= 8) out.push_back(static_cast<uint8_t>(value >> shift));
}

// The artwork in unit coordinates (x right, y down): a disc shading from blue at the top
// to teal at the bottom, carrying a white letter P made of a stem and a ring.
bool InDisc(double x, double y) { return std::hypot(x - 0.5, y - 0.5) <= 0.47; }
bool InLetter(double x, double y) {
  const bool stem = x >= 0.32 && x <= 0.44 && y >= 0.22 && y <= 0.80;
  const double ring = std::hypot(x - 0.50, y - 0.40);
  const bool bowl = x >= 0.38 && ring <= 0.185 && ring >= 0.075;
  return stem || bowl;
}

std::vector<Rgba> Draw(int size) {
  constexpr int kSamples = 4;  // per axis, for smooth edges
  std::vector<Rgba> pixels(static_cast<size_t>(size) * size);
  for (int py = 0; py < size; ++py) {
    for (int px = 0; px < size; ++px) {
      double r = 0, g = 0, b = 0, covered = 0;
      for (int sy = 0; sy < kSamples; ++sy) {
        for (int sx = 0; sx < kSamples; ++sx) {
          const double x = (px + (sx + 0.5) / kSamples) / size;
          const double y = (py + (sy + 0.5) / kSamples) / size;
          if (!InDisc(x, y)) continue;
          covered += 1;
          if (InLetter(x, y)) {
            r += 255, g += 255, b += 255;
          } else {
            r += 30 + (0 - 30) * y;
            g += 100 + (172 - 100) * y;
            b += 229 + (193 - 229) * y;
          }
        }
      }
      Rgba& pixel = pixels[static_cast<size_t>(py) * size + px];
      if (covered == 0) {
        pixel = {0, 0, 0, 0};
        continue;
      }
      pixel = {static_cast<uint8_t>(std::lround(r / covered)), static_cast<uint8_t>(std::lround(g / covered)),
               static_cast<uint8_t>(std::lround(b / covered)),
               static_cast<uint8_t>(std::lround(255.0 * covered / (kSamples * kSamples)))};
    }
  }
  return pixels;
}

// A DIB as icons store it: the header's height counts the colour image and the mask.
Bytes Bitmap(int size) {
  const std::vector<Rgba> pixels = Draw(size);
  const uint32_t mask_stride = static_cast<uint32_t>((size + 31) / 32 * 4);
  Bytes out;
  Put32(out, 40);
  Put32(out, static_cast<uint32_t>(size));
  Put32(out, static_cast<uint32_t>(size * 2));
  Put16(out, 1);   // planes
  Put16(out, 32);  // bits per pixel
  Put32(out, 0);   // BI_RGB
  Put32(out, static_cast<uint32_t>(size * size * 4) + mask_stride * size);
  for (int i = 0; i < 4; ++i) Put32(out, 0);  // resolution, colours used and important
  for (int y = size - 1; y >= 0; --y) {
    for (int x = 0; x < size; ++x) {
      const Rgba& p = pixels[static_cast<size_t>(y) * size + x];
      out.insert(out.end(), {p.b, p.g, p.r, p.a});
    }
  }
  // The AND mask marks the fully transparent pixels, for readers that ignore alpha.
  for (int y = size - 1; y >= 0; --y) {
    Bytes row(mask_stride, 0);
    for (int x = 0; x < size; ++x) {
      if (pixels[static_cast<size_t>(y) * size + x].a == 0) row[x / 8] |= static_cast<uint8_t>(0x80 >> (x % 8));
    }
    out.insert(out.end(), row.begin(), row.end());
  }
  return out;
}

void PngChunk(Bytes& out, const char* type, const Bytes& data) {
  Put32BigEndian(out, static_cast<uint32_t>(data.size()));
  Bytes typed(type, type + 4);
  typed.insert(typed.end(), data.begin(), data.end());
  out.insert(out.end(), typed.begin(), typed.end());
  Put32BigEndian(out, static_cast<uint32_t>(crc32(0, typed.data(), static_cast<uInt>(typed.size()))));
}

Bytes Png(int size) {
  const std::vector<Rgba> pixels = Draw(size);
  Bytes raw;
  for (int y = 0; y < size; ++y) {
    raw.push_back(0);  // filter: none
    for (int x = 0; x < size; ++x) {
      const Rgba& p = pixels[static_cast<size_t>(y) * size + x];
      raw.insert(raw.end(), {p.r, p.g, p.b, p.a});
    }
  }
  uLongf packed_size = compressBound(static_cast<uLong>(raw.size()));
  Bytes packed(packed_size);
  if (compress2(packed.data(), &packed_size, raw.data(), static_cast<uLong>(raw.size()), 9) != Z_OK) return {};
  packed.resize(packed_size);

  Bytes out = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
  Bytes header;
  Put32BigEndian(header, static_cast<uint32_t>(size));
  Put32BigEndian(header, static_cast<uint32_t>(size));
  header.insert(header.end(), {8, 6, 0, 0, 0});  // 8 bits, RGBA, deflate, no filter set, no interlace
  PngChunk(out, "IHDR", header);
  PngChunk(out, "IDAT", packed);
  PngChunk(out, "IEND", {});
  return out;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: make_icon OUTPUT.ico\n");
    return 2;
  }
  const std::vector<Bytes> images = {Bitmap(16), Bitmap(32), Bitmap(48), Png(256)};
  const int sizes[] = {16, 32, 48, 256};
  Bytes out;
  Put16(out, 0);  // reserved
  Put16(out, 1);  // icon
  Put16(out, static_cast<uint32_t>(images.size()));
  uint32_t offset = static_cast<uint32_t>(6 + 16 * images.size());
  for (size_t i = 0; i < images.size(); ++i) {
    const uint8_t side = sizes[i] == 256 ? 0 : static_cast<uint8_t>(sizes[i]);  // 0 means 256
    out.insert(out.end(), {side, side, 0, 0});
    Put16(out, 1);   // planes
    Put16(out, 32);  // bits per pixel
    Put32(out, static_cast<uint32_t>(images[i].size()));
    Put32(out, offset);
    offset += static_cast<uint32_t>(images[i].size());
  }
  for (const Bytes& image : images) {
    if (image.empty()) {
      std::fprintf(stderr, "make_icon: compressing the PNG image failed\n");
      return 1;
    }
    out.insert(out.end(), image.begin(), image.end());
  }
  std::ofstream file(argv[1], std::ios::binary | std::ios::trunc);
  file.write(reinterpret_cast<const char*>(out.data()), static_cast<std::streamsize>(out.size()));
  return file ? 0 : 1;
}
