// What is wrong with an entry whose data was read: one sentence per
// problem, the same for --verify and --expand.
#ifndef RADODARO_PAK_ENTRY_CHECK_H_
#define RADODARO_PAK_ENTRY_CHECK_H_

#include <string>
#include <vector>

#include "pak/entry_decoder.h"
#include "pak/pak_format.h"

namespace radodaro {

// Problems that the directory entry shows by itself: an unknown kind, a
// stored entry whose sizes differ.
void directory_problems(const PakEntry& entry, std::vector<std::string>* problems);

// Problems of the data of a stored (or unknown-kind) entry whose content
// sums to `sum`.
void stored_problems(const PakEntry& entry, uint32_t sum, std::vector<std::string>* problems);

// Problems of the lzo1x entry that `decoded` decoded (read whole, packed
// bytes summed) to content that sums to `content_sum`.
void lzo1x_problems(const PakEntry& entry, const Decoded& decoded, uint32_t content_sum,
                    std::vector<std::string>* problems);

// The problem of data that lies past the end of the file.
std::string outside_problem(const PakEntry& entry);

}  // namespace radodaro

#endif  // RADODARO_PAK_ENTRY_CHECK_H_
