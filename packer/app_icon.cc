#include "packer/app_icon.h"

#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include <algorithm>
#include <cmath>

#include <stb_image.h>
#include <stb_image_resize.h>
#include <stb_image_write.h>

#include "base/byte_order.h"
#include "packer/mapped_file.h"
#include "packer/names.h"
#include "packer/pack_error.h"

namespace {

const unsigned char png_signature[8] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
// Beyond this a PNG costs more memory to decode than any icon is worth.
constexpr int png_side_max = 8192;

void put16(std::string& out, unsigned value) {
  unsigned char bytes[2];
  store_le16(bytes, static_cast<uint16_t>(value));
  out.append(reinterpret_cast<const char*>(bytes), sizeof bytes);
}

void put32(std::string& out, uint32_t value) {
  unsigned char bytes[4];
  store_le32(bytes, value);
  out.append(reinterpret_cast<const char*>(bytes), sizeof bytes);
}

std::string png_bytes(const rgba_image& image) {
  std::string out;
  auto append = [](void* context, void* data, int size) {
    static_cast<std::string*>(context)->append(static_cast<const char*>(data), static_cast<size_t>(size));
  };
  if (!stbi_write_png_to_func(append, &out, image.width, image.height, 4, image.pixels.data(), image.width * 4))
    throw pack_error("cannot encode the 256x256 icon image as PNG (out of memory)");
  return out;
}

/// BITMAPINFOHEADER, bottom-up BGRA rows, then the 1-bit AND mask (set = transparent) that
/// renderers without alpha support fall back to.
std::string dib_bytes(const rgba_image& image) {
  int side = image.width;
  size_t mask_stride = static_cast<size_t>((side + 31) / 32 * 4);
  std::string out;
  put32(out, 40);
  put32(out, static_cast<uint32_t>(side));
  put32(out, static_cast<uint32_t>(side * 2));  // colour rows plus mask rows
  put16(out, 1);
  put16(out, 32);
  put32(out, 0);  // BI_RGB
  put32(out, static_cast<uint32_t>(static_cast<size_t>(side) * side * 4 + mask_stride * side));
  put32(out, 0);
  put32(out, 0);
  put32(out, 0);
  put32(out, 0);
  for (int y = side - 1; y >= 0; --y)
    for (int x = 0; x < side; ++x) {
      const unsigned char* p = &image.pixels[(static_cast<size_t>(y) * side + x) * 4];
      out += static_cast<char>(p[2]);
      out += static_cast<char>(p[1]);
      out += static_cast<char>(p[0]);
      out += static_cast<char>(p[3]);
    }
  for (int y = side - 1; y >= 0; --y) {
    std::string row(mask_stride, '\0');
    for (int x = 0; x < side; ++x)
      if (image.pixels[(static_cast<size_t>(y) * side + x) * 4 + 3] == 0)
        row[x / 8] |= static_cast<char>(0x80 >> (x % 8));
    out += row;
  }
  return out;
}

// --- our own mark: a white T on a teal rounded square -----------------------------------

bool in_rounded_square(double x, double y) {
  const double margin = 1.0 / 32, radius = 0.2;
  double half = 0.5 - margin - radius;
  double dx = std::max(std::fabs(x - 0.5) - half, 0.0), dy = std::max(std::fabs(y - 0.5) - half, 0.0);
  return dx * dx + dy * dy <= radius * radius;
}

// Edges on sixteenths so the 16 and 32 pixel images land on whole pixels.
bool in_mark(double x, double y) {
  bool bar = x >= 4.0 / 16 && x < 12.0 / 16 && y >= 4.0 / 16 && y < 6.5 / 16;
  bool stem = x >= 7.0 / 16 && x < 9.0 / 16 && y >= 4.0 / 16 && y < 12.5 / 16;
  return bar || stem;
}

rgba_image draw_mark(int side) {
  const int samples = 4;  // per axis
  rgba_image image{side, side, std::vector<unsigned char>(static_cast<size_t>(side) * side * 4)};
  for (int py = 0; py < side; ++py)
    for (int px = 0; px < side; ++px) {
      double r = 0, g = 0, b = 0, a = 0;  // premultiplied sums
      for (int sy = 0; sy < samples; ++sy)
        for (int sx = 0; sx < samples; ++sx) {
          double x = (px + (sx + 0.5) / samples) / side, y = (py + (sy + 0.5) / samples) / side;
          if (!in_rounded_square(x, y)) continue;
          if (in_mark(x, y)) {
            r += 255;
            g += 255;
            b += 255;
          } else {  // top #2A9D8F to bottom #1D6F66
            r += 42 + (29 - 42) * y;
            g += 157 + (111 - 157) * y;
            b += 143 + (102 - 143) * y;
          }
          a += 1;
        }
      unsigned char* out = &image.pixels[(static_cast<size_t>(py) * side + px) * 4];
      if (a == 0) continue;
      out[0] = static_cast<unsigned char>(std::lround(r / a));
      out[1] = static_cast<unsigned char>(std::lround(g / a));
      out[2] = static_cast<unsigned char>(std::lround(b / a));
      out[3] = static_cast<unsigned char>(std::lround(255 * a / (samples * samples)));
    }
  return image;
}

std::string icon_from_png(const unsigned char* data, size_t size, const std::string& path,
                          std::vector<std::string>& warnings) {
  auto refuse = [&](const std::string& reason) { throw pack_error("icon " + quote_name(path) + " " + reason); };
  if (size > INT32_MAX) refuse("is too large to be an icon");
  int width = 0, height = 0, channels = 0;
  if (!stbi_info_from_memory(data, static_cast<int>(size), &width, &height, &channels))
    refuse(std::string("is not a usable PNG (") + stbi_failure_reason() + ")");
  if (width > png_side_max || height > png_side_max)
    refuse("is " + std::to_string(width) + "x" + std::to_string(height) + " pixels; at most " +
           std::to_string(png_side_max) + " a side is taken");
  unsigned char* decoded = stbi_load_from_memory(data, static_cast<int>(size), &width, &height, &channels, 4);
  if (!decoded) refuse(std::string("is not a usable PNG (") + stbi_failure_reason() + ")");
  // Centre a wide or tall picture on a transparent square: scaling it unevenly would distort it.
  int side = std::max(width, height);
  std::vector<unsigned char> square(static_cast<size_t>(side) * side * 4, 0);
  int left = (side - width) / 2, top = (side - height) / 2;
  for (int y = 0; y < height; ++y)
    memcpy(&square[(static_cast<size_t>(y + top) * side + left) * 4], decoded + static_cast<size_t>(y) * width * 4,
           static_cast<size_t>(width) * 4);
  stbi_image_free(decoded);
  if (side < 256)
    warnings.push_back("icon " + quote_name(path) + " is " + std::to_string(width) + "x" + std::to_string(height) +
                       "; scaled up to 256x256 it will look blurred");

  std::vector<rgba_image> images;
  for (int target : icon_sizes) {
    rgba_image image{target, target, std::vector<unsigned char>(static_cast<size_t>(target) * target * 4)};
    if (!stbir_resize_uint8_srgb(square.data(), side, side, 0, image.pixels.data(), target, target, 0, 4, 3, 0))
      refuse("could not be scaled to " + std::to_string(target) + "x" + std::to_string(target));
    images.push_back(std::move(image));
  }
  return ico_from_images(images);
}

}  // namespace

