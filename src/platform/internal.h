// The few primitives that the code shared by every system (files.cc,
// paths.cc) is written over; each system's files give their own. Nothing
// outside src/platform/ includes this.
#ifndef RADODARO_PLATFORM_INTERNAL_H_
#define RADODARO_PLATFORM_INTERNAL_H_

#include <cstddef>
#include <cstdint>
#include <string>

#include "platform/files.h"

namespace radodaro::platform::internal {

// The separator that full paths use.
extern const char kSeparator;
bool is_separator(char c);

// How long the root at the start of `path` is, separator included: "/" on
// POSIX; "C:\", "\\server\share\" or a lone "\" on Windows; 0 for none.
size_t root_length(const std::string& path);

// This process's number, as text, for the temporary names of its files.
std::string process_id();

// Creates the file `name` in `folder` as Env::create_new() does and marks
// it as one of this run's temporary files, which an interruption removes,
// with no moment in between: nothing the run did not create is ever
// removed. Any thread may; `*slot` is the mark, which forget_temp_file()
// takes away (-1 for none). `name` must stay valid until then.
Error create_temp_file(Env& env, const Handle& folder, const std::string& name, Handle* file,
                       int* slot);
void forget_temp_file(int slot);
// The same for an unnamed `file` given the name `name` in `folder`, as
// Env::link_unnamed() does.
Error link_temp_file(Env& env, const Handle& folder, const Handle& file, const std::string& name,
                     int* slot);

// The system's own words for the failure that this thread last saw as
// `error`, where the tool's words would lose them (kIo and kNotFound stand
// for many), or nullptr.
const char* system_reason(Error error);

// Gives back a view that map_shared() made.
void unmap_view(const uint8_t* data, uint64_t size);

}  // namespace radodaro::platform::internal

#endif  // RADODARO_PLATFORM_INTERNAL_H_
