// tavren-pack.exe as Windows users run it: real processes, real folders with names only
// UTF-16 and long paths can carry, and the Linux packer's output for the same input beside it.
#include <windows.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "launcher/update/update_check.h"
#include "tests/support/launcher_e2e_support.h"
#include "tests/support/process_capture.h"
#include "tests/support/test_files.h"

namespace {

std::wstring fixture(const std::wstring& name) { return beside_test_binary(L"..\\packer-test\\" + name); }

captured_run pack(const std::vector<std::wstring>& args, const run_options& options = {}) {
  std::wstring packer = beside_test_binary(L"tavren-pack.exe");
  std::wstring command_line = quote_argument(packer);
  for (const std::wstring& arg : args) command_line += L" " + quote_argument(arg);
  return run_captured(packer, command_line, options);
}

/// Packs `app` with the Windows packer as the build set up the Linux one, and expects the
/// same bytes.
std::wstring pack_like_linux(const scratch_folder& out, const std::wstring& app, const std::wstring& name) {
  std::wstring exe = out / name;
  captured_run r = pack({L"build", fixture(app), L"--main", L"main.dll", L"-o", exe, L"-q"});
  EXPECT_EQ(r.exit_code, 0u) << r.err;
  EXPECT_EQ(r.err, "");
  std::vector<unsigned char> linux_bytes = read_file_bytes(fixture(L"linux\\" + name));
  EXPECT_FALSE(linux_bytes.empty());
  EXPECT_TRUE(read_file_bytes(exe) == linux_bytes) << "the two packers disagree on " << narrow(name);
  return exe;
}

TEST(WindowsPacker, PacksHelloAsTheLinuxPackerDoesAndItRuns) {
  scratch_folder out;
  std::wstring exe = pack_like_linux(out, L"hello", L"hello.exe");
  captured_run run = run_captured(exe, quote_argument(exe) + L" one two", launch_options(out.path()));
  EXPECT_EQ(run.exit_code, 2u);  // hello returns its argument count
  EXPECT_NE(run.out.find("Hello from a packed application!"), std::string::npos) << run.out;
}

TEST(WindowsPacker, PacksListsVerifiesAndExtractsNamesBeyondAsciiAndMaxPath) {
  scratch_folder out;
  std::wstring exe = pack_like_linux(out, L"names_app", L"names.exe");
  run_options options = launch_options(out.path());
  options.set_env.push_back({L"TAVREN_TEST_EXIT", L"7"});
  EXPECT_EQ(run_captured(exe, quote_argument(exe), options).exit_code, 7u);

  std::string part;
  for (int i = 0; i < 80; ++i) part += "\xC3\xBC";  // ü
  std::string deep = part + "1\\" + part + "2\\" + part + "3\\" + part + "4\\deep.txt";
  captured_run list = pack({L"list", exe});
  EXPECT_EQ(list.exit_code, 0u) << list.err;
  EXPECT_EQ(list.out.rfind("launcher: windowed, x64\n", 0), 0u) << list.out;
  for (const std::string& line :
       std::vector<std::string>{"\tmain.dll\n", "5\tZo\xC3\xAB.txt\n", "10\t" + deep + "\n",
                                "13\t\xD0\x9C\xD0\xBE\xD0\xB9 \xD0\xBF\xD1\x80\xD0\xBE\xD0\xB5\xD0\xBA\xD1\x82\\"
                                "\xD0\xB4\xD0\xB0\xD0\xBD\xD0\xBD\xD1\x8B\xD0\xB5.txt\n"})
    EXPECT_NE(list.out.find(line), std::string::npos) << line;
  captured_run verify = pack({L"verify", exe});
  EXPECT_EQ(verify.exit_code, 0u) << verify.err;
  EXPECT_EQ(verify.out.rfind("launcher: windowed, x64\nexecution level: asInvoker\nentry: library\n"
                             "updates: none (packed without --update-key or --updates-unsigned)\n"
                             "update signature: none\nok: 4 entries, ",
                             0),
            0u)
      << verify.out;

  std::wstring target = out / L"unpacked";
  captured_run extract = pack({L"extract", exe, target});
  EXPECT_EQ(extract.exit_code, 0u) << extract.err;
  std::wstring deep_file = target + L"\\" + widen(deep);
  EXPECT_GT(deep_file.size(), size_t{MAX_PATH});
  std::vector<unsigned char> expected = read_file_bytes(fixture(L"names_app\\" + widen(deep)));
  EXPECT_FALSE(expected.empty());
  EXPECT_TRUE(read_file_bytes(deep_file) == expected);
  EXPECT_TRUE(read_file_bytes(target + L"\\main.dll") == read_file_bytes(fixture(L"names_app\\main.dll")));
}

TEST(WindowsPacker, RefusesANameThatIsNotValidUtf16AndNamesIt) {
  scratch_folder out;
  std::wstring app = out / L"app";
  ASSERT_TRUE(CreateDirectoryW(app.c_str(), nullptr));
  ASSERT_TRUE(CopyFileW(fixture(L"names_app\\main.dll").c_str(), (app + L"\\main.dll").c_str(), TRUE));
  std::wstring bad = app + L"\\bad" + wchar_t(0xD800) + L".txt";
  HANDLE file = CreateFileW(bad.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, 0, nullptr);
  if (file == INVALID_HANDLE_VALUE) GTEST_SKIP() << "this file system cannot hold an unpaired surrogate in a name";
  CloseHandle(file);
  std::vector<std::wstring> names = folder_entries(app, L"bad");
  if (names.size() != 1 || names[0] != L"bad" + std::wstring(1, wchar_t(0xD800)) + L".txt")
    GTEST_SKIP() << "this file system does not keep an unpaired surrogate as it was given";

  captured_run r = pack({L"build", app, L"--main", L"main.dll", L"-o", out / L"bad.exe"});
  EXPECT_EQ(r.exit_code, 1u);
  EXPECT_EQ(r.err, "tavren-pack: name 'bad\\uD800.txt' is not valid UTF-16\n");
  EXPECT_FALSE(path_exists(out / L"bad.exe"));
}

TEST(WindowsPacker, RefusesAFolderLinkThatLeadsOutOfTheAppFolder) {
  scratch_folder out;
  std::wstring app = out / L"app", elsewhere = out / L"elsewhere";
  ASSERT_TRUE(CreateDirectoryW(app.c_str(), nullptr) && CreateDirectoryW(elsewhere.c_str(), nullptr));
  ASSERT_TRUE(CopyFileW(fixture(L"names_app\\main.dll").c_str(), (app + L"\\main.dll").c_str(), TRUE));
  if (!make_unix_link(elsewhere, app + L"\\outside")) GTEST_SKIP() << "cannot make a symbolic link here";
  captured_run r = pack({L"build", app, L"--main", L"main.dll", L"-o", out / L"app.exe"});
  remove_unix_link(app + L"\\outside");
  EXPECT_EQ(r.exit_code, 1u);
  EXPECT_EQ(r.err, "tavren-pack: symbolic link 'outside' leads to a folder outside the app folder\n");
}

TEST(WindowsPacker, SignsWithTheToolOnPathOrSaysItIsMissing) {
  scratch_folder out;
  std::wstring exe = out / L"signed app.exe";
  std::vector<std::wstring> args = {L"build",  fixture(L"names_app"),
                                    L"--main", L"main.dll",
                                    L"-o",     exe,
                                    L"--sign", fixture(L"names_app\\Zo\u00eb.txt")};
  run_options nowhere;
  nowhere.set_env = {{L"PATH", out.path()}};
  captured_run missing = pack(args, nowhere);
  EXPECT_EQ(missing.exit_code, 1u);
  EXPECT_EQ(missing.err, "tavren-pack: cannot sign: 'osslsigncode' is not on PATH (install it, or leave out --sign)\n");

  // A stand-in that prints its arguments and fails: what it is given and what it says come
  // back as the Linux packer reports them, and nothing is left behind. With no time-stamp the
  // signing time comes from SOURCE_DATE_EPOCH, so two builds sign alike.
  run_options stand_in;
  stand_in.set_env = {{L"PATH", beside_test_binary(L"fake-signer")}, {L"SOURCE_DATE_EPOCH", L"1700000000"}};
  captured_run failed = pack(args, stand_in);
  EXPECT_EQ(failed.exit_code, 1u);
  EXPECT_EQ(failed.err.rfind("tavren-pack: signing the launcher failed (osslsigncode exit 3)\nsign\n-pkcs12\n", 0), 0u)
      << failed.err;
  EXPECT_NE(failed.err.find("Zo\xC3\xAB.txt\n-h\nsha256\n-time\n1700000000\n-in\n"), std::string::npos) << failed.err;
  EXPECT_FALSE(path_exists(exe));
  // --sign-payload hands the tool each binary of the folder first, read where it lies.
  args.push_back(L"--sign-payload");
  failed = pack(args, stand_in);
  EXPECT_EQ(failed.exit_code, 1u);
  EXPECT_EQ(failed.err.rfind("tavren-pack: signing 'main.dll' failed (osslsigncode exit 3)\nsign\n", 0), 0u)
      << failed.err;
  EXPECT_NE(failed.err.find("names_app/main.dll\n-out\n"), std::string::npos) << failed.err;
  EXPECT_FALSE(path_exists(exe));
  std::vector<std::wstring> left = folder_entries(out.path());
  EXPECT_TRUE(left.empty()) << narrow(left[0]) << " is left behind";
}

}  // namespace

