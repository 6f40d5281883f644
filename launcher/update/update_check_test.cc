// The acceptance check over real launchers the packer made (tests/CMakeLists.txt lists them):
// each refusal, and the releases that must pass, against a running launcher read from its file.
#include <windows.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "launcher/update/update_check.h"
#include "tests/support/test_files.h"

namespace {

std::wstring fixture(const wchar_t* name) {
  wchar_t self[MAX_PATH];
  DWORD n = GetModuleFileNameW(nullptr, self, MAX_PATH);
  std::wstring path(self, n);
  return path.substr(0, path.find_last_of(L'\\') + 1) + L"update\\" + name + L".exe";
}

struct launcher_file {
  std::vector<unsigned char> bytes;
  launcher_update_facts facts;

  explicit launcher_file(const wchar_t* name) : bytes(read_file_bytes(fixture(name))) {
    EXPECT_FALSE(bytes.empty()) << "missing fixture";
    const char* fault = read_launcher_update_facts(bytes.data(), bytes.size(), &facts);
    EXPECT_EQ(fault, nullptr) << fault;
  }
};

// The check's answer: empty when accepted, else its reason.
std::wstring check(const launcher_file& running, const std::vector<unsigned char>& candidate,
                   bool allow_downgrade = false) {
  wchar_t why[256] = L"unset";
  bool ok =
      update_candidate_acceptable_to(running.facts, candidate.data(), candidate.size(), allow_downgrade, why, 256);
  EXPECT_EQ(ok, why[0] == 0) << "an acceptance says nothing, a refusal says why";
  return ok ? L"" : why;
}

void expect_answer(const std::wstring& got, const wchar_t* wanted) {
  if (!*wanted)
    EXPECT_EQ(got, L"");
  else
    EXPECT_NE(got.find(wanted), std::wstring::npos) << "wanted: " << testing::PrintToString(std::wstring(wanted));
}

TEST(UpdateCheck, AcceptsWhatThePolicyAllowsAndRefusesTheRestSayingWhy) {
  struct row {
    const wchar_t* running;
    const wchar_t* candidate;
    bool allow_downgrade;
    const wchar_t* answer;  // empty: accepted
  };
  const row rows[] = {
      {L"running_signed", L"newer_signed", false, L""},
      {L"running_signed", L"same_version_signed", false, L""},
      {L"running_signed", L"newer_signed_later", false, L""},
      // Authenticode added after the update signature leaves it whole: a launcher carries both.
      {L"running_signed", L"newer_signed_authenticode", false, L""},
      {L"running_signed", L"older_signed", false, L"its version is older than the running one"},
      {L"running_signed", L"older_signed", true, L""},
      {L"running_signed", L"newer_unsigned", false, L"it carries no update signature"},
      {L"running_signed", L"newer_other_key", false, L"does not match this launcher's publisher key"},
      {L"running_signed", L"other_product", false, L"it is the launcher of another product"},
      {L"running_signed", L"other_company", false, L"it is another company's launcher"},
      {L"running_signed", L"other_processor", false, L"it is built for another processor"},
      {L"running_none", L"newer_signed", false, L"this launcher takes no updates"},
      {L"running_none", L"newer_unsigned", false, L"this launcher takes no updates"},
      {L"running_unsigned", L"newer_unsigned", false, L""},
      {L"running_unsigned", L"newer_signed", false, L""},
      {L"running_unsigned", L"other_product", false, L"it is the launcher of another product"},
      {L"running_unsigned", L"older_signed", false, L"its version is older"},
  };
  for (const row& r : rows) {
    SCOPED_TRACE(testing::PrintToString(std::wstring(r.running) + L" <- " + r.candidate));
    launcher_file running(r.running);
    expect_answer(check(running, launcher_file(r.candidate).bytes, r.allow_downgrade), r.answer);
  }
}

TEST(UpdateCheck, RefusesASignedReleaseChangedAnywhere) {
  launcher_file running(L"running_signed");
  launcher_file release(L"newer_signed");
  ASSERT_EQ(check(running, release.bytes), L"");
  size_t descriptor = release.facts.descriptor_offset;
  struct change {
    const char* what;
    size_t at;
  };
  const change changes[] = {
      {"the first header byte after the DOS stub", 0x40},
      {"the payload's last byte", release.facts.signed_end - 1},
      {"the payload's middle", release.facts.signed_end / 2},
      {"the key it carries for later updates", descriptor + offsetof(stub_descriptor, update_key) + 5},
      {"its policy", descriptor + offsetof(stub_descriptor, update_policy)},
      {"the signature itself", descriptor + offsetof(stub_descriptor, update_signature) + 40},
  };
  for (const change& c : changes) {
    SCOPED_TRACE(c.what);
    std::vector<unsigned char> bytes = release.bytes;
    bytes[c.at] ^= 0x01;
    EXPECT_NE(check(running, bytes), L"");
  }
  std::vector<unsigned char> longer = release.bytes;
  longer.push_back(0);
  EXPECT_EQ(check(running, longer), L"its update signature does not match this launcher's publisher key");
  for (size_t size : {size_t{0}, size_t{64}, release.facts.descriptor_offset + 100, release.bytes.size() - 1}) {
    SCOPED_TRACE(size);
    EXPECT_NE(check(running, std::vector<unsigned char>(release.bytes.begin(), release.bytes.begin() + size)), L"");
  }
}

TEST(UpdateCheck, RefusesFilesThatAreNoLauncherOfOurs) {
  launcher_file running(L"running_unsigned");
  wchar_t self[MAX_PATH];
  DWORD n = GetModuleFileNameW(nullptr, self, MAX_PATH);
  expect_answer(check(running, read_file_bytes(std::wstring(self, n))), L"it is no launcher that takes updates");
  expect_answer(check(running, std::vector<unsigned char>(4096, 'M')), L"it is not a Windows executable");
}

TEST(UpdateCheck, ALauncherNeverPreparedRefusesEverything) {
  std::vector<unsigned char> release = launcher_file(L"newer_signed").bytes;
  wchar_t why[256] = L"";
  EXPECT_FALSE(update_candidate_acceptable(release.data(), release.size(), true, why, 256));
  EXPECT_STREQ(why, L"this launcher takes no updates (it was packed without an update key or --updates-unsigned)");
}

}  // namespace
