#pragma once
// The process-wide worker pool. Every parallel step runs its items here and gets its results
// back in input order, the same for any pool size.
//
// The pool's worker threads are started once, on first use (`num_threads`). The calling thread
// takes part in the work, so a pool of n threads is the caller and n - 1 workers. A worker that
// cannot be started (no memory for its stack, say) is left out: the pool then runs with the
// threads it has, down to the calling thread alone. Items may keep per-thread scratch
// (`per_thread`): the pool's threads live as long as the process. Items must not touch Python
// objects. A call made while the pool is busy (from inside an item, or from another thread) runs
// its items on its own thread, in order.
//
// A C++ exception thrown by an item (a `Panic`, say) stops the call: no item after it in input
// order starts, the items before it still run, the items already running finish, and then the
// exception of the lowest input index is rethrown on the calling thread. So the exception raised
// is the one a sequential run meets first, for any pool size. A `StopToken` stops a call from
// outside: no further item starts, and the call then throws `Stopped`.
//
// The workers are the pool's own POSIX threads (detached, 4 MiB stacks, every signal blocked, so
// signals go to the program's threads); a worker that cannot allocate a small reserve as it
// starts is left out too. A call cuts its items into blocks of consecutive indices (up to 16 per
// thread) and hands them out in order to whichever thread asks next; the calling thread takes the
// first block itself, so that it runs at least one item, and its stop token's poll with it, however
// fast the workers are. Idle workers watch for the next call for 20 us, then sleep until one is
// posted.

#include <algorithm>
#include <atomic>
#include <cstddef>
#include <exception>
#include <functional>
#include <iterator>
#include <memory>
#include <mutex>
#include <optional>
#include <ranges>
#include <stdexcept>
#include <thread>
#include <type_traits>
#include <utility>
#include <vector>

#include "morvane/core/panic.h"

namespace morvane::pool {

/// The largest pool; larger requests are cut to it.
inline constexpr size_t kMaxThreads = 256;

/// The pool's size, fixed on first use: `RAYON_NUM_THREADS`, else `RAYON_RS_NUM_CPUS`, else the
/// number of CPUs this process may run on; less when not all of its workers could be started.
size_t num_threads();

/// The number of CPUs this process may run on (its affinity mask), at least 1.
size_t available_cpus();

/// The sizing rule for the given variable values (null when unset) and CPU count: the first value
/// that is a positive decimal integer (an optional "+" sign, digits only), at most `kMaxThreads`;
/// else `cpus` (at least 1).
size_t size_from(const char* rayon_num_threads, const char* rayon_rs_num_cpus, size_t cpus);

/// The exception of a call ended by its `StopToken` before all its items ran.
class Stopped : public std::runtime_error {
 public:
  Stopped() : std::runtime_error("parallel work was stopped") {}
};

/// A cooperative stop for parallel calls. Any thread may `request_stop`; the threads of a call
/// look at the request before each item. The optional poll runs on the calling thread only,
/// before each item it takes, for checks that must run there (pending signals, say): returning
/// true requests the stop, and an exception it throws ends the call like an item's exception. It
/// runs often, so it must be cheap. A token may serve several calls; a request stays until the
/// token is dropped.
class StopToken {
 public:
  StopToken() = default;
  explicit StopToken(std::function<bool()> poll) : poll_(std::move(poll)) {}
  StopToken(const StopToken&) = delete;
  StopToken& operator=(const StopToken&) = delete;

  void request_stop() noexcept { requested_.store(true, std::memory_order_relaxed); }
  bool stop_requested() const noexcept { return requested_.load(std::memory_order_relaxed); }
  /// Runs the poll unless a stop is already requested; true when a stop is requested now.
  bool poll() {
    if (!stop_requested() && poll_ && poll_()) request_stop();
    return stop_requested();
  }

 private:
  std::atomic<bool> requested_{false};
  std::function<bool()> poll_;
};

namespace detail {

/// Runs block(context, b) for every b < nblocks, each block on one thread, on the pool's threads
/// and the calling thread; returns when every block has ended. `block` must not throw.
void run_blocks(size_t nblocks, void (*block)(void*, size_t), void* context);

/// The state one call shares between its threads: whether items may still start, and the
/// exception to rethrow.
class CallState {
 public:
  explicit CallState(StopToken* stop) : stop_(stop), caller_(std::this_thread::get_id()) {}

  bool on_calling_thread() const { return std::this_thread::get_id() == caller_; }

