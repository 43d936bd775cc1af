#include "morvane/core/pool.h"

#include <gtest/gtest.h>
#include <sys/wait.h>

#include <chrono>
#include <cstdlib>
#include <list>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include <fmt/format.h>

#include "morvane/testing/testing.h"

namespace morvane {

namespace {

using namespace std::chrono_literals;

/// An item whose cost varies with its index, so that the threads finish items out of order.
uint64_t uneven_work(size_t i) {
  uint64_t x = i * 0x9E3779B97F4A7C15ull + 1;
  for (size_t k = 0; k < (i * 7919) % 2000; ++k) x = x * 6364136223846793005ull + 1442695040888963407ull;
  return x;
}

/// Waits until `cond` holds, which another thread makes true; false if that takes a minute,
/// which only guards against a hang (the other side answers within milliseconds).
template <typename Cond>
bool wait_for(Cond cond) {
  auto until = std::chrono::steady_clock::now() + 60s;
  while (!cond()) {
    if (std::chrono::steady_clock::now() > until) return false;
    std::this_thread::yield();  // the other side may need this core
  }
  return true;
}

/// A call size whose blocks hold `per_block` consecutive items each, for any pool size.
size_t items_in_blocks_of(size_t per_block) { return per_block * pool::detail::block_count(SIZE_MAX); }

void expect_child_passes(const std::string& name, const std::vector<std::string>& env) {
  testing::ChildResult r = testing::run_test_in_child("pool.DISABLED_" + name, env);
  EXPECT_TRUE(WIFEXITED(r.status) && WEXITSTATUS(r.status) == 0) << r.output;
  EXPECT_NE(r.output.find("[  PASSED  ] 1 test"), std::string::npos) << r.output;
}

/// The pool size a child was started for (MORVANE_POOL_EXPECT, "cpus" for the CPU count).
size_t expected_size() {
  const char* e = std::getenv("MORVANE_POOL_EXPECT");
  if (e == nullptr) return 0;
  return std::string_view(e) == "cpus" ? pool::available_cpus() : std::stoul(e);
}

std::string panic_text(const std::exception_ptr& e) {
  try {
    std::rethrow_exception(e);
  } catch (const Panic& p) {
    return p.what();
  } catch (...) {
    return "<not a stop>";
  }
}

}  // namespace

struct SizeCase {
  const char* num_threads;
  const char* rs_num_cpus;
  size_t cpus;
  size_t expected;
};

class pool_size_from : public ::testing::TestWithParam<SizeCase> {};

TEST_P(pool_size_from, picks_the_first_positive_integer) {
  const SizeCase& c = GetParam();
  EXPECT_EQ(pool::size_from(c.num_threads, c.rs_num_cpus, c.cpus), c.expected);
}

INSTANTIATE_TEST_SUITE_P(
    pool, pool_size_from,
    ::testing::Values(SizeCase{nullptr, nullptr, 8, 8}, SizeCase{"3", nullptr, 8, 3}, SizeCase{"3", "5", 8, 3},
                      SizeCase{nullptr, "5", 8, 5}, SizeCase{"+2", nullptr, 8, 2}, SizeCase{"007", nullptr, 8, 7},
                      // Not a positive integer: the next source decides.
                      SizeCase{"0", "5", 8, 5}, SizeCase{"", "5", 8, 5}, SizeCase{"-1", nullptr, 8, 8},
                      SizeCase{" 4", nullptr, 8, 8}, SizeCase{"4 ", nullptr, 8, 8}, SizeCase{"4x", "0", 8, 8},
                      SizeCase{"+", nullptr, 8, 8}, SizeCase{"2.5", nullptr, 6, 6}, SizeCase{"abc", "abc", 1, 1},
                      // Bounds of the CPU count and of the requests.
                      SizeCase{nullptr, nullptr, 0, 1}, SizeCase{"300", nullptr, 8, pool::kMaxThreads},
                      SizeCase{"99999999999999999999999999", nullptr, 8, pool::kMaxThreads},
                      SizeCase{nullptr, nullptr, 1000, pool::kMaxThreads}));

// Runs in a child process started by the tests below, with the pool variables set.
TEST(pool, DISABLED_child_sizes_and_results) {
  size_t n = expected_size();
  ASSERT_GT(n, 0u) << "MORVANE_POOL_EXPECT is not set";
  EXPECT_EQ(pool::num_threads(), n);

  const size_t items = 5000;
  std::vector<uint64_t> want(items);
  for (size_t i = 0; i < items; ++i) want[i] = uneven_work(i);
  EXPECT_EQ(pool::map_index(items, uneven_work), want);

  std::vector<uint64_t> inputs(items);
  for (size_t i = 0; i < items; ++i) inputs[i] = i;
  EXPECT_EQ(pool::map(inputs, uneven_work), want);

  // Items giving no result, one or several.
  auto spread = [](size_t i) { return std::vector<uint64_t>(i % 4, uneven_work(i)); };
  std::vector<uint64_t> flat_want;
  for (size_t i = 0; i < items; ++i)
    for (uint64_t x : spread(i)) flat_want.push_back(x);
  EXPECT_EQ(pool::flat_map_index(items, spread), flat_want);

  EXPECT_EQ(pool::map_chunked(inputs, 128, uneven_work), want);

  // Of many failing items the first in input order is raised, as in a sequential run, even when
  // the items before it are slow and later ones fail at once.
  for (size_t chunk : {size_t(400), items}) {
    std::exception_ptr caught;
    try {
      pool::map_chunked(inputs, chunk, [](uint64_t i) {
        if (i < 40) std::this_thread::sleep_for(1ms);
        if (i % 100 == 37) panic(fmt::format("item {} failed", i));
        return i;
      });
    } catch (...) {
      caught = std::current_exception();
    }
    EXPECT_EQ(panic_text(caught), "item 37 failed");
  }

  // The pool runs at most n threads, and more than one when it may: there, no item ends before
  // a second thread has taken one.
  std::mutex m;
  std::set<std::thread::id> threads;
  std::atomic<bool> second{false};
  pool::map_index(8 * n, [&](size_t) {
    {
      std::lock_guard lock(m);
      threads.insert(std::this_thread::get_id());
      if (threads.size() > 1) second = true;
    }
    if (n > 1) wait_for([&] { return second.load(); });
    return 0;
  });
  EXPECT_LE(threads.size(), n);
  if (n > 1) {
    EXPECT_GT(threads.size(), 1u);
  }

  // Work beside a parallel step runs once, on the calling thread, before the caller takes an item;
  // the other threads' items run meanwhile.
  const auto caller = std::this_thread::get_id();
  std::atomic<size_t> items_done{0};
  size_t beside_runs = 0;
  bool caller_item_before_beside = false;
  const std::vector<uint64_t> beside_results = pool::map_index_beside(
      items,
      [&](size_t i) {
        if (std::this_thread::get_id() == caller && beside_runs == 0) caller_item_before_beside = true;
        items_done.fetch_add(1);
        return uneven_work(i);
      },
      [&] {
        ++beside_runs;
        EXPECT_EQ(std::this_thread::get_id(), caller);
        if (n > 1) {
          EXPECT_TRUE(wait_for([&] { return items_done.load() > 0; }));
        }
      });
  EXPECT_EQ(beside_results, want);
  EXPECT_EQ(beside_runs, 1u);
  EXPECT_FALSE(caller_item_before_beside);
}

TEST(pool, same_results_for_1_2_and_8_threads) {
  for (const char* n : {"1", "2", "8"})
    expect_child_passes("child_sizes_and_results",
                        {std::string("RAYON_NUM_THREADS=") + n, std::string("MORVANE_POOL_EXPECT=") + n});
}

TEST(pool, size_comes_from_the_environment_in_order) {
  struct Case {
    std::vector<std::string> env;
    const char* expected;
  };
  for (const Case& c : {Case{{"RAYON_NUM_THREADS=abc", "RAYON_RS_NUM_CPUS=3"}, "3"},
                        Case{{"RAYON_NUM_THREADS=2", "RAYON_RS_NUM_CPUS=3"}, "2"},
                        Case{{"RAYON_NUM_THREADS=0"}, "cpus"}, Case{{}, "cpus"}}) {
    std::vector<std::string> env = c.env;
    env.push_back(std::string("MORVANE_POOL_EXPECT=") + c.expected);
    expect_child_passes("child_sizes_and_results", env);
  }
}

TEST(pool, empty_inputs_call_nothing) {
  auto never = [](auto&&...) -> int {
    ADD_FAILURE() << "called";
    return 0;
  };
  std::vector<int> none;
  EXPECT_TRUE(pool::map_index(0, never).empty());
  EXPECT_TRUE(pool::map(none, never).empty());
  EXPECT_TRUE(pool::flat_map_index(0, [](size_t) { return std::optional<int>(); }).empty());
  EXPECT_TRUE(pool::map_chunked(none, 4, never).empty());
  pool::map_chunked(none, 4, [](int) { ADD_FAILURE() << "called"; });
}

TEST(pool, results_keep_input_order) {
  // Fewer items than threads, a few per block, and one more than a multiple of the block count.
  for (size_t n : {size_t(1), size_t(3), size_t(100), 16 * pool::num_threads() + 1}) {
    std::vector<std::string> inputs;
    for (size_t i = 0; i < n; ++i) inputs.push_back(std::to_string(i));
    std::vector<std::string> got = pool::map(inputs, [](const std::string& s) { return s + "!"; });
    ASSERT_EQ(got.size(), n);
    for (size_t i = 0; i < n; ++i) EXPECT_EQ(got[i], inputs[i] + "!");
  }
}

TEST(pool, flat_map_concatenates_in_input_order) {
  auto evens = pool::flat_map_index(1000, [](size_t i) { return i % 2 ? std::nullopt : std::optional<size_t>(i); });
  ASSERT_EQ(evens.size(), 500u);
  for (size_t k = 0; k < evens.size(); ++k) EXPECT_EQ(evens[k], 2 * k);

  // A result type that cannot be copied, several per item.
  std::vector<int> counts = {2, 0, 3, 1};
  auto owned = pool::flat_map(counts, [](int c) {
    std::vector<std::unique_ptr<int>> out;
    for (int k = 0; k < c; ++k) out.push_back(std::make_unique<int>(10 * c + k));
    return out;
  });
  std::vector<int> values;
  for (auto& p : owned) values.push_back(*p);
  EXPECT_EQ(values, (std::vector<int>{20, 21, 30, 31, 32, 10}));
}

TEST(pool, maps_nest) {
  auto table = pool::map_index(20, [](size_t i) { return pool::map_index(i, [i](size_t j) { return i * j; }); });
  for (size_t i = 0; i < table.size(); ++i) {
    ASSERT_EQ(table[i].size(), i);
    for (size_t j = 0; j < i; ++j) EXPECT_EQ(table[i][j], i * j);
  }
}

TEST(pool, chunks_run_one_after_another) {
  // Each item records how many items had finished when it started: every item of chunk c must
  // see all earlier chunks done.
  const size_t n = 1000, chunk = 64;
  std::atomic<size_t> finished{0};
  auto seen = pool::map_chunked(std::views::iota(size_t(0), n), chunk, [&](size_t i) {
    size_t before = finished.load();
    std::this_thread::sleep_for(std::chrono::microseconds(i % 7 * 20));
    finished.fetch_add(1);
    return std::pair(i, before);
  });
  ASSERT_EQ(seen.size(), n);
  for (size_t k = 0; k < n; ++k) {
    EXPECT_EQ(seen[k].first, k);
    EXPECT_GE(seen[k].second, k / chunk * chunk) << "item " << k;
  }
}

TEST(pool, chunked_items_are_the_range_elements_themselves) {
  std::list<int> items(300, 1);
  pool::map_chunked(items, 7, [](int& x) { x += 1; });
  EXPECT_EQ(items, std::list<int>(300, 2));
}

TEST(pool, zero_chunk_size_is_a_stop) {
  std::vector<int> items = {1};
  EXPECT_THROW(pool::map_chunked(items, 0, [](int x) { return x; }), Panic);
}

TEST(pool, a_stop_in_an_item_reaches_the_caller_after_running_items_end) {
  // Items 4 to 7 form one block, run in order on one thread: 6 and 7 come after the stop there,
  // whatever the other threads did meanwhile.
  const size_t n = items_in_blocks_of(4);
  std::atomic<size_t> started{0}, finished{0};
  std::atomic<bool> started_after_5{false};
  std::exception_ptr caught;
  try {
    pool::map_index(n, [&](size_t i) {
      started.fetch_add(1);
      if (i == 6 || i == 7) started_after_5 = true;
      if (i == 5) panic("item 5 failed");
      std::this_thread::sleep_for(20ms);
      finished.fetch_add(1);
      return i;
    });
  } catch (...) {
    caught = std::current_exception();
  }
  ASSERT_TRUE(caught);
  EXPECT_EQ(panic_text(caught), "item 5 failed");
  EXPECT_EQ(finished.load(), started.load() - 1);  // every other item that started had ended
  EXPECT_LT(started.load(), n);                    // and the rest never started
  EXPECT_FALSE(started_after_5.load());
}

TEST(pool, of_two_failing_items_the_first_in_input_order_is_raised) {
  if (pool::num_threads() < 2) GTEST_SKIP() << "needs two threads";
  // Items 3 and 7 wait for each other, so both fail in the same call.
  std::atomic<int> waiting{0}, met{0};
  EXPECT_THROW(
      {
        try {
          pool::map_index(8, [&](size_t i) {
            if (i == 3 || i == 7) {
              waiting.fetch_add(1);
              if (wait_for([&] { return waiting.load() == 2; })) met.fetch_add(1);
              panic(i == 3 ? "first" : "second");
            }
            return i;
          });
        } catch (const Panic& p) {
          EXPECT_STREQ(p.what(), "first");
          throw;
        }
      },
      Panic);
  EXPECT_EQ(met.load(), 2);
}

TEST(pool, a_stop_in_a_chunk_starts_no_later_chunk) {
  std::atomic<size_t> highest{0};
  EXPECT_THROW(pool::map_chunked(std::views::iota(size_t(0), size_t(1000)), 100,
                                 [&](size_t i) {
                                   size_t h = highest.load();
                                   while (i > h && !highest.compare_exchange_weak(h, i)) {
                                   }
                                   if (i == 250) throw std::out_of_range("250");
                                 }),
               std::out_of_range);
  EXPECT_LT(highest.load(), 300u);
}

TEST(pool, a_requested_stop_ends_the_call_with_stopped) {
  // Item 10 is in the first block of 32, run in order on one thread: the items after it there
  // never run, whatever the other threads did meanwhile.
  const size_t n = items_in_blocks_of(32);
  pool::StopToken token;
  std::atomic<size_t> ran{0};
  EXPECT_THROW(pool::map_index(
                   n,
                   [&](size_t i) {
                     ran.fetch_add(1);
                     if (i == 10) token.request_stop();
                     std::this_thread::sleep_for(std::chrono::microseconds(50));
                     return i;
                   },
                   &token),
               pool::Stopped);
  EXPECT_LT(ran.load(), n);
  // The request stays: a later call with the token starts nothing.
  EXPECT_THROW(pool::map_chunked(
                   std::views::iota(0, 10), 3, [](int) { ADD_FAILURE() << "ran"; }, &token),
               pool::Stopped);
}

TEST(pool, the_poll_runs_on_the_calling_thread) {
  const auto caller = std::this_thread::get_id();
  std::atomic<int> polls{0};
  pool::StopToken token([&] {
    EXPECT_EQ(std::this_thread::get_id(), caller);
    return polls.fetch_add(1) == 20;
  });
  EXPECT_THROW(pool::map_index(
                   100000,
                   [](size_t i) {
                     std::this_thread::sleep_for(std::chrono::microseconds(20));
                     return i;
                   },
                   &token),
               pool::Stopped);
  EXPECT_GT(polls.load(), 20);
  EXPECT_TRUE(token.stop_requested());

  // An exception of the poll ends the call as it is.
  struct Interrupted {};
  pool::StopToken throwing([]() -> bool { throw Interrupted{}; });
  EXPECT_THROW(pool::map_index(
                   100, [](size_t i) { return i; }, &throwing),
               Interrupted);

  // A poll that never asks for a stop changes nothing.
  pool::StopToken quiet([] { return false; });
  EXPECT_EQ(pool::map_index(
                3, [](size_t i) { return i + 1; }, &quiet),
            (std::vector<size_t>{1, 2, 3}));
}

TEST(pool, an_exception_beside_a_step_ends_it) {
  EXPECT_THROW(pool::map_index_beside(
                   10000, [](size_t i) { return i; }, [] { panic("beside failed"); }),
               Panic);
}

TEST(pool, items_may_keep_per_thread_scratch) {
  auto sums = pool::map_index(2000, [](size_t i) {
    thread_local std::vector<size_t> scratch;
    scratch.assign(i % 50, i);
    size_t s = 0;
    for (size_t x : scratch) s += x;
    return s;
  });
  for (size_t i = 0; i < sums.size(); ++i) EXPECT_EQ(sums[i], i * (i % 50));
}

}  // namespace morvane
