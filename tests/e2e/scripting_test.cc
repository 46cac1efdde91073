// The front end of the "--" commands for scripts and people: --expand and
// its options, JSON Lines, selections, dry runs and the diagnostics.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <functional>

#include "e2e/e2e_util.h"
#include "support/json.h"
#include "support/sample_pack.h"
#include "support/temp_dir.h"

namespace radodaro::testing {
namespace {

constexpr int kFailure = 255;

// `text` with every "{OUT}" replaced by `folder`.
std::string with_folder(std::string text, const std::string& folder) {
  for (size_t at = text.find("{OUT}"); at != std::string::npos; at = text.find("{OUT}", at)) {
    text.replace(at, 5, folder);
  }
  return text;
}

TEST(ExpandCommand, EachOptionWritesAndSaysWhatItShould) {
  const PackBuilder sample = sample_pack();
  const struct {
    const char* what;
    std::vector<std::string> options;
    std::function<void(const std::string&)> before;  // given the member folder
    int exit_code;
    std::vector<uint32_t> written;  // members that hold their entry's content after the run
    std::string out;                // "{OUT}" stands for the member folder
    std::string err;
    bool posix_only = false;
  } cases[] = {
      {"quiet", {}, nullptr, 0, {0, 2, 3}, "", ""},
      {"verbose",
       {"--verbose"},
       nullptr,
       0,
       {0, 2, 3},
       "{OUT}/00000000.dat\n{OUT}/00000002.dat\n{OUT}/00000003.dat\n",
       ""},
      {"existing member kept",
       {"-v"},
       [](const std::string& m) { write_file(member(m, 2), bytes_of("mine")); },
       1,
       {0, 3},
       "{OUT}/00000000.dat\n{OUT}/00000003.dat\n",
       "radodaro: {OUT}/00000002.dat: exists; left as it is (--overwrite replaces it)\n"},
      {"existing member replaced",
       {"--overwrite"},
       [](const std::string& m) { write_file(member(m, 2), bytes_of("mine")); },
       0,
       {0, 2, 3},
       "",
       ""},
      {"folder at a member's name",
       {"--overwrite"},
       [](const std::string& m) { ::mkdir(member(m, 0).c_str(), 0755); },
       1,
       {2, 3},
       "",
       "radodaro: cannot replace {OUT}/00000000.dat: Not a regular file\n"},
      {"link at a member's name",
       {"--overwrite", "-v"},
       [](const std::string& m) {
         write_file(m + "/../victim", bytes_of("victim"));
         (void)!::symlink((m + "/../victim").c_str(), member(m, 3).c_str());
       },
       1,
       {0, 2},
       "{OUT}/00000000.dat\n{OUT}/00000002.dat\n",
       "radodaro: cannot replace {OUT}/00000003.dat: Not a regular file\n",
       true},
      {"one entry", {"--only", "2"}, nullptr, 0, {2}, "", ""},
      {"member names and a range", {"--only=00000003.dat,0-0"}, nullptr, 0, {0, 3}, "", ""},
      {"an open range", {"--only", "2-"}, nullptr, 0, {2, 3}, "", ""},
      {"a skipped entry alone", {"--only", "1"}, nullptr, 0, {}, "", ""},
      {"past the end",
       {"--only", "0,4"},
       nullptr,
       kFailure,
       {},
       "",
       "radodaro: --only: entry 4 is past the directory's end (4 entries)\n"},
      {"no selection",
       {"--only", "3-1"},
       nullptr,
       kFailure,
       {},
       "",
       "radodaro: --only: '3-1' is not an index, a member name or a range of them\n"},
      {"an empty selection",
       {"--only="},
       nullptr,
       kFailure,
       {},
       "",
       "radodaro: --only: '' is not an index, a member name or a range of them\n"},
  };
  for (const auto& c : cases) {
    if (c.posix_only && Target::current().windows()) continue;
    TempDir tmp;
    sample.write(tmp / "s.pak");
    const std::string m = tmp / "m";
    if (c.before) {
      ::mkdir(m.c_str(), 0755);
      c.before(m);
    }
    const std::vector<std::string> before =
        file_exists(m) ? list_folder(m) : std::vector<std::string>{};
    std::vector<std::string> args = {"--expand", tmp / "s.pak", m};
    args.insert(args.end(), c.options.begin(), c.options.end());
    const RunResult r = run_radodaro(args);
    EXPECT_EQ(r.exit_code, c.exit_code) << c.what;
    EXPECT_EQ(r.out, with_folder(c.out, m)) << c.what;
    EXPECT_EQ(r.err, with_folder(c.err, m)) << c.what;
    for (const uint32_t i : c.written) {
      EXPECT_EQ(read_file(member(m, i)), sample.entries()[i].content) << c.what << " " << i;
    }
    if (c.exit_code == kFailure) {
      EXPECT_FALSE(file_exists(m)) << c.what;
      continue;
    }
    // Nothing but the members written, the folder's record, and what was
    // there: no temporary file left behind, and what was there is as it was.
    std::vector<std::string> expected = before;
    if (!c.written.empty()) expected.emplace_back(".radodaro-record");
    for (const uint32_t i : c.written) expected.push_back(member_name(i));
    std::sort(expected.begin(), expected.end());
    expected.erase(std::unique(expected.begin(), expected.end()), expected.end());
    EXPECT_EQ(list_folder(m), expected) << c.what;
    if (c.before && std::find(c.written.begin(), c.written.end(), 2) == c.written.end() &&
        is_regular(member(m, 2))) {
      EXPECT_EQ(read_file(member(m, 2)), bytes_of("mine")) << c.what;
    }
    if (file_exists(tmp / "victim")) {
      EXPECT_EQ(read_file(tmp / "victim"), bytes_of("victim"));
    }
  }
}

// A stored entry whose crc2 is wrong, an lzo1x stream cut in half, data
// outside the file and a sound entry.
PackBuilder damaged_pack() {
  PackBuilder built;
  built.stored(bytes_of("checked")).lzo1x(text_like_bytes(3000, 7)).stored(bytes_of("fine"));
  std::vector<FixtureEntry> entries = built.entries();
  entries[0].crc2 ^= 1;
  entries[1].data.resize(entries[1].data.size() / 2);
  FixtureEntry outside;
  outside.data = bytes_of("lost");
  outside.offset = 5000;
  PackBuilder pack;
  pack.add(entries[0]).add(entries[1]).add(outside).add(entries[2]);
  return pack;
}

// --cat: the bytes that /e writes for each selected entry, and nothing
// else on standard output; what /e writes no member of is said instead.
TEST(CatCommand, WritesWhatExpandWritesAndNothingElse) {
  TempDir tmp;
  damaged_pack().write(tmp / "d.pak");
  sample_pack().write(tmp / "s.pak");
  const std::string crc =
      "radodaro: 00000000.dat: crc2 " + hex8(damaged_pack().directory()[0].crc2);
  const struct {
    std::vector<std::string> args;
    std::string out;
    std::string err_begins;
    int exit_code;
  } cases[] = {
      {{"--cat", tmp / "d.pak", "3"}, "fine", "", 0},
      {{"--cat", tmp / "d.pak", "0,3"}, "checkedfine", crc, 1},
      {{"--cat", tmp / "d.pak", "2"},
       "",
       "radodaro: 00000002.dat: not written: its data, 4 bytes at offset 5000, lies outside the "
       "file\n",
       1},
      {{"--cat", tmp / "s.pak", "0-3"},
       "",
       "radodaro: entry 1 is skipped: it has no content\n",
       kFailure},
      {{"--cat", tmp / "s.pak", "4"},
       "",
       "radodaro: entry 4 is past the directory's end (4 entries)\n",
       kFailure},
  };
  for (const auto& c : cases) {
    const RunResult r = run_radodaro(c.args);
    EXPECT_EQ(r.raw_out, c.out) << c.args.back();
    EXPECT_EQ(r.err.rfind(c.err_begins, 0), 0u) << c.args.back() << ": " << r.err;
    EXPECT_EQ(r.exit_code, c.exit_code) << c.args.back();
  }
  // Binary content, line ends and all, exactly as the member file holds it.
  ASSERT_EQ(run_radodaro({"--expand", tmp / "s.pak", tmp / "m"}).exit_code, 0);
  const RunResult r = run_radodaro({"--cat", tmp / "s.pak", "2,3"});
  Bytes both = read_file(member(tmp / "m", 2));
  const Bytes last = read_file(member(tmp / "m", 3));
  both.insert(both.end(), last.begin(), last.end());
  EXPECT_EQ(Bytes(r.raw_out.begin(), r.raw_out.end()), both);
  EXPECT_EQ(r.exit_code, 0);
}

// --diff compares content: another layout of the same content is the
// same; every change of content, kind, crc1, lead bytes or count is said.
TEST(DiffCommand, ContentNotLayout) {
  TempDir tmp;
  sample_pack().write(tmp / "s.pak");
  // The same content, laid out again: member 0 put back unchanged by /p.
  sample_pack().write(tmp / "again.pak");
  ASSERT_EQ(run_radodaro({"--expand", tmp / "again.pak", tmp / "m", "--only", "0"}).exit_code, 0);
  ASSERT_EQ(run_radodaro({"/p", tmp / "again.pak", tmp / "m"}).exit_code, 0);
  PackBuilder other;
  other.lead_bytes(bytes_of("SAMPLE02")).true_dir_crc();
  other.stored(bytes_of("Hello from the edited member file.\n"), 0x1234ABCD);
  other.skipped(bytes_of("never expanded"));
  other.stored(text_like_bytes(4000, 1), 0xC0FFEE00);
  other.stored(random_bytes(257, 2), 0x00000008);
  other.stored(bytes_of("one more"));
  other.write(tmp / "o.pak");
  const struct {
    std::string against;
    std::string out;
    int exit_code;
  } cases[] = {
      {tmp / "s.pak", "", 0},
      {tmp / "again.pak", "", 0},
      {tmp / "o.pak",
       "lead bytes differ\n"
       "changed    00000000.dat: 34 bytes, now 35\n"
       "kind       00000002.dat: lzo1x, now stored\n"
       "crc1       00000003.dat: 00000007, now 00000008\n"
       "added      00000004.dat: 8 bytes\n",
       1},
  };
  for (const auto& c : cases) {
    const RunResult r = run_radodaro({"--diff", tmp / "s.pak", c.against});
    EXPECT_EQ(r.out, c.out) << c.against;
    EXPECT_EQ(r.err, "") << c.against;
    EXPECT_EQ(r.exit_code, c.exit_code) << c.against;
  }
  const RunResult back = run_radodaro({"--diff", "--json", tmp / "o.pak", tmp / "s.pak"});
  const std::vector<JsonObject> objects = parse_json_lines(back.out);
  ASSERT_EQ(objects.size(), 5u) << back.out;
  EXPECT_EQ(objects[3].at("status").text, "removed");
  EXPECT_EQ(objects[4].at("differences").number, 5u);
  EXPECT_FALSE(objects[4].at("lead_bytes_match").flag);
  // What cannot be read cannot be compared: trouble, not a difference.
  damaged_pack().write(tmp / "d.pak");
  const RunResult cut = run_radodaro({"--diff", tmp / "d.pak", tmp / "d.pak"});
  EXPECT_EQ(cut.exit_code, kFailure) << cut.out;
}

TEST(ExpandCommand, DamageIsSaidOnStderrAndTheRestWritten) {
  TempDir tmp;
  const PackBuilder pack = damaged_pack();
  pack.write(tmp / "d.pak");
  const std::string m = tmp / "m";
  const RunResult r = run_radodaro({"--expand", tmp / "d.pak", m, "--verbose"});
  EXPECT_EQ(r.exit_code, 1);
  // Written as /e writes them, damage and all, but for what lies outside.
  EXPECT_EQ(r.out, member(m, 0) + "\n" + member(m, 1) + "\n" + member(m, 3) + "\n");
  EXPECT_EQ(list_folder(m), (std::vector<std::string>{".radodaro-record", member_name(0),
                                                      member_name(1), member_name(3)}));
  const PakEntry e0 = pack.directory()[0];
  const std::string lines[] = {
      "radodaro: " + member(m, 0) + ": crc2 " + hex8(e0.crc2) + " is not the sum of its content, " +
          hex8(sum_of(bytes_of("checked"))) + "\n",
      "radodaro: " + member(m, 1) + ": its lzo1x stream does not decode (error ",
      "radodaro: " + member(m, 1) + ": crc2 ",
      "radodaro: " + member(m, 2) +
          ": not written: its data, 4 bytes at offset 5000, lies outside the file\n",
  };
  size_t at = 0;
  for (const std::string& line : lines) {
    const size_t found = r.err.find(line, at);
    ASSERT_NE(found, std::string::npos) << line << "\nin\n" << r.err;
    at = found + line.size();
  }
  EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 4) << r.err;
  EXPECT_EQ(read_file(member(m, 0)), bytes_of("checked"));
  EXPECT_EQ(read_file(member(m, 3)), bytes_of("fine"));
}

TEST(ExpandCommand, WhatTheSystemRefusesIsSaidWithItsReason) {
  RADODARO_SKIP_ON_WINDOWS(kNeedsAnotherUser);
  TempDir tmp;
  ::chmod(tmp.path().c_str(), 0777);
  sample_pack().write(tmp / "s.pak");
  ::mkdir((tmp / "ro").c_str(), 0555);
  // Each member that cannot be created: said, and the run goes on.
  RunResult r = run_radodaro({"--expand", tmp / "s.pak", tmp / "ro"}, {.unprivileged = true});
  EXPECT_EQ(r.exit_code, 1);
  EXPECT_EQ(r.err, "radodaro: cannot create " + member(tmp / "ro", 0) + ": Permission denied\n" +
                       "radodaro: cannot create " + member(tmp / "ro", 2) +
                       ": Permission denied\n" + "radodaro: cannot create " +
                       member(tmp / "ro", 3) + ": Permission denied\n");
  // A folder that cannot be made: nothing can be done.
  r = run_radodaro({"--expand", tmp / "s.pak", tmp / "ro/a/b"}, {.unprivileged = true});
  EXPECT_EQ(r.exit_code, kFailure);
  EXPECT_EQ(r.err, "radodaro: cannot create " + tmp / "ro/a/b/" + ": Permission denied\n");
  EXPECT_TRUE(list_folder(tmp / "ro").empty());
}

std::vector<std::string> lines_of(const std::string& text) {
  std::vector<std::string> lines;
  size_t at = 0;
  for (size_t end; (end = text.find('\n', at)) != std::string::npos; at = end + 1) {
    lines.push_back(text.substr(at, end - at));
  }
  return lines;
}

std::string hex_of(const JsonObject& o, const char* key) { return o.at(key).text; }
uint64_t number_of(const JsonObject& o, const char* key) { return o.at(key).number; }

TEST(JsonLines, ListAgreesWithItsTextOnEveryFieldOverTheFuzzCorpus) {
  for (const std::string& pack : corpus_packs()) {
    const RunResult text = run_radodaro({"--list", pack});
    const RunResult json = run_radodaro({"--list", pack, "--json"});
    ASSERT_EQ(text.exit_code, json.exit_code) << pack;
    if (text.exit_code != 0) {
      EXPECT_EQ(json.out, "") << pack;
      continue;
    }
    const std::vector<JsonObject> objects = parse_json_lines(json.out);
    const std::vector<std::string> rows = lines_of(text.out);
    // A heading, a row per entry, five summary lines; an object per entry
    // and a summary.
    ASSERT_EQ(rows.size(), objects.size() + 5) << pack;
    for (size_t i = 0; i + 1 < objects.size(); ++i) {
      const JsonObject& o = objects[i];
      char member[16], kind[16], crc1[16], crc2[16], outside[16] = "";
      unsigned unpacked = 0, packed = 0, offset = 0;
      ASSERT_GE(std::sscanf(rows[i + 1].c_str(), "%15s %15s %u %u %u %15s %15s %15s", member, kind,
                            &unpacked, &packed, &offset, crc1, crc2, outside),
                7)
          << rows[i + 1];
      EXPECT_EQ(o.at("type").text, "entry");
      EXPECT_EQ(number_of(o, "index"), i);
      EXPECT_EQ(o.at("member").text, std::string(member) + ".dat") << pack;
      const std::string k = o.at("kind").text;
      EXPECT_EQ(k == "other" ? std::to_string(number_of(o, "kind_code")) : k, kind) << pack;
      EXPECT_EQ(number_of(o, "unpacked"), unpacked) << pack;
      EXPECT_EQ(number_of(o, "packed"), packed) << pack;
      EXPECT_EQ(number_of(o, "offset"), offset) << pack;
      EXPECT_EQ(hex_of(o, "crc1"), crc1) << pack;
      EXPECT_EQ(hex_of(o, "crc2"), crc2) << pack;
      EXPECT_EQ(o.at("outside").flag, std::string(outside) == "outside") << pack;
    }
    const JsonObject& s = objects.back();
    EXPECT_EQ(s.at("type").text, "summary");
    EXPECT_EQ(number_of(s, "schema"), 2u);
    EXPECT_EQ(s.at("pack").text, pack);
    const size_t n = rows.size();
    const std::string counts = "entries " + std::to_string(number_of(s, "entries")) + ": stored " +
                               std::to_string(number_of(s, "stored")) + ", lzo1x " +
                               std::to_string(number_of(s, "lzo1x")) + ", skipped " +
                               std::to_string(number_of(s, "skipped")) + ", other " +
                               std::to_string(number_of(s, "other"));
    EXPECT_EQ(rows[n - 5], counts) << pack;
    EXPECT_EQ(rows[n - 4], "file size " + std::to_string(number_of(s, "file_size")) + " bytes");
    EXPECT_EQ(rows[n - 3], "referenced " + std::to_string(number_of(s, "referenced")) + " bytes");
    EXPECT_EQ(rows[n - 2],
              "unreferenced " + std::to_string(number_of(s, "unreferenced")) + " bytes");
    EXPECT_EQ(rows[n - 1].rfind("dir_crc " + hex_of(s, "dir_crc") +
                                    (s.at("dir_crc_matches").flag ? " matches" : " differs"),
                                0),
              0u)
        << rows[n - 1];
  }
}

TEST(JsonLines, VerifyAndExpandSayInJsonWhatTheirTextSays) {
  for (const std::string& pack : corpus_packs()) {
    if (!modest(read_file(pack))) continue;
    const RunResult text = run_radodaro({"--verify", pack});
    const RunResult json = run_radodaro({"--verify", "--json", pack});
    ASSERT_EQ(text.exit_code, json.exit_code) << pack;
    if (text.exit_code == kFailure) continue;
    const std::vector<JsonObject> objects = parse_json_lines(json.out);
    // Every problem line of the text is a problem of its entry's object.
    std::string problems;
    uint64_t checked = 0;
    for (size_t i = 0; i + 1 < objects.size(); ++i) {
      const JsonObject& o = objects[i];
      for (const std::string& p : o.at("problems").strings) {
        problems += o.at("member").text + ": " + p + "\n";
      }
      const std::string status = o.at("status").text;
      EXPECT_EQ(status, o.at("kind").text == "skipped"     ? "skipped"
                        : o.at("problems").strings.empty() ? "ok"
                                                           : "problems")
          << pack;
      checked += status != "skipped";
    }
    const JsonObject& s = objects.back();
    EXPECT_EQ(text.out.find(problems), 0u) << pack << "\n" << problems << "\n" << text.out;
    EXPECT_NE(text.out.find("entries checked " + std::to_string(number_of(s, "checked")) +
                            ", problems " + std::to_string(number_of(s, "problem_count")) + "\n"),
              std::string::npos)
        << pack;
    EXPECT_EQ(number_of(s, "checked"), checked) << pack;

    TempDir tmp;
    const RunResult expanded = run_radodaro({"--expand", pack, tmp / "m", "--json"});
    const std::vector<JsonObject> written = parse_json_lines(expanded.out);
    ASSERT_EQ(written.size(), objects.size()) << pack;
    uint64_t failed = 0;
    for (size_t i = 0; i + 1 < written.size(); ++i) {
      const JsonObject& o = written[i];
      const std::string status = o.at("status").text;
      EXPECT_EQ(status == "written", file_exists(member(tmp / "m", static_cast<uint32_t>(i))))
          << pack << " " << i;
      EXPECT_EQ(o.at("path").text, member(tmp / "m", static_cast<uint32_t>(i)));
      failed += !o.at("problems").strings.empty();
      // What --expand checks is what --verify checks.
      if (status == "written") {
        EXPECT_EQ(o.at("problems").strings, objects[i].at("problems").strings) << pack << " " << i;
      }
    }
    EXPECT_EQ(number_of(written.back(), "failed"), failed) << pack;
    EXPECT_EQ(expanded.exit_code, failed == 0 ? 0 : 1) << pack;
  }
}

TEST(JsonLines, OneObjectPerDamagedEntryWithItsProblems) {
  TempDir tmp;
  const PackBuilder pack = damaged_pack();
  pack.write(tmp / "d.pak");
  const RunResult r = run_radodaro({"--verify", tmp / "d.pak", "--json", "--only", "0"});
  EXPECT_EQ(r.exit_code, 1);
  const PakEntry e = pack.directory()[0];
  const std::string sum = hex8(sum_of(bytes_of("checked")));
  EXPECT_EQ(r.out,
            "{\"type\":\"entry\",\"index\":0,\"member\":\"00000000.dat\",\"kind\":\"stored\","
            "\"kind_code\":0,\"unpacked\":7,\"packed\":7,\"offset\":112,\"crc1\":\"00000000\","
            "\"crc2\":\"" +
                hex8(e.crc2) + "\",\"status\":\"problems\",\"sum\":\"" + sum +
                "\",\"problems\":[\"crc2 " + hex8(e.crc2) + " is not the sum of its content, " +
                sum +
                "\"]}\n"
                "{\"type\":\"summary\",\"schema\":2,\"command\":\"verify\",\"pack\":\"" +
                tmp / "d.pak" +
                "\",\"entries\":1,\"checked\":1,\"failed\":1,\"problem_count\":2,"
                "\"dir_crc\":\"00000000\",\"directory_crc\":\"" +
                hex8(Crc32().crc32(pack.build().data() + 16, 4 * 24)) +
                "\",\"dir_crc_matches\":false}\n");
  // Text that JSON must escape: a folder named with quotes, a backslash
  // and a tab.
  if (!Target::current().windows()) {
    const std::string odd = tmp / "a \"quoted\"\\ \tfolder";
    const RunResult x = run_radodaro({"--expand", RADODARO_SAMPLE_PACK, odd, "--json"});
    const std::vector<JsonObject> objects = parse_json_lines(x.out);
    ASSERT_EQ(objects.size(), 5u) << x.out;
    EXPECT_EQ(objects[0].at("path").text, member(odd, 0));
    EXPECT_EQ(x.out.find('\t'), std::string::npos);
  }
  const JsonObject o = parse_json_object(R"({"a":"x\"\\\u000a","b":[]})");
  EXPECT_EQ(o.at("a").text, "x\"\\\n");
}