  /// Whether item `index` may start, asked on the calling thread or not: not after a stop, nor
  /// after an item before it failed.
  bool may_start(bool on_caller, size_t index) {
    if (halted_.load(std::memory_order_relaxed)) return false;
    if (index > first_failure_.load(std::memory_order_relaxed)) return false;
    if (stop_ == nullptr) return true;
    bool stop = false;
    try {
      stop = on_caller ? stop_->poll() : stop_->stop_requested();
    } catch (...) {
      fail(kNoIndex, std::current_exception());
      return false;
    }
    if (stop) {
      stopped_.store(true, std::memory_order_relaxed);
      halted_.store(true, std::memory_order_relaxed);
    }
    return !stop;
  }

  void fail(size_t index, std::exception_ptr e) {
    std::lock_guard lock(mutex_);
    if (!error_ || index < error_index_) {
      error_ = std::move(e);
      error_index_ = index;
    }
    // Items before a failed one still run: one of them may fail too, and its exception comes first.
    if (index == kNoIndex)
      halted_.store(true, std::memory_order_relaxed);
    else if (index < first_failure_.load(std::memory_order_relaxed))
      first_failure_.store(index, std::memory_order_relaxed);
  }

  /// After the call's work: rethrows the failure, or `Stopped` when items were left out.
  void finish() {
    if (error_) std::rethrow_exception(error_);
    if (stopped_.load(std::memory_order_relaxed)) throw Stopped();
  }

