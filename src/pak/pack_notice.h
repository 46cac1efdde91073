// What opening or changing a pack has to tell a person beyond success or
// failure: a journal read through, put back, set aside, or missing. The
// pack layer finds it and hands it on; the commands say it.
#ifndef RADODARO_PAK_PACK_NOTICE_H_
#define RADODARO_PAK_PACK_NOTICE_H_

#include <string>

#include "platform/files.h"

namespace radodaro {

struct PackNotice {
  enum class Kind {
    // Runs that only read.
    kReadAsBefore,       // read through the journal of an unfinished group run
    kJournalNotUsed,     // a journal that does not fit the pack as it is
    kJournalUnreadable,  // a journal that cannot be read to tell
    // Runs that may write.
    kNotOurJournal,       // a file at the journal's name that is no journal of ours
    kPutBack,             // put back from the journal of an unfinished run
    kCannotPutBack,       // the journal stays for the next run
    kSetAside,            // a journal that does not fit, renamed to `other`
    kCannotSetAside,      // ... and every name to set it aside is taken
    kCannotWriteJournal,  // nowhere to write one, `error` says why
    kWithoutJournal,      // ... and the pack is changed without one
    kRemovalNotDurable,   // the new directory is durable, the journal's removal may not be
  };
  Kind kind;
  std::string pack;     // as the command line named it
  std::string journal;  // the journal's path
  std::string other;    // kSetAside: the journal's new path
  platform::Error error = platform::Error::kOk;
};

// Where the notices go.
using PackNotices = void (*)(const PackNotice& notice);

}  // namespace radodaro

#endif  // RADODARO_PAK_PACK_NOTICE_H_
