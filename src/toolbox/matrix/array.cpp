#include "toolbox/matrix/array.hpp"

#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <bit>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>
#include <thread>

#if defined(__SANITIZE_ADDRESS__)
#define QEL_ASAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define QEL_ASAN 1
#endif
#endif
#ifndef QEL_ASAN
#define QEL_ASAN 0
#endif
#if QEL_ASAN
#include <sanitizer/asan_interface.h>
#endif

namespace toolbox::matrix::detail {
namespace {

// Below this a buffer is an ordinary heap block: the heap keeps the pages of
// small blocks for its next ones.
constexpr std::size_t kPooledFrom = std::size_t{16} << 10;
// Up to this, blocks come in four size classes per power of two (each a
// whole number of pages, at most a quarter larger than asked for), so that a
// freed block serves every later array of its class...
constexpr unsigned kFirstClassBits = 14;  // 16 KiB
constexpr unsigned kLastClassBits = 21;   // the classes of 2 MiB up to 3.5 MiB
constexpr std::size_t kClassesPerOctave = 4;
constexpr std::size_t kClasses = (kLastClassBits - kFirstClassBits + 1) * kClassesPerOctave;
constexpr std::size_t kLargestClass = (std::size_t{1} << kLastClassBits) / kClassesPerOctave * 7;
// ...and above it they are mapped on huge-page boundaries and rounded to
// whole huge pages.
static_assert(kLargestClass < 2 * kHugePage);

// Freed blocks are kept for the next arrays of their size: a page the
// process has just freed is cheap to reuse, while one handed back to the
// system must be faulted in and cleared again (and, on a virtual machine that
// returns freed memory to its host, found again there). That costs more than
// the arithmetic of a large prediction, and a third of a small one, whose
// arrays the heap would map and unmap, or trim from its top, on every call.
// The cache holds at most this much...
constexpr std::size_t kCacheBytesMax = std::size_t{512} << 20;
// ...and never more than this share of the machine's memory...
constexpr std::size_t kCacheMemoryShare = 8;
// ...and gives everything back once no array has come from it or gone into it
// for this long, so a host that has stopped calling does not keep it.
constexpr auto kCacheIdle = std::chrono::seconds(10);

std::size_t rounded(std::size_t bytes) noexcept { return (bytes + kHugePage - 1) / kHugePage * kHugePage; }

bool in_classes(std::size_t bytes) noexcept { return bytes <= kLargestClass; }

// The class of a block of `bytes` (kPooledFrom <= bytes <= kLargestClass)
// and its size.
struct SizeClass {
    std::size_t index;
    std::size_t size;
};

SizeClass size_class(std::size_t bytes) noexcept {
    const unsigned octave = static_cast<unsigned>(std::bit_width(bytes) - 1);
    const std::size_t step = (std::size_t{1} << octave) / kClassesPerOctave;
    const std::size_t size = (bytes + step - 1) / step * step;
    // A size rounded up to the next power of two is the first class of the
    // next octave.
    const unsigned size_octave = static_cast<unsigned>(std::bit_width(size) - 1);
    const std::size_t in_octave = size / ((std::size_t{1} << size_octave) / kClassesPerOctave) - kClassesPerOctave;
    return {(size_octave - kFirstClassBits) * kClassesPerOctave + in_octave, size};
}

// The size a block of `bytes` is mapped with and kept under.
std::size_t block_size(std::size_t bytes) noexcept {
    return in_classes(bytes) ? size_class(bytes).size : rounded(bytes);
}

void* map_plain(std::size_t size) {
    void* p = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (p == MAP_FAILED) throw std::bad_alloc();
    return p;
}

void* map_aligned(std::size_t size) {
    // Map one huge page more than needed and trim the ends, so the block
    // starts on a huge-page boundary. Fresh anonymous pages read as zero.
    if (size > SIZE_MAX - kHugePage) throw std::bad_alloc();
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
    return p;
}

// Under AddressSanitizer a kept block is poisoned, so that a read or write
// through a dangling pointer into it is still reported, as it would be for a
// block handed back to the heap.
void poison(void* p, std::size_t size) noexcept {
#if QEL_ASAN
    ASAN_POISON_MEMORY_REGION(p, size);
#else
    (void)p;
    (void)size;
#endif
}

void unpoison(void* p, std::size_t size) noexcept {
#if QEL_ASAN
    ASAN_UNPOISON_MEMORY_REGION(p, size);
#else
    (void)p;
    (void)size;
#endif
}

// Hands a block back to the system (its shadow cleared first, should the
// address be mapped again).
void unmap(void* p, std::size_t size) noexcept {
    unpoison(p, size);
    munmap(p, size);
}

struct Block {
    void* p;
    std::size_t size;
    std::uint64_t stamp;  // when it was kept: the oldest make room first
};

class BlockCache {
public:
    BlockCache() {
        const long pages = sysconf(_SC_PHYS_PAGES);
        const long page = sysconf(_SC_PAGESIZE);
        std::size_t limit = kCacheBytesMax;
        if (pages > 0 && page > 0) {
            const std::size_t share = static_cast<std::size_t>(pages) / kCacheMemoryShare * static_cast<std::size_t>(page);
            limit = std::min(limit, share);
        }
        limit_ = limit;
    }

    // A kept block of the class of `size` bytes (a class size); null when none.
    void* take_class(std::size_t index, std::size_t size) {
        std::lock_guard<std::mutex> hold(lock_);
        std::deque<Block>& kept = classes_[index];
        if (kept.empty()) return nullptr;
        // The most recently kept block: its pages are the likeliest still in
        // the caches.
        const Block found = kept.back();
        kept.pop_back();
        cached_ -= found.size;
        touch();
        unpoison(found.p, size);
        return found.p;
    }