TEST(DryRuns, SayWhatARealRunWouldDoAndWriteNothing) {
  TempDir tmp;
  const PackBuilder sample = sample_pack();
  sample.write(tmp / "s.pak");
  const std::string m = tmp / "m";
  ASSERT_EQ(run_radodaro({"--expand", tmp / "s.pak", m}).exit_code, 0);
  const Bytes before = read_file(tmp / "s.pak");
  const std::vector<std::string> files = list_folder(tmp.path());
  const struct {
    const char* what;
    std::vector<std::string> args;
    std::string out;
    std::string err;
  } cases[] = {
      {"nothing edited", {"--update", "-n", tmp / "s.pak", m}, "", "radodaro: nothing changed\n"},
      {"nothing to give back",
       {"--compact", "--dry-run", tmp / "s.pak"},
       "Would compact " + tmp / "s.pak" + ": 1988 bytes, then 1988\n",
       ""},
  };
  for (const auto& c : cases) {
    const RunResult r = run_radodaro(c.args);
    EXPECT_EQ(r.exit_code, 0) << c.what;
    EXPECT_EQ(r.out, c.out) << c.what;
    EXPECT_EQ(r.err, c.err) << c.what;
  }
  // Two members edited; --only can leave one of them out.
  write_file(member(m, 0), bytes_of("edited"));
  write_file(member(m, 3), text_like_bytes(5000, 3));
  const struct {
    std::vector<std::string> options;
    std::string out;
    std::string err;
  } edits[] = {
      {{}, member(m, 0) + "\n" + member(m, 3) + "\n", ""},
      {{"--only", "3"}, member(m, 3) + "\n", ""},
      {{"--only", "1-2"}, "", "radodaro: nothing changed\n"},
  };
  for (const auto& e : edits) {
    std::vector<std::string> args = {"--update", "--dry-run", tmp / "s.pak", m};
    args.insert(args.end(), e.options.begin(), e.options.end());
    const RunResult r = run_radodaro(args);
    EXPECT_EQ(r.exit_code, 0);
    EXPECT_EQ(r.out, e.out);
    EXPECT_EQ(r.err, e.err);
  }
  // In JSON: an object per member that would be appended, then the summary.
  const RunResult json = run_radodaro({"--update", "-nj1", "--json", tmp / "s.pak", m, "--only=3"});
  const std::vector<JsonObject> planned = parse_json_lines(json.out);
  ASSERT_EQ(planned.size(), 2u) << json.out;
  EXPECT_EQ(planned[0].at("status").text, "to_append");
  EXPECT_EQ(planned[0].at("path").text, member(m, 3));
  EXPECT_EQ(number_of(planned[0], "unpacked"), 5000u);
  EXPECT_EQ(number_of(planned[1], "appended"), 1u);
  EXPECT_TRUE(planned[1].at("dry_run").flag);
  EXPECT_EQ(planned[1].at("folder").text, m + "/");
  EXPECT_EQ(read_file(tmp / "s.pak"), before);
  EXPECT_EQ(list_folder(tmp.path()), files);
  // The real run appends just what the dry run said, then there is
  // something to give back.
  const RunResult real = run_radodaro({"--update", tmp / "s.pak", m, "--only=3"});
  EXPECT_EQ(real.out, member(m, 3) + "\n");
  EXPECT_EQ(real.exit_code, 0);
  const uint64_t grown = read_file(tmp / "s.pak").size();
  const RunResult plan = run_radodaro({"--compact", "-n", tmp / "s.pak"});
  const uint64_t old_data = sample.directory()[3].packed_size;
  EXPECT_EQ(plan.out, "Would compact " + tmp / "s.pak" + ": " + std::to_string(grown) +
                          " bytes, then " + std::to_string(grown - old_data) + "\n");
  const RunResult sizes = run_radodaro({"--compact", "-n", "--json", tmp / "s.pak"});
  EXPECT_EQ(sizes.out, "{\"type\":\"summary\",\"schema\":2,\"command\":\"compact\",\"pack\":\"" +
                           tmp / "s.pak" +
                           "\",\"dry_run\":true,\"size_before\":" + std::to_string(grown) +
                           ",\"size_after\":" + std::to_string(grown - old_data) + "}\n");
  const RunResult compacted = run_radodaro({"--compact", tmp / "s.pak"});
  EXPECT_EQ(compacted.out, "Compacted " + tmp / "s.pak" + ": " + std::to_string(grown) +
                               " bytes, now " + std::to_string(grown - old_data) + "\n");
  // Then only member 0 is edited; once it is in, nothing is left to do.
  // The compaction gave the directory new offsets, so the folder's record
  // no longer fits it until --force puts the members back.
  EXPECT_EQ(run_radodaro({"--update", tmp / "s.pak", m}).exit_code, kFailure);
  EXPECT_EQ(run_radodaro({"--update", "--force", tmp / "s.pak", m}).exit_code, 0);
  const RunResult again = run_radodaro({"--update", tmp / "s.pak", m});
  EXPECT_EQ(again.out, "");
  EXPECT_EQ(again.err, "radodaro: nothing changed\n");
  EXPECT_EQ(again.exit_code, 0);
  // A member that is there but cannot be read fails the dry run as it
  // would fail the real one.
  if (!Target::current().windows()) {
    ::chmod(tmp.path().c_str(), 0777);
    ::chmod(m.c_str(), 0777);
    ::chmod(member(m, 0).c_str(), 0);
    const RunResult r =
        run_radodaro({"--update", "--dry-run", tmp / "s.pak", m}, {.unprivileged = true});
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "radodaro: " + member(m, 0) +
                         ": could not be read whole and appended; the pack stays as it was\n");
    EXPECT_EQ(r.exit_code, kFailure);
  }
}

}  // namespace
}  // namespace radodaro::testing
