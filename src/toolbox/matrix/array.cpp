#include "toolbox/matrix/array.hpp"

#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <thread>
#include <vector>

namespace toolbox::matrix::detail {
namespace {

// Below this a buffer is an ordinary heap block.
constexpr std::size_t kLarge = 2 * kHugePage;

// Freed large blocks are kept for the next arrays of their size: a page the
// process has just freed is cheap to reuse, while one handed back to the
// system must be faulted in and cleared again (and, on a virtual machine that
// returns freed memory to its host, found again there), which costs more than
// the arithmetic of a large prediction. The cache holds at most this much...
constexpr std::size_t kCacheBytesMax = std::size_t{512} << 20;
// ...and never more than this share of the machine's memory...
constexpr std::size_t kCacheMemoryShare = 8;
// ...and gives everything back once no array has come from it or gone into it
// for this long, so a host that has stopped calling does not keep it.
constexpr auto kCacheIdle = std::chrono::seconds(10);

std::size_t rounded(std::size_t bytes) noexcept { return (bytes + kHugePage - 1) / kHugePage * kHugePage; }

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

struct Block {
    void* p;
    std::size_t size;
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
        // Every cached block is at least kLarge bytes.
        max_blocks_ = limit_ / kLarge + 1;
        blocks_.reserve(max_blocks_);
    }

    // A cached block of exactly `size` bytes, or the smallest one up to twice
    // as large, cut down to `size`; null when none fits.
    void* take(std::size_t size) {
        std::lock_guard<std::mutex> hold(lock_);
        std::size_t best = blocks_.size();
        for (std::size_t b = 0; b < blocks_.size(); ++b) {
            if (blocks_[b].size < size || blocks_[b].size / 2 > size) continue;
            if (best == blocks_.size() || blocks_[b].size < blocks_[best].size) best = b;
            if (blocks_[b].size == size) break;
        }
        if (best == blocks_.size()) return nullptr;
        const Block found = blocks_[best];
        blocks_.erase(blocks_.begin() + static_cast<std::ptrdiff_t>(best));
        cached_ -= found.size;
        if (found.size > size) munmap(static_cast<char*>(found.p) + size, found.size - size);
        touch();
        return found.p;
    }

    // Keeps the block for reuse, or gives it back when the cache is full
    // (the oldest blocks make room first).
    void give(void* p, std::size_t size) {
        std::vector<Block> release;
        release.reserve(max_blocks_ + 1);
        {
            std::lock_guard<std::mutex> hold(lock_);
            if (size > limit_) {
                release.push_back({p, size});
            } else {
                while (cached_ + size > limit_) {
                    release.push_back(blocks_.front());
                    cached_ -= blocks_.front().size;
                    blocks_.erase(blocks_.begin());
                }
                blocks_.push_back({p, size});
                cached_ += size;
                touch();
                start_reaper();
            }
        }
        for (const Block& b : release) munmap(b.p, b.size);
    }

private:
    void touch() { last_use_ = std::chrono::steady_clock::now(); }

    // One thread, started with the first cached block, that empties the cache
    // once it has been idle for kCacheIdle. It and the cache live until the
    // process ends (never destroyed, so no exit-time order matters).
    void start_reaper() {
        if (reaper_started_) {
            wake_.notify_one();
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
            if (blocks_.empty()) {
                wake_.wait(hold);
                continue;
            }
            const auto due = last_use_ + kCacheIdle;
            if (std::chrono::steady_clock::now() < due) {
                wake_.wait_until(hold, due);
                continue;
            }
            std::vector<Block> release;
            release.swap(blocks_);
            cached_ = 0;
            hold.unlock();
            for (const Block& b : release) munmap(b.p, b.size);
            hold.lock();
        }
    }

    std::mutex lock_;
    std::condition_variable wake_;
    std::vector<Block> blocks_;  // oldest first
    std::size_t cached_ = 0;
    std::size_t limit_ = 0;
    std::size_t max_blocks_ = 0;
    bool reaper_started_ = false;
    std::chrono::steady_clock::time_point last_use_{};
};

BlockCache& cache() {
    static BlockCache* const instance = new BlockCache();
    return *instance;
}

}  // namespace

void* allocate_bytes(std::size_t bytes, bool& zeroed) {
    if (bytes < kLarge) {
        zeroed = false;
        return ::operator new(bytes);
    }
    if (bytes > SIZE_MAX - 2 * kHugePage) throw std::bad_alloc();
    const std::size_t size = rounded(bytes);
    if (void* p = cache().take(size)) {
        zeroed = false;
        return p;
    }
    zeroed = true;
    return map_aligned(size);
}

void free_bytes(void* p, std::size_t bytes) noexcept {
    if (bytes < kLarge) {
        ::operator delete(p);
        return;
    }
    try {
        cache().give(p, rounded(bytes));
    } catch (...) {
        munmap(p, rounded(bytes));
    }
}

}  // namespace toolbox::matrix::detail
