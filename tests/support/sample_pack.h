#ifndef RADODARO_TESTS_SUPPORT_SAMPLE_PACK_H_
#define RADODARO_TESTS_SUPPORT_SAMPLE_PACK_H_

#include "support/pack_builder.h"

namespace radodaro::testing {

// The small pack bundled as examples/sample.pak: a stored, a skipped and an
// lzo1x entry, then a stored one again.
PackBuilder sample_pack();

}  // namespace radodaro::testing

#endif  // RADODARO_TESTS_SUPPORT_SAMPLE_PACK_H_
