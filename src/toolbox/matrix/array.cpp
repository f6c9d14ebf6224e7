#include "toolbox/matrix/array.hpp"

#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <bit>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

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
    std::uint64_t stamp;  // the time it was kept: the oldest make room first
};

// Threads that take and free arrays at once (the workers of a grid run, each
// making cells of its own) would queue for one lock on every array, and a
// grid run on four workers spent a fifth of its time so. The cache is cut
// into shards, each with a lock of its own; a thread keeps its blocks in a
// shard of its own and looks there first, then in the others, so a block
// freed on one thread still serves an array on another.
constexpr std::size_t kShards = 16;

struct alignas(64) Shard {
    std::mutex lock;
    std::atomic<std::size_t> held{0};                  // bytes of its blocks
    std::array<std::vector<Block>, kClasses> classes;  // each oldest first
};

// The shard of the calling thread: threads take them in turn as they first
// come, so the pool's workers have one each.
std::size_t own_shard() noexcept {
    static std::atomic<std::size_t> next{0};
    thread_local const std::size_t own = next.fetch_add(1, std::memory_order_relaxed) % kShards;
    return own;
}

// Of the blocks of one class, the most recently kept one that last held an
// array of `bytes`, whose pages are all in place already (a block that held
// a smaller array has pages never touched), else the most recently kept one:
// its pages are the likeliest still in the caches. Taken out of the list.
std::optional<Block> take_from(std::vector<Block>& kept, std::size_t bytes) {
    if (kept.empty()) return std::nullopt;
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
    return found;
}

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
        const std::size_t own = own_shard();
        for (std::size_t s = 0; s < kShards; ++s) {
            Shard& shard = shards_[(own + s) % kShards];
            std::optional<Block> found;
            {
                std::lock_guard<std::mutex> hold(shard.lock);
                found = take_from(shard.classes[index], bytes);
            }
            if (!found) continue;
            shard.held.fetch_sub(found->size);
            touch(std::chrono::steady_clock::now().time_since_epoch().count());
            unpoison(found->p, size);
            return found->p;
        }
        return nullptr;
    }

    // Keeps the block of class `index` for reuse, or gives it back when it is
    // larger than the cache may hold; the oldest blocks make room.
    void give(void* p, std::size_t index, std::size_t size, std::size_t bytes) {
        if (size > limit_) {
            munmap(p, size);
            return;
        }
        poison(p, size);
        const auto now = std::chrono::steady_clock::now().time_since_epoch().count();
        Shard& shard = shards_[own_shard()];
        {
            std::lock_guard<std::mutex> hold(shard.lock);
            shard.classes[index].push_back(Block{p, size, bytes, static_cast<std::uint64_t>(now)});
        }
        shard.held.fetch_add(size);
        touch(now);
        start_or_wake_reaper();
        Block out;
        while (cached() > limit_ && pop_oldest(out)) unmap(out.p, out.size);
    }

private:
    // Every thread's takes and frees would contend for one cache line if
    // each wrote the time: it is written once it is a millisecond old, so
    // the idle time is never overstated by more than that.
    void touch(std::chrono::steady_clock::rep now) noexcept {
        constexpr auto kMs = std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                                 std::chrono::milliseconds(1)).count();
        if (now - last_use_.load(std::memory_order_relaxed) > kMs) last_use_.store(now, std::memory_order_relaxed);
    }

    std::size_t cached() const noexcept {
        std::size_t bytes = 0;
        for (const Shard& shard : shards_) bytes += shard.held.load();
        return bytes;
    }

    // The oldest kept block of all the shards, taken out of the cache; false
    // when it holds none. Only a cache over its bound, or idle, looks for it.
    bool pop_oldest(Block& out) {
        for (;;) {
            std::size_t at = kShards, at_class = 0;
            std::uint64_t oldest = UINT64_MAX;
            for (std::size_t s = 0; s < kShards; ++s) {
                std::lock_guard<std::mutex> hold(shards_[s].lock);
                for (std::size_t c = 0; c < kClasses; ++c) {
                    const std::vector<Block>& kept = shards_[s].classes[c];
                    if (!kept.empty() && kept.front().stamp < oldest) {
                        oldest = kept.front().stamp;
                        at = s;
                        at_class = c;
                    }
                }
            }
            if (at == kShards) return false;
            std::lock_guard<std::mutex> hold(shards_[at].lock);
            std::vector<Block>& kept = shards_[at].classes[at_class];
            // Another thread may have taken it meanwhile: then look again.
            if (kept.empty() || kept.front().stamp != oldest) continue;
            out = kept.front();
            kept.erase(kept.begin());
            shards_[at].held.fetch_sub(out.size);
            return true;
        }
    }

    // One thread, started with the first cached block, that empties the cache
    // once it has been idle for kCacheIdle. It and the cache live until the
    // process ends (never destroyed, so no exit-time order matters). It
    // sleeps until the cache has been idle long enough, and while the cache
    // is empty until it gets a block; only that sleep needs waking: a call
    // frees many blocks, and waking it for each would cost a switch of
    // threads per array.
    void start_or_wake_reaper() {
        if (reaper_started_.load(std::memory_order_acquire)) {
            // Read after the block was counted, as the reaper reads the count
            // after saying it waits: one of the two sees the other.
            if (reaper_waits_.load()) {
                std::lock_guard<std::mutex> hold(reaper_lock_);
                wake_.notify_one();
            }
            return;
        }
        std::lock_guard<std::mutex> hold(reaper_lock_);
        if (reaper_started_.load(std::memory_order_relaxed)) return;
        try {
            std::thread([this] { reap(); }).detach();
            reaper_started_.store(true, std::memory_order_release);
        } catch (const std::system_error&) {
            // No thread: the cache stays bounded, it is only kept longer.
        }
    }

    void reap() {
        std::unique_lock<std::mutex> hold(reaper_lock_);
        for (;;) {
            if (cached() == 0) {
                reaper_waits_.store(true);
                while (cached() == 0) wake_.wait(hold);
                reaper_waits_.store(false);
                continue;
            }
            using Clock = std::chrono::steady_clock;
            const auto due = Clock::time_point(Clock::duration(last_use_.load())) + kCacheIdle;
            if (Clock::now() < due) {
                wake_.wait_until(hold, due);
                continue;
            }
            // A few at a time, so that a call that starts meanwhile need not
            // wait for all of them.
            hold.unlock();
            Block out;
            for (int i = 0; i < 64 && pop_oldest(out); ++i) unmap(out.p, out.size);
            hold.lock();
        }
    }

    std::array<Shard, kShards> shards_;
    std::atomic<std::chrono::steady_clock::rep> last_use_{0};
    std::size_t limit_ = 0;
    std::mutex reaper_lock_;
    std::condition_variable wake_;
    std::atomic<bool> reaper_started_{false};
    std::atomic<bool> reaper_waits_{false};
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
