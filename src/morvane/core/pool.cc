#include "morvane/core/pool.h"

#include <pthread.h>
#include <sched.h>
#include <signal.h>

#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <string_view>
#include <thread>

#include <absl/container/flat_hash_set.h>

#if defined(__x86_64__)
#include <immintrin.h>
#endif

namespace morvane::pool {

namespace {

/// A positive decimal integer ("+" allowed before the digits, nothing else), cut to kMaxThreads;
/// 0 for anything else.
size_t positive_count(const char* text) {
  if (text == nullptr) return 0;
  std::string_view s(text);
  if (!s.empty() && s.front() == '+') s.remove_prefix(1);
  if (s.empty()) return 0;
  size_t n = 0;
  for (char c : s) {
    if (c < '0' || c > '9') return 0;
    n = std::min(n * 10 + size_t(c - '0'), kMaxThreads + 1);  // saturates instead of overflowing
  }
  return std::min(n, kMaxThreads);
}

/// Stack of each worker thread.
constexpr size_t kWorkerStack = size_t(4) << 20;
/// Memory a starting worker must be able to allocate before it joins: what it then allocates on
/// its first items (its per-thread objects, the runtime's thread-local blocks) comes from there.
constexpr size_t kWorkerReserve = size_t(64) << 10;
/// Memory held back while the workers start, for the threads that run after them.
constexpr size_t kStartHeadroom = size_t(8) << 20;
/// How long an idle worker watches for the next call before it sleeps: long enough for the next
/// step of a loop of calls, short enough not to take the processor from the calling thread's own
/// work between them (a 2 ms watch made the prover's build twice as slow on a busy machine).
constexpr auto kSpin = std::chrono::microseconds(20);

void cpu_relax() {
#if defined(__x86_64__)
  _mm_pause();
#endif
}

/// Makes the C++ runtime's per-thread block (that of exceptions) now, while memory is there: the
/// runtime's library is loaded at run time, so the C library makes the block on first use, and
/// ends the process when it cannot. The call is pure, so its result is kept to make it happen.
void touch_exception_block() {
  static std::atomic<int> uncaught{0};
  uncaught.store(std::uncaught_exceptions(), std::memory_order_relaxed);
}

/// The same for the hash tables' library, whose inserts into a table past its smallest size read
/// a per-thread counter: a worker makes that block as it starts, with its reserve just freed.
void touch_hash_table_block() {
  absl::flat_hash_set<size_t> table;
  for (size_t k = 0; k < 64; ++k) table.insert(k);
  static std::atomic<size_t> size{0};
  size.store(table.size(), std::memory_order_relaxed);
}

/// One call's blocks, handed out in index order to whichever thread asks next.
struct Job {
  void (*block)(void*, size_t);
  void* context;
  size_t nblocks;
  std::atomic<size_t> next{0};

  void work() {
    for (size_t b; (b = next.fetch_add(1, std::memory_order_relaxed)) < nblocks;) block(context, b);
  }
};

/// The worker threads and the one call they serve at a time.
class Pool {
 public:
  explicit Pool(size_t wanted) {
    // The starting thread's own blocks first; then the workers start with some memory held back,
    // so that however many the address space allows, the threads running afterwards (this one
    // included) still find room for their next steps. Without that room no worker starts.
    touch_exception_block();
    touch_hash_table_block();
    if (void* headroom = std::malloc(kStartHeadroom)) {
      for (size_t k = 1; k < wanted; ++k)
        if (!start_worker()) break;
      std::free(headroom);
    }
    size_ = 1 + started_;
  }

  size_t size() const { return size_; }

  void run(Job& job) {
    touch_exception_block();  // the calling thread's, before its items need memory
    // A call made while another runs (from one of its items, or from another thread) runs alone.
    bool idle = false;
    if (started_ == 0 || job.nblocks < 2 || !running_.compare_exchange_strong(idle, true, std::memory_order_acquire)) {
      job.work();
      return;
    }
    // The calling thread takes the first block itself, so that it runs at least one (and its stop
    // poll with it) however fast the workers are.
    const size_t first = job.next.fetch_add(1, std::memory_order_relaxed);
    job_.store(&job);
    posted_.fetch_add(1);
    if (sleeping_.load() > 0) posted_.notify_all();
    job.block(job.context, first);
    job.work();
    // Workers count themselves in `busy_` before they look for the job, so once it is withdrawn
    // and none is counted, none can reach it any more.
    job_.store(nullptr);
    for (unsigned k = 0; busy_.load() != 0; ++k) {
      if (k < 1024)
        cpu_relax();
      else
        sched_yield();
    }
    running_.store(false, std::memory_order_release);
  }

