#include "morvane/identity/packed_identity_set.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <random>
#include <thread>
#include <utility>
#include <vector>

#include "morvane/identity/prover.h"

namespace morvane {

namespace {

/// An instruction on one of 4 gates and qubits 0..2: few enough that circuits of one length often
/// share their first instructions.
Instr32 random_instr(std::mt19937_64& rng) {
  Instr32 i{Gate16(uint16_t(rng() % 4)), QArgs16{}};
  i.qargs.bytes[0] = uint8_t(rng() % 3);
  if (rng() % 2) i.qargs.bytes[1] = uint8_t((i.qargs.bytes[0] + 1 + rng() % 2) % 3);
  return i;
}

/// An instruction with no half-word form: a gate number of 512 or more, or a qubit byte from 8 on.
Instr32 random_wide_instr(std::mt19937_64& rng) {
  Instr32 i = random_instr(rng);
  switch (rng() % 3) {
    case 0: {
      constexpr uint16_t kGates[] = {512, 513, 1023, 1024, 40000, 65535};
      i.gate = Gate16(kGates[rng() % std::size(kGates)]);
      break;
    }
    case 1: i.qargs.bytes[0] = uint8_t(8 + rng() % 247); break;
    default: i.qargs.bytes[1] = 8; break;
  }
  return i;
}

/// `len` instructions; with `wide`, one of them has no half-word form.
IdentityCirc random_identity(std::mt19937_64& rng, size_t len, Permut32 perm, bool wide = false) {
  std::vector<Instr32> instrs(len);
  for (Instr32& i : instrs) i = random_instr(rng);
  if (wide && len > 0) instrs[rng() % len] = random_wide_instr(rng);
  return IdentityCirc::as_read(Circ{std::move(instrs), perm});
}

/// Identities that differ from `id` only in the permutation's images, only in the permutation's
/// length, or only in the instruction count (one instruction fewer): each is another member.
std::vector<IdentityCirc> twins(const IdentityCirc& id) {
  const uint8_t n = id.circ.perm.len();
  const std::vector<Permut32>& perms = Permut32::all(n);
  IdentityCirc other_images = id, longer_perm = id, shorter = id;
  const size_t at = std::find(perms.begin(), perms.end(), id.circ.perm) - perms.begin();
  other_images.circ.perm = perms[(at + 1) % perms.size()];
  longer_perm.circ.perm.set_len(n + 1);
  longer_perm.circ.perm.set(n, n);
  shorter.circ.instrs.pop_back();
  return {other_images, longer_perm, shorter};
}

/// Distinct identities of lengths 0 to past a whole chunk, with permutations of 1 to 7 positions,
/// in both forms of their instructions, the shorter ones with their twins, and the empty identity.
std::vector<IdentityCirc> identity_pool(std::mt19937_64& rng) {
  constexpr size_t kChunk = PackedIdentitySet::kChunkWords, kHeader = IdentityView::kHeaderWords;
  const size_t lengths[] = {1, 1, 2, 3, 3, 5, 8, 12, 16, 17, 19, 40, 300, 1100, 2047, 2048, 2049, 5000};
  struct Long {
    size_t len;
    bool wide;
  };
  const Long longs[] = {
      {2 * (kChunk - kHeader) - 1, false},  // fills a chunk exactly
      {2 * (kChunk - kHeader), false},
      {2 * (kChunk - kHeader) + 1, false},  // one word longer than a chunk
      {kChunk - kHeader, true},             // fills a chunk exactly
      {kChunk - kHeader + 1, true},
  };
  std::vector<IdentityCirc> pool;
  IdentitySet seen;
  auto add = [&](const IdentityCirc& id) {
    if (seen.insert(id).second) pool.push_back(id);
  };
  add(IdentityCirc::empty());
  for (size_t round = 0; round < 12; ++round) {
    for (size_t len : lengths) {
      const std::vector<Permut32>& perms = Permut32::all(uint8_t(1 + rng() % 7));
      const IdentityCirc id = random_identity(rng, len, perms[rng() % perms.size()], round % 3 == 2);
      add(id);
      for (const IdentityCirc& twin : twins(id)) add(twin);
      // Gate numbers of 512 or more taken modulo 512: the same instructions but for the gate bits
      // that the half-word form has no room for.
      IdentityCirc aliased = id;
      for (Instr32& i : aliased.circ.instrs) i.gate.index %= 512;
      add(aliased);
    }
  }
  for (const Long& l : longs) add(random_identity(rng, l.len, Permut32::identity(3), l.wide));
  std::shuffle(pool.begin(), pool.end(), rng);
  return pool;
}

std::vector<IdentityCirc> members(const PackedIdentitySet& s) { return {s.begin(), s.end()}; }

}  // namespace

TEST(packed_identity_set, agrees_with_a_hash_set_and_iterates_in_insertion_order) {
  // With each identity's own hash, and with one hash given for all identities of a length, so that
  // only the comparison of the stored words tells twins apart.
  for (const bool colliding : {false, true}) {
    std::mt19937_64 rng(20261211);
    const std::vector<IdentityCirc> pool = identity_pool(rng);
    IdentitySet reference;
    PackedIdentitySet packed;
    std::vector<IdentityCirc> order;
    // Lookups of members and of identities never inserted; insertions by the identity (which
    // hashes it) and with its hash given.
    for (size_t step = 0; step < 20000; ++step) {
      const IdentityCirc& id = pool[rng() % pool.size()];
      const HashedIdentity hashed{id, colliding ? id.circ.len() % 5 : id.hash_value()};
      const unsigned op = colliding ? 1 + 2 * (rng() % 2) : rng() % 4;
      switch (op) {
        case 0:
        case 1: {
          const bool added = reference.insert(id).second;
          ASSERT_EQ(op == 0 ? packed.insert(id) : packed.insert(hashed), added) << step << " " << id.circ.len();
          if (added) order.push_back(id);
          if (!order.empty()) {
            ASSERT_EQ(packed.back().to_identity(), order.back()) << step;
          }
          break;
        }
        case 2: ASSERT_EQ(packed.contains(id), reference.contains(id)) << step; break;
        default: ASSERT_EQ(packed.contains(hashed), reference.contains(id)) << step << " " << id.circ.len(); break;
      }
      ASSERT_EQ(packed.size(), reference.size());
    }
    ASSERT_GT(order.size(), pool.size() * 9 / 10);
    EXPECT_EQ(members(packed), order);
    for (auto it = packed.begin(); it != packed.end(); ++it) {
      const IdentityView v = it.view();
      const IdentityCirc id = *it;
      EXPECT_EQ(v.hash(), colliding ? id.circ.len() % 5 : id.hash_value());
      EXPECT_EQ(v.len(), id.circ.len());
      EXPECT_EQ(v.perm(), id.circ.perm);
      EXPECT_TRUE(v.same_circ(id.circ));
      EXPECT_TRUE(packed.contains(v));
    }
  }
}

TEST(packed_identity_set, equality_ignores_order_and_sees_any_other_member) {
  std::mt19937_64 rng(7);
  const IdentityCirc x = random_identity(rng, 12, Permut32::all(3)[4]);
  const std::vector<IdentityCirc> others = twins(x);
  std::vector<IdentityCirc> base = identity_pool(rng);
  std::erase_if(base, [&](const IdentityCirc& id) { return id == x || std::count(others.begin(), others.end(), id); });
  base.push_back(x);
  std::vector<IdentityCirc> shuffled = base;
  std::shuffle(shuffled.begin(), shuffled.end(), rng);
  auto set_of = [](const std::vector<IdentityCirc>& ids) {
    PackedIdentitySet s;
    for (const IdentityCirc& id : ids) s.insert(id);
    return s;
  };
  const PackedIdentitySet a = set_of(base);
  EXPECT_EQ(a, set_of(shuffled));
  EXPECT_EQ(PackedIdentitySet(), PackedIdentitySet());
  EXPECT_NE(a, PackedIdentitySet());
  for (const IdentityCirc& twin : others) {
    // x replaced by its twin: same size, another member.
    std::vector<IdentityCirc> other = base;
    other.back() = twin;
    EXPECT_NE(a, set_of(other)) << twin.debug();
    EXPECT_NE(set_of(other), a) << twin.debug();
    // The twin besides x.
    other.push_back(x);
    EXPECT_NE(a, set_of(other)) << twin.debug();
  }
}

TEST(packed_identity_set, members_of_another_set_are_taken_as_stored) {
  std::mt19937_64 rng(7);
  const std::vector<IdentityCirc> pool = identity_pool(rng);
  const size_t third = pool.size() / 3;
  // `from` holds the second and third thirds, `into` the first two: the second third is shared.
  PackedIdentitySet from, into;
  for (size_t k = third; k < pool.size(); ++k) from.insert(pool[k]);
  for (size_t k = 0; k < 2 * third; ++k) into.insert(pool[k]);
  size_t k = third;
  for (auto it = from.begin(); it != from.end(); ++it, ++k) EXPECT_EQ(into.insert(it.view()), k >= 2 * third) << k;
  EXPECT_EQ(members(into), pool);
  for (auto it = into.begin(); it != into.end(); ++it) EXPECT_EQ(it.view().hash(), (*it).hash_value());
  // All at once, into a set that holds some of them already.
  PackedIdentitySet all;
  for (size_t k = 0; k < third; ++k) all.insert(pool[k]);
  all.insert_all(from);
  all.insert_all(from);
  EXPECT_EQ(members(all), pool);
  // What the copies hold is their own: the source's members go with it.
  from = PackedIdentitySet();
  for (const IdentityCirc& id : pool) EXPECT_TRUE(into.contains(id));
}

TEST(packed_identity_set, insert_all_of_many_keeps_their_order_and_skips_members) {
  // Enough members for the shards to be filled on the pool, among them long and wide ones, and
  // some whose chunk of their own comes between short ones.
  std::mt19937_64 rng(13);
  std::vector<IdentityCirc> pool = identity_pool(rng);
  IdentitySet seen(pool.begin(), pool.end());
  while (pool.size() < 6000) {
    const std::vector<Permut32>& perms = Permut32::all(uint8_t(1 + rng() % 7));
    IdentityCirc id = random_identity(rng, 1 + rng() % 20, perms[rng() % perms.size()], rng() % 4 == 0);
    if (seen.insert(id).second) pool.push_back(std::move(id));
  }
  std::shuffle(pool.begin(), pool.end(), rng);
  // `into` holds every third identity; `from` holds the rest and every sixth.
  PackedIdentitySet into, from;
  std::vector<IdentityCirc> expected;
  for (size_t k = 0; k < pool.size(); k += 3) {
    into.insert(pool[k]);
    expected.push_back(pool[k]);
  }
  for (size_t k = 0; k < pool.size(); ++k) {
    if (k % 3 != 0 || k % 6 == 0) from.insert(pool[k]);
    if (k % 3 != 0) expected.push_back(pool[k]);
  }
  into.insert_all(from);
  EXPECT_EQ(into.size(), pool.size());
  EXPECT_EQ(members(into), expected);
  EXPECT_EQ(into.back().to_identity(), expected.back());
  for (const IdentityCirc& id : pool) EXPECT_TRUE(into.contains(id));
  for (auto it = into.begin(); it != into.end(); ++it) EXPECT_FALSE(into.insert(it.view()));
  // Again, and into an empty set: nothing new, then all of `from` as it is.
  into.insert_all(from);
  EXPECT_EQ(members(into), expected);
  EXPECT_EQ(into.back().to_identity(), expected.back());
  PackedIdentitySet empty;
  empty.insert_all(from);
  EXPECT_EQ(members(empty), members(from));
  EXPECT_EQ(empty, from);
  // A moved-from set takes them too.
  PackedIdentitySet moved = std::move(empty);
  empty.insert_all(from);
  EXPECT_EQ(members(empty), members(from));
}

TEST(packed_identity_set, copies_and_moves_keep_members_and_order) {
  std::mt19937_64 rng(11);
  const std::vector<IdentityCirc> pool = identity_pool(rng);
  const size_t half = pool.size() / 2;
  const std::vector<IdentityCirc> first(pool.begin(), pool.begin() + half);
  PackedIdentitySet a;
  for (const IdentityCirc& id : first) a.insert(id);

  PackedIdentitySet copy = a;
  PackedIdentitySet moved = std::move(a);
  // The moved set grows its index several times over, reading its members where they are.
  for (size_t k = half; k < pool.size(); ++k) EXPECT_TRUE(moved.insert(pool[k]));
  EXPECT_EQ(members(moved), pool);
  for (const IdentityCirc& id : pool) EXPECT_FALSE(moved.insert(id));
  // The copy has its own members.
  EXPECT_EQ(members(copy), first);
  for (const IdentityCirc& id : first) EXPECT_TRUE(copy.contains(id));
  EXPECT_FALSE(copy.contains(pool[half]));

  // A moved-from set is empty and takes members again.
  EXPECT_TRUE(a.empty());
  EXPECT_FALSE(a.contains(pool[0]));
  EXPECT_EQ(a.begin(), a.end());
  EXPECT_TRUE(a.insert(pool[1]));
  EXPECT_TRUE(a.contains(pool[1]));
  EXPECT_EQ(members(a), std::vector<IdentityCirc>{pool[1]});

  // Assignments replace the members.
  PackedIdentitySet assigned;
  assigned.insert(pool[2]);
  assigned = std::move(moved);
  EXPECT_EQ(members(assigned), pool);
  assigned = copy;
  EXPECT_EQ(members(assigned), first);
  EXPECT_TRUE(assigned.insert(pool[half]));
  EXPECT_EQ(copy.size(), half);
  const PackedIdentitySet& self = assigned;
  assigned = self;
  EXPECT_EQ(assigned.size(), half + 1);
  EXPECT_TRUE(assigned.contains(pool[half]));
}

TEST(packed_identity_set, shared_index_finds_what_was_published_until_cleared) {
  // With each identity's own hash, and with one hash for all identities of a length, so that only
  // the stored words tell apart those on one probe chain.
  for (const bool colliding : {false, true}) {
    std::mt19937_64 rng(5);
    const std::vector<IdentityCirc> pool = identity_pool(rng);
    auto hash_of = [&](const IdentityCirc& id) { return colliding ? id.circ.len() % 5 : id.hash_value(); };
    PackedIdentitySet set;
    SharedMemberIndex index(12);
    ASSERT_LT(pool.size(), 2048u);
    const size_t published = pool.size() / 2;
    for (size_t k = 0; k < published; ++k) {
      ASSERT_TRUE(set.insert(HashedIdentity{pool[k], hash_of(pool[k])}));
      index.publish(set.back());
    }
    EXPECT_EQ(index.size(), published);
    for (size_t k = 0; k < pool.size(); ++k)
      EXPECT_EQ(index.contains(HashedIdentity{pool[k], hash_of(pool[k])}), k < published) << k;
    index.clear();
    EXPECT_EQ(index.size(), 0u);
    for (const IdentityCirc& id : pool) EXPECT_FALSE(index.contains(HashedIdentity{id, hash_of(id)}));
    index.publish(set.back());
    EXPECT_TRUE(index.contains(HashedIdentity{pool[published - 1], hash_of(pool[published - 1])}));
  }
  // Publishing stops at half the slots; what came later is not found.
  std::mt19937_64 rng(6);
  const std::vector<IdentityCirc> pool = identity_pool(rng);
  PackedIdentitySet set;
  SharedMemberIndex small(4);
  for (size_t k = 0; k < 12; ++k) {
    set.insert(pool[k]);
    small.publish(set.back());
  }
  EXPECT_EQ(small.size(), 8u);
  for (size_t k = 0; k < 12; ++k) EXPECT_EQ(small.contains(HashedIdentity{pool[k], pool[k].hash_value()}), k < 8) << k;
}

TEST(packed_identity_set, shared_index_is_read_while_one_thread_publishes) {
  // Readers look members up while this thread adds them to the set and publishes them in order. A
  // reader that finds a member must find every member published before it, and nothing never
  // published; once publishing is over, everything.
  std::mt19937_64 rng(7);
  std::vector<IdentityCirc> ids;
  IdentitySet seen;
  while (ids.size() < 24000) {
    const std::vector<Permut32>& perms = Permut32::all(uint8_t(1 + rng() % 4));
    IdentityCirc id = random_identity(rng, 1 + rng() % 20, perms[rng() % perms.size()], rng() % 8 == 0);
    if (seen.insert(id).second) ids.push_back(std::move(id));
  }
  const size_t published = 20000;  // the rest never are
  std::vector<uint64_t> hashes;
  for (const IdentityCirc& id : ids) hashes.push_back(id.hash_value());
  PackedIdentitySet set;
  SharedMemberIndex index(16);
  std::atomic<bool> done{false};
  std::atomic<size_t> faults{0};
  auto reader = [&](uint64_t seed) {
    std::mt19937_64 r(seed);
    auto has = [&](size_t k) { return index.contains(HashedIdentity{ids[k], hashes[k]}); };
    while (!done.load(std::memory_order_acquire)) {
      const size_t k = r() % published;
      if (has(published + r() % (ids.size() - published))) faults.fetch_add(1);
      if (!has(k)) continue;
      if (k > 0 && (!has(k - 1) || !has(r() % k))) faults.fetch_add(1);
    }
    for (size_t k = 0; k < ids.size(); ++k)
      if (has(k) != (k < published)) faults.fetch_add(1);
  };
  std::vector<std::thread> readers;
  for (uint64_t t = 0; t < 3; ++t) readers.emplace_back(reader, t);
  for (size_t k = 0; k < published; ++k) {
    set.insert(HashedIdentity{ids[k], hashes[k]});
    index.publish(set.back());
  }
  done.store(true, std::memory_order_release);
  for (std::thread& t : readers) t.join();
  EXPECT_EQ(faults.load(), 0u);
  EXPECT_EQ(index.size(), published);
}

}  // namespace morvane