    // A kept large block of exactly `size` bytes, or the smallest one up to
    // twice as large, cut down to `size`; null when none fits.
    void* take_large(std::size_t size) {
        std::lock_guard<std::mutex> hold(lock_);
        std::size_t best = large_.size();
        for (std::size_t b = 0; b < large_.size(); ++b) {
            if (large_[b].size < size || large_[b].size / 2 > size) continue;
            if (best == large_.size() || large_[b].size < large_[best].size) best = b;
            if (large_[b].size == size) break;
        }
        if (best == large_.size()) return nullptr;
        const Block found = large_[best];
        large_.erase(large_.begin() + static_cast<std::ptrdiff_t>(best));
        cached_ -= found.size;
        unpoison(found.p, found.size);
        if (found.size > size) munmap(static_cast<char*>(found.p) + size, found.size - size);
        touch();
        return found.p;
    }

    // Keeps the block for reuse, or gives it back when it is larger than the
    // cache may hold; the oldest blocks make room.
    void give(void* p, std::size_t size) {
        if (size > limit_) {
            munmap(p, size);
            return;
        }
        poison(p, size);
        {
            std::lock_guard<std::mutex> hold(lock_);
            const Block b{p, size, ++stamp_};
            if (in_classes(size)) {
                classes_[size_class(size).index].push_back(b);
            } else {
                large_.push_back(b);
            }
            cached_ += size;
            touch();
            start_reaper();
        }
        // Handed back outside the lock, a few at a time, so that no list of
        // them needs memory of its own.
        for (;;) {
            Block out[8];
            std::size_t n_out = 0;
            {
                std::lock_guard<std::mutex> hold(lock_);
                while (cached_ > limit_ && n_out < std::size(out)) out[n_out++] = pop_oldest();
            }
            if (n_out == 0) return;
            for (std::size_t i = 0; i < n_out; ++i) unmap(out[i].p, out[i].size);
        }
    }

private:
    void touch() { last_use_ = std::chrono::steady_clock::now(); }

    // The oldest kept block, taken out of the cache (which must hold one).
    Block pop_oldest() {
        std::deque<Block>* from = large_.empty() ? nullptr : &large_;
        for (std::deque<Block>& kept : classes_) {
            if (!kept.empty() && (from == nullptr || kept.front().stamp < from->front().stamp)) from = &kept;
        }
        const Block b = from->front();
        from->pop_front();
        cached_ -= b.size;
        return b;
    }

    // One thread, started with the first cached block, that empties the cache
    // once it has been idle for kCacheIdle. It and the cache live until the
    // process ends (never destroyed, so no exit-time order matters). It
    // sleeps until the cache has been idle long enough, and while the cache
    // is empty until it gets a block; only that sleep needs waking: a call
    // frees many blocks, and waking it for each would cost a switch of
    // threads per array.
    void start_reaper() {
        if (reaper_started_) {
            if (reaper_waits_for_blocks_) wake_.notify_one();
            return;
        }
        try {
            std::thread([this] { reap(); }).detach();
            reaper_started_ = true;
        } catch (const std::system_error&) {
            // No thread: the cache stays bounded, it is only kept longer.
        }
    }

    void reap() {
        std::unique_lock<std::mutex> hold(lock_);
        for (;;) {
            if (cached_ == 0) {
                reaper_waits_for_blocks_ = true;
                wake_.wait(hold);
                reaper_waits_for_blocks_ = false;
                continue;
            }
            const auto due = last_use_ + kCacheIdle;
            if (std::chrono::steady_clock::now() < due) {
                wake_.wait_until(hold, due);
                continue;
            }
            // A few at a time, so that a call that starts meanwhile need not
            // wait for all of them.
            Block out[64];
            std::size_t n_out = 0;
            while (cached_ > 0 && n_out < std::size(out)) out[n_out++] = pop_oldest();
            hold.unlock();
            for (std::size_t i = 0; i < n_out; ++i) unmap(out[i].p, out[i].size);
            hold.lock();
        }
    }

    std::mutex lock_;
    std::condition_variable wake_;
    std::array<std::deque<Block>, kClasses> classes_;  // each oldest first
    std::deque<Block> large_;                          // oldest first
    std::size_t cached_ = 0;
    std::size_t limit_ = 0;
    std::uint64_t stamp_ = 0;
    bool reaper_started_ = false;
    bool reaper_waits_for_blocks_ = false;
    std::chrono::steady_clock::time_point last_use_{};
};

BlockCache& cache() {
    static BlockCache* const instance = new BlockCache();
    return *instance;
}

}  // namespace

void* allocate_bytes(std::size_t bytes, bool& zeroed) {
    if (bytes < kPooledFrom) {
        zeroed = false;
        return ::operator new(bytes);
    }
    if (bytes > SIZE_MAX - 2 * kHugePage) throw std::bad_alloc();
    if (in_classes(bytes)) {
        const SizeClass c = size_class(bytes);
        if (void* p = cache().take_class(c.index, c.size)) {
            zeroed = false;
            return p;
        }
        zeroed = true;
        return map_plain(c.size);
    }
    const std::size_t size = rounded(bytes);
    if (void* p = cache().take_large(size)) {
        zeroed = false;
        return p;
    }
    zeroed = true;
    return map_aligned(size);
}

void free_bytes(void* p, std::size_t bytes) noexcept {
    if (bytes < kPooledFrom) {
        ::operator delete(p);
        return;
    }
    const std::size_t size = block_size(bytes);
    try {
        cache().give(p, size);
    } catch (...) {
        // Keeping a block fails only for want of memory for the cache's own
        // lists; the block then goes back at once.
        unmap(p, size);
    }
}

}  // namespace toolbox::matrix::detail
