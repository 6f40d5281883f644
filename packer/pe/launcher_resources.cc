#include "packer/pe/launcher_resources.h"

#include <stdint.h>

#include "base/byte_order.h"
#include "packer/app_icon.h"
#include "packer/names.h"

bool is_four_part_version(const std::string& text) {
  int parts = 0;
  size_t at = 0;
  while (parts < 4) {
    size_t digits = 0;
    unsigned long value = 0;
    while (at < text.size() && text[at] >= '0' && text[at] <= '9' && digits < 6) {
      value = value * 10 + static_cast<unsigned long>(text[at++] - '0');
      ++digits;
    }
    if (digits == 0 || value > 65535) return false;
    ++parts;
    if (parts < 4) {
      if (at >= text.size() || text[at] != '.') return false;
      ++at;
    }
  }
  return at == text.size();
}

const char* execution_level_text(execution_level level) {
  switch (level) {
    case execution_level::highest_available: return "highestAvailable";
    case execution_level::require_administrator: return "requireAdministrator";
    case execution_level::as_invoker: break;
  }
  return "asInvoker";
}

std::string launcher_manifest(const manifest_settings& settings) {
  std::string text =
      R"(<?xml version="1.0" encoding="UTF-8" standalone="yes"?>
<assembly xmlns="urn:schemas-microsoft-com:asm.v1" manifestVersion="1.0">
  <trustInfo xmlns="urn:schemas-microsoft-com:asm.v3">
    <security>
      <requestedPrivileges>
        <requestedExecutionLevel level=")";
  text += execution_level_text(settings.level);
  text += R"(" uiAccess="false"/>
      </requestedPrivileges>
    </security>
  </trustInfo>
  <compatibility xmlns="urn:schemas-microsoft-com:compatibility.v1">
    <application>
      <!-- Windows Vista -->
      <supportedOS Id="{e2011457-1546-43c5-a5fe-008deee3d3f0}"/>
      <!-- Windows 7 -->
      <supportedOS Id="{35138b9a-5d96-4fbd-8e2d-a2440225f93a}"/>
      <!-- Windows 8 -->
      <supportedOS Id="{4a2f28e3-53b9-4441-ba9c-d69d4a4a6e38}"/>
      <!-- Windows 8.1 -->
      <supportedOS Id="{1f676c76-80e1-4239-95bb-83d0f6d0da78}"/>
      <!-- Windows 10 and 11 -->
      <supportedOS Id="{8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a}"/>
    </application>
  </compatibility>
  <application xmlns="urn:schemas-microsoft-com:asm.v3">
    <windowsSettings>
      <longPathAware xmlns="http://schemas.microsoft.com/SMI/2016/WindowsSettings">true</longPathAware>
)";
  // dpiAware is what Vista to 8.1 read ("true/pm": per monitor on 8.1); Windows 10 from 1607
  // reads dpiAwareness first and takes the first value of its list it knows.
  if (settings.dpi == dpi_awareness::system) {
    text += R"(      <dpiAware xmlns="http://schemas.microsoft.com/SMI/2005/WindowsSettings">true</dpiAware>
)";
  } else if (settings.dpi == dpi_awareness::per_monitor_v2) {
    text += R"(      <dpiAware xmlns="http://schemas.microsoft.com/SMI/2005/WindowsSettings">true/pm</dpiAware>
      <dpiAwareness xmlns="http://schemas.microsoft.com/SMI/2016/WindowsSettings">PerMonitorV2, PerMonitor</dpiAwareness>
)";
  }
  // Windows 10 from 1903 on; earlier versions ignore it and keep the system's code page.
  if (settings.utf8) {
    text +=
        R"(      <activeCodePage xmlns="http://schemas.microsoft.com/SMI/2019/WindowsSettings">UTF-8</activeCodePage>
)";
  }
  text += R"(    </windowsSettings>
  </application>
  <dependency>
    <dependentAssembly>
      <assemblyIdentity type="win32" name="Microsoft.Windows.Common-Controls" version="6.0.0.0"
                        processorArchitecture="*" publicKeyToken="6595b64144ccf1df" language="*"/>
    </dependentAssembly>
  </dependency>
</assembly>
)";
  return text;
}