std::string ico_from_images(const std::vector<rgba_image>& images) {
  std::vector<std::string> bodies;
  for (const rgba_image& image : images) bodies.push_back(image.width >= 256 ? png_bytes(image) : dib_bytes(image));
  std::string out;
  put16(out, 0);
  put16(out, 1);  // icon, not cursor
  put16(out, static_cast<unsigned>(images.size()));
  uint32_t offset = static_cast<uint32_t>(6 + 16 * images.size());
  for (size_t i = 0; i < images.size(); ++i) {
    int side = images[i].width;
    out += static_cast<char>(side >= 256 ? 0 : side);  // 0 means 256
    out += static_cast<char>(side >= 256 ? 0 : side);
    out += '\0';  // no palette
    out += '\0';
    put16(out, 1);
    put16(out, 32);
    put32(out, static_cast<uint32_t>(bodies[i].size()));
    put32(out, offset);
    offset += static_cast<uint32_t>(bodies[i].size());
  }
  for (const std::string& body : bodies) out += body;
  return out;
}

std::string default_icon() {
  std::vector<rgba_image> images;
  for (int side : icon_sizes) images.push_back(draw_mark(side));
  return ico_from_images(images);
}

std::string ico_fault(const unsigned char* ico, size_t size) {
  if (size < 6 || load_le16(ico) != 0 || load_le16(ico + 2) != 1) return "is not an .ico file (bad header)";
  size_t count = load_le16(ico + 4);
  if (count == 0) return "holds no images";
  if (6 + 16 * count > size) return "is cut short (its directory lists " + std::to_string(count) + " images)";
  bool have[std::size(icon_sizes)] = {};
  std::string held;
  for (size_t i = 0; i < count; ++i) {
    const unsigned char* entry = ico + 6 + 16 * i;
    int width = entry[0] ? entry[0] : 256, height = entry[1] ? entry[1] : 256;
    uint32_t bytes = load_le32(entry + 8), offset = load_le32(entry + 12);
    std::string name =
        "image " + std::to_string(i + 1) + " (" + std::to_string(width) + "x" + std::to_string(height) + ")";
    if (bytes == 0 || offset < 6 + 16 * count || offset > size || bytes > size - offset)
      return name + " lies outside the file";
    bool png = bytes >= 8 && memcmp(ico + offset, png_signature, 8) == 0;
    if (!png && (bytes < 40 || load_le32(ico + offset) != 40)) return name + " is neither PNG nor a bitmap";
    if (!held.empty()) held += ", ";
    held += std::to_string(width) + "x" + std::to_string(height);
    for (size_t s = 0; s < std::size(icon_sizes); ++s)
      if (width == icon_sizes[s] && height == icon_sizes[s]) have[s] = true;
  }
  std::string missing;
  for (size_t s = 0; s < std::size(icon_sizes); ++s) {
    if (have[s]) continue;
    if (!missing.empty()) missing += ", ";
    missing += std::to_string(icon_sizes[s]) + "x" + std::to_string(icon_sizes[s]);
  }
  if (missing.empty()) return "";
  return "lacks " + missing + " (it holds " + held + "; it needs 16x16, 32x32, 48x48 and 256x256, or give a PNG)";
}

std::string load_icon(const std::string& path, std::vector<std::string>& warnings) {
  mapped_file file(path, path);
  const unsigned char* data = file.data();
  size_t size = file.size();
  if (size >= 8 && memcmp(data, png_signature, 8) == 0) return icon_from_png(data, size, path, warnings);
  if (size >= 4 && load_le16(data) == 0 && load_le16(data + 2) == 1) {
    std::string fault = ico_fault(data, size);
    if (!fault.empty()) throw pack_error("icon " + quote_name(path) + " " + fault);
    return std::string(reinterpret_cast<const char*>(data), size);
  }
  throw pack_error("icon " + quote_name(path) + " is neither a PNG nor an .ico file");
}
