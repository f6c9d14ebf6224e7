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
// Blocks come in four size classes per power of two (each a whole number of
// pages, at most a quarter larger than asked for), so that a freed block
// serves every later array of its class, and no block is ever cut down to a
// smaller array and then missing for the next large one. From a few
// megabytes on a class is mapped on huge-page boundaries and rounded to whole
// huge pages. The pages of a block past its array are never touched, so they
// take address space only.
constexpr unsigned kFirstClassBits = 14;  // 16 KiB
constexpr std::size_t kClassesPerOctave = 4;
constexpr std::size_t kClasses = (64 - kFirstClassBits) * kClassesPerOctave;
constexpr std::size_t kMappedAlignedFrom = 2 * kHugePage;
// No array comes near this; its class would not fit the address space.
constexpr std::size_t kLargestBlock = SIZE_MAX >> 2;

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

// The class of a block of `bytes` (kPooledFrom <= bytes <= kLargestBlock)
// and its size.
struct SizeClass {
    std::size_t index;
    std::size_t size;
};

SizeClass size_class(std::size_t bytes) noexcept {
    const unsigned octave = static_cast<unsigned>(std::bit_width(bytes) - 1);
    const std::size_t step = (std::size_t{1} << octave) / kClassesPerOctave;
    std::size_t size = (bytes + step - 1) / step * step;
    // A size rounded up to the next power of two is the first class of the
    // next octave.
    const unsigned size_octave = static_cast<unsigned>(std::bit_width(size) - 1);
    const std::size_t in_octave = size / ((std::size_t{1} << size_octave) / kClassesPerOctave) - kClassesPerOctave;
    if (size >= kMappedAlignedFrom) size = rounded(size);
    return {(size_octave - kFirstClassBits) * kClassesPerOctave + in_octave, size};
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
    std::size_t bytes;    // of the array it held last
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

    // A kept block of class `index` (blocks of `size` bytes) for an array of
    // `bytes`; null when none.
    void* take_class(std::size_t index, std::size_t size, std::size_t bytes) {
        std::lock_guard<std::mutex> hold(lock_);
        std::deque<Block>& kept = classes_[index];
        if (kept.empty()) return nullptr;
        // The most recently kept block that last held an array of this
        // size, whose pages are all in place already (a block that held a
        // smaller array has pages never touched), else the most recently
        // kept one: its pages are the likeliest still in the caches.
        auto it = kept.end() - 1;
        for (auto b = kept.end(); b != kept.begin();) {
            --b;
            if (b->bytes == bytes) {
                it = b;
                break;
            }
        }
        const Block found = *it;
        kept.erase(it);
        cached_ -= found.size;
        touch();
        unpoison(found.p, size);
        return found.p;
    }

    // Keeps the block of class `index` for reuse, or gives it back when it is
    // larger than the cache may hold; the oldest blocks make room.
    void give(void* p, std::size_t index, std::size_t size, std::size_t bytes) {
        if (size > limit_) {
            munmap(p, size);
            return;
        }
        poison(p, size);
        {
            std::lock_guard<std::mutex> hold(lock_);
            classes_[index].push_back(Block{p, size, bytes, ++stamp_});
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
        std::deque<Block>* from = nullptr;
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
    if (bytes > kLargestBlock) throw std::bad_alloc();
    const SizeClass c = size_class(bytes);
    if (void* p = cache().take_class(c.index, c.size, bytes)) {
        zeroed = false;
        return p;
    }
    zeroed = true;
    return c.size >= kMappedAlignedFrom ? map_aligned(c.size) : map_plain(c.size);
}

void free_bytes(void* p, std::size_t bytes) noexcept {
    if (bytes < kPooledFrom) {
        ::operator delete(p);
        return;
    }
    const SizeClass c = size_class(bytes);
    try {
        cache().give(p, c.index, c.size, bytes);
    } catch (...) {
        // Keeping a block fails only for want of memory for the cache's own
        // lists; the block then goes back at once.
        unmap(p, c.size);
    }
}

}  // namespace toolbox::matrix::detail
