#include "packer/launcher_resources.h"

#include <stdio.h>

#include <sstream>

#include "packer/names.h"

const std::string& launcher_manifest() {
  static const std::string text =
      R"(<?xml version="1.0" encoding="UTF-8" standalone="yes"?>
<assembly xmlns="urn:schemas-microsoft-com:asm.v1" manifestVersion="1.0">
  <trustInfo xmlns="urn:schemas-microsoft-com:asm.v3">
    <security>
      <requestedPrivileges>
        <requestedExecutionLevel level="asInvoker" uiAccess="false"/>
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
    </windowsSettings>
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

std::string rc_wide_literal(const std::string& text) {
  // Callers pass text that converted before; anything else would be a bug upstream.
  std::u16string units = utf8_to_utf16(text).value_or(u"");
  std::string out = "L\"";
  for (char16_t unit : units) {
    // windres reads at most four digits after \x, so a literal digit may follow an escape.
    if (unit >= 0x20 && unit < 0x7F && unit != '"' && unit != '\\') {
      out += static_cast<char>(unit);
    } else {
      char escape[8];
      snprintf(escape, sizeof escape, "\\x%04x", static_cast<unsigned>(unit));
      out += escape;
    }
  }
  return out + "\"";
}

namespace {

std::string version_numbers(std::string dotted) {
  for (char& c : dotted)
    if (c == '.') c = ',';
  return dotted;
}

std::string rc_file_literal(const std::string& name) {
  // Only our own plain names reach here; quote them as windres expects.
  return "\"" + name + "\"";
}

}  // namespace

std::string launcher_resource_script(const launcher_texts& texts, const std::string& file_name,
                                     const std::string& icon_file, const std::string& manifest_file) {
  std::ostringstream s;
  s << "LANGUAGE 0x09, 0x01\n"
    << "1 ICON " << rc_file_literal(icon_file) << "\n"
    << "1 24 " << rc_file_literal(manifest_file) << "\n"
    << "1 VERSIONINFO\n"
    << "FILEVERSION " << version_numbers(texts.file_version) << "\n"
    << "PRODUCTVERSION " << version_numbers(texts.product_version) << "\n"
    << "FILEFLAGSMASK 0x3f\n"
    << "FILEFLAGS 0x0\n"
    << "FILEOS 0x40004\n"   // VOS_NT_WINDOWS32
    << "FILETYPE 0x1\n"     // VFT_APP
    << "FILESUBTYPE 0x0\n"
    << "BEGIN\n"
    << "  BLOCK \"StringFileInfo\"\n"
    << "  BEGIN\n"
    << "    BLOCK \"040904B0\"\n"  // US English, UTF-16
    << "    BEGIN\n";
  auto value = [&](const char* key, const std::string& text) {
    s << "      VALUE \"" << key << "\", " << rc_wide_literal(text) << "\n";
  };
  value("CompanyName", texts.company);
  value("FileDescription", texts.product);
  value("FileVersion", texts.file_version);
  value("InternalName", file_name);
  value("OriginalFilename", file_name);
  value("ProductName", texts.product);
  value("ProductVersion", texts.product_version);
  s << "    END\n"
    << "  END\n"
    << "  BLOCK \"VarFileInfo\"\n"
    << "  BEGIN\n"
    << "    VALUE \"Translation\", 0x409, 1200\n"
    << "  END\n"
    << "END\n";
  return s.str();
}
