// The cache record against real folders: it stands for the payload's entries, not for what
// happened to be on the disk when it was written, and only a record of the current layout
// naming the product proves a folder this product's.
#include "launcher/cache_folder.h"

#include <gtest/gtest.h>
#include <windows.h>

#include <string.h>

#include <string>

#include "formats/stub_descriptor.h"
#include "tests/support/test_files.h"

namespace {

const unsigned char key[content_key_size] = {1, 2, 3, 4, 5, 6, 7, 8};
const unsigned char product[cache_product_size] = {9, 9, 9};
const unsigned char other_product[cache_product_size] = {9, 9, 8};

struct CacheRecord : ::testing::Test {
  std::wstring folder;
  void SetUp() override {
    wchar_t temp[MAX_PATH + 1];
    GetTempPathW(MAX_PATH + 1, temp);
    folder = std::wstring(temp) + L"tavren_record_" + std::to_wstring(GetCurrentProcessId());
    remove_tree(folder);
    ASSERT_TRUE(CreateDirectoryW(folder.c_str(), nullptr));
    ASSERT_TRUE(CreateDirectoryW((folder + L"\\data").c_str(), nullptr));
    write("app.dll", "library");
    write("data\\a.txt", "abc");
  }
  void TearDown() override { remove_tree(folder); }
  void write(const char* name, const std::string& text) {
    std::wstring path = folder + L"\\" + std::wstring(name, name + strlen(name));
    HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    DWORD written = 0;
    WriteFile(file, text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
    CloseHandle(file);
  }
};

TEST_F(CacheRecord, ListsThePayloadsEntriesSoAFileGoneBeforeTheRecordFailsTheCheckForEver) {
  cache_record_note_entry(L"app.dll", 7);
  cache_record_note_entry(L"data\\a.txt", 3);
  cache_record_note_entry(L"data\\quarantined.dll", 5);
  ASSERT_EQ(write_cache_record(folder.c_str(), key, product), static_cast<DWORD>(ERROR_SUCCESS));
  EXPECT_FALSE(cache_folder_intact(folder.c_str(), key));
  write("data\\quarantined.dll", "12345");  // given back later: still not the file the install wrote
  EXPECT_FALSE(cache_folder_intact(folder.c_str(), key));
}

// Two entries that differ only in case are one file on the disk, the later one's.
TEST_F(CacheRecord, AWholeFolderPassesAndNamesItsProductOnly) {
  cache_record_note_entry(L"DATA\\A.txt", 99);
  cache_record_note_entry(L"data\\a.txt", 3);
  cache_record_note_entry(L"app.dll", 7);
  ASSERT_EQ(write_cache_record(folder.c_str(), key, product), static_cast<DWORD>(ERROR_SUCCESS));
  EXPECT_TRUE(cache_folder_intact(folder.c_str(), key));
  EXPECT_TRUE(cache_folder_holds_product(folder.c_str(), product));
  EXPECT_FALSE(cache_folder_holds_product(folder.c_str(), other_product));
  write("data\\a.txt", "abcd");
  EXPECT_FALSE(cache_folder_intact(folder.c_str(), key));
}

// A record of the first layout (mark, key, count, a zero, then what was on disk) is neither
// intact nor anyone's: a folder that cannot be proved this product's is never removed as an
// old build.
TEST_F(CacheRecord, ARecordOfTheFirstLayoutIsNeitherIntactNorProof) {
  std::string record("TAVREN-CACHE-01\0", 16);
  record.append(reinterpret_cast<const char*>(key), content_key_size);
  record.append(8, '\0');  // no files listed
  record.append(reinterpret_cast<const char*>(product), cache_product_size);
  write(TAVREN_CACHE_RECORD_NAME, record);
  EXPECT_FALSE(cache_folder_intact(folder.c_str(), key));
  EXPECT_FALSE(cache_folder_holds_product(folder.c_str(), product));
}

}  // namespace
