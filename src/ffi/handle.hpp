// The kind tag every handle of the C interface starts with.
//
// The C types keep a host from mixing the kinds up, but a cast is easy
// (`QelModelCallArgs.options` is `const void*`), and a handle freed twice is
// a common slip; so every export that takes a handle reads the tag first and
// refuses a handle of another kind, or one already freed, instead of reading
// it as its own, and a free leaves such a handle alone.
#pragma once

#include <cstdint>
#include <cstring>

namespace ffi::handle {

// Values unlikely to stand at the start of any other object; a freed handle
// holds none of them but `Freed` (while its memory has not been reused).
enum class HandleKind : std::uint64_t {
    Predict = 0x51454c2d50524544,  // "QEL-PRED"
    Grid = 0x51454c2d47524944,     // "QEL-GRID"
    MaxFit = 0x51454c2d4d415846,   // "QEL-MAXF"
    Results = 0x51454c2d52534c54,  // "QEL-RSLT"
    Freed = 0x51454c2d46524545,    // "QEL-FREE"
};

// True when the non-NULL `handle` holds the tag `kind`, as far as its first
// bytes tell. The tag is read as raw bytes: what `handle` points at may be a
// handle of another kind (the tag stands first in each) or a released block.
inline bool is_kind(const void* handle, HandleKind kind) noexcept {
    HandleKind tag;
    std::memcpy(&tag, handle, sizeof tag);
    return tag == kind;
}

// Deletes a handle of kind `kind`; leaves anything else alone (NULL, a handle
// of another kind, a released one), since releasing it would corrupt the
// host's heap.
template <class Handle>
void release(Handle* handle, HandleKind kind) noexcept {
    if (handle == nullptr || !is_kind(handle, kind)) return;
    // A volatile store, so that the compiler cannot drop it as a write to
    // memory about to be released: a later call with this handle then sees
    // that it is gone (unless the memory has been handed out again).
    *static_cast<volatile HandleKind*>(&handle->kind) = HandleKind::Freed;
    delete handle;
}

}  // namespace ffi::handle
