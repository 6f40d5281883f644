// What Windows reads from a launcher the packer made, without running it: the version
// resource, the icon at every size, and the manifest. The executable is packed at build
// time (tests/CMakeLists.txt) with texts chosen to trip a careless resource script.
#include <windows.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/support/process_capture.h"

namespace {

// Must match the --company / --product / version options in tests/CMakeLists.txt.
const wchar_t company[] = L"Acm\u00e9 \"Q\" \\back\\ \U0001F600";
const wchar_t product[] = L"Pr\u00f6d \"\u00fcber\" C:\\Tools\\";
const wchar_t file_version[] = L"1.2.3.4";
const wchar_t product_version[] = L"65535.0.7.8";
const wchar_t exe_name[] = L"packed_resources.exe";

std::wstring packed_exe() { return beside_test_binary(exe_name); }

class PackedVersionInfo : public ::testing::Test {
 protected:
  void SetUp() override {
    DWORD ignored = 0;
    DWORD size = GetFileVersionInfoSizeW(packed_exe().c_str(), &ignored);
    ASSERT_NE(size, 0u) << "no version resource, error " << GetLastError();
    block_.resize(size);
    ASSERT_TRUE(GetFileVersionInfoW(packed_exe().c_str(), 0, size, block_.data()));
  }

  /// The string under \StringFileInfo\040904B0\<key>, or "<missing>".
  std::wstring text(const wchar_t* key) {
    std::wstring path = std::wstring(L"\\StringFileInfo\\040904B0\\") + key;
    wchar_t* value = nullptr;
    UINT length = 0;
    if (!VerQueryValueW(block_.data(), path.c_str(), reinterpret_cast<void**>(&value), &length) || !value)
      return L"<missing>";
    return std::wstring(value);
  }

