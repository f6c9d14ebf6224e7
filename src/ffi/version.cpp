// Interface and engine versions, and the version record that tools find by
// scanning the library file's bytes.
#include <cstddef>

#include "qelcore.h"

namespace ffi::version {
namespace {

// "QEL-ENGINE-VERSION=" then the version and a NUL, whole and contiguous in
// .rodata. It must be the only copy of the marker in the file, so nothing
// else may spell the marker. The version comes from the header's macro, which
// the build generates from the project's version.
[[gnu::used]] constexpr char ENGINE_VERSION_RECORD[] = "QEL-ENGINE-VERSION=" QEL_VERSION_STRING;
constexpr std::size_t MARKER_LEN = 19;

struct RecordRef {
    const char* ptr;
    std::size_t len;
};
// Keeps the record referenced even if a future change stops using it.
[[gnu::used]] constexpr RecordRef ENGINE_VERSION_RECORD_REF{ENGINE_VERSION_RECORD, sizeof ENGINE_VERSION_RECORD};

static_assert(sizeof ENGINE_VERSION_RECORD == MARKER_LEN + sizeof QEL_VERSION_STRING &&
              ENGINE_VERSION_RECORD[MARKER_LEN - 1] == '=' && ENGINE_VERSION_RECORD[sizeof ENGINE_VERSION_RECORD - 1] == '\0');

}  // namespace
}  // namespace ffi::version

extern "C" QEL_API uint32_t qel_abi_version(void) { return QEL_ABI_VERSION; }

extern "C" QEL_API const char* qel_engine_version(void) {
    return ffi::version::ENGINE_VERSION_RECORD + ffi::version::MARKER_LEN;
}
