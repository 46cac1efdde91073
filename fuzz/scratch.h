// A scratch folder on tmpfs for the fuzz targets, emptied between inputs.
#ifndef RADODARO_FUZZ_SCRATCH_H_
#define RADODARO_FUZZ_SCRATCH_H_

#include <cstddef>
#include <cstdint>
#include <string>

namespace radodaro::fuzz {

// The scratch folder, made on first use; ends with '/'.
const std::string& scratch();

// Removes every file in `folder` and the folder itself; no recursion, as
// the tool makes no subfolders.
void remove_folder(const std::string& folder);

void write_bytes(const std::string& path, const uint8_t* data, size_t size);

}  // namespace radodaro::fuzz

#endif  // RADODARO_FUZZ_SCRATCH_H_
