// The launcher's icon: an .ico file holding the four sizes Windows asks for (16, 32, 48 and
// 256 pixels), made from a PNG, taken from a given .ico, or drawn by us.
#pragma once

#include <stddef.h>

#include <string>
#include <vector>

/// Square edge lengths every launcher icon holds, smallest first.
constexpr int icon_sizes[] = {16, 32, 48, 256};

/// Straight (not premultiplied) RGBA pixels, rows top to bottom.
struct rgba_image {
  int width = 0, height = 0;
  std::vector<unsigned char> pixels;  ///< width * height * 4 bytes
};

/// An .ico holding `images` (one per icon_sizes entry, same order): 256 as PNG, the smaller
/// ones as 32-bit DIBs with an AND mask that follows the alpha. Deterministic.
std::string ico_from_images(const std::vector<rgba_image>& images);

/// Our own mark, drawn at each size rather than scaled, so 16 pixels stay sharp.
std::string default_icon();

/// The icon for --icon `path`: a PNG is centred on a square and scaled to the four sizes; an
/// .ico is used as it is when it holds all four. Throws pack_error naming the file and the
/// reason (unreadable, damaged, not PNG or ICO, a size missing). Adds a warning for a PNG so
/// small that scaling up will blur it.
std::string load_icon(const std::string& path, std::vector<std::string>& warnings);

/// Why `ico` (the bytes of an .ico file) cannot serve as the launcher icon, or "" when it can.
std::string ico_fault(const unsigned char* ico, size_t size);
