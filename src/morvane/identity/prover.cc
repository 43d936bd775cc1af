#include "morvane/identity/prover.h"

#include <algorithm>
#include <atomic>
#include <bit>
#include <cstdio>
#include <deque>
#include <iterator>
#include <span>
#include <type_traits>

#include <absl/cleanup/cleanup.h>
#include <absl/container/inlined_vector.h>
#include <fmt/format.h>

#include "morvane/core/interrupt.h"
#include "morvane/core/panic.h"
#include "morvane/core/per_thread.h"
#include "morvane/core/pool.h"
#include "morvane/core/progress.h"
#include "morvane/core/table_room.h"
#include "morvane/identity/canonical.h"
#include "morvane/identity/eccs_identities.h"
#include "morvane/identity/splits.h"

namespace morvane {

namespace {

void write_stderr(const std::string& text) {
  std::fputs(text.c_str(), stderr);
  std::fflush(stderr);
}

/// One rewritten identity of a search's step, with its hash and whether `proved` holds it, both
/// found on the thread that rewrote it.
struct Rewrite {
  IdentityCirc id;
  uint64_t hash;
  bool established;
};

/// An identity waiting in a search, with its rewrites once they are computed.
struct Queued {
  IdentityCirc id;
  std::optional<std::vector<Rewrite>> rewrites;
};

/// Queues of identities by extra size; the front of the lowest non-empty queue comes out first.
/// Queues are made as identities of a new extra size arrive, so a large size bound costs nothing.
class SizeQueues {
 public:
  void push(size_t extra, IdentityCirc id) {
    if (extra >= queues_.size()) queues_.resize(extra + 1);
    queues_[extra].push_back(Queued{std::move(id), std::nullopt});
  }
  std::optional<Queued> pop() {
    for (auto& q : queues_) {
      if (!q.empty()) {
        Queued front = std::move(q.front());
        q.pop_front();
        return front;
      }
    }
    return std::nullopt;
  }
  /// Up to `n` waiting identities without rewrites, in the order they would come out.
  std::vector<Queued*> next_without_rewrites(size_t n) {
    std::vector<Queued*> out;
    for (auto& q : queues_)
      for (Queued& e : q) {
        if (out.size() == n) return out;
        if (!e.rewrites) out.push_back(&e);
      }
    return out;
  }

