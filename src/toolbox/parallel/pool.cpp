#include "toolbox/parallel/pool.hpp"

#include <sched.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <exception>
#include <memory>
#include <mutex>
#include <system_error>
#include <thread>
#include <vector>

namespace toolbox::parallel {

namespace {

// One offered half of a join; lives in the joining thread's frame until the
// half has run, wherever it ran.
struct Task {
    void (*call)(void*) = nullptr;
    void* context = nullptr;
    std::exception_ptr error;
    std::atomic<bool> done{false};
};

struct Queue {
    std::mutex lock;
    std::deque<Task*> tasks;
};

struct Pool {
    // One queue per worker: the owner pushes and pops at the back (its newest,
    // smallest piece of work), thieves take from the front (the oldest,
    // largest piece). Threads outside the pool offer work through `outside`.
    std::vector<std::unique_ptr<Queue>> local;
    Queue outside;
    std::size_t started = 0;

    // Sleeping without missed wake-ups: a thread reads `epoch`, looks for
    // work, and sleeps only while `epoch` is unchanged. Every offered task and
    // every finished stolen task advances it.
    std::atomic<std::uint64_t> epoch{0};
    std::atomic<int> sleepers{0};
    std::mutex sleep_lock;
    std::condition_variable wake;
};

// Index of the calling thread's queue in the pool, or -1 outside the pool.
thread_local int current_worker = -1;

void signal(Pool& pool) {
    pool.epoch.fetch_add(1);
    if (pool.sleepers.load() > 0) {
        // Taking the lock orders this notification after a sleeper's check of
        // the epoch, so it cannot fall between that check and its wait.
        { std::lock_guard<std::mutex> hold(pool.sleep_lock); }
        pool.wake.notify_all();
    }
}

// How long a thread that has run out of work keeps looking before it
// sleeps. Waking a sleeping thread takes tens of microseconds (on a virtual
// machine, often more), and a parallel step of a call is followed by the
// next one about that soon: a pool whose workers fell asleep after every step
// would spend its time waking them, and a step split in halves would wake
// them one level at a time.
constexpr auto kSpinBeforeSleep = std::chrono::microseconds(100);

// Spins until `epoch` moves past `seen` or `until()` holds (true), or the
// spin time runs out (false).
template <class Until>
bool spin_while_unchanged(Pool& pool, std::uint64_t seen, Until until) {
    const auto deadline = std::chrono::steady_clock::now() + kSpinBeforeSleep;
    for (;;) {
        for (int i = 0; i < 64; ++i) {
            if (pool.epoch.load(std::memory_order_relaxed) != seen || until()) return true;
#if defined(__x86_64__) || defined(__i386__)
            __builtin_ia32_pause();
#endif
        }
        if (std::chrono::steady_clock::now() >= deadline) return false;
    }
}

template <class Until>
void sleep_while_unchanged(Pool& pool, std::uint64_t seen, Until until) {
    // With one processor, a thread that spins only keeps the one that would
    // give it work from running.
    if (pool.local.size() > 1 && spin_while_unchanged(pool, seen, until)) return;
    std::unique_lock<std::mutex> hold(pool.sleep_lock);
    pool.sleepers.fetch_add(1);
    while (pool.epoch.load() == seen && !until()) pool.wake.wait(hold);
    pool.sleepers.fetch_sub(1);
}

Task* pop_back(Queue& q) {
    std::lock_guard<std::mutex> hold(q.lock);
    if (q.tasks.empty()) return nullptr;
    Task* t = q.tasks.back();
    q.tasks.pop_back();
    return t;
}

Task* pop_front(Queue& q) {
    std::lock_guard<std::mutex> hold(q.lock);
    if (q.tasks.empty()) return nullptr;
    Task* t = q.tasks.front();
    q.tasks.pop_front();
    return t;
}

Task* find_task(Pool& pool, int self) {
    if (self >= 0) {
        if (Task* t = pop_back(*pool.local[std::size_t(self)])) return t;
    }
    if (Task* t = pop_front(pool.outside)) return t;
    const std::size_t n = pool.local.size();
    // Victims in turn, starting past the thief so thieves spread out.
    const std::size_t start = self >= 0 ? std::size_t(self) + 1 : 0;
    for (std::size_t k = 0; k < n; ++k) {
        const std::size_t victim = (start + k) % n;
        if (self >= 0 && victim == std::size_t(self)) continue;
        if (Task* t = pop_front(*pool.local[victim])) return t;
    }
    return nullptr;
}

// Runs a task taken from a queue. After `done` is set the owner may return
// and destroy the task, so nothing touches it afterwards.
void execute(Pool& pool, Task* t) {
    try {
        t->call(t->context);
    } catch (...) {
        t->error = std::current_exception();
    }
    t->done.store(true);
    signal(pool);
}

[[noreturn]] void worker_main(Pool* pool, int index) {
    current_worker = index;
    for (;;) {
        const std::uint64_t seen = pool->epoch.load();
        if (Task* t = find_task(*pool, index)) {
            execute(*pool, t);
            continue;
        }
        sleep_while_unchanged(*pool, seen, [] { return false; });
    }
}

std::size_t available_processors() {
    cpu_set_t set;
    CPU_ZERO(&set);
    if (sched_getaffinity(0, sizeof(set), &set) == 0) {
        const int count = CPU_COUNT(&set);
        if (count > 0) return std::size_t(count);
    }
    const unsigned hw = std::thread::hardware_concurrency();
    return hw > 0 ? hw : 1;
}

// The pool is never destroyed: its workers sleep until the process ends, and
// a destructor run at exit could not join threads that may still be busy.
Pool* start_pool() {
    auto* pool = new Pool;
    const std::size_t n = available_processors();
    pool->local.reserve(n);
    for (std::size_t i = 0; i < n; ++i) pool->local.push_back(std::make_unique<Queue>());
    for (std::size_t i = 0; i < n; ++i) {
        try {
            std::thread(worker_main, pool, int(i)).detach();
        } catch (const std::system_error&) {
            // Fewer workers than processors still runs every join; with none
            // every join runs on its caller.
            break;
        }
        ++pool->started;
    }
    return pool;
}

Pool& the_pool() {
    static Pool* pool = start_pool();
    return *pool;
}

// Takes `t` back from `q` when no thief has taken it yet.
bool reclaim(Queue& q, Task* t) {
    std::lock_guard<std::mutex> hold(q.lock);
    auto it = std::find(q.tasks.rbegin(), q.tasks.rend(), t);
    if (it == q.tasks.rend()) return false;
    q.tasks.erase(std::next(it).base());
    return true;
}

}  // namespace

std::size_t worker_count() { return the_pool().started; }

namespace detail {

void join_tasks(void (*a)(void*), void* a_context, void (*b)(void*), void* b_context) {
    Pool& pool = the_pool();
    const int self = current_worker;
    Queue& queue = self >= 0 ? *pool.local[std::size_t(self)] : pool.outside;

    Task second;
    second.call = b;
    second.context = b_context;
    {
        std::lock_guard<std::mutex> hold(queue.lock);
        queue.tasks.push_back(&second);
    }
    signal(pool);

    std::exception_ptr first_error;
    try {
        a(a_context);
    } catch (...) {
        first_error = std::current_exception();
    }

    if (reclaim(queue, &second)) {
        try {
            b(b_context);
        } catch (...) {
            second.error = std::current_exception();
        }
    } else {
        // A thief runs the second half; help with other work meanwhile.
        while (!second.done.load()) {
            const std::uint64_t seen = pool.epoch.load();
            if (second.done.load()) break;
            if (Task* t = find_task(pool, self)) {
                execute(pool, t);
                continue;
            }
            sleep_while_unchanged(pool, seen, [&] { return second.done.load(); });
        }
    }

    if (first_error) std::rethrow_exception(first_error);
    if (second.error) std::rethrow_exception(second.error);
}

}  // namespace detail

}  // namespace toolbox::parallel