 private:
  static constexpr size_t kNoIndex = SIZE_MAX;  // the poll's own exception
  StopToken* stop_;
  std::thread::id caller_;
  std::atomic<bool> halted_{false};
  std::atomic<bool> stopped_{false};
  std::atomic<size_t> first_failure_{kNoIndex};  // the lowest index of a failed item
  std::mutex mutex_;
  std::exception_ptr error_;
  size_t error_index_ = kNoIndex;
};

/// Blocks per call: enough for the threads to even out items of unequal cost.
inline size_t block_count(size_t n) { return std::min(n, 16 * num_threads()); }

/// Runs `body(block, i)` for every i < n on the pool. The items are cut into `nblocks` runs of
/// consecutive indices; block b runs its items in order on one thread. Rethrows on the caller.
template <typename Body>
void run(size_t n, size_t nblocks, StopToken* stop, Body&& body) {
  CallState state(stop);
  if (n > 0) {
    auto one_block = [&](size_t b) {
      bool on_caller = stop != nullptr && state.on_calling_thread();
      size_t end = n * (b + 1) / nblocks;
      for (size_t i = n * b / nblocks; i != end; ++i) {
        if (!state.may_start(on_caller, i)) return;
        try {
          body(b, i);
        } catch (...) {
          state.fail(i, std::current_exception());
          return;
        }
      }
    };
    using Block = decltype(one_block);
    run_blocks(
        nblocks, [](void* c, size_t b) { (*static_cast<Block*>(c))(b); }, &one_block);
  }
  state.finish();
}

template <typename R>
struct Flattened;
template <typename T>
struct Flattened<std::optional<T>> {
  using type = T;
};
template <std::ranges::input_range R>
struct Flattened<R> {
  using type = std::ranges::range_value_t<R>;
};

template <typename T, typename R>
void append(std::vector<T>& out, R&& produced) {
  if constexpr (requires { produced.has_value(); }) {
    if (produced) out.push_back(std::move(*produced));
  } else {
    for (auto&& x : produced) {
      if constexpr (std::is_lvalue_reference_v<R>)
        out.push_back(x);
      else
        out.push_back(std::move(x));  // the range is ours: take its elements
    }
  }
}

}  // namespace detail

/// [f(0), f(1), ..., f(n - 1)], computed on the pool. The result type must be default
/// constructible and not bool (use char).
template <typename F>
auto map_index(size_t n, F&& f, StopToken* stop = nullptr) {
  using R = std::decay_t<std::invoke_result_t<F&, size_t>>;
  static_assert(std::is_default_constructible_v<R> && !std::is_same_v<R, bool>);
  std::vector<R> out(n);
  detail::run(n, detail::block_count(n), stop, [&](size_t, size_t i) { out[i] = f(i); });
  return out;
}

/// map_index(n, f, stop), while the calling thread first runs `beside()`, before it takes any of
/// f's items: work that must stay on the calling thread (it may check for signals, say) done beside
/// a parallel step. A parallel step that `beside` calls runs on its own thread (the pool is busy).
/// An exception of `beside` ends the call as one of an item before all of f's would.
template <typename F, typename G>
auto map_index_beside(size_t n, F&& f, G&& beside, StopToken* stop = nullptr) {
  using R = std::decay_t<std::invoke_result_t<F&, size_t>>;
  static_assert(std::is_default_constructible_v<R> && !std::is_same_v<R, bool>);
  std::vector<R> out(n);
  // Item 0 is `beside`: the calling thread takes the first block, and runs its items in order.
  detail::run(n + 1, detail::block_count(n + 1), stop, [&](size_t, size_t i) {
    if (i == 0)
      beside();
    else
      out[i - 1] = f(i - 1);
  });
  return out;
}

/// [f(x) for x in inputs], computed on the pool, in input order.
template <std::ranges::random_access_range In, typename F>
auto map(In&& inputs, F&& f, StopToken* stop = nullptr) {
  auto first = std::ranges::begin(inputs);
  return map_index(
      std::ranges::size(inputs), [&](size_t i) { return f(first[i]); }, stop);
}

/// f(0), ..., f(n - 1) flattened in order: each f(i) gives a `std::optional<T>` (none or one
/// result) or a range of `T` (any number, moved out).
template <typename F>
auto flat_map_index(size_t n, F&& f, StopToken* stop = nullptr) {
  using T = typename detail::Flattened<std::decay_t<std::invoke_result_t<F&, size_t>>>::type;
  size_t nblocks = detail::block_count(n);
  std::vector<std::vector<T>> parts(nblocks);
  detail::run(n, nblocks, stop, [&](size_t b, size_t i) { detail::append(parts[b], f(i)); });
  if (nblocks == 1) return std::move(parts[0]);
  size_t total = 0;
  for (const auto& p : parts) total += p.size();
  std::vector<T> out;
  out.reserve(total);
  for (auto& p : parts) std::move(p.begin(), p.end(), std::back_inserter(out));
  return out;
}

/// f(x) for x in inputs flattened in input order, as `flat_map_index`.
template <std::ranges::random_access_range In, typename F>
auto flat_map(In&& inputs, F&& f, StopToken* stop = nullptr) {
  auto first = std::ranges::begin(inputs);
  return flat_map_index(
      std::ranges::size(inputs), [&](size_t i) { return f(first[i]); }, stop);
}

/// Runs f on the items of any input range, `chunk` items at a time: the items of a chunk run on
/// the pool, and the next chunk is taken from the range when every item of this one is done, so
/// at most `chunk` items are held at once. Returns the results in input order, or nothing when f
/// returns void. After a failure or a stop no further chunk is taken.
template <std::ranges::input_range In, typename F>
auto map_chunked(In&& inputs, size_t chunk, F&& f, StopToken* stop = nullptr) {
  using Ref = std::ranges::range_reference_t<In>;
  using R = std::decay_t<std::invoke_result_t<F&, Ref>>;
  if (chunk == 0) panic("the chunk size of a parallel step must be positive");
  // Items held for a chunk: their addresses when the range yields references, else their values.
  constexpr bool kByAddress = std::is_reference_v<Ref>;
  using Held =
      std::conditional_t<kByAddress, std::add_pointer_t<std::remove_reference_t<Ref>>, std::ranges::range_value_t<In>>;
  std::vector<Held> held;
  std::conditional_t<std::is_void_v<R>, char, std::vector<R>> out{};
  auto it = std::ranges::begin(inputs);
  auto last = std::ranges::end(inputs);
  while (it != last) {
    held.clear();
    for (; it != last && held.size() < chunk; ++it) {
      if constexpr (kByAddress)
        held.push_back(std::addressof(*it));
      else
        held.push_back(*it);
    }
    auto item = [&](size_t i) -> decltype(auto) {
      if constexpr (kByAddress)
        return f(*held[i]);
      else
        return f(held[i]);
    };
    if constexpr (std::is_void_v<R>) {
      detail::run(held.size(), detail::block_count(held.size()), stop, [&](size_t, size_t i) { item(i); });
    } else {
      auto results = map_index(held.size(), item, stop);
      out.insert(out.end(), std::make_move_iterator(results.begin()), std::make_move_iterator(results.end()));
    }
  }
  if constexpr (!std::is_void_v<R>) return out;
}

}  // namespace morvane::pool