namespace {

// What a launcher that carries the Linux packer's test key (bin\update\release.key) answers.
std::wstring update_answer(const std::vector<unsigned char>& release) {
  std::vector<unsigned char> running = read_file_bytes(beside_test_binary(L"update\\running_signed.exe"));
  launcher_update_facts facts;
  EXPECT_EQ(read_launcher_update_facts(running.data(), running.size(), &facts), nullptr);
  wchar_t why[256] = L"";
  update_candidate_acceptable_to(facts, release.data(), release.size(), false, why, 256);
  return why;
}

TEST(WindowsPacker, SignsReleasesWithBCryptThatALauncherTakes) {
  scratch_folder out;
  std::wstring key = out / L"release.key", exe = out / L"hello.exe";
  captured_run made = pack({L"update-key", L"new", key});
  ASSERT_EQ(made.exit_code, 0u) << made.err;
  std::string fingerprint = made.out.substr(made.out.rfind(' ') + 1, 16);
  ASSERT_EQ(
      pack({L"build", fixture(L"hello"), L"--main", L"main.dll", L"-o", exe, L"-q", L"--update-key", key}).exit_code,
      0u);
  captured_run list = pack({L"list", exe});
  EXPECT_NE(list.out.find("update signature: valid for key " + fingerprint + "\n"), std::string::npos) << list.out;

  // A release the Linux packer built, signed here with the Linux packer's key.
  std::wstring signed_here = out / L"newer.exe";
  captured_run signing = pack({L"sign-update", L"--key", beside_test_binary(L"update\\release.key"),
                               beside_test_binary(L"update\\newer_unsigned.exe"), L"-o", signed_here});
  ASSERT_EQ(signing.exit_code, 0u) << signing.err;
  EXPECT_EQ(update_answer(read_file_bytes(signed_here)), L"");
  EXPECT_EQ(update_answer(read_file_bytes(exe)), L"it is another company's launcher");
}

}  // namespace