  std::vector<unsigned char> block_;
};

TEST_F(PackedVersionInfo, StringsRoundTripEveryCharacter) {
  EXPECT_EQ(text(L"CompanyName"), company);
  EXPECT_EQ(text(L"ProductName"), product);
  EXPECT_EQ(text(L"FileDescription"), product);
  EXPECT_EQ(text(L"FileVersion"), file_version);
  EXPECT_EQ(text(L"ProductVersion"), product_version);
  EXPECT_EQ(text(L"InternalName"), exe_name);
  EXPECT_EQ(text(L"OriginalFilename"), exe_name);
}

TEST_F(PackedVersionInfo, FixedNumbersMatchTheTexts) {
  VS_FIXEDFILEINFO* fixed = nullptr;
  UINT length = 0;
  ASSERT_TRUE(VerQueryValueW(block_.data(), L"\\", reinterpret_cast<void**>(&fixed), &length));
  ASSERT_GE(length, sizeof *fixed);
  EXPECT_EQ(fixed->dwSignature, 0xFEEF04BDu);
  EXPECT_EQ(fixed->dwFileVersionMS, static_cast<DWORD>(MAKELONG(2, 1)));
  EXPECT_EQ(fixed->dwFileVersionLS, static_cast<DWORD>(MAKELONG(4, 3)));
  EXPECT_EQ(fixed->dwProductVersionMS, static_cast<DWORD>(MAKELONG(0, 65535)));
  EXPECT_EQ(fixed->dwProductVersionLS, static_cast<DWORD>(MAKELONG(8, 7)));
  EXPECT_EQ(fixed->dwFileType, static_cast<DWORD>(VFT_APP));
  EXPECT_EQ(fixed->dwFileOS, static_cast<DWORD>(VOS_NT_WINDOWS32));

  struct translation {
    WORD language, code_page;
  }* pairs = nullptr;
  ASSERT_TRUE(VerQueryValueW(block_.data(), L"\\VarFileInfo\\Translation", reinterpret_cast<void**>(&pairs), &length));
  ASSERT_EQ(length, sizeof *pairs);
  EXPECT_EQ(pairs->language, 0x0409);
  EXPECT_EQ(pairs->code_page, 1200);
}

// The launcher reads its {COMPANY} and {PRODUCT} texts from a section the packer writes
// beside the version resource; both must hold the same units, terminator included.
TEST(PackedTexts, TemplateTextsMatchTheResourceStrings) {
  HANDLE file = CreateFileW(packed_exe().c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
  ASSERT_NE(file, INVALID_HANDLE_VALUE);
  std::string image(GetFileSize(file, nullptr), '\0');
  DWORD read = 0;
  ASSERT_TRUE(ReadFile(file, image.data(), static_cast<DWORD>(image.size()), &read, nullptr));
  CloseHandle(file);
  for (const wchar_t* text : {company, product, file_version, product_version}) {
    // The resource copy follows a key; the template copy is preceded by zero fill or another text.
    std::string units(reinterpret_cast<const char*>(text), (wcslen(text) + 1) * sizeof(wchar_t));
    size_t first = image.find(units), count = 0;
    for (size_t at = first; at != std::string::npos; at = image.find(units, at + 1)) ++count;
    EXPECT_GE(count, 2u) << "expected both copies of text " << testing::PrintToString(std::wstring(text));
  }
}

class PackedResources : public ::testing::Test {
 protected:
  void SetUp() override {
    module_ = LoadLibraryExW(packed_exe().c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE);
    ASSERT_NE(module_, nullptr) << "error " << GetLastError();
  }
  void TearDown() override {
    if (module_) FreeLibrary(module_);
  }

  /// The bytes of resource `id` of `type`, empty when it is missing.
  std::string resource(LPCWSTR type, int id) {
    HRSRC found = FindResourceW(module_, MAKEINTRESOURCEW(id), type);
    if (!found) return "";
    HGLOBAL loaded = LoadResource(module_, found);
    const char* data = static_cast<const char*>(LockResource(loaded));
    return data ? std::string(data, SizeofResource(module_, found)) : "";
  }

  HMODULE module_ = nullptr;
};

/// Width of an RT_ICON image: from the PNG header or the bitmap header.
int icon_image_width(const std::string& image) {
  auto be32 = [&](size_t at) {
    return static_cast<int>(static_cast<unsigned char>(image[at]) << 24 |
                            static_cast<unsigned char>(image[at + 1]) << 16 |
                            static_cast<unsigned char>(image[at + 2]) << 8 | static_cast<unsigned char>(image[at + 3]));
  };
  if (image.size() >= 24 && image.compare(1, 3, "PNG") == 0) return be32(16);
  if (image.size() >= 40) return *reinterpret_cast<const LONG*>(image.data() + 4);
  return -1;
}

TEST_F(PackedResources, EveryIconSizeIsThereAndLoads) {
  std::string group = resource(RT_GROUP_ICON, 1);
  ASSERT_FALSE(group.empty()) << "no icon group 1";
  for (int size : {16, 32, 48, 256}) {
    SCOPED_TRACE(size);
    // The image Windows picks for this size must be that size, not a neighbour scaled.
    int id = LookupIconIdFromDirectoryEx(reinterpret_cast<PBYTE>(group.data()), TRUE, size, size, LR_DEFAULTCOLOR);
    ASSERT_NE(id, 0);
    EXPECT_EQ(icon_image_width(resource(RT_ICON, id)), size);

    HICON icon = static_cast<HICON>(LoadImageW(module_, MAKEINTRESOURCEW(1), IMAGE_ICON, size, size, 0));
    ASSERT_NE(icon, nullptr) << "error " << GetLastError();
    ICONINFO info{};
    ASSERT_TRUE(GetIconInfo(icon, &info));
    BITMAP bitmap{};
    ASSERT_NE(GetObjectW(info.hbmColor ? info.hbmColor : info.hbmMask, sizeof bitmap, &bitmap), 0);
    EXPECT_EQ(bitmap.bmWidth, size);
    if (info.hbmColor) DeleteObject(info.hbmColor);
    if (info.hbmMask) DeleteObject(info.hbmMask);
    DestroyIcon(icon);
  }
  EXPECT_NE(LoadIconW(module_, MAKEINTRESOURCEW(1)), nullptr);
}

TEST_F(PackedResources, ManifestDeclaresWhatTheLoaderNeeds) {
  std::string manifest = resource(RT_MANIFEST, 1);
  ASSERT_FALSE(manifest.empty()) << "no manifest 1";
  EXPECT_EQ(manifest.rfind("<?xml", 0), 0u);
  EXPECT_NE(manifest.find("</assembly>"), std::string::npos);
  for (const char* needed : {
           "level=\"asInvoker\"",
           ">true</longPathAware>",
           "{e2011457-1546-43c5-a5fe-008deee3d3f0}",  // Vista
           "{35138b9a-5d96-4fbd-8e2d-a2440225f93a}",  // 7
           "{4a2f28e3-53b9-4441-ba9c-d69d4a4a6e38}",  // 8
           "{1f676c76-80e1-4239-95bb-83d0f6d0da78}",  // 8.1
           "{8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a}",  // 10 and 11
           "name=\"Microsoft.Windows.Common-Controls\" version=\"6.0.0.0\"",
       })
    EXPECT_NE(manifest.find(needed), std::string::npos) << needed;
}

// The loader reads the manifest before the first instruction runs: a launcher with resources
// must still start and hand over to its main library.
TEST(PackedLauncher, StartsWithItsResources) {
  run_options options;
  options.set_env = {{L"TAVREN_TEST_EXIT", L"7"}};
  captured_run run = run_captured(packed_exe(), quote_argument(packed_exe()) + L" one", options);
  ASSERT_FALSE(run.timed_out);
  EXPECT_EQ(run.exit_code, 7u) << run.err;
  EXPECT_NE(run.out.find("argv1=one"), std::string::npos) << run.out;
}

// A signature sits after the last section and is named in the headers; the launcher must
// neither notice it nor lose its payload to it.
TEST(PackedLauncher, StartsTheSameWhenSigned) {
  std::wstring exe = beside_test_binary(L"packed_signed.exe");
  run_options options;
  options.set_env = {{L"TAVREN_TEST_EXIT", L"7"}};
  captured_run run = run_captured(exe, quote_argument(exe) + L" one", options);
  ASSERT_FALSE(run.timed_out);
  EXPECT_EQ(run.exit_code, 7u) << run.err;
  EXPECT_NE(run.out.find("argv1=one"), std::string::npos) << run.out;
}

}  // namespace
