#include "commands/open_pack.h"

#include <cstdio>

#include "commands/output.h"
#include "pak/checksums.h"

#include "pak/pack_reader.h"

namespace radodaro {

bool open_pack_for_writing(platform::Env& env, PackUpdate* update, const std::string& pak_path,
                           std::vector<uint8_t>* dir_image, Voice voice) {
  const bool group = voice == Voice::kGroup;
  const char* pack = pak_path.c_str();
  switch (update->open()) {
    case PackUpdate::Open::kOk:
      break;
    case PackUpdate::Open::kCantOpen:
      if (group) {
        std::printf("Can't create data file %s\n", pack);
      } else {
        complain("cannot open %s: %s", pack, platform::reason(update->open_error()));
      }
      return false;
    case PackUpdate::Open::kRecoveryFailed:
    case PackUpdate::Open::kForeignFile:
      // What stands in the way was said on stderr.
      if (group) std::printf("Can't create data file %s\n", pack);
      return false;
  }
  switch (read_directory(env, update->file(), update->original_size(), dir_image)) {
    case DirectoryRead::kOk:
      return true;
    case DirectoryRead::kBad:
      if (group) {
        std::printf("Bad data file %s\n", pack);
      } else {
        complain("%s: not a pack: too short for its header and directory", pack);
      }
      return false;
    case DirectoryRead::kNoMemory:
      if (group) {
        std::printf("Can't create data file %s\n", pack);
      } else {
        complain("cannot read %s: %s", pack, platform::reason(platform::Error::kNoMemory));
      }
      return false;
  }
  return false;
}

bool open_pack(platform::Env& env, const std::string& pak_path, PackView* pack) {
  PackOpenFailure failure;
  if (open_pack(env, pak_path, pack, &failure, say)) return true;
  std::printf(failure.bad ? "Bad dir file %s\n" : "Can't open dir file %s\n", pak_path.c_str());
  return false;
}

bool map_pak_file(platform::Env& env, const std::string& pak_path, PackView* pack) {
  if (!open_pack(env, pak_path, pack)) return false;
  const PakHeader header = header_of(pack->dir_image);
  std::printf("Dir CRC=%08X, SUMM=%08X\n", header.dir_crc,
              sum32(pack->dir_image.data() + kHeaderSize, pack->dir_image.size() - kHeaderSize));
  return true;
}

void say(const PackNotice& n) {
  const char* pack = n.pack.c_str();
  const char* journal = n.journal.c_str();
  switch (n.kind) {
    case PackNotice::Kind::kReadAsBefore:
      complain(
          "%s is read as it was before an unfinished group run; the next /p, --update or "
          "--compact of it puts it back",
          pack);
      return;
    case PackNotice::Kind::kJournalNotUsed:
      complain("warning: %s was not written for %s as it is now, so it was not used", journal,
               pack);
      return;
    case PackNotice::Kind::kJournalUnreadable:
      complain("%s cannot be read to tell whether it belongs to %s", journal, pack);
      return;
    case PackNotice::Kind::kNotOurJournal:
      complain(
          "%s is not a journal of radodaro's, so %s was left as it is; move that file out "
          "of the way and run again",
          journal, pack);
      return;
    case PackNotice::Kind::kPutBack:
      complain("%s was put back as it was before an unfinished group run", pack);
      return;
    case PackNotice::Kind::kCannotPutBack:
      complain("%s could not be put back from %s, which stays for the next run", pack, journal);
      return;
    case PackNotice::Kind::kSetAside:
      complain(
          "%s was not written for %s as it is now, so it was not applied and is set aside "
          "as %s; the pack is as you left it: check it, then remove that file",
          journal, pack, n.other.c_str());
      return;
    case PackNotice::Kind::kCannotSetAside:
      complain(
          "%s was not written for %s as it is now, and it could not be set aside (%s-stale "
          "to %s-stale-9 are taken: look at them and remove those you are done with); move "
          "that file out of the way and run again",
          journal, pack, journal, journal);
      return;
    case PackNotice::Kind::kCannotWriteJournal:
      complain("cannot write %s: %s", journal, platform::reason(n.error));
      return;
    case PackNotice::Kind::kWithoutJournal:
      complain(
          "warning: cannot write %s (%s), nor a journal anywhere else: %s is changed "
          "without one, and a run cut off now may leave it damaged",
          journal, platform::reason(n.error), pack);
      return;
    case PackNotice::Kind::kRemovalNotDurable:
      complain("warning: the removal of %s may not be durable", journal);
      return;
  }
}

}  // namespace radodaro