 private:
  enum class Start { Pending, Ready, Failed };

  /// Starts one worker and waits until it is ready or has given up; false when it is not running.
  bool start_worker() {
    pthread_attr_t attr;
    if (pthread_attr_init(&attr) != 0) return false;
    pthread_attr_setstacksize(&attr, kWorkerStack);
    pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
    // Workers take no signals: those go to the threads of the program.
    sigset_t all, old;
    sigfillset(&all);
    pthread_sigmask(SIG_SETMASK, &all, &old);
    {
      std::lock_guard lock(m_);
      start_ = Start::Pending;
    }
    pthread_t thread;
    const bool created = pthread_create(&thread, &attr, &Pool::main, this) == 0;
    pthread_sigmask(SIG_SETMASK, &old, nullptr);
    pthread_attr_destroy(&attr);
    if (!created) return false;
    std::unique_lock lock(m_);
    started_cv_.wait(lock, [&] { return start_ != Start::Pending; });
    if (start_ == Start::Failed) return false;
    ++started_;
    return true;
  }

  static void* main(void* self) {
    static_cast<Pool*>(self)->serve();
    return nullptr;
  }

  void serve() {
    // What the worker allocates on its own comes after this test, so that a worker that would run
    // out of memory there ends here instead, before it is counted. The libraries' per-thread
    // blocks are made right after the reserve is freed, from its memory.
    bool ready = false;
    if (void* reserve = std::malloc(kWorkerReserve)) {
      std::free(reserve);
      try {
        touch_exception_block();
        touch_hash_table_block();
        ready = true;
      } catch (const std::bad_alloc&) {
      }
    }
    {
      std::lock_guard lock(m_);
      start_ = ready ? Start::Ready : Start::Failed;
    }
    started_cv_.notify_all();
    if (!ready) return;
    uint32_t seen = posted_.load();
    for (;;) {
      const auto until = std::chrono::steady_clock::now() + kSpin;
      while (posted_.load(std::memory_order_relaxed) == seen && std::chrono::steady_clock::now() < until)
        for (int k = 0; k < 16; ++k) cpu_relax();
      if (posted_.load() == seen) {
        sleeping_.fetch_add(1);
        posted_.wait(seen);
        sleeping_.fetch_sub(1);
      }
      seen = posted_.load();
      busy_.fetch_add(1);
      if (Job* job = job_.load()) job->work();
      busy_.fetch_sub(1);
    }
  }

  size_t size_ = 1;
  size_t started_ = 0;
  std::atomic<bool> running_{false};  // a call is being served
  std::mutex m_;                      // guards start_
  std::condition_variable started_cv_;
  Start start_ = Start::Pending;     // of the worker being started
  std::atomic<Job*> job_{nullptr};   // the call being served
  std::atomic<uint32_t> posted_{0};  // calls posted so far
  std::atomic<int> busy_{0};         // workers that may be inside job_
  std::atomic<int> sleeping_{0};     // workers waiting for the next post
};

Pool& the_pool() {
  // Never destroyed: worker threads may still run while the process exits.
  static Pool* pool =
      new Pool(size_from(std::getenv("RAYON_NUM_THREADS"), std::getenv("RAYON_RS_NUM_CPUS"), available_cpus()));
  return *pool;
}

}  // namespace

size_t size_from(const char* rayon_num_threads, const char* rayon_rs_num_cpus, size_t cpus) {
  if (size_t n = positive_count(rayon_num_threads)) return n;
  if (size_t n = positive_count(rayon_rs_num_cpus)) return n;
  return std::clamp<size_t>(cpus, 1, kMaxThreads);
}

size_t available_cpus() {
  cpu_set_t set;
  if (sched_getaffinity(0, sizeof(set), &set) == 0) {
    int n = CPU_COUNT(&set);
    if (n > 0) return size_t(n);
  }
  return std::max(1u, std::thread::hardware_concurrency());
}

size_t num_threads() { return the_pool().size(); }

namespace detail {
void run_blocks(size_t nblocks, void (*block)(void*, size_t), void* context) {
  Job job{block, context, nblocks};
  the_pool().run(job);
}
}  // namespace detail

}  // namespace morvane::pool
