#include "toolbox/matrix/array.hpp"

#include <sys/mman.h>

#include <cstdint>

namespace toolbox::matrix::detail {
namespace {

// Below this a buffer is an ordinary heap block.
constexpr std::size_t kLarge = 2 * kHugePage;

std::size_t rounded(std::size_t bytes) noexcept { return (bytes + kHugePage - 1) / kHugePage * kHugePage; }

}  // namespace

void* allocate_bytes(std::size_t bytes, bool& zeroed) {
    if (bytes < kLarge) {
        zeroed = false;
        return ::operator new(bytes);
    }
    if (bytes > SIZE_MAX - 2 * kHugePage) throw std::bad_alloc();
    // Map one huge page more than needed and trim the ends, so the block
    // starts on a huge-page boundary. Fresh anonymous pages read as zero, and
    // the block goes straight back to the system when freed, so a long-lived
    // host does not keep the peak of one call resident.
    const std::size_t size = rounded(bytes);
    void* raw = mmap(nullptr, size + kHugePage, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (raw == MAP_FAILED) throw std::bad_alloc();
    const auto base = reinterpret_cast<std::uintptr_t>(raw);
    const std::uintptr_t start = (base + kHugePage - 1) / kHugePage * kHugePage;
    if (start > base) munmap(raw, start - base);
    const std::uintptr_t tail = base + size + kHugePage - (start + size);
    if (tail > 0) munmap(reinterpret_cast<void*>(start + size), tail);
    void* p = reinterpret_cast<void*>(start);
    // Advice only: where huge pages are off, the kernel ignores it.
    (void)madvise(p, size, MADV_HUGEPAGE);
    zeroed = true;
    return p;
}

void free_bytes(void* p, std::size_t bytes) noexcept {
    if (bytes < kLarge) {
        ::operator delete(p);
    } else {
        munmap(p, rounded(bytes));
    }
}

}  // namespace toolbox::matrix::detail
