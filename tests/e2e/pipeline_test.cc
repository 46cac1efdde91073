// Runs on one thread and on several give the same lines, files, packs and
// exit statuses, whatever the pack holds.
#include <dirent.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <functional>
#include <map>
#include <random>

#include "e2e/e2e_util.h"
#include "pak/member_record.h"
#include "support/temp_dir.h"

namespace radodaro::testing {
namespace {

// What one run did: its lines with the scratch folder's path taken out,
// its exit status, the member folder's files and the pack afterwards.
struct Outcome {
  int exit_code = -1;
  std::string out, err;
  std::map<std::string, Bytes> members;
  Bytes pack;
  Bytes created;  // by --create
};

std::string without(const std::string& text, const std::string& path) {
  std::string left;
  size_t from = 0;
  for (size_t at; (at = text.find(path, from)) != std::string::npos; from = at + path.size()) {
    left.append(text, from, at - from).append("@");
  }
  return left.append(text, from);
}

// A case: what is in the scratch folder before the run, and the command,
// given the folder. "pack" and "folder" are the names the run works on.
struct Scenario {
  std::string name;
  std::function<void(const TempDir&)> setup;
  std::vector<std::string> args;  // "@" stands for the scratch folder
  uint64_t file_size_limit = 0;
};

Outcome run_with_jobs(const Scenario& s, const std::string& jobs) {
  TempDir tmp;
  s.setup(tmp);
  std::vector<std::string> args;
  for (const std::string& a : s.args) {
    args.push_back(a[0] == '@' ? std::string(tmp.path()).append(a, 1) : a);
  }
  RunOptions options;
  options.environment = {{"RADODARO_JOBS", jobs}};
  options.file_size_limit = s.file_size_limit;
  const RunResult r = run_radodaro(args, options);
  Outcome o;
  o.exit_code = r.exit_code;
  o.out = without(r.out, tmp.path());
  o.err = without(r.err, tmp.path());
  for (const std::string& name : list_folder(tmp / "folder")) {
    // The folder's record holds the times and identities of the files.
    o.members[name] = name == ".radodaro-record" ? Bytes() : read_file(tmp / "folder/" + name);
  }
  if (file_exists(tmp / "pack")) o.pack = read_file(tmp / "pack");
  if (file_exists(tmp / "created")) o.created = read_file(tmp / "created");
  return o;
}

void expect_same_at_any_jobs(const Scenario& s) {
  SCOPED_TRACE(s.name);
  const Outcome one = run_with_jobs(s, "1");
  const Outcome many = run_with_jobs(s, "4");
  EXPECT_EQ(many.out, one.out);
  EXPECT_EQ(many.err, one.err);
  EXPECT_EQ(many.exit_code, one.exit_code);
  EXPECT_EQ(many.members, one.members);
  EXPECT_EQ(many.pack, one.pack);
  EXPECT_EQ(many.created, one.created);
}

// Every command that runs on the pipeline, on `pack` with `members` in
// the folder beside it.
std::vector<Scenario> every_command(const std::string& name, const Bytes& pack,
                                    const std::map<uint32_t, Bytes>& members) {
  const auto setup = [pack, members](const TempDir& tmp) {
    write_file(tmp / "pack", pack);
    ::mkdir((tmp / "folder").c_str(), 0777);
    for (const auto& [index, bytes] : members) write_file(member(tmp / "folder", index), bytes);
  };
  std::vector<Scenario> all;
  for (const std::vector<std::string>& command : std::vector<std::vector<std::string>>{
           {"/e", "@/pack", "@/folder"},
           {"--verify", "@/pack"},
           {"--expand", "@/pack", "@/folder", "--json", "--overwrite"},
           {"/p", "@/pack", "@/folder"},
           {"--update", "@/pack", "@/folder"},
           {"--update", "@/pack", "@/folder", "--best"},
           {"--create", "@/created", "@/folder", "--like", "@/pack"},
       }) {
    std::string title = name;
    for (const std::string& word : command) {
      if (word[0] != '@') title.append(" ").append(word);
    }
    all.push_back({title, setup, command});
  }
  return all;
}

std::vector<std::string> corpus(const std::string& which) {
  std::vector<std::string> files;
  std::string folder = RADODARO_FUZZ_CORPUS;
  folder.append("/").append(which).append("/");
  for (const std::string& name : list_folder(folder))
    files.push_back(std::string(folder).append(name));
  return files;
}

TEST(Pipeline, SameAtAnyJobsOverTheFuzzSeeds) {
  std::vector<Scenario> all;
  // The packs every reading command starts from, with no member files.
  for (const std::string& path : corpus("expand")) {
    if (!modest(read_file(path))) continue;
    for (Scenario& s : every_command(path.substr(path.rfind('/') + 1), read_file(path), {})) {
      all.push_back(std::move(s));
    }
  }
  // The group seeds: a pack, then records of index, length and bytes.
  ASSERT_FALSE(corpus("group").empty());
  for (const std::string& path : corpus("group")) {
    const Bytes input = read_file(path);
    if (input.size() < 4) continue;
    const size_t pack_size = std::min<size_t>(decode_fixed32(input.data()), input.size() - 4);
    std::map<uint32_t, Bytes> members;
    for (size_t at = 4 + pack_size; at + 3 <= input.size();) {
      const size_t length =
          std::min<size_t>(input[at + 1] | input[at + 2] << 8, input.size() - at - 3);
      members[input[at]].assign(input.begin() + static_cast<long>(at) + 3,
                                input.begin() + static_cast<long>(at + 3 + length));
      at += 3 + length;
    }
    const Bytes pack(input.begin() + 4, input.begin() + 4 + static_cast<long>(pack_size));
    if (!modest(pack)) continue;
    for (Scenario& s : every_command(path.substr(path.rfind('/') + 1), pack, members)) {
      all.push_back(std::move(s));
    }
  }
  for (const Scenario& s : all) expect_same_at_any_jobs(s);
}

// A pack of every kind of entry, good and damaged, with entries of
// different sizes so that workers finish out of order.
PackBuilder mixed_pack() {
  PackBuilder pack;
  for (uint32_t i = 0; i < 48; ++i) {
    const size_t size = (i * 7919) % 5 == 0 ? 300 * 1024 : (i * 131) % 3000;
    switch (i % 8) {
      case 0:
      case 1:
        pack.lzo1x(text_like_bytes(size, i), i % 2 ? LzoLevel::kBest : LzoLevel::kFast, i);
        break;
      case 2:
        pack.skipped(bytes_of("dead"));
        break;
      case 3:
        pack.lzo1x(text_like_bytes(size + 100, i));
        pack.last().data[pack.last().data.size() / 2] ^= 0x5a;  // a damaged stream
        break;
      case 4:
        pack.stored(random_bytes(size, i));
        pack.last().crc2 = 0x0badc0de;  // a wrong sum
        break;
      case 5:
        pack.stored(random_bytes(size, i));
        pack.last().offset = 0xfffff000;  // outside the file
        break;
      default:
        pack.stored(random_bytes(size, i));
        break;
    }
  }
  return pack.true_dir_crc();
}

TEST(Pipeline, SameAtAnyJobsWithDamageExistingMembersAndFailingWrites) {
  const PackBuilder pack = mixed_pack();
  const Bytes bytes = pack.build();
  // Member files: some there before an expand, some edited before a group.
  std::map<uint32_t, Bytes> members;
  for (const uint32_t i : {7u, 8u, 9u, 20u, 33u, 40u}) {
    members[i] = i % 2 ? text_like_bytes(70000, 100 + i) : random_bytes(i * 100, i);
  }
  std::vector<Scenario> all = every_command("mixed", bytes, members);
  const auto write_pack = [bytes](const TempDir& tmp) { write_file(tmp / "pack", bytes); };
  // The members as /e writes them, two of them edited: --update compresses
  // those two and passes over the rest.
  const auto expanded = [bytes](const TempDir& tmp) {
    write_file(tmp / "pack", bytes);
    ASSERT_EQ(run_radodaro({"/e", tmp / "pack", tmp / "folder"}).exit_code, 0);
    for (const uint32_t i : {8u, 16u}) {
      Bytes b = read_file(member(tmp / "folder", i));
      b.insert(b.begin(), 'x');
      write_file(member(tmp / "folder", i), b);
    }
  };
  all.push_back({"mixed, update after expand", expanded, {"--update", "@/pack", "@/folder"}});
  all.push_back({"mixed, group after expand", expanded, {"/p", "@/pack", "@/folder"}});
  if (!Target::current().windows()) {
    // Writes that fail part of the way: members past the limit on expand,
    // the pack's growth on group.
    all.push_back(
        {"mixed, expand, writes fail", write_pack, {"/e", "@/pack", "@/folder"}, 100 * 1024});
    all.push_back({"mixed, group, writes fail",
                   expanded,
                   {"/p", "@/pack", "@/folder"},
                   bytes.size() + 500 * 1024});
  }
  for (const Scenario& s : all) expect_same_at_any_jobs(s);
}

// Ends an expand at random moments: the member files there are always the
// first ones in index order (skipped entries aside), each whole; no member
// is named before every one before it is.
TEST(Pipeline, InterruptedExpandLeavesTheFirstMembersWholeAndNothingAfter) {
  // Wine takes longer to start than such a run lasts.
  RADODARO_SKIP_ON_WINDOWS("ends runs within milliseconds of their start");
  TempDir tmp;
  PackBuilder pack;
  for (uint32_t i = 0; i < 400; ++i) {
    if (i % 3 == 0) {
      pack.lzo1x(text_like_bytes(20000 + i * 50, i));
    } else {
      pack.stored(random_bytes(i * 40, i));
    }
  }
  pack.write(tmp / "t.pak");
  std::mt19937 random(7);
  int cut_short = 0;
  const Bytes old = {'o', 'l', 'd'};
  ASSERT_EQ(::setenv("RADODARO_JOBS", "4", 1), 0);
  // /e into a new folder, then --expand --overwrite over members there
  // already, which workers write under temporary names beside them.
  for (int round = 0; round < 20; ++round) {
    const bool over = round >= 12;
    const std::string out = tmp / ("out" + std::to_string(round));
    if (over) {
      ASSERT_EQ(::mkdir(out.c_str(), 0755), 0);
      for (uint32_t i = 0; i < 400; ++i) write_file(out + "/" + member_name(i), old);
    }
    const pid_t pid = spawn_radodaro(
        over ? std::vector<std::string>{"--expand", tmp / "t.pak", out, "--overwrite", "--quiet"}
             : std::vector<std::string>{"/e", tmp / "t.pak", out});
    std::this_thread::sleep_for(std::chrono::microseconds(2000 + random() % 40000));
    ::kill(pid, SIGINT);
    int status = 0;
    ::waitpid(pid, &status, 0);
    std::vector<std::string> names = list_folder(out);
    std::erase(names, kRecordName);
    size_t whole = over ? 0 : names.size();
    if (over) {
      ASSERT_EQ(names.size(), 400u) << round;
      while (whole < 400 && read_file(out + "/" + names[whole]) != old) ++whole;
    }
    cut_short += whole < 400;
    for (size_t i = 0; i < names.size(); ++i) {
      ASSERT_EQ(names[i], member_name(static_cast<uint32_t>(i))) << round;
      ASSERT_EQ(read_file(out + "/" + names[i]), i < whole ? pack.entries()[i].content : old)
          << round << " " << i;
    }
  }
  ::unsetenv("RADODARO_JOBS");
  EXPECT_GE(cut_short, 6);
}

}  // namespace
}  // namespace radodaro::testing
