// Paths as Windows resolves them: drives, both separators, network shares.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <io.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "platform/console.h"
#include "platform/paths.h"
#include "platform/process.h"
#include "platform/windows_internal.h"

namespace radodaro {
namespace {

TEST(FullPath, DrivesBothSeparatorsAndFolding) {
  const struct {
    const char* in;
    const char* out;
  } cases[] = {
      {"C:\\a\\b\\..\\c", "C:\\a\\c"},
      {"C:/a/./b", "C:\\a\\b"},
      {"C:\\", "C:\\"},
      {"C:\\a\\..\\..", "C:\\"},
      {"c:\\x\\", "c:\\x\\"},
      {"D:/p/q/", "D:\\p\\q\\"},
      {"\\\\srv\\share\\a\\..\\b", "\\\\srv\\share\\b"},
  };
  for (const auto& c : cases) EXPECT_EQ(platform::full_path(c.in), c.out) << c.in;
  EXPECT_EQ(platform::full_folder_path("C:\\"), "C:\\");
  EXPECT_EQ(platform::full_folder_path("C:/out"), "C:\\out\\");
}

TEST(FullPath, RelativeToTheCurrentFolderOfTheCurrentDrive) {
  const std::string here = std::filesystem::current_path().string();
  ASSERT_GE(here.size(), 3u);
  EXPECT_EQ(platform::full_path(""), here);
  EXPECT_EQ(platform::full_path("."), here);
  EXPECT_EQ(platform::full_path("out"), here + "\\out");
  EXPECT_EQ(platform::full_path("out/sub/"), here + "\\out\\sub\\");
  EXPECT_EQ(platform::full_path("x\\..\\y"), here + "\\y");
  // Rooted without a drive: the current drive's root.
  EXPECT_EQ(platform::full_path("\\top"), here.substr(0, 2) + "\\top");
  EXPECT_EQ(platform::full_folder_path(""), here + "\\");
}

// Records the folders that would be made, making none.
class Recorder : public platform::Env {
 public:
  platform::Error make_folder(const std::string& path) override {
    made.push_back(path);
    return platform::Error::kOk;
  }
  std::vector<std::string> made;
};

TEST(MakeFolderChain, OuterFirstAfterTheDriveOrTheShare) {
  using Made = std::vector<std::string>;
  const struct {
    const char* path;
    Made made;
  } cases[] = {
      {"C:\\a\\b\\00000000.dat", Made{"C:\\a", "C:\\a\\b"}},
      {"C:\\00000000.dat", Made{}},
      {"\\\\srv\\share\\x\\y\\00000000.dat", Made{"\\\\srv\\share\\x", "\\\\srv\\share\\x\\y"}},
      {"\\\\srv\\share\\00000000.dat", Made{}},
      {"\\a\\00000000.dat", Made{"\\a"}},
  };
  for (const auto& c : cases) {
    Recorder env;
    platform::make_folder_chain(env, c.path);
    EXPECT_EQ(env.made, c.made) << c.path;
  }
}

TEST(SystemPath, AbsolutePathsTakeTheFormThatKnowsNoLengthLimit) {
  const struct {
    const char* in;
    const wchar_t* out;
  } cases[] = {
      {"C:\\a\\b.pak", L"\\\\?\\C:\\a\\b.pak"},
      {"C:/a/b", L"\\\\?\\C:\\a\\b"},
      {"\\\\srv\\share\\p.pak", L"\\\\?\\UNC\\srv\\share\\p.pak"},
      {"\\\\?\\C:\\x", L"\\\\?\\C:\\x"},
      {"relative\\x", L"relative\\x"},
      {"\\rooted", L"\\rooted"},
      // UTF-8 inside, UTF-16 for the system: Greek, CJK and an emoji.
      {"C:\\\xce\xb1\xce\xb2\\\xe6\xbc\xa2\xf0\x9f\x93\xa6",
       L"\\\\?\\C:\\\u03b1\u03b2\\\u6f22\U0001f4e6"},
  };
  for (const auto& c : cases) EXPECT_EQ(platform::windows::system_path(c.in), c.out) << c.in;
  // The folder of a pack at a share's root is the share itself, in the
  // form the system opens as a folder.
  EXPECT_EQ(platform::folder_of("\\\\srv\\share\\p.pak"), "\\\\srv\\share\\");
  EXPECT_EQ(platform::windows::system_path(platform::folder_of("\\\\srv\\share\\p.pak")),
            L"\\\\?\\UNC\\srv\\share\\");
  const std::string text = "\xd0\x96\xd1\x83\xd0\xba \xf0\x9f\x93\xa6";  // Cyrillic and an emoji
  EXPECT_EQ(platform::windows::narrow(platform::windows::wide(text)), text);
}

TEST(FullPath, PastTheOldLimitOfTwoHundredAndSixtyCharacters) {
  for (const size_t length : {300u, 1000u}) {
    std::string path = "C:";
    while (path.size() < length) path += "\\folder";
    const std::string full = platform::full_path(path + "\\.\\x\\..\\m.pak");
    EXPECT_EQ(full, path + "\\m.pak") << length;
  }
}

TEST(ConsoleWait, OnlyAConsoleMadeForThisProgramAloneWaits) {
  // Explorer starts a console program in a console of its own; cmd.exe,
  // PowerShell and scripts share theirs; a pipe or a service has none.
  const struct {
    unsigned processes;
    bool waits;
  } cases[] = {{0, false}, {1, true}, {2, false}, {5, false}};
  for (const auto& c : cases) {
    EXPECT_EQ(platform::console_is_ours_alone(c.processes), c.waits) << c.processes;
  }
}

TEST(BinaryOutput, EntryBytesReachStandardOutputAsTheyAre) {
  // Standard output pointed at a file for the while, as a redirection does.
  const std::string path =
      (std::filesystem::temp_directory_path() / "radodaro-binary-out").string();
  std::fflush(stdout);
  const int saved = _dup(_fileno(stdout));
  FILE* file = std::fopen(path.c_str(), "wb");
  ASSERT_NE(file, nullptr);
  ASSERT_EQ(_dup2(_fileno(file), _fileno(stdout)), 0);
  std::fclose(file);
  _setmode(_fileno(stdout), _O_TEXT);
  const bool binary = platform::binary_output();
  const char bytes[] = {'a', '\n', '\x1a', '\r', '\n', 'b'};
  std::fwrite(bytes, 1, sizeof bytes, stdout);
  std::fflush(stdout);
  _setmode(_fileno(stdout), _O_TEXT);
  _dup2(saved, _fileno(stdout));
  _close(saved);
  EXPECT_TRUE(binary);
  std::ifstream in(path, std::ios::binary);
  const std::string got((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  EXPECT_EQ(got, std::string(bytes, sizeof bytes));
}

}  // namespace
}  // namespace radodaro