namespace {

constexpr uint16_t language_us_english = 0x0409;
constexpr uint16_t rt_icon = 3, rt_group_icon = 14, rt_version = 16, rt_manifest = 24;

void put16(std::string& out, uint32_t value) {
  out.resize(out.size() + 2);
  store_le16(reinterpret_cast<unsigned char*>(&out[out.size() - 2]), static_cast<uint16_t>(value));
}

void put32(std::string& out, uint32_t value) {
  out.resize(out.size() + 4);
  store_le32(reinterpret_cast<unsigned char*>(&out[out.size() - 4]), value);
}

void put_text(std::string& out, const std::u16string& text) {
  for (char16_t unit : text) put16(out, unit);
  put16(out, 0);
}

void align4(std::string& out) { out.append((4 - out.size() % 4) % 4, '\0'); }

/// Opens a version block at a 4-byte boundary: length (filled in by end_block), value
/// length, type (1 text, 0 binary) and key; returns where it starts.
size_t begin_block(std::string& out, const std::u16string& key, uint16_t value_length, uint16_t type) {
  align4(out);
  size_t start = out.size();
  put16(out, 0);
  put16(out, value_length);
  put16(out, type);
  put_text(out, key);
  align4(out);
  return start;
}

void end_block(std::string& out, size_t start) {
  uint32_t length = static_cast<uint32_t>(out.size() - start);
  store_le16(reinterpret_cast<unsigned char*>(&out[start]), static_cast<uint16_t>(length));
}

/// "a.b.c.d" (already checked) as the two numbers of a fixed version: a.b and c.d.
void put_version(std::string& out, const std::string& dotted) {
  uint32_t part[4] = {};
  size_t at = 0;
  for (uint32_t& value : part) {
    while (at < dotted.size() && dotted[at] != '.') value = value * 10 + static_cast<uint32_t>(dotted[at++] - '0');
    ++at;
  }
  put32(out, part[0] << 16 | part[1]);
  put32(out, part[2] << 16 | part[3]);
}

uint16_t get16(const std::string& bytes, size_t at) {
  return load_le16(reinterpret_cast<const unsigned char*>(&bytes[at]));
}

uint32_t get32(const std::string& bytes, size_t at) {
  return load_le32(reinterpret_cast<const unsigned char*>(&bytes[at]));
}

}  // namespace

std::string version_resource(const launcher_texts& texts, const std::string& file_name) {
  std::string out;
  size_t root = begin_block(out, u"VS_VERSION_INFO", 52, 0);
  put32(out, 0xFEEF04BD);  // VS_FIXEDFILEINFO signature
  put32(out, 0x00010000);  // its structure version
  put_version(out, texts.file_version);
  put_version(out, texts.product_version);
  put32(out, 0x3F);     // flags mask
  put32(out, 0);        // flags
  put32(out, 0x40004);  // VOS_NT_WINDOWS32
  put32(out, 1);        // VFT_APP
  put32(out, 0);        // subtype
  put32(out, 0);        // date, high
  put32(out, 0);        // date, low
  size_t strings = begin_block(out, u"StringFileInfo", 0, 1);
  size_t table = begin_block(out, u"040904B0", 0, 1);  // US English, UTF-16
  auto value = [&](const char16_t* key, const std::string& text) {
    // Callers pass text that converted before; anything else would be a bug upstream.
    std::u16string units = utf8_to_utf16(text).value_or(u"");
    size_t block = begin_block(out, key, static_cast<uint16_t>(units.size() + 1), 1);
    put_text(out, units);
    end_block(out, block);
  };
  value(u"CompanyName", texts.company);
  value(u"FileDescription", texts.product);
  value(u"FileVersion", texts.file_version);
  value(u"InternalName", file_name);
  value(u"OriginalFilename", file_name);
  value(u"ProductName", texts.product);
  value(u"ProductVersion", texts.product_version);
  end_block(out, table);
  end_block(out, strings);
  size_t variables = begin_block(out, u"VarFileInfo", 0, 1);
  size_t translation = begin_block(out, u"Translation", 4, 0);
  put16(out, language_us_english);
  put16(out, 1200);
  end_block(out, translation);
  end_block(out, variables);
  end_block(out, root);
  return out;
}

std::vector<resource_item> launcher_resources(const launcher_texts& texts, const std::string& file_name,
                                              const std::string& ico, const std::string& manifest) {
  std::vector<resource_item> items;
  // The group repeats each image's directory entry with its resource number in place of
  // its file offset; the images are numbered from 1 in file order.
  std::string group = ico.substr(0, 6);
  size_t count = get16(ico, 4);
  for (size_t i = 0; i < count; ++i) {
    size_t entry = 6 + 16 * i;
    group += ico.substr(entry, 12);
    put16(group, static_cast<uint32_t>(i + 1));
    items.push_back({rt_icon, static_cast<uint16_t>(i + 1), language_us_english,
                     ico.substr(get32(ico, entry + 12), get32(ico, entry + 8))});
  }
  items.push_back({rt_group_icon, 1, language_us_english, group});
  items.push_back({rt_version, 1, language_us_english, version_resource(texts, file_name)});
  items.push_back({rt_manifest, 1, language_us_english, manifest});
  return items;
}
