// What kind of file an entry's content is, told from its first bytes (and,
// for a TGA image, its last): the extension --guess-types gives a member.
#ifndef RADODARO_PAK_CONTENT_TYPE_H_
#define RADODARO_PAK_CONTENT_TYPE_H_

#include <cstdint>

namespace radodaro {

// "dds", "png", "jpg", "gif", "bmp", "tga", "wav", "avi", "ogg", "zip",
// "xml" or "txt"; nullptr when the content is none of these (or empty).
// `head` holds the first `head_size` bytes of a content `size` bytes long,
// `tail` its last `tail_size` bytes (for the TGA footer).
const char* guess_extension(const uint8_t* head, uint64_t head_size, const uint8_t* tail,
                            uint64_t tail_size, uint64_t size);

// How much of the start and of the end guess_extension() looks at.
inline constexpr uint64_t kGuessHead = 4096;
inline constexpr uint64_t kGuessTail = 26;

}  // namespace radodaro

#endif  // RADODARO_PAK_CONTENT_TYPE_H_