 private:
  std::vector<std::deque<Queued>> queues_;
};

/// A rewriting step runs on the calling thread when its identities have fewer candidate subsets
/// than this in all (or the pool has one thread); else it hands out runs of this many consecutive
/// candidates of one identity.
constexpr size_t kMinParallelCandidates = 16;
constexpr uint32_t kCandidatesPerRun = 4;
/// A step of at least this many identities per pool thread hands out whole identities instead.
constexpr size_t kWholeIdentitiesPerThread = 4;

/// The most identities of a search whose rewrites are computed in one parallel step: the one
/// taken and those waiting after it. The rewrites of an identity depend only on it and on the
/// prover, which a search does not change, so computing them ahead changes no result; it gives
/// the pool enough work at once. A search starts with one and doubles the number each step up to
/// this, so one that ends after a few steps computes little it does not use. One thread gains
/// nothing from it.
size_t max_lookahead() { return pool::num_threads() == 1 ? 1 : 16 * pool::num_threads(); }

std::atomic<uint64_t> memo_generation{0};

/// The memo's own hash: a multiply-and-fold over the raw words, much cheaper than the SipHash that
/// the prover's tables use; the memo's layout changes nothing it returns.
uint64_t memo_hash(const Circ& c) {
  uint64_t h = (uint64_t(c.perm.raw) << 32 | c.instrs.size()) * 0x9E3779B97F4A7C15u;
  for (Instr32 i : c.instrs) {
    h = (h ^ std::bit_cast<uint32_t>(i)) * 0xBF58476D1CE4E5B9u;
    h ^= h >> 31;
  }
  h ^= h >> 29;
  h *= 0x94D049BB133111EBu;
  return h ^ (h >> 32);
}

/// A block's representative_with_perm (rep, p) and the representative's hash, the key of its rules.
struct BlockKey {
  Circ rep;
  Permut32 p;
  uint64_t hash;
};

/// A per-thread memo of blocks' canonical forms: a block has one slot, chosen by its hash, and
/// replaces the block held there. A slot keeps the storage of its circuits, so a miss allocates
/// only the new canonical form. About 600 KiB per thread for blocks of this size.
constexpr size_t kMemoSlots = size_t(1) << 12;

struct BlockMemo {
  struct Slot {
    uint64_t generation = 0;  // the slot holds a block when this is memo_generation + 1
    Circ block;
    BlockKey key;
  };
  std::vector<Slot> slots = std::vector<Slot>(kMemoSlots);
};

/// The canonical form of a block, remembered by this thread.
const BlockKey& block_representative(const Circ& block) {
  BlockMemo::Slot& slot = per_thread<BlockMemo>().slots[memo_hash(block) & (kMemoSlots - 1)];
  const uint64_t generation = memo_generation.load(std::memory_order_relaxed) + 1;
  if (slot.generation == generation && slot.block == block) return slot.key;
  auto [rep, p] = representative_with_perm(block);
  slot.generation = 0;  // empty until both circuits are in place
  slot.key.hash = rep.hash_value();
  slot.key.rep = std::move(rep);
  slot.key.p = p;
  slot.block.instrs.assign(block.instrs.begin(), block.instrs.end());
  slot.block.perm = block.perm;
  slot.generation = generation;
  return slot.key;
}

/// rotate_representative of a rewritten identity with its hash. Not remembered: at three qubits
/// fewer than one rewritten circuit in forty comes again on the same thread.
IdentityWithHash rewritten_identity_hashed(const Circ& c) {
  IdentityCirc id = rotate_representative(c);
  const uint64_t hash = id.hash_value();
  return IdentityWithHash{std::move(id), hash};
}

IdentityCirc rewritten_identity(const Circ& c) { return rotate_representative(c); }

/// A rewriting step's scratch circuits on this thread, reused from one candidate to the next.
struct RewriteScratch {
  Split split;
  Circ c2_permuted;
  Circ rule;  // a rule made on use
};

/// a + b in this thread's scratch circuit, valid until the next call on this thread.
const Circ& joined(const Circ& a, const Circ& b) {
  struct Joined {
    Circ circ;
  };
  Circ& out = per_thread<Joined>().circ;
  Circ::join_into(a, b, out);
  return out;
}

}  // namespace

void forget_prover_memos() { memo_generation.fetch_add(1, std::memory_order_relaxed); }

/// What a search found missing from `proved`, among the look-ups that steered it: the hashes of the
/// rule identities it tested and of the new identities it reached (not those it had visited
/// already, whose membership it never reads). Its outcome holds for a later `proved` that still
/// holds none of them, as it depends on `proved` through those look-ups alone (a look-up that found
/// its identity finds it later too: `proved` only grows). Filled by one thread: a search that
/// records runs its rewriting steps on its own thread.
using Misses = std::vector<uint64_t>;

/// The rewrites of one identity that a search computed, with the room they were computed for and
/// the range of its misses that the rule identities it tested left (the rewrites depend on
/// `proved` through those alone). Computed again, they are the same while `proved` still holds
/// none of those rule identities, but for the `established` flags.
struct KeptStep {
  IdentityCirc id;
  uint32_t room;
  std::vector<Rewrite> rewrites;
  size_t rule_misses_begin, rule_misses_end;
};

/// Kept steps that a search may take instead of computing them, by identity; each is taken once.
using StepReuse = absl::flat_hash_map<IdentityCirc, KeptStep*, CircHash, IdentityEq>;

/// How a search of the build looks identities up, what it notes of them and how it runs.
struct SearchMode {
  /// Identities recorded but not yet put into `proved` (which other threads read meanwhile): they
  /// count as established too.
  const PackedIdentitySet* pending = nullptr;
  /// The same, as a planner on another thread sees them while they are recorded.
  const SharedMemberIndex* published = nullptr;
  /// Where the search notes its misses.
  Misses* misses = nullptr;
  /// How many more identities the search may take from its queues: it throws OverBudget for the next.
  size_t* budget = nullptr;
  /// The search runs on this thread alone, the rewrites of one identity at a time: it is an item of
  /// a parallel step, or runs beside one.
  bool alone = false;
  /// Where an alone search with misses keeps the steps it computed.
  std::vector<KeptStep>* kept = nullptr;
  /// Steps an alone search takes, when they fit, instead of computing them.
  StepReuse* reuse = nullptr;
};

bool is_established(const IdentityProver& prover, const SearchMode& mode, HashedIdentity id) {
  return prover.proved.contains(id) || (mode.pending && mode.pending->contains(id)) ||
         (mode.published && mode.published->contains(id));
}

/// The identity is established; a miss is noted.
bool established(const IdentityProver& prover, HashedIdentity id, const SearchMode& mode) {
  if (is_established(prover, mode, id)) return true;
  if (mode.misses) mode.misses->push_back(id.hash);
  return false;
}

bool established(const IdentityProver& prover, const IdentityCirc& id, const SearchMode& mode) {
  return established(prover, HashedIdentity{id, id.hash_value()}, mode);
}

/// par_apply_rules_many for a search: each rewrite with its hash and its membership of `proved`.
std::vector<std::vector<Rewrite>> search_rewrites(const IdentityProver& prover,
                                                  std::span<const IdentityCirc* const> identities,
                                                  std::span<const uint32_t> additional_sizes, const SearchMode& mode);

/// The breadth-first search shared by add_identity_search and prove_identity_with_visited. For each
/// identity newly visited, `step(rewrite, visited, queued)` returns a result to end the search with,
/// or none to go on; it is called before a new identity is queued (queued = false: decide about a
/// shorter or established identity) and after (queued = true: decide about the limit; the
/// identity itself has moved to the queue).
/// `exhausted(visited)` gives the result when the queues run dry.
/// Thrown by a search that records its misses when it has taken more steps than it was given.
struct OverBudget {};

template <typename Result, typename Step, typename Exhausted>
Result search_identities(const IdentityProver& prover, const IdentityCirc& start, uint32_t additional_size, Step&& step,
                         Exhausted&& exhausted, const SearchMode& mode = {}) {
  const size_t start_len = start.circ.len();
  // The rewriting step splits identities of at most kLongestSplittable gates: the bound stops
  // there (the start is no longer, see check_splittable). Elements are never shorter than the
  // start, so max_size - length is at most that.
  const uint64_t max_size = std::min<uint64_t>(uint64_t(start_len) + additional_size, kLongestSplittable);
  auto room = [&](const IdentityCirc& id) { return uint32_t(max_size - id.circ.len()); };
  IdentitySet visited;
  SizeQueues queues;
  // The hash tables here construct a value in its slot after marking the slot taken, so a value
  // that fails to construct there (out of memory) leaves the table unusable: values go in by move
  // (which cannot fail), copied beforehand, and the room for them is made first (see table_room.h).
  static_assert(std::is_nothrow_move_constructible_v<IdentityCirc>);
  make_room(visited, 1);
  visited.insert(IdentityCirc(start));
  queues.push(0, start);
  size_t lookahead = 1;
  while (std::optional<Queued> element = queues.pop()) {
    interrupt::check();
    if (mode.budget && (*mode.budget)-- == 0) throw OverBudget{};
    if (!element->rewrites && mode.reuse) {
      if (auto it = mode.reuse->find(element->id); it != mode.reuse->end() && it->second->room == room(element->id)) {
        std::vector<Rewrite>& rewrites = element->rewrites.emplace(std::move(it->second->rewrites));
        mode.reuse->erase(it);
        for (Rewrite& r : rewrites) r.established = is_established(prover, mode, HashedIdentity{r.id, r.hash});
      }
    }
    if (!element->rewrites) {
      std::vector<Queued*> ahead = queues.next_without_rewrites(lookahead - 1);
      lookahead = mode.alone ? 1 : std::min(2 * lookahead, max_lookahead());
      std::vector<const IdentityCirc*> ids{&element->id};
      std::vector<uint32_t> rooms{room(element->id)};
      for (Queued* q : ahead) {
        ids.push_back(&q->id);
        rooms.push_back(room(q->id));
      }
      const size_t misses_before = mode.misses ? mode.misses->size() : 0;
      auto rewrites = search_rewrites(prover, ids, rooms, mode);
      element->rewrites = std::move(rewrites[0]);
      for (size_t k = 0; k < ahead.size(); ++k) ahead[k]->rewrites = std::move(rewrites[k + 1]);
      if (mode.kept) {
        // Kept as they are: the identities queued below are copies. Nothing reads the element's
        // identity after this.
        mode.kept->push_back(KeptStep{std::move(element->id), rooms[0], std::move(*element->rewrites), misses_before,
                                      mode.misses->size()});
        element->rewrites.reset();
      }
    }
    std::vector<Rewrite>& rewrites = element->rewrites ? *element->rewrites : mode.kept->back().rewrites;
    for (Rewrite& rewrite : rewrites) {
      const size_t len = rewrite.id.circ.len();
      if (len > max_size) panic("assertion failed: new_id.len() <= max_size");
      bool inserted = false;
      make_room(visited, 1);
      auto it = visited.lazy_emplace(HashedIdentity{rewrite.id, rewrite.hash}, [&](const auto& make) {
        inserted = true;
        make(std::move(rewrite.id));
      });
      if (!inserted) continue;
      rewrite.id = *it;
      // Only a new identity's membership of `proved` can steer the search.
      if (mode.misses && !rewrite.established) mode.misses->push_back(rewrite.hash);
      if (std::optional<Result> r = step(rewrite, visited, false)) return std::move(*r);
      queues.push(len - start_len, mode.kept ? IdentityCirc(rewrite.id) : std::move(rewrite.id));
      if (std::optional<Result> r = step(rewrite, visited, true)) return std::move(*r);
    }
  }
  return exhausted(visited);
}

namespace {

/// A class of more circuits than this keeps its circuits once, and its keys' rules are made from
/// them on use; a smaller one holds its rules (fewer than this many per circuit), which the
/// rewriting step reads as they are and whose rule identities are computed once.
constexpr size_t kHeldRulesUpTo = 32;

/// Classes handled in one parallel step of the build: their parts are held until stored.
constexpr size_t kClassesPerStep = 4096;

/// What one class contributes: its identities, then its keys with their rules.
struct ClassPart {
  std::vector<IdentityCirc> identities;
  std::vector<std::pair<Circ, RuleList>> rules;
};

ClassPart class_part(const ECC& cls) {
  ClassPart part;
  const ECC e = ECC(cls).simplify_permute();
  // The identities first: each runs the identity check, so a class that is not one stops here,
  // before any rule is made.
  for_each_class_identity(
      e, [&](IdentityCirc identity, const Circ&, Circ) { part.identities.push_back(std::move(identity)); });
  std::shared_ptr<ClassCircuits> circuits;
  if (e.circuits.size() > kHeldRulesUpTo) {
    // Every rule of every key is make(c2, perm⁻¹ * c2.perm): the same checks, once per circuit.
    circuits = std::make_shared<ClassCircuits>();
    const Permut32 first_perm_inv = e.circuits[0].perm.inv();
    for (const PermutedCircuit& c2 : e.circuits) {
      (void)(first_perm_inv * c2.perm);
      circuits->push_back(c2.to_circ());
    }
  }
  for (size_t k = 0; k < e.circuits.size(); ++k) {
    const PermutedCircuit& c = e.circuits[k];
    auto [rep, p] = representative_with_perm(Circ::make_no_perm(c.instrs_vector()));
    if (circuits) {
      part.rules.emplace_back(std::move(rep), RuleList::of_class(circuits, k, p));
      continue;
    }
    const Permut32 perm_inv = c.perm.inv();
    std::vector<Circ> rules;
    for (const PermutedCircuit& c2 : e.circuits)
      if (c2.instrs != c.instrs) rules.push_back(Circ::make(c2.instrs_vector(), perm_inv * c2.perm).permut(p));
    part.rules.emplace_back(std::move(rep), std::move(rules));  // the RuleList made in place
  }
  return part;
}

}  // namespace

RuleList::RuleList(std::vector<Circ> rules) {
  if (rules.empty()) return;
  body_ = std::make_unique<Body>();
  body_->rules = std::move(rules);
}

RuleList RuleList::of_class(std::shared_ptr<const ClassCircuits> circuits, size_t self, Permut32 p) {
  auto body = std::make_unique<Body>();
  const Circ& own = (*circuits)[self];
  for (size_t m = 0; m < circuits->size(); ++m)
    if ((*circuits)[m].instrs == own.instrs) body->skipped.push_back(uint32_t(m));
  body->perm_inv = own.perm.inv();
  body->p = p;
  body->circuits = std::move(circuits);
  RuleList list;
  if (body->circuits->size() > body->skipped.size()) list.body_ = std::move(body);
  return list;
}

const Circ& RuleList::rule(size_t j, Circ& scratch) const {
  if (!body_->circuits) return body_->rules[j];
  const Circ& c2 = (*body_->circuits)[member(j)];
  scratch = Circ{c2.instrs, body_->perm_inv * c2.perm}.permut(body_->p);
  return scratch;
}

bool operator==(const RuleList& a, const RuleList& b) {
  if (a.size() != b.size()) return false;
  Circ sa, sb;
  for (size_t j = 0; j < a.size(); ++j)
    if (a.rule(j, sa) != b.rule(j, sb)) return false;
  return true;
}

void add_in_order(IdentityProver& prover, std::vector<IdentityCirc>& identities, ProgressBar& bar);

IdentityProver IdentityProver::build(std::span<const ECC> classes) {
  IdentityProver prover;
  write_stderr(fmt::format("Building identity prover from {} ECCs\n", classes.size()));
  // Inverses and identity checks register the adjoints of gates the first time they meet them:
  // register them all here, in class order, so that gate numbers do not depend on the threads.
  for (const ECC& cls : classes)
    for (const PermutedCircuit& c : cls.circuits)
      for (Instr32 i : c.instrs) i.gate.adjoint();
  // What each class contributes is computed on the pool, a step of classes at a time; the keys
  // are stored in class order, a later list replacing an earlier one.
  auto stop = interrupt::stop_token();
  std::vector<IdentityCirc> identities;
  {
    // Each circuit gives at most one key: room for them all once, rather than growing (and hashing
    // every key again) step by step.
    size_t circuits = 0;
    for (const ECC& cls : classes) circuits += cls.circuits.size();
    make_room(prover.circ_map, circuits);
    ProgressBar bar(classes.size());
    auto store = [&](std::vector<ClassPart>& parts) {
      for (ClassPart& part : parts) {
        bar.inc();
        for (auto& [key, rules] : part.rules) prover.circ_map.insert_or_assign(std::move(key), std::move(rules));
        std::move(part.identities.begin(), part.identities.end(), std::back_inserter(identities));
      }
    };
    // The parts of a step are stored by this thread beside the step that computes the next ones.
    std::vector<ClassPart> parts;
    for (size_t begin = 0; begin < classes.size(); begin += kClassesPerStep) {
      const std::span<const ECC> step = classes.subspan(begin, std::min(kClassesPerStep, classes.size() - begin));
      std::vector<ClassPart> next = pool::map_index_beside(
          step.size(), [&](size_t k) { return class_part(step[k]); }, [&] { store(parts); }, &stop);
      parts = std::move(next);
    }
    store(parts);
    bar.finish();
  }
  prover.prepare_rule_index();
  std::stable_sort(identities.begin(), identities.end());
  identities.erase(std::unique(identities.begin(), identities.end()), identities.end());

  write_stderr("Proving Identities\n");
  ProgressBar bar(identities.size());
  add_in_order(prover, identities, bar);
  bar.finish();
  return prover;
}

uint64_t gate_multiset_term(Instr32 instr) {
  static const Gate16 swap = gates::SWAP();
  if (instr.gate == swap) return 0;
  uint64_t h = (uint64_t(instr.gate.index) + 1) * 0x9E3779B97F4A7C15u;
  h ^= h >> 31;
  h *= 0xBF58476D1CE4E5B9u;
  return h ^ (h >> 29);
}

uint64_t gate_multiset_hash(std::span<const Instr32> instrs) {
  uint64_t h = 0;
  for (Instr32 i : instrs) h += gate_multiset_term(i);
  return h;
}

void IdentityProver::prepare_rule_index() {
  // The keys that have rules in an order of their own (by hash, then by value), whatever the
  // map's layout.
  using Entry = RuleMap::value_type;
  std::vector<std::pair<uint64_t, const Entry*>> entries;
  for (const Entry& entry : circ_map)
    if (!entry.second.empty()) entries.emplace_back(entry.first.hash_value(), &entry);
  std::sort(entries.begin(), entries.end(), [](const auto& a, const auto& b) {
    return a.first != b.first ? a.first < b.first : a.second->first < b.second->first;
  });
  // Inverting registers the adjoint of a gate the first time it meets it: register them here,
  // once per gate in key order, so that gate numbers do not depend on the threads.
  std::vector<bool> seen;
  for (const auto& [hash, entry] : entries)
    for (Instr32 i : entry->first.instrs) {
      if (i.gate.index >= seen.size()) seen.resize(size_t(i.gate.index) + 1);
      if (!seen[i.gate.index]) {
        seen[i.gate.index] = true;
        i.gate.adjoint();
      }
    }
  auto stop = interrupt::stop_token();
  auto identities = pool::map_index(
      entries.size(),
      [&](size_t i) {
        const Entry& entry = *entries[i].second;
        std::vector<IdentityWithHash> out;
        if (!entry.second.held()) return out;
        const Circ key_reversed = entry.first.inverse();
        Circ scratch;
        for (size_t j = 0; j < entry.second.size(); ++j) {
          IdentityCirc id = rotate_representative(entry.second.rule(j, scratch) + key_reversed);
          const uint64_t hash = id.hash_value();
          out.push_back(IdentityWithHash{std::move(id), hash});
        }
        return out;
      },
      &stop);
  RuleIndex index;
  make_room(index.rule_identities, entries.size());
  make_room(index.key_gate_multisets, entries.size());
  index.multiset_filter.assign((uint64_t(1) << (64 - RuleIndex::kFilterShift)) / 64, 0);
  for (size_t i = 0; i < entries.size(); ++i) {
    const Entry& entry = *entries[i].second;
    const uint64_t multiset = gate_multiset_hash(entry.first.instrs);
    index.key_gate_multisets.insert(multiset);
    const uint64_t bit = multiset >> RuleIndex::kFilterShift;
    index.multiset_filter[bit >> 6] |= uint64_t(1) << (bit & 63);
    if (entry.second.held()) index.rule_identities.emplace(Circ(entry.first), std::move(identities[i]));
  }
  index.prepared = true;
  rule_index = std::move(index);
}

/// How the rewriting step bounds a rule's length by the block's length plus the room: as the sum
/// (a larger room never allows fewer rules), or as the sum modulo 2^32, which proof export uses to
/// pass a room smaller than zero (see ProofTracker::expand).
enum class RuleBound { kSaturating, kWrapping };

/// The rewriting step of several identities at once: for every split of ids[k] (in subset order)
/// and every rule of its block's key that fits rooms[k] (in stored order), `emit(out, rule,
/// rule_identity, c2_permuted)` appends what that rule contributes; out[k] gathers those of ids[k]
/// in order. Many identities go to the pool one task each; fewer are cut into runs of consecutive
/// candidates of one identity, which form one parallel step after the candidates are found.
template <typename T, typename Emit>
std::vector<std::vector<T>> rewrite(const IdentityProver& prover, std::span<const IdentityCirc* const> ids,
                                    std::span<const uint32_t> rooms, RuleBound rule_bound, bool serial, Emit&& emit) {
  const RuleIndex& index = prover.rule_index;
  const bool parallel = !serial && pool::num_threads() > 1;
  struct Run {
    uint32_t id;
    uint32_t begin, end;  // indices into the identity's candidates
  };
  // The candidates of an identity: its splittable subsets, in subset order, without those whose
  // gates (as a multiset) are no key's gates when the index tells.
  auto candidates_of = [&](const SubsetSplits& splits, size_t k) {
    std::vector<uint32_t> out = splits.splittable_subsets();
    if (!index.prepared) return out;
    std::array<uint64_t, kCombinationEntries> terms{};
    for (size_t g = 0; g < ids[k]->circ.len(); ++g) terms[g] = gate_multiset_term(ids[k]->circ.instrs[g]);
    std::erase_if(out, [&](uint32_t subset) {
      uint64_t multiset = 0;
      for (; subset != 0; subset &= subset - 1) multiset += terms[std::countr_zero(subset)];
      return !index.has_rules(multiset);
    });
    return out;
  };
  // What `candidates` of ids[k] contribute, appended to `out`.
  auto contributions = [&](const SubsetSplits& splits, size_t k, std::span<const uint32_t> candidates,
                           std::vector<T>& out) {
    const uint32_t room = rooms[k];
    RewriteScratch& scratch = per_thread<RewriteScratch>();
    for (uint32_t subset : candidates) {
      if (!splits.split_gates_into(subset, scratch.split)) continue;
      const auto& [c1_rep, p, c1_hash] = block_representative(scratch.split.c1);
      const auto rules = prover.circ_map.find(c1_rep, c1_hash);
      if (rules == prover.circ_map.end()) continue;
      const Circ& c2_permuted = scratch.c2_permuted;
      scratch.split.c2.permut_into(p, scratch.c2_permuted);
      const RuleList& list = rules->second;
      const auto cached = index.rule_identities.find(c1_rep, c1_hash);
      std::optional<Circ> c1_reversed;
      const uint64_t bound =
          rule_bound == RuleBound::kWrapping ? uint64_t(uint32_t(c1_rep.len()) + room) : uint64_t(c1_rep.len()) + room;
      for (size_t j = 0; j < list.size(); ++j) {
        if (list.rule_len(j) > bound) continue;
        const Circ& rule = list.rule(j, scratch.rule);
        if (cached != index.rule_identities.end()) {
          const IdentityWithHash& rule_identity = cached->second[j];
          emit(out, rule, HashedIdentity{rule_identity.id, rule_identity.hash}, c2_permuted);
        } else {
          // Rules without a computed identity (made on use, or a prover without the index).
          if (!c1_reversed) c1_reversed = c1_rep.inverse();
          const IdentityWithHash rule_identity = rewritten_identity_hashed(joined(rule, *c1_reversed));
          emit(out, rule, HashedIdentity{rule_identity.id, rule_identity.hash}, c2_permuted);
        }
      }
    }
  };
  // Enough identities to share out whole: one task each, with no step between their candidates
  // and their rewrites.
  if (parallel && ids.size() >= kWholeIdentitiesPerThread * pool::num_threads()) {
    return pool::map_index(ids.size(), [&](size_t k) {
      const SubsetSplits splits(*ids[k]);
      std::vector<T> out;
      contributions(splits, k, candidates_of(splits, k), out);
      return out;
    });
  }
  std::vector<SubsetSplits> splits;
  splits.reserve(ids.size());
  for (size_t k = 0; k < ids.size(); ++k) splits.emplace_back(*ids[k]);  // stops at 20 gates
  std::vector<std::vector<uint32_t>> candidates;
  if (parallel && ids.size() > 1) {
    candidates = pool::map_index(ids.size(), [&](size_t k) { return candidates_of(splits[k], k); });
  } else {
    for (size_t k = 0; k < ids.size(); ++k) candidates.push_back(candidates_of(splits[k], k));
  }
  std::vector<Run> runs;
  size_t ncandidates = 0;
  for (size_t k = 0; k < ids.size(); ++k) {
    const uint32_t n = uint32_t(candidates[k].size());
    for (uint32_t b = 0; b < n; b += kCandidatesPerRun)
      runs.push_back(Run{uint32_t(k), b, std::min(n, b + kCandidatesPerRun)});
    ncandidates += n;
  }
  auto run_contributions = [&](size_t r) {
    std::vector<T> out;
    const Run run = runs[r];
    contributions(splits[run.id], run.id,
                  std::span<const uint32_t>(candidates[run.id]).subspan(run.begin, run.end - run.begin), out);
    return out;
  };
  // Little work runs on this thread: handing it out would cost more than it saves.
  std::vector<std::vector<T>> per_run;
  if (parallel && ncandidates >= kMinParallelCandidates) {
    per_run = pool::map_index(runs.size(), run_contributions);
  } else {
    per_run.reserve(runs.size());
    for (size_t r = 0; r < runs.size(); ++r) per_run.push_back(run_contributions(r));
  }
  std::vector<std::vector<T>> out(ids.size());
  for (size_t r = 0; r < runs.size(); ++r)
    std::move(per_run[r].begin(), per_run[r].end(), std::back_inserter(out[runs[r].id]));
  return out;
}

std::vector<std::vector<Rewrite>> search_rewrites(const IdentityProver& prover,
                                                  std::span<const IdentityCirc* const> identities,
                                                  std::span<const uint32_t> additional_sizes, const SearchMode& mode) {
  return rewrite<Rewrite>(prover, identities, additional_sizes, RuleBound::kSaturating, mode.alone,
                          [&](std::vector<Rewrite>& out, const Circ& r, HashedIdentity rule, const Circ& c2_permuted) {
                            if (!established(prover, rule, mode)) return;
                            auto [id, hash] = rewritten_identity_hashed(joined(r, c2_permuted));
                            const bool known = is_established(prover, mode, HashedIdentity{id, hash});
                            out.push_back(Rewrite{std::move(id), hash, known});
                          });
}

std::vector<std::vector<IdentityCirc>> IdentityProver::par_apply_rules_many(
    std::span<const IdentityCirc* const> identities, std::span<const uint32_t> additional_sizes) const {
  return rewrite<IdentityCirc>(
      *this, identities, additional_sizes, RuleBound::kSaturating, false,
      [&](std::vector<IdentityCirc>& out, const Circ& r, HashedIdentity rule, const Circ& c2_permuted) {
        if (proved.contains(rule)) out.push_back(rewritten_identity(joined(r, c2_permuted)));
      });
}

std::vector<IdentityCirc> IdentityProver::par_apply_rules(const IdentityCirc& identity,
                                                          uint32_t additional_size) const {
  const IdentityCirc* id = &identity;
  return std::move(par_apply_rules_many({&id, 1}, {&additional_size, 1})[0]);
}

std::vector<TransitionPair> IdentityProver::par_transition_pairs(const IdentityCirc& identity,
                                                                 uint32_t additional_size) const {
  const IdentityCirc* id = &identity;
  return std::move(rewrite<TransitionPair>(
      *this, {&id, 1}, {&additional_size, 1}, RuleBound::kWrapping, false,
      [](std::vector<TransitionPair>& out, const Circ& r, HashedIdentity rule, const Circ& c2_permuted) {
        out.push_back(TransitionPair{rewritten_identity(joined(r, c2_permuted)), rule.id});
      })[0]);
}

/// One search of add_identity_search, without changing the prover: its visited set, whether it
/// records its identity as an assumption, and the shorter identity it reached, if any, on which
/// add_identity follows.
struct AddSearch {
  IdentitySet visited;
  bool assumed = false;
  std::optional<IdentityCirc> shorter;
};

AddSearch add_search(const IdentityProver& prover, const IdentityCirc& identity, uint32_t additional_size,
                     uint32_t count_limit, const SearchMode& mode = {}) {
  check_splittable(identity);
  const size_t start_len = identity.circ.len();
  uint64_t queued = 0;
  AddSearch out;
  auto end = [&](IdentitySet& visited, bool assumed) {
    out.visited = std::move(visited);
    out.assumed = assumed;
    return std::optional<char>(0);
  };
  auto step = [&](const Rewrite& rewrite, IdentitySet& visited, bool is_queued) -> std::optional<char> {
    if (!is_queued) {
      if (rewrite.id.circ.len() < start_len) {
        out.shorter = rewrite.id;
        return end(visited, false);
      }
      if (rewrite.established) return end(visited, false);
      return std::nullopt;
    }
    if (++queued > count_limit) return end(visited, true);
    return std::nullopt;
  };
  search_identities<char>(
      prover, identity, additional_size, step, [&](IdentitySet& visited) { return *end(visited, true); }, mode);
  return out;
}

/// add_identity without changing the prover: the searches it runs, the first on the identity and
/// each further one on the shorter identity the one before reached, that add_identity would run
/// and record. None when the identity needs no search (empty, or established).
struct AddPlan {
  std::vector<std::pair<IdentityCirc, AddSearch>> searches;
};

AddPlan plan_add_identity(const IdentityProver& prover, IdentityCirc identity, uint32_t additional_size,
                          uint32_t count_limit, const SearchMode& mode = {}) {
  AddPlan plan;
  while (!identity.circ.is_empty() && !established(prover, identity, mode)) {
    AddSearch search = add_search(prover, identity, additional_size, count_limit, mode);
    std::optional<IdentityCirc> next = std::move(search.shorter);
    plan.searches.emplace_back(std::move(identity), std::move(search));
    if (!next) break;
    identity = std::move(*next);
  }
  return plan;
}

/// The assumption part of recording a plan with searches: the last search's identity, if it was
/// assumed. Returns whether it was.
bool record_assumption(IdentityProver& prover, const AddPlan& plan) {
  const auto& [last, last_search] = plan.searches.back();
  if (last_search.assumed) prover.assume.push_back(last);
  return last_search.assumed;
}

/// What the build records while planners on other threads read `proved`: the identities, and the
/// index through which the planners see them as they come.
struct Pending {
  PackedIdentitySet set;
  SharedMemberIndex published;
};

/// Notes the hash of an identity that was added.
void note_added(absl::flat_hash_set<uint64_t>& added, uint64_t hash) {
  make_room(added, 1);
  added.insert(hash);
}

/// Puts an identity among the established ones: into `pending` when given (unless `proved` holds
/// it), else into `proved`. Returns whether it was new.
bool establish(IdentityProver& prover, Pending* pending, HashedIdentity id) {
  if (!pending) return prover.proved.insert(id);
  if (prover.proved.contains(id) || !pending->set.insert(id)) return false;
  pending->published.publish(pending->set.back());
  return true;
}

/// Records a plan as add_identity does: the assumption of the last search, if any, then the
/// visited sets from the last search back to the first. Returns whether an assumption was made.
/// The hashes of the identities it adds go to `added`, when given.
bool record(IdentityProver& prover, AddPlan& plan, absl::flat_hash_set<uint64_t>* added = nullptr,
            Pending* pending = nullptr) {
  if (plan.searches.empty()) return false;
  const bool assumed = record_assumption(prover, plan);
  for (auto it = plan.searches.rbegin(); it != plan.searches.rend(); ++it)
    for (const IdentityCirc& id : it->second.visited) {
      const uint64_t hash = id.hash_value();
      if (establish(prover, pending, HashedIdentity{id, hash}) && added) note_added(*added, hash);
    }
  return assumed;
}

namespace {

/// How far planners run ahead of the identity in turn, per pool thread, and the steps a plan made
/// ahead may take in all before it is left to the identity's turn.
constexpr size_t kPlansAheadPerThread = 8;
constexpr size_t kPlanBudget = 8;
/// The steps of a plan that the calling thread makes while it waits for the plan of the identity
/// in turn: few, so that it is soon back. A plan that runs out of them is tried again beside.
constexpr size_t kWaitingPlanBudget = 2;
/// The steps an identity's turn may take beside the planners before it is left to the whole pool.
constexpr size_t kBesideBudget = 32;
/// A stretch of planning ends once 2^16 identities are pending, and they go into `proved`. Their
/// shared index has four slots for each (4 MiB), or for 16 per identity in a smaller build.
constexpr size_t kStretchMembers = size_t(1) << 16;
unsigned published_slots_log2(size_t identities) {
  return unsigned(std::bit_width(4 * std::clamp<size_t>(16 * identities, 64, kStretchMembers) - 1));
}

/// A plan made ahead, with what its searches found missing from `proved` and the pending
/// identities; none when it ran out of budget or stopped. Its searches' visited sets are left
/// empty: `fresh` holds, for each search, the visited identities that were not established when
/// the plan was made, with their hashes, all that recording the plan can add.
struct SidePlan {
  std::optional<AddPlan> plan;
  Misses misses;
  std::vector<std::vector<IdentityWithHash>> fresh;
  /// The steps its searches computed, for the identity's turn to take again where they still fit.
  std::vector<KeptStep> kept;
};

SidePlan make_side_plan(const IdentityProver& prover, const IdentityCirc& identity, const SharedMemberIndex& published,
                        size_t budget) {
  SidePlan out;
  if (identity.circ.len() > kLongestSplittable) return out;
  const SearchMode mode{
      .published = &published, .misses = &out.misses, .budget = &budget, .alone = true, .kept = &out.kept};
  try {
    out.plan = plan_add_identity(prover, identity, IdentityProver::kBuildAdditionalSize,
                                 IdentityProver::kBuildCountLimit, mode);
  } catch (const OverBudget&) {
    return out;
  } catch (const Panic&) {
    // In its turn the identity may not stop: it is searched again there.
    return out;
  }
  for (auto& [start, search] : out.plan->searches) {
    std::vector<IdentityWithHash>& fresh = out.fresh.emplace_back();
    // Taken out of the visited set, which is left empty, rather than copied.
    for (auto it = search.visited.begin(); it != search.visited.end();) {
      auto node = search.visited.extract(it++);
      const uint64_t hash = node.value().hash_value();
      if (!is_established(prover, SearchMode{.published = &published}, HashedIdentity{node.value(), hash}))
        fresh.push_back(IdentityWithHash{std::move(node.value()), hash});
    }
    search.visited = IdentitySet();
  }
  return out;
}

/// record() of a side plan that holds.
void record_side_plan(IdentityProver& prover, SidePlan& side, absl::flat_hash_set<uint64_t>& added, Pending* pending) {
  if (side.plan->searches.empty()) return;
  record_assumption(prover, *side.plan);
  for (auto it = side.fresh.rbegin(); it != side.fresh.rend(); ++it)
    for (const IdentityWithHash& fresh : *it)
      if (establish(prover, pending, HashedIdentity{fresh.id, fresh.hash})) note_added(added, fresh.hash);
}

}  // namespace

/// The build's proving step: add_identity(identity, 3, 50000000) on each identity in order, except
/// that an identity too long to split is assumed as it is. On a pool of more than one thread, once
/// the first kPlansAheadPerThread plans per thread are made, the calling thread takes the
/// identities in turn while the other threads plan the next ones (up to kPlansAheadPerThread per
/// thread ahead) against the prover as it stands, which grows meanwhile:
/// what the calling thread records goes into `pending`, which planners see through its shared
/// index, and into `proved` when a stretch of planning ends. A plan none of whose misses was added
/// since it was made is the plan add_identity would make now, and is recorded; any other identity
/// is added in its turn, beside the planners while its search is short, else once they have
/// stopped, when the whole pool can serve it. So the prover ends as the one-by-one build leaves
/// it, for any pool size.
void add_in_order(IdentityProver& prover, std::vector<IdentityCirc>& identities, ProgressBar& bar) {
  const uint32_t size = IdentityProver::kBuildAdditionalSize, limit = IdentityProver::kBuildCountLimit;
  using Added = absl::flat_hash_set<uint64_t>;
  // `into` (pending identities) only for an identity too long to split.
  auto add_in_turn = [&](IdentityCirc& identity, Added* added, Pending* into = nullptr) {
    // No rule rewrites an identity too long to split: it is assumed as it is.
    if (identity.circ.len() > kLongestSplittable) {
      const uint64_t hash = identity.hash_value();
      if (establish(prover, into, HashedIdentity{identity, hash})) {
        if (added) note_added(*added, hash);
        prover.assume.push_back(std::move(identity));
      }
      return;
    }
    AddPlan plan = plan_add_identity(prover, std::move(identity), size, limit);
    record(prover, plan, added);
  };
  if (pool::num_threads() == 1) {
    for (IdentityCirc& identity : identities) {
      bar.inc();
      add_in_turn(identity, nullptr);
    }
    return;
  }
  const size_t n = identities.size();
  const size_t ahead = kPlansAheadPerThread * pool::num_threads();
  // The plan of identity i is in slot i % ahead, made in stretch `stretch`, once `ready_for` is i + 1.
  struct Slot {
    std::atomic<uint64_t> ready_for{0};
    uint64_t stretch = 0;
    SidePlan side;
  };
  auto slots = std::make_unique<Slot[]>(ahead);
  std::atomic<uint64_t> next{0};   // the identity the next planner takes
  std::atomic<uint64_t> below{0};  // planners take identities below this, until `closing`
  std::atomic<bool> closing{false};
  uint64_t stretch = 0;
  Pending pending{PackedIdentitySet(), SharedMemberIndex(published_slots_log2(n))};
  // The hashes of the identities added in this stretch, and in the one before with what was added
  // between them. A plan of an older stretch is not looked at.
  Added added_before, added;

  // Takes the next identity for this thread to plan, if it is below `bound`.
  auto take_below = [&](uint64_t bound) -> std::optional<uint64_t> {
    for (uint64_t j = next.load(std::memory_order_relaxed); j < std::min<uint64_t>(n, bound);)
      if (next.compare_exchange_weak(j, j + 1, std::memory_order_relaxed)) return j;
    return std::nullopt;
  };
  // Plans identity i, which this thread took, into its slot; a plan that fails (out of memory)
  // is left to the identity's turn, which meets the failure again, unless `rethrow`.
  auto plan = [&](uint64_t i, size_t budget, bool rethrow) {
    Slot& slot = slots[i % ahead];
    try {
      slot.side = make_side_plan(prover, identities[i], pending.published, budget);
    } catch (...) {
      if (rethrow) throw;
      slot.side = SidePlan();
    }
    slot.stretch = stretch;
    slot.ready_for.store(i + 1, std::memory_order_release);
    slot.ready_for.notify_one();
  };
  auto planner = [&](size_t) {
    while (true) {
      // Read before `closing`: the bound a closing sets comes with it.
      const uint64_t bound = below.load(std::memory_order_acquire);
      if (closing.load(std::memory_order_relaxed) || next.load(std::memory_order_relaxed) >= n) return char(0);
      if (std::optional<uint64_t> i = take_below(bound))
        plan(*i, kPlanBudget, false);
      else
        below.wait(bound, std::memory_order_acquire);
    }
  };
  // Whether hash h was added since a plan of stretch `made` was made.
  auto added_since = [&](uint64_t made) {
    return [&, made](uint64_t h) { return added.contains(h) || (made != stretch && added_before.contains(h)); };
  };
  // Whether plan `s` of stretch `made` is the plan add_identity would make now.
  auto holds = [&](const SidePlan& s, uint64_t made) {
    return made + 1 >= stretch && s.plan && std::none_of(s.misses.begin(), s.misses.end(), added_since(made));
  };
  // Verifies identity i beside the planners with plan `s` of stretch `made`, recording into
  // `pending`; leaves (returns false) an identity whose turn takes a search of more than
  // kBesideBudget steps, and any turn once every identity is taken (no planning goes on beside it).
  auto verify = [&](SidePlan& s, uint64_t made, size_t i) {
    if (holds(s, made)) {
      record_side_plan(prover, s, added, &pending);
      return true;
    }
    IdentityCirc& identity = identities[i];
    if (identity.circ.len() > kLongestSplittable) {
      add_in_turn(identity, &added, &pending);
      return true;
    }
    if (next.load(std::memory_order_relaxed) >= n) return false;
    // The plan's steps whose rule identities are still missing are those the turn would compute.
    StepReuse reuse;
    make_room(reuse, s.kept.size());
    if (made + 1 >= stretch)
      for (KeptStep& step : s.kept)
        if (std::none_of(s.misses.begin() + step.rule_misses_begin, s.misses.begin() + step.rule_misses_end,
                         added_since(made)))
          reuse.emplace(std::move(step.id), &step);
    size_t budget = kBesideBudget;
    try {
      AddPlan plan =
          plan_add_identity(prover, identity, size, limit,
                            SearchMode{.pending = &pending.set, .budget = &budget, .alone = true, .reuse = &reuse});
      record(prover, plan, &added, &pending);
    } catch (const OverBudget&) {
      return false;
    }
    return true;
  };
  auto stop = interrupt::stop_token();
  size_t i = 0;
  while (i < n) {
    if (next.load(std::memory_order_relaxed) >= n) {
      // Every identity is planned: the rest in turn, each with the whole pool, recording into
      // `proved` as it goes.
      for (; i < n; ++i) {
        Slot& slot = slots[i % ahead];
        if (holds(slot.side, slot.stretch))
          record_side_plan(prover, slot.side, added, nullptr);
        else
          add_in_turn(identities[i], &added);
        bar.inc();
      }
      break;
    }
    closing.store(false, std::memory_order_relaxed);
    below.store(i + ahead, std::memory_order_relaxed);
    bool needs_pool = false;
    pool::map_index_beside(
        pool::num_threads() - 1, planner,
        [&] {
          // However this ends, the planners stop taking identities.
          absl::Cleanup close = [&] {
            closing.store(true, std::memory_order_relaxed);
            below.store(0, std::memory_order_release);
            below.notify_all();
          };
          // The first window of plans is made side by side before any turn, this thread planning too.
          if (i == 0)
            while (std::optional<uint64_t> j = take_below(ahead)) plan(*j, kPlanBudget, true);
          while (i < n) {
            interrupt::check();
            Slot& slot = slots[i % ahead];
            uint64_t expected = i;
            bool held;
            if (next.compare_exchange_strong(expected, i + 1, std::memory_order_relaxed)) {
              SidePlan none;  // no planner took it
              held = verify(none, stretch, i);
            } else {
              // While its plan is being made, this thread plans the next identity no planner took, in a
              // few steps.
              for (uint64_t r; (r = slot.ready_for.load(std::memory_order_acquire)) != i + 1;) {
                if (std::optional<uint64_t> j = take_below(i + ahead))
                  plan(*j, kWaitingPlanBudget, true);
                else
                  slot.ready_for.wait(r, std::memory_order_acquire);
              }
              held = verify(slot.side, slot.stretch, i);
            }
            if (!held) {
              needs_pool = true;
              return;
            }
            ++i;
            below.store(i + ahead, std::memory_order_release);
            below.notify_all();
            bar.inc();
            if (pending.set.size() >= kStretchMembers) return;
          }
        },
        &stop);
    prover.proved.insert_all(pending.set);
    pending.published.clear();
    pending.set = PackedIdentitySet();
    if (needs_pool) {
      add_in_turn(identities[i], &added);
      ++i;
      bar.inc();
    }
    added_before = std::move(added);
    added.clear();
    ++stretch;
  }
}

bool IdentityProver::add_identity(IdentityCirc identity, uint32_t additional_size, uint32_t count_limit) {
  AddPlan plan = plan_add_identity(*this, std::move(identity), additional_size, count_limit);
  return record(*this, plan);
}

std::pair<IdentitySet, bool> IdentityProver::add_identity_search(IdentityCirc identity, uint32_t additional_size,
                                                                 uint32_t count_limit) {
  AddSearch search = add_search(*this, identity, additional_size, count_limit);
  if (search.assumed) assume.push_back(identity);
  // The nested add_identity is the search's last step, so it runs after the search has ended.
  if (search.shorter) search.assumed = add_identity(std::move(*search.shorter), additional_size, count_limit);
  return {std::move(search.visited), search.assumed};
}

std::pair<std::optional<IdentityCirc>, IdentitySet> IdentityProver::prove_identity_with_visited(
    IdentityCirc identity, uint32_t additional_size, uint32_t count_limit) const {
  using Result = std::pair<std::optional<IdentityCirc>, IdentitySet>;
  check_splittable(identity);
  // The empty identity holds without proof.
  if (identity.circ.is_empty()) {
    IdentitySet visited;
    make_room(visited, 1);
    visited.insert(std::move(identity));
    return Result{std::nullopt, std::move(visited)};
  }
  const size_t start_len = identity.circ.len();
  auto step = [&](const Rewrite& rewrite, IdentitySet& visited, bool is_queued) -> std::optional<Result> {
    if (!is_queued) {
      const IdentityCirc& new_id = rewrite.id;
      if (new_id.circ.is_empty()) return Result{std::nullopt, std::move(visited)};
      if (new_id.circ.len() < start_len) {
        auto [gave_up_at, nested] = prove_identity_with_visited(new_id, additional_size, count_limit);
        make_room(visited, nested.size());
        visited.merge(nested);
        return Result{std::move(gave_up_at), std::move(visited)};
      }
      if (rewrite.established) return Result{std::nullopt, std::move(visited)};
      return std::nullopt;
    }
    if (visited.size() > count_limit) return Result{identity, std::move(visited)};
    return std::nullopt;
  };
  auto exhausted = [&](IdentitySet& visited) { return Result{identity, std::move(visited)}; };
  return search_identities<Result>(*this, identity, additional_size, step, exhausted);
}

std::optional<IdentityCirc> IdentityProver::prove_identity(IdentityCirc identity, uint32_t additional_size,
                                                           uint32_t count_limit) const {
  return prove_identity_with_visited(std::move(identity), additional_size, count_limit).first;
}

}  // namespace morvane
