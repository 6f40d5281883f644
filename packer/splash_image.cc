#include "packer/splash_image.h"

#include <stdint.h>
#include <string.h>

#include <stb_image.h>

#include "base/byte_order.h"
#include "formats/stub_descriptor.h"
#include "packer/mapped_file.h"
#include "packer/names.h"
#include "packer/pack_error.h"

namespace {

const unsigned char png_signature[8] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};

void put32(std::string& out, uint32_t value) {
  unsigned char bytes[4];
  store_le32(bytes, value);
  out.append(reinterpret_cast<const char*>(bytes), sizeof bytes);
}

// Rounded, so an opaque pixel keeps its colour exactly and a clear one becomes all zero.
unsigned char premultiply(unsigned char colour, unsigned char alpha) {
  return static_cast<unsigned char>((colour * alpha + 127) / 255);
}

}  // namespace

std::string load_splash(const std::string& path, uint32_t timeout_seconds) {
  auto refuse = [&](const std::string& reason) {
    throw pack_error("splash " + quote_name(path) + " " + reason, exit_usage);
  };
  std::string bytes;
  try {
    mapped_file file(path, path);
    bytes.assign(reinterpret_cast<const char*>(file.data()), file.size());
  } catch (const pack_error& e) {
    throw pack_error(e.what(), exit_usage);
  }
  const unsigned char* data = reinterpret_cast<const unsigned char*>(bytes.data());
  bool png = bytes.size() >= 8 && memcmp(data, png_signature, 8) == 0;
  bool bmp = bytes.size() >= 2 && data[0] == 'B' && data[1] == 'M';
  if (!png && !bmp) refuse("is neither a PNG nor a BMP image");
  if (bytes.size() > INT32_MAX) refuse("is too large to be a splash image");
  int width = 0, height = 0, channels = 0;
  const char* kind = png ? "PNG" : "BMP";
  // The size first: a huge image is refused before it costs its memory.
  if (!stbi_info_from_memory(data, static_cast<int>(bytes.size()), &width, &height, &channels))
    refuse(std::string("is not a usable ") + kind + " (" + stbi_failure_reason() + ")");
  std::string size_text = std::to_string(width) + "x" + std::to_string(height);
  if (width > static_cast<int>(stub_splash_side_max) || height > static_cast<int>(stub_splash_side_max))
    refuse("is " + size_text + " pixels; at most " + std::to_string(stub_splash_side_max) + " a side is taken");
  if (width < splash_side_min || height < splash_side_min)
    refuse("is " + size_text + " pixels; at least " + std::to_string(splash_side_min) + " a side is needed");
  unsigned char* rgba = stbi_load_from_memory(data, static_cast<int>(bytes.size()), &width, &height, &channels, 4);
  if (!rgba) refuse(std::string("is not a usable ") + kind + " (" + stbi_failure_reason() + ")");

  std::string record;
  size_t pixels = static_cast<size_t>(width) * static_cast<size_t>(height);
  record.reserve(stub_splash_header_size + pixels * 4);
  put32(record, static_cast<uint32_t>(width));
  put32(record, static_cast<uint32_t>(height));
  put32(record, timeout_seconds);
  put32(record, 0);
  for (size_t i = 0; i < pixels; ++i) {
    const unsigned char* p = rgba + i * 4;
    record += static_cast<char>(premultiply(p[2], p[3]));
    record += static_cast<char>(premultiply(p[1], p[3]));
    record += static_cast<char>(premultiply(p[0], p[3]));
    record += static_cast<char>(p[3]);
  }
  stbi_image_free(rgba);
  return record;
}
