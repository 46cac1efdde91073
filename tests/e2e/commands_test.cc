// The commands behind "--": help, version, list, verify, update, compact.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <filesystem>
#include <thread>

#include "e2e/e2e_util.h"
#include "support/json.h"
#include "support/sample_pack.h"

namespace radodaro::testing {
namespace {

constexpr int kFailure = 255;

RunResult radodaro(const std::vector<std::string>& args) { return run_radodaro(args); }

TEST(Commands, HelpVersionAndMistakes) {
  const std::string usage = kUsage;
  const std::string help =
      usage +
      "Commands:\n"
      "--list PACK            list the entries without reading their data\n"
      "  --json               a JSON object per line for each entry, then a summary\n"
      "  --only SELECTION     only these entries: 3,7-9,0x1f-, or member names; again for more\n"
      "  --names LIST         paths of their own for entries, from lines INDEX<TAB>PATH\n"
      "--verify PACK          check every entry and the directory; writes nothing\n"
      "  --json               a JSON object per line for each entry, then a summary\n"
      "  --only SELECTION     only these entries: 3,7-9,0x1f-, or member names; again for more\n"
      "  --jobs, -j N         threads that work ahead (0: one per core, the default)\n"
      "  --progress           show the progress line wherever stderr goes\n"
      "  --no-progress        never show the progress line\n"
      "--expand PACK FOLDER   write the entries out as member files, never over a file\n"
      "  --verbose, -v        a line for each member file written\n"
      "  --quiet, -q          nothing but errors: no lines, no progress\n"
      "  --json               a JSON object per line for each entry, then a summary\n"
      "  --overwrite          replace member files that are there, each at once\n"
      "  --names LIST         paths of their own for entries, from lines INDEX<TAB>PATH\n"
      "  --guess-types        an extension from the content for each member not named\n"
      "  --skip-existing      pass over member files that are there, without a word\n"
      "  --only SELECTION     only these entries: 3,7-9,0x1f-, or member names; again for more\n"
      "  --jobs, -j N         threads that work ahead (0: one per core, the default)\n"
      "  --progress           show the progress line wherever stderr goes\n"
      "  --no-progress        never show the progress line\n"
      "--update PACK FOLDER   group only the member files that changed\n"
      "  --fast, -1           changed lzo1x members compressed fast (the default)\n"
      "  --best, -9           changed lzo1x members compressed as small as can be\n"
      "  --store, -0          every changed member stored uncompressed, as /p does\n"
      "  --dry-run, -n        print what would be done; write nothing\n"
      "  --json               a JSON object per member appended, then a summary\n"
      "  --check-all          read every member, whatever the folder's record says\n"
      "  --force              go on with a folder whose record is of another pack (or version)\n"
      "  --only SELECTION     only these entries: 3,7-9,0x1f-, or member names; again for more\n"
      "  --jobs, -j N         threads that work ahead (0: one per core, the default)\n"
      "  --progress           show the progress line wherever stderr goes\n"
      "  --no-progress        never show the progress line\n"
      "--status PACK FOLDER   what --update would put back, and why\n"
      "  --verbose, -v        unchanged members too\n"
      "  --json               a JSON object per member, then a summary\n"
      "  --check-all          read every member, whatever the folder's record says\n"
      "  --force              go on with a folder whose record is of another pack (or version)\n"
      "  --only SELECTION     only these entries: 3,7-9,0x1f-, or member names; again for more\n"
      "  --jobs, -j N         threads that work ahead (0: one per core, the default)\n"
      "  --progress           show the progress line wherever stderr goes\n"
      "  --no-progress        never show the progress line\n"
      "--cat PACK SELECTION   the content of the selected entries, to standard output\n"
      "  --names LIST         paths of their own for entries, from lines INDEX<TAB>PATH\n"
      "--diff OLD NEW         what differs between two packs, entry by entry, by content\n"
      "  --json               a JSON object per difference, then a summary\n"
      "--create PACK FOLDER   a new pack from the member files of a folder\n"
      "  --like TEMPLATE      lead bytes, kinds, crc1 and entries with no member from it\n"
      "  --fast, -1           members of lzo1x entries compressed fast (the default)\n"
      "  --best, -9           members of lzo1x entries compressed as small as can be\n"
      "  --store, -0          every member stored uncompressed\n"
      "  --overwrite          replace the file if it is there (a regular file only)\n"
      "  --json               a JSON summary of the pack made\n"
      "  --jobs, -j N         threads that work ahead (0: one per core, the default)\n"
      "  --progress           show the progress line wherever stderr goes\n"
      "  --no-progress        never show the progress line\n"
      "--make-patch OLD NEW PATCH\n"
      "                       a patch that turns OLD's content into NEW's\n"
      "  --overwrite          replace the file if it is there (a regular file only)\n"
      "  --json               a JSON summary of the patch made\n"
      "--apply-patch PACK PATCH\n"
      "                       apply a patch, whole or not at all\n"
      "  --undo UNDO          first write the patch that takes this one off again\n"
      "  --dry-run, -n        print what would be done; write nothing\n"
      "  --force              apply it even to entries that conflict\n"
      "  --json               a JSON object per entry the patch changes, then a summary\n"
      "--compact PACK         give back the space that no entry refers to\n"
      "  --dry-run, -n        print what would be done; write nothing\n"
      "  --json               a JSON summary with the sizes before and after\n"
      "  --progress           show the progress line wherever stderr goes\n"
      "  --no-progress        never show the progress line\n"
      "--help [COMMAND]       this text, or one command's\n"
      "--version              the version\n"
      "Exit status:\n"
      "  --list               0 done, 255 nothing could be done\n"
      "  --verify             0 every entry fine, 1 some entries had problems, 255 nothing could "
      "be done\n"
      "  --expand             0 every selected entry written and checked, 1 some were not, 255 "
      "nothing could be done\n"
      "  --update             0 done, 255 nothing could be done\n"
      "  --status             0 nothing to put back, 1 something to put back, 255 nothing could "
      "be done\n"
      "  --cat                0 every entry fine, 1 some entries had problems, 255 nothing could "
      "be done\n"
      "  --diff               0 the same content, 1 different, 255 nothing could be done\n"
      "  --create             0 done, 255 nothing could be done\n"
      "  --make-patch         0 done, 255 nothing could be done\n"
      "  --apply-patch        0 applied (or in place already), 255 nothing was changed\n"
      "  --compact            0 done, 255 nothing could be done\n"
      "  --help               0 done, 255 no such command\n"
      "  --version            0\n"
      "Every command takes --help (-h) for its own help.\n"
      "More in radodaro(1): man radodaro\n";
  const std::string try_help = "try 'radodaro --help'\n";
  const std::string compact_help =
      "Usage: radodaro --compact PACK [OPTION]...\n"
      "give back the space that no entry refers to\n"
      "Options:\n"
      "  --dry-run, -n        print what would be done; write nothing\n"
      "  --json               a JSON summary with the sizes before and after\n"
      "  --progress           show the progress line wherever stderr goes\n"
      "  --no-progress        never show the progress line\n"
      "Exit status: 0 done, 255 nothing could be done\n";
  const auto try_command = [](const char* command) {
    return std::string("try 'radodaro ") + command + " --help'\n";
  };
  const struct {
    std::vector<std::string> args;
    int exit_code;
    std::string out;
    std::string err;
  } cases[] = {
      {{"--help"}, 0, help, ""},
      {{"--version"}, 0, std::string("radodaro ") + RADODARO_VERSION + "\n", ""},
      {{"--help", "compact"}, 0, compact_help, ""},
      // A command's help where people look for it, whatever else is given.
      {{"--compact", "--help"}, 0, compact_help, ""},
      {{"--compact", "x", "y", "-nh"}, 0, compact_help, ""},
      {{"--help", "--version"}, 0, "Usage: radodaro --version\nthe version\nExit status: 0\n", ""},
      {{"--lst"},
       kFailure,
       "",
       "radodaro: unknown command '--lst'; did you mean '--list'?\n" + try_help},
      {{"--expnad"},
       kFailure,
       "",
       "radodaro: unknown command '--expnad'; did you mean '--expand'?\n" + try_help},
      {{"--vers"},
       kFailure,
       "",
       "radodaro: unknown command '--vers'; did you mean '--version'?\n" + try_help},
      {{"--help", "x"}, kFailure, "", "radodaro: unknown command 'x'\n" + try_help},
      {{"--list"}, kFailure, "", "radodaro: --list takes PACK\n" + try_command("--list")},
      {{"--update", "a.pak"},
       kFailure,
       "",
       "radodaro: --update takes PACK FOLDER\n" + try_command("--update")},
      {{"--compact", "a.pak", "b"},
       kFailure,
       "",
       "radodaro: --compact takes PACK\n" + try_command("--compact")},
      {{"--version", "x"},
       kFailure,
       "",
       "radodaro: --version takes no operands\n" + try_command("--version")},
      {{"--list", "a", "--jsn"},
       kFailure,
       "",
       "radodaro: unknown option '--jsn' of --list; did you mean '--json'?\n" +
           try_command("--list")},
      {{"--update", "a", "b", "--bast"},
       kFailure,
       "",
       "radodaro: unknown option '--bast' of --update; did you mean '--fast' or '--best'?\n" +
           try_command("--update")},
      {{"--compact", "-9", "a"},
       kFailure,
       "",
       "radodaro: unknown option '-9' of --compact\n" + try_command("--compact")},
      {{"--verify", "-vj2", "a"},
       kFailure,
       "",
       "radodaro: unknown option '-v' of --verify\n" + try_command("--verify")},
      {{"--list", "--json=yes", "a"},
       kFailure,
       "",
       "radodaro: --json takes no value\n" + try_command("--list")},
      {{"--expand", "a", "b", "--only"},
       kFailure,
       "",
       "radodaro: --only needs a value: SELECTION\n" + try_command("--expand")},
      {{"--expand", "a", "b", "-j"},
       kFailure,
       "",
       "radodaro: --jobs needs a value: N\n" + try_command("--expand")},

      // After "--", everything is an operand, however it begins.
      {{"--list", "--", "--json"},
       kFailure,
       "",
       "radodaro: cannot open " + (std::filesystem::current_path() / "--json").string() +
           ": No such file or directory\n"},
      // Not a "--" command: the original rules and usage text.
      {{"--list", "a", "b"}, kFailure, "", "radodaro: --list takes PACK\n" + try_command("--list")},
      {{"/x", "a", "b"}, kFailure, usage, ""},
      {{"-list", "a"}, kFailure, usage, ""},
  };
  for (const auto& c : cases) {
    const RunResult r = radodaro(c.args);
    EXPECT_EQ(r.out, c.out) << c.args[0] << " " << c.args.back();
    EXPECT_EQ(r.err, c.err) << c.args[0] << " " << c.args.back();
    EXPECT_EQ(r.exit_code, c.exit_code) << c.args[0] << " " << c.args.back();
  }
  // A number of threads that is no number, or too many, is refused before
  // the pack is opened.
  for (const char* jobs : {"-j", "--jobs", "--jobs=257", "--jobs=x", "--jobs=", "--jobs=-1"}) {
    std::vector<std::string> args = {"--verify", RADODARO_SAMPLE_PACK, jobs};
    if (std::string(jobs).find('=') == std::string::npos) args.emplace_back("4x");
    const RunResult r = radodaro(args);
    EXPECT_EQ(r.exit_code, kFailure) << jobs;
    EXPECT_EQ(r.out, "") << jobs;
    EXPECT_NE(r.err.find("radodaro: --jobs takes a number from 0 to 256, not '"), std::string::npos)
        << jobs;
  }
  // The forms getopt_long reads: "=", the next argument, a letter with its
  // value joined, clusters; options after the operands.
  const std::vector<std::string> fine[] = {{"--jobs=0"}, {"-j", "1"}, {"--jobs", "256"},
                                           {"-j2"},      {"--jo=3"},  {"--no-progress", "-j4"}};
  for (const std::vector<std::string>& jobs : fine) {
    std::vector<std::string> args = {"--verify", RADODARO_SAMPLE_PACK};
    args.insert(args.end(), jobs.begin(), jobs.end());
    EXPECT_EQ(radodaro(args).out, "entries checked 3, problems 0\n") << jobs[0];
  }
}

TEST(Commands, ListAndVerifyOfTheSamplePack) {
  const RunResult list = radodaro({"--list", RADODARO_SAMPLE_PACK});
  EXPECT_EQ(list.out,
            "member    kind       unpacked      packed      offset  crc1      crc2\n"
            "00000000  stored           34          34         112  1234ABCD  20CB0717\n"
            "00000001  skipped          14          14         146  00000000  00000000\n"
            "00000002  lzo1x          4000        1571         160  C0FFEE00  9CADC486\n"
            "00000003  stored          257         257        1731  00000007  A160C23F\n"
            "entries 4: stored 2, lzo1x 1, skipped 1, other 0\n"
            "file size 1988 bytes\n"
            "referenced 1876 bytes\n"
            "unreferenced 0 bytes\n"
            "dir_crc 6DA443DF matches the directory\n");
  EXPECT_EQ(list.exit_code, 0);
  const RunResult verify = radodaro({"--verify", RADODARO_SAMPLE_PACK});
  EXPECT_EQ(verify.out, "entries checked 3, problems 0\n");
  EXPECT_EQ(verify.exit_code, 0);
}

// A pack with shared data, a kind of its own, data outside the file, bytes
// no entry refers to, and every checksum wrong.
Bytes odd_pack() {
  Bytes pack(16 + 4 * 24);
  PakHeader header;
  header.entry_count = 4;
  encode_header(header, pack.data());
  const PakEntry entries[] = {
      {0, kKindStored, 0, 4, 112, 4},
      {0, kKindStored, 0, 4, 112, 4},  // the same data
      {0, 7, 0, 3, 116, 3},
      {0, kKindStored, 0, 5, 5000, 5},  // outside
  };
  for (uint32_t i = 0; i < 4; ++i) encode_entry(entries[i], pack.data() + entry_position(i));
  for (const char c : std::string("abcdxyz0123456789")) pack.push_back(static_cast<uint8_t>(c));
  return pack;
}

TEST(Commands, ListAndVerifyOfAnOddPack) {
  TempDir tmp;
  const Bytes pack = odd_pack();
  write_file(tmp / "o.pak", pack);
  const std::string crc = hex8(Crc32().crc32(pack.data() + 16, 4 * 24));
  const RunResult list = radodaro({"--list", tmp / "o.pak"});
  EXPECT_EQ(list.out,
            "member    kind       unpacked      packed      offset  crc1      crc2\n"
            "00000000  stored            4           4         112  00000000  00000000\n"
            "00000001  stored            4           4         112  00000000  00000000\n"
            "00000002  7                 3           3         116  00000000  00000000\n"
            "00000003  stored            5           5        5000  00000000  00000000  outside\n"
            "entries 4: stored 3, lzo1x 0, skipped 0, other 1\n"
            "file size 129 bytes\n"
            "referenced 7 bytes\n"
            "unreferenced 10 bytes\n"
            "dir_crc 00000000 differs from the directory's CRC-32 " +
                crc + "\n");
  const std::string abcd = hex8(sum32(pack.data() + 112, 4));
  const RunResult verify = radodaro({"--verify", tmp / "o.pak"});
  EXPECT_EQ(verify.out,
            "00000000.dat: crc2 00000000 is not the sum of its content, " + abcd + "\n" +
                "00000001.dat: crc2 00000000 is not the sum of its content, " + abcd + "\n" +
                "00000002.dat: kind 7 is not stored, lzo1x or skipped\n" +
                "00000002.dat: crc2 00000000 is not the sum of its content, " +
                hex8(sum32(pack.data() + 116, 3)) + "\n" +
                "00000003.dat: its data, 5 bytes at offset 5000, lies outside the file\n" +
                "directory: dir_crc 00000000 is not the CRC-32 of the directory, " + crc + "\n" +
                "entries checked 4, problems 6\n");
  EXPECT_EQ(verify.exit_code, 1);
  // What cannot be read at all is said on stderr, with the reason.
  write_file(tmp / "empty.pak", Bytes());
  write_file(tmp / "short.pak", Bytes(10));
  for (const char* command : {"--list", "--verify", "--expand"}) {
    const struct {
      std::string pack;
      std::string err;
    } unreadable[] = {
        {tmp / "none.pak",
         "radodaro: cannot open " + tmp / "none.pak" + ": No such file or directory\n"},
        {tmp / "empty.pak", "radodaro: " + tmp / "empty.pak" +
                                ": not a pack: too short for its header and directory\n"},
        {tmp / "short.pak", "radodaro: " + tmp / "short.pak" +
                                ": not a pack: too short for its header and directory\n"},
    };
    for (const auto& u : unreadable) {
      std::vector<std::string> args = {command, u.pack};
      if (std::string(command) == "--expand") args.push_back(tmp / "out");
      const RunResult r = radodaro(args);
      EXPECT_EQ(r.out, "") << command << " " << u.pack;
      EXPECT_EQ(r.err, u.err) << command;
      EXPECT_EQ(r.exit_code, kFailure) << command;
    }
  }
  EXPECT_FALSE(file_exists(tmp / "out"));
}

TEST(Commands, VerifyOfLzo1xStreams) {
  TempDir tmp;
  PackBuilder pack;
  pack.lzo1x(text_like_bytes(5000, 1))
      .lzo1x(text_like_bytes(5000, 2))
      .lzo1x(text_like_bytes(900, 3));
  std::vector<FixtureEntry> entries = pack.entries();
  PackBuilder odd;
  entries[0].crc2 = sum_of(entries[0].content);  // the sum of the content
  entries[1].crc2 = sum_of(entries[1].data);     // or of the packed bytes: both fine
  entries[2].crc2 = sum_of(entries[2].content);
  entries[2].data.resize(entries[2].data.size() / 2);  // a stream cut in half
  for (const FixtureEntry& f : entries) odd.add(f);
  odd.true_dir_crc().write(tmp / "z.pak");
  const RunResult r = radodaro({"--verify", tmp / "z.pak"});
  EXPECT_EQ(r.out.rfind("00000002.dat: its lzo1x stream does not decode (error ", 0), 0u) << r.out;
  EXPECT_NE(r.out.find("00000002.dat: crc2 "), std::string::npos) << r.out;
  EXPECT_EQ(r.out.find("00000000.dat"), std::string::npos) << r.out;
  EXPECT_EQ(r.out.find("00000001.dat"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("entries checked 3, problems 2\n"), std::string::npos) << r.out;
  EXPECT_EQ(r.exit_code, 1);
}

TEST(Commands, UpdateAppendsOnlyWhatChanged) {
  TempDir tmp;
  PackBuilder pack;
  for (uint32_t i = 0; i < 6; ++i) {
    if (i % 2) {
      pack.stored(random_bytes(3000, i));
    } else {
      pack.lzo1x(text_like_bytes(8000, i));
    }
  }
  pack.write(tmp / "t.pak");
  const std::string m = tmp / "m";
  ASSERT_EQ(run_radodaro({"/e", tmp / "t.pak", m}).exit_code, 0);
  // Nothing changed: nothing is written, not even the directory.
  const Bytes before = read_file(tmp / "t.pak");
  RunResult r = radodaro({"--update", tmp / "t.pak", m});
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(r.exit_code, 0);
  EXPECT_EQ(read_file(tmp / "t.pak"), before);
  // A folder that is not there, or a file, is no folder of members: said,
  // never taken for "nothing changed".
  std::string deep = tmp / "";
  for (int i = 0; i < 15; ++i) deep += std::string(99, 'x') + "/";
  for (const auto& [folder, why] : {std::pair{tmp / "mx", "No such file or directory"},
                                    {tmp / "t.pak", "Not a directory"},
                                    // Said whole, however long.
                                    {deep + "m", "No such file or directory"}}) {
    for (const char* dry_run : {"", "-n"}) {
      std::vector<std::string> args = {"--update", tmp / "t.pak", folder};
      if (*dry_run != '\0') args.emplace_back(dry_run);
      r = radodaro(args);
      EXPECT_EQ(r.exit_code, kFailure) << folder << dry_run;
      EXPECT_EQ(r.out, "") << folder << dry_run;
      EXPECT_EQ(r.err, "radodaro: " + folder + "/: " + why + "\n") << folder << dry_run;
    }
  }
  EXPECT_EQ(read_file(tmp / "t.pak"), before);

  write_file(member(m, 2), bytes_of("edited lzo1x member"));
  write_file(member(m, 3), bytes_of("edited stored member"));
  std::filesystem::remove(member(m, 5));
  std::string printed;
  Bytes want = model_group(before, m, &printed);
  // Stored as /p stores them; what the other efforts do is below.
  r = radodaro({"--update", tmp / "t.pak", m, "--store"});
  EXPECT_EQ(r.out, member(m, 2) + "\n" + member(m, 3) + "\n");
  EXPECT_EQ(r.exit_code, 0);
  const Bytes after = read_file(tmp / "t.pak");
  EXPECT_EQ(after.size(), before.size() + 19 + 20);
  // Unchanged entries keep every field, compressed ones stay compressed.
  for (uint32_t i : {0u, 1u, 4u, 5u}) {
    EXPECT_EQ(Bytes(after.begin() + entry_position(i), after.begin() + entry_position(i + 1)),
              Bytes(before.begin() + entry_position(i), before.begin() + entry_position(i + 1)))
        << i;
  }
  // Changed ones are appended as /p appends them, one after the other.
  uint64_t end = before.size();
  for (uint32_t i : {2u, 3u}) {
    PakEntry e = decode_entry(after.data() + entry_position(i));
    EXPECT_EQ(e.offset, end) << i;
    end += e.unpacked_size;
    e.offset = decode_entry(want.data() + entry_position(i)).offset;
    Bytes record(kEntrySize);
    encode_entry(e, record.data());
    EXPECT_EQ(record, Bytes(want.begin() + entry_position(i), want.begin() + entry_position(i + 1)))
        << i;
  }
  ASSERT_EQ(run_radodaro({"/e", tmp / "t.pak", tmp / "x"}).exit_code, 0);
  for (uint32_t i = 0; i < 6; ++i) {
    const Bytes expected = i == 2   ? bytes_of("edited lzo1x member")
                           : i == 3 ? bytes_of("edited stored member")
                                    : pack.entries()[i].content;
    EXPECT_EQ(read_file(member(tmp / "x", i)), expected) << i;
  }
}

// --update keeps each entry's kind: a changed member of an lzo1x entry
// becomes a new stream, fast or small, or is stored as /p stores it.
TEST(Commands, UpdateKeepsEachEntrysKind) {
  const std::vector<Bytes> edits = {{}, random_bytes(70000, 1), text_like_bytes(50000, 2)};
  const struct {
    std::vector<std::string> option;
    bool compressed;
  } efforts[] = {{{}, true},         {{"--fast"}, true},   {{"-9"}, true},
                 {{"--best"}, true}, {{"--store"}, false}, {{"--best", "-0"}, false}};
  uint64_t fast_size = 0;
  for (const auto& effort : efforts) {
    const std::string what = effort.option.empty() ? "(default)" : effort.option.back();
    TempDir tmp;
    PackBuilder pack;
    for (uint32_t i = 0; i < edits.size(); ++i) {
      pack.lzo1x(text_like_bytes(9000, i), LzoLevel::kFast, 0xC0DE0000 + i);
      pack.stored(random_bytes(900, i), 0x5EED0000 + i);
    }
    pack.true_dir_crc().write(tmp / "t.pak");
    const uint64_t old_size = pack.build().size();
    const std::string m = tmp / "m";
    ::mkdir(m.c_str(), 0777);
    for (uint32_t i = 0; i < 2 * edits.size(); ++i) write_file(member(m, i), edits[i / 2]);
    std::vector<std::string> args = {"--update", tmp / "t.pak", m};
    args.insert(args.end(), effort.option.begin(), effort.option.end());
    ASSERT_EQ(radodaro(args).exit_code, 0) << what;

    const Bytes after = read_file(tmp / "t.pak");
    uint64_t end = old_size;
    for (uint32_t i = 0; i < 2 * edits.size(); ++i) {
      const PakEntry e = decode_entry(after.data() + entry_position(i));
      const Bytes& content = edits[i / 2];
      const bool lzo = i % 2 == 0 && effort.compressed;
      EXPECT_EQ(e.kind, lzo ? kKindLzo1x : kKindStored) << what << " " << i;
      EXPECT_EQ(e.crc1, (i % 2 ? 0x5EED0000u : 0xC0DE0000u) + i / 2) << what << " " << i;
      EXPECT_EQ(e.crc2, sum_of(content)) << what << " " << i;
      EXPECT_EQ(e.unpacked_size, content.size()) << what << " " << i;
      EXPECT_EQ(e.offset, end) << what << " " << i;
      end += e.packed_size;
      if (!lzo) {
        EXPECT_EQ(e.packed_size, content.size()) << what << " " << i;
      }
    }
    EXPECT_EQ(end, after.size()) << what;
    // Text shrinks; the other efforts store everything.
    const PakEntry text = decode_entry(after.data() + entry_position(4));
    if (effort.compressed) {
      EXPECT_LT(text.packed_size * 2, text.unpacked_size) << what;
      if (what == "--fast") {
        fast_size = text.packed_size;
      } else if (what == "--best") {
        EXPECT_LT(text.packed_size, fast_size);
      }
    }
    // Every member comes back as it was given, and every stream checks.
    ASSERT_EQ(run_radodaro({"/e", tmp / "t.pak", tmp / "x"}).exit_code, 0);
    for (uint32_t i = 0; i < 2 * edits.size(); ++i) {
      EXPECT_EQ(read_file(member(tmp / "x", i)), edits[i / 2]) << what << " " << i;
    }
    EXPECT_EQ(radodaro({"--verify", tmp / "t.pak"}).out, "entries checked 6, problems 0\n") << what;
  }
}

// Entries /e writes without a word or with one, whose streams are not what
// --verify accepts: --update of the untouched expansion sees each member
// as what /e wrote for it.
TEST(Commands, UpdateOfAnUntouchedExpansionNeverWritesThePack) {
  const Bytes content = text_like_bytes(6000, 1);
  const Bytes stream = lzo1x_compress(content);
  const auto lzo = [&](Bytes data, uint32_t unpacked) {
    FixtureEntry e;
    e.kind = kKindLzo1x;
    e.data = std::move(data);
    e.unpacked_size = unpacked;
    return e;
  };
  Bytes trailing = stream;
  for (const int b : {1, 2, 3}) trailing.push_back(static_cast<uint8_t>(b));
  FixtureEntry odd_kind;
  odd_kind.kind = 7;
  odd_kind.data = bytes_of("kind seven");
  FixtureEntry short_stored;
  short_stored.data = bytes_of("packed size differs");
  short_stored.packed_size = 3;
  const struct {
    const char* what;
    FixtureEntry entry;
  } cases[] = {
      {"a stream with bytes after its end", lzo(trailing, 6000)},
      {"a stream that gives less", lzo(stream, 9000)},
      {"a stream that gives more", lzo(stream, 4000)},
      {"a stream cut in half", lzo(Bytes(stream.begin(), stream.begin() + 100), 6000)},
      {"no stream at all", lzo(random_bytes(500, 2), 6000)},
      {"a kind of its own", odd_kind},
      {"stored with two sizes", short_stored},
  };
  for (const auto& c : cases) {
    TempDir tmp;
    PackBuilder pack;
    pack.stored(bytes_of("first")).add(c.entry).lzo1x(text_like_bytes(3000, 3));
    pack.true_dir_crc().write(tmp / "t.pak");
    ASSERT_EQ(run_radodaro({"/e", tmp / "t.pak", tmp / "m"}).exit_code, 0) << c.what;
    const Bytes before = read_file(tmp / "t.pak");
    const RunResult r = radodaro({"--update", tmp / "t.pak", tmp / "m"});
    EXPECT_EQ(r.out, "") << c.what;
    EXPECT_EQ(r.exit_code, 0) << c.what;
    EXPECT_EQ(read_file(tmp / "t.pak"), before) << c.what;
  }
}

// Packs whose entries point anywhere, the directory included: what --list
// calls unreferenced is what --compact gives back.
TEST(Commands, ListSaysWhatCompactGivesBack) {
  uint32_t seed = 12345;
  const auto next = [&seed](uint32_t below) {
    seed = seed * 1103515245u + 12345u;
    return (seed >> 8) % below;
  };
  int smaller = 0;
  for (int round = 0; round < 30; ++round) {
    TempDir tmp;
    const uint32_t count = 2 + next(5);
    Bytes pack(directory_end(count) + 200 + next(3000));
    for (size_t i = directory_end(count); i < pack.size(); ++i) pack[i] = static_cast<uint8_t>(i);
    PakHeader header;
    header.entry_count = count;
    encode_header(header, pack.data());
    for (uint32_t i = 0; i < count; ++i) {
      const uint32_t size = next(300);
      const uint32_t kinds[] = {kKindStored, kKindStored, kKindSkipped, 7};
      const PakEntry e = {0,
                          kinds[next(4)],
                          0,
                          size,
                          next(static_cast<uint32_t>(pack.size())),
                          size + next(2) * next(40)};
      encode_entry(e, pack.data() + entry_position(i));
    }
    write_file(tmp / "t.pak", pack);
    const RunResult listed = radodaro({"--list", tmp / "t.pak"});
    const std::string& list = listed.out;
    const size_t at = list.find("unreferenced ");
    ASSERT_NE(at, std::string::npos)
        << round << ": exit " << listed.exit_code << ", signal " << listed.signal << ", stdout:\n"
        << list << "stderr:\n"
        << listed.err;
    const uint64_t unreferenced = std::stoull(list.substr(at + 13));
    ASSERT_EQ(radodaro({"--compact", tmp / "t.pak"}).exit_code, 0) << round;
    EXPECT_EQ(pack.size() - read_file(tmp / "t.pak").size(), unreferenced) << round << "\n" << list;
    smaller += unreferenced != 0;
  }
  EXPECT_GT(smaller, 10);
}

TEST(Commands, CompactKeepsEveryMemberAndLine) {
  TempDir tmp;
  PackBuilder pack;
  pack.stored(random_bytes(5000, 1)).lzo1x(text_like_bytes(9000, 2)).skipped(bytes_of("kept"));
  pack.stored(bytes_of("far"));
  pack.last().offset = 1 << 30;  // outside: left as it is
  pack.stored({});
  pack.write(tmp / "t.pak");
  ::chmod((tmp / "t.pak").c_str(), 0640);
  const std::string m = tmp / "m";
  ASSERT_EQ(run_radodaro({"/e", tmp / "t.pak", m}).exit_code, 0);
  for (int round = 0; round < 2; ++round) {
    ASSERT_EQ(run_radodaro({"/p", tmp / "t.pak", m}).exit_code, 0);
  }
  const RunResult before = run_radodaro({"/e", tmp / "t.pak", tmp / "a"});
  const uint64_t old_size = std::filesystem::file_size(tmp / "t.pak");
  // What a killed compaction left goes; a file of the same kind of name
  // that is not the tool's stays.
  write_file(tmp / "t.pak.radodaro-compact", bytes_of("left by a killed compaction"));
  write_file(tmp / "t.pak.radodaro-compact.radodaro-4242", bytes_of("left by another"));
  write_file(tmp / "t.pak-compact", bytes_of("the user's own"));

  const RunResult r = radodaro({"--compact", tmp / "t.pak"});
  const uint64_t new_size = std::filesystem::file_size(tmp / "t.pak");
  // Header, directory, the live copies of the stored and lzo1x members, the
  // skipped entry's data.
  EXPECT_EQ(new_size, 16 + 5 * 24 + 5000 + 9000 + 4);
  EXPECT_EQ(r.out, "Compacted " + tmp / "t.pak" + ": " + std::to_string(old_size) + " bytes, now " +
                       std::to_string(new_size) + "\n");
  EXPECT_EQ(r.exit_code, 0);
  EXPECT_EQ(list_folder(tmp.path()),
            (std::vector<std::string>{"a", "m", "t.pak", "t.pak-compact"}));
  struct stat st;
  ASSERT_EQ(::stat((tmp / "t.pak").c_str(), &st), 0);
  if (!Target::current().windows()) {
    EXPECT_EQ(st.st_mode & 0777, 0640u);
  }

  const RunResult after = run_radodaro({"/e", tmp / "t.pak", tmp / "b"});
  const auto without_dir_line = [](const std::string& out, const std::string& from,
                                   const std::string& to) {
    std::string rest = out.substr(out.find('\n') + 1);
    for (size_t at; (at = rest.find(from)) != std::string::npos;) rest.replace(at, from.size(), to);
    return rest;
  };
  EXPECT_EQ(without_dir_line(after.out, tmp / "b/", "#"),
            without_dir_line(before.out, tmp / "a/", "#"));
  EXPECT_EQ(list_folder(tmp / "b"), list_folder(tmp / "a"));
  for (const std::string& name : list_folder(tmp / "a")) {
    EXPECT_EQ(read_file(tmp / "b/" + name), read_file(tmp / "a/" + name)) << name;
  }
  const Bytes compacted = read_file(tmp / "t.pak");
  EXPECT_EQ(decode_entry(compacted.data() + entry_position(3)).offset, 1u << 30);
  EXPECT_EQ(radodaro({"--verify", tmp / "t.pak"}).out.find("directory:"), std::string::npos);
  EXPECT_EQ(
      radodaro({"--list", tmp / "t.pak"}).out.find("unreferenced 0 bytes\n") != std::string::npos,
      true);
}

TEST(Commands, CompactKilledAtAnyMomentLeavesTheOldPackOrTheNew) {
  TempDir tmp;
  PackBuilder pack;
  for (uint32_t i = 0; i < 16; ++i) pack.stored(random_bytes(1 << 20, i));
  const Bytes original = pack.build();
  const std::string m = tmp / "m";
  write_file(tmp / "t.pak", original);
  ASSERT_EQ(run_radodaro({"/e", tmp / "t.pak", m}).exit_code, 0);
  ASSERT_EQ(run_radodaro({"/p", tmp / "t.pak", m}).exit_code, 0);
  const Bytes grouped = read_file(tmp / "t.pak");
  // Kills spread over the time a whole compaction takes here, until
  // enough of them landed.
  write_file(tmp / "t.pak", grouped);
  const auto started = std::chrono::steady_clock::now();
  ASSERT_EQ(run_radodaro({"--compact", tmp / "t.pak"}).exit_code, 0);
  const auto whole = std::chrono::steady_clock::now() - started;
  int killed = 0, old_packs = 0;
  for (int round = 0; round < 100 && killed < 12; ++round) {
    write_file(tmp / "t.pak", grouped);
    const pid_t pid = spawn_radodaro({"--compact", tmp / "t.pak"});
    std::this_thread::sleep_for(whole * (round % 12) / 12);
    ::kill(pid, SIGKILL);
    int status = 0;
    ::waitpid(pid, &status, 0);
    if (!WIFSIGNALED(status)) continue;
    ++killed;
    old_packs += read_file(tmp / "t.pak") == grouped;
    // The pack expands to the same members either way; a run that only
    // reads leaves what the killed one left, the next that may write
    // clears it.
    const std::string out = tmp / ("x" + std::to_string(round));
    const std::vector<std::string> left = list_folder(tmp.path());
    ASSERT_EQ(run_radodaro({"/e", tmp / "t.pak", out}).exit_code, 0);
    for (uint32_t i = 0; i < 16; ++i) {
      ASSERT_EQ(read_file(member(out, i)), read_file(member(m, i))) << round << " " << i;
    }
    std::vector<std::string> now = list_folder(tmp.path());
    now.erase(std::find(now.begin(), now.end(), "x" + std::to_string(round)));
    EXPECT_EQ(now, left) << round;
    // An empty folder: a run that may write, and puts nothing back.
    std::filesystem::create_directories(tmp / "none");
    ASSERT_EQ(run_radodaro({"--update", tmp / "t.pak", tmp / "none"}).exit_code, 0);
    EXPECT_FALSE(file_exists(tmp / "t.pak.radodaro-compact")) << round;
  }
  std::printf("compactions killed: %d; packs left old: %d, new: %d\n", killed, old_packs,
              killed - old_packs);
  EXPECT_GE(killed, 10);
}

// A group run that comes while a compaction replaces the pack finds it
// held and fails without a change, or runs before or after it: whatever it
// says it appended is in the pack afterwards, and nothing else is lost.
TEST(Commands, GroupRacingACompactionIsNeverLost) {
  TempDir tmp;
  PackBuilder pack;
  for (uint32_t i = 0; i < 8; ++i) pack.stored(random_bytes(256 << 10, i));
  pack.write(tmp / "t.pak");
  const std::string m = tmp / "m";
  ASSERT_EQ(run_radodaro({"/e", tmp / "t.pak", m}).exit_code, 0);
  ASSERT_EQ(run_radodaro({"/p", tmp / "t.pak", m}).exit_code, 0);  // half of it unreferenced now
  const Bytes grouped = read_file(tmp / "t.pak");
  for (uint32_t i = 1; i < 8; ++i) std::filesystem::remove(member(m, i));
  int appended = 0, compacted = 0;
  for (int round = 0; round < 16; ++round) {
    write_file(tmp / "t.pak", grouped);
    const Bytes edit = bytes_of("round " + std::to_string(round));
    write_file(member(m, 0), edit);
    const pid_t compaction = spawn_radodaro({"--compact", tmp / "t.pak"});
    std::this_thread::sleep_for(std::chrono::milliseconds(round % 4 * 4));
    const RunResult group = run_radodaro({"/p", tmp / "t.pak", m});
    int status = 0;
    ::waitpid(compaction, &status, 0);
    compacted += WIFEXITED(status) && WEXITSTATUS(status) == 0;
    const std::string out = tmp / ("x" + std::to_string(round));
    ASSERT_EQ(run_radodaro({"/e", tmp / "t.pak", out}).exit_code, 0) << round;
    if (group.exit_code == 0) {
      ++appended;
      EXPECT_EQ(read_file(member(out, 0)), edit) << round;
    } else {
      EXPECT_EQ(group.out, "Can't create data file " + tmp / "t.pak" + "\n") << round;
      EXPECT_EQ(read_file(member(out, 0)), pack.entries()[0].content) << round;
    }
    for (uint32_t i = 1; i < 8; ++i) {
      EXPECT_EQ(read_file(member(out, i)), pack.entries()[i].content) << round << " " << i;
    }
  }
  std::printf("group runs beside a compaction: 16; appended: %d; compactions done: %d\n", appended,
              compacted);
  EXPECT_GT(appended, 0);
}

// The folder that --expand writes knows its pack: --status says what
// --update would do by it, --update reads only what its record cannot
// vouch for, and a folder of another pack (or of another version of this
// one) is refused until --force.
TEST(Commands, StatusAndTheRecordThatBindsAFolderToItsPack) {
  TempDir tmp;
  const std::string pak = tmp / "s.pak";
  const std::string m = tmp / "m";
  sample_pack().write(pak);
  ASSERT_EQ(run_radodaro({"--expand", pak, m}).exit_code, 0);
  ASSERT_TRUE(file_exists(m + "/.radodaro-record"));
  // A same-size edit whose modification time is set back is still found:
  // its change time moved.
  struct stat was;
  ASSERT_EQ(::stat(member(m, 3).c_str(), &was), 0);
  write_file(member(m, 3), random_bytes(257, 99));
  const timespec times[2] = {was.st_atim, was.st_mtim};
  ASSERT_EQ(::utimensat(AT_FDCWD, member(m, 3).c_str(), times, 0), 0);
  write_file(member(m, 0), bytes_of("edited"));
  ::unlink(member(m, 2).c_str());
  write_file(member(m, 9), bytes_of("no entry"));
  const struct {
    std::vector<std::string> args;
    std::string out;
    std::string err;
    int exit_code;
  } cases[] = {
      {{"--status", pak, m},
       "unused     " + member(m, 9) + ": the pack has no entry 9 (it has 4)\n" + "changed    " +
           member(m, 0) + ": 34 bytes, now 6\n" + "missing    " + member(m, 2) +
           ": the entry stays as it is\n" + "changed    " + member(m, 3) + ": 257 bytes, now 257\n",
       "",
       1},
      {{"--status", pak, m, "--only", "2"},
       "unused     " + member(m, 9) + ": the pack has no entry 9 (it has 4)\n" + "missing    " +
           member(m, 2) + ": the entry stays as it is\n",
       "",
       0},
      {{"--update", pak, m},
       member(m, 0) + "\n" + member(m, 3) + "\n",
       "radodaro: " + member(m, 9) + ": not used: the pack has no entry 9 (it has 4)\n",
       0},
      {{"--status", "-v", pak, m, "--only=0-1,3"},
       "unused     " + member(m, 9) + ": the pack has no entry 9 (it has 4)\n" + "unchanged  " +
           member(m, 0) + "\n" + "unchanged  " + member(m, 3) + "\n",
       "",
       0},
  };
  for (const auto& c : cases) {
    const RunResult r = run_radodaro(c.args);
    EXPECT_EQ(r.out, c.out) << c.args[0] << " " << c.args.back();
    EXPECT_EQ(r.err, c.err) << c.args[0] << " " << c.args.back();
    EXPECT_EQ(r.exit_code, c.exit_code) << c.args[0] << " " << c.args.back();
  }
  const RunResult json = run_radodaro({"--status", "--json", pak, m});
  const std::vector<JsonObject> objects = parse_json_lines(json.out);
  // In JSON, every member and file: unused 9, unchanged 0, missing 2,
  // unchanged 3, then the summary.
  ASSERT_EQ(objects.size(), 5u) << json.out;
  EXPECT_EQ(objects[0].at("status").text, "unused");
  EXPECT_EQ(objects[2].at("status").text, "missing");
  EXPECT_EQ(objects[4].at("record").text, "fits");
  EXPECT_EQ(objects[4].at("unchanged").number, 2u);

  // Another pack, and this pack once something else changed it: refused,
  // naming both, nothing written; --force puts the members back anyway.
  PackBuilder other;
  other.stored(bytes_of("another pack")).stored(bytes_of("of two entries"));
  other.write(tmp / "o.pak");
  ::mkdir((tmp / "p").c_str(), 0777);
  write_file(member(tmp / "p", 0), bytes_of("changed behind the folder's back"));
  ASSERT_EQ(run_radodaro({"/p", pak, tmp / "p"}).exit_code, 0);
  ::unlink(member(m, 9).c_str());
  for (const std::string& pack : {tmp / "o.pak", pak}) {
    const Bytes before = read_file(pack);
    for (const char* command : {"--update", "--status"}) {
      const RunResult r = run_radodaro({command, pack, m});
      EXPECT_EQ(r.out, "") << command << " " << pack;
      EXPECT_NE(
          r.err.find("radodaro: " + m + "/ was expanded from " + pak + " with directory CRC "),
          std::string::npos)
          << r.err;
      EXPECT_NE(r.err.find(", not from " + pack + " as it is now"), std::string::npos) << r.err;
      EXPECT_EQ(r.exit_code, kFailure) << command << " " << pack;
      EXPECT_EQ(read_file(pack), before) << command << " " << pack;
    }
  }
  EXPECT_EQ(run_radodaro({"--update", "--force", tmp / "o.pak", m}).exit_code, 0);
  // A record that cannot be read leaves a plain folder.
  write_file(m + "/.radodaro-record", bytes_of("radodaro member record 1\npack\t"));
  const RunResult plain = run_radodaro({"--status", tmp / "o.pak", m});
  EXPECT_EQ(plain.err, "radodaro: " + m +
                           "/.radodaro-record: cannot be read (it does not end "
                           "with a whole line); the folder is taken as a plain "
                           "folder\n");
  EXPECT_EQ(plain.exit_code, 0) << plain.out;
}

// Names for nameless entries: --expand writes them where the list says,
// the record keeps them, and --status and --update find them there; a
// list that could land outside the folder writes nothing at all.
TEST(Commands, NamesGiveEntriesPathsOfTheirOwn) {
  TempDir tmp;
  const std::string pak = tmp / "s.pak";
  const std::string m = tmp / "m";
  sample_pack().write(pak);
  write_file(tmp / "names",
             bytes_of("# the sample's names\n0\ttextures/hero.dds\n0x3\tclick.wav\n"));
  const RunResult listed = run_radodaro({"--list", "--names", tmp / "names", pak});
  EXPECT_NE(listed.out.find("  A160C23F  click.wav\n"), std::string::npos) << listed.out;
  const RunResult x = run_radodaro({"--expand", "-v", "--names", tmp / "names", pak, m});
  EXPECT_EQ(x.out, m + "/textures/hero.dds\n" + member(m, 2) + "\n" + m + "/click.wav\n");
  EXPECT_EQ(x.exit_code, 0);
  EXPECT_EQ(read_file(m + "/textures/hero.dds"), sample_pack().entries()[0].content);
  write_file(m + "/textures/hero.dds", bytes_of("a new hero"));
  write_file(member(m, 0), bytes_of("not entry 0's any more"));
  const RunResult status = run_radodaro({"--status", pak, m});
  EXPECT_EQ(status.out, "unused     " + member(m, 0) +
                            ": entry 0 is textures/hero.dds in this folder\n" + "changed    " + m +
                            "/textures/hero.dds: 34 bytes, now 10\n");
  EXPECT_EQ(status.exit_code, 1);
  EXPECT_EQ(run_radodaro({"--update", pak, m}).out, m + "/textures/hero.dds\n");
  // --guess-types: the other entries' members take the extension their
  // content calls for, and the record keeps it too.
  const RunResult guessed = run_radodaro({"--expand", "-v", "--guess-types", pak, tmp / "g"});
  EXPECT_EQ(guessed.out,
            tmp / "g/00000000.txt\n" + tmp / "g/00000002.txt\n" + member(tmp / "g", 3) + "\n");
  write_file(tmp / "g/00000002.txt", bytes_of("new text"));
  EXPECT_EQ(run_radodaro({"--status", pak, tmp / "g"}).out,
            "changed    " + tmp / "g/00000002.txt: 4000 bytes, now 8\n");
  ::mkdir((tmp / "x").c_str(), 0777);
  EXPECT_EQ(run_radodaro({"--expand", pak, tmp / "x/y", "--only", "0"}).exit_code, 0);
  EXPECT_EQ(read_file(member(tmp / "x/y", 0)), bytes_of("a new hero"));

  // Refused before anything is written: paths out of the folder, and a
  // link in the folder that leads out of it is never written through.
  for (const char* list : {"0\t../out.dat\n", "0\t/tmp/out.dat\n", "9\ta\n"}) {
    write_file(tmp / "bad", bytes_of(list));
    const RunResult r = run_radodaro({"--expand", "--names", tmp / "bad", pak, tmp / "n"});
    EXPECT_EQ(r.exit_code, kFailure) << list;
    EXPECT_FALSE(file_exists(tmp / "n")) << list;
  }
  if (!Target::current().windows()) {
    ::mkdir((tmp / "n").c_str(), 0777);
    ::mkdir((tmp / "elsewhere").c_str(), 0777);
    ASSERT_EQ(::symlink((tmp / "elsewhere").c_str(), (tmp / "n/textures").c_str()), 0);
    write_file(tmp / "deep", bytes_of("0\ttextures/deeper/hero.dds\n"));
    const RunResult r = run_radodaro({"--expand", "--names", tmp / "deep", pak, tmp / "n"});
    EXPECT_EQ(r.err, "radodaro: " + tmp / "n/textures/deeper/hero.dds" +
                         ": not written: a link on its way leads out of " + tmp / "n/\n");
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_EQ(list_folder(tmp / "elsewhere"), std::vector<std::string>{});
  }
}

}  // namespace
}  // namespace radodaro::testing
