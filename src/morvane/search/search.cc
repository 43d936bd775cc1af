#include "morvane/search/search.h"

#include <bit>
#include <deque>
#include <string>

#include <fmt/format.h>

#include "morvane/core/interrupt.h"
#include "morvane/core/panic.h"
#include "morvane/core/stdout_writer.h"
#include "morvane/search/evaluator.h"
#include "morvane/search/surface.h"
#include "morvane/state/state_lanes.h"

namespace morvane {

namespace {

// Pending signals are looked at once per this many expansions: a fraction of a millisecond.
constexpr uint32_t kExpansionsPerCheck = 64;

/// Placement numbers of surface gates at one end of a circuit. They act on disjoint qubits, so a
/// circuit of the search (at most 8 qubits, as its permutations) has at most 8 at either end.
struct SurfaceList {
  std::array<uint32_t, 8> at;
  uint32_t size = 0;
  void push_back(uint32_t u) {
    if (size == at.size()) [[unlikely]]
      overflow();
    at[size++] = u;
  }
  // Out of line, so that push_back is small enough to go inline everywhere.
  [[noreturn, gnu::noinline, gnu::cold]] static void overflow() {
    panic("more surface gates than a circuit of the search has");
  }
  void append(const SurfaceList& other) {
    for (uint32_t k = 0; k < other.size; ++k) push_back(other.at[k]);
  }
  std::span<const uint32_t> span() const { return {at.data(), size}; }
};

void write_progress(size_t iterations, std::span<const Instr32> circuit, size_t queued, size_t classes, size_t circs,
                    size_t circs_perm, std::string& line) {
  line.clear();
  fmt::format_to(std::back_inserter(line), "#{} Exploring ", iterations);
  for (size_t k = 0; k < circuit.size(); ++k) {
    if (k) line += ' ';
    line += circuit[k].display();
  }
  fmt::format_to(std::back_inserter(line), " ({} queued, {} ECCs, {} circs, {} circs perm)\n", queued, classes, circs,
                 circs_perm);
  write_stdout(line);
}

template <bool Naive>
SearchResult run_search(const Evaluator& evaluator, std::span<const Instr32> instrs, size_t max_size) {
  RawECCs map(evaluator);
  map.prepare(instrs);
  const uint32_t n = evaluator.nqubits();
  const Permut32 id = Permut32::identity(uint8_t(n));

  // Adjoints of the candidates' gates, looked up when a candidate is first evaluated (which may
  // register them), then reused for every circuit that contains it.
  std::vector<int32_t> adjoint_of;
  auto adjoint = [&](Instr32 i) {
    if (i.gate.index >= adjoint_of.size()) adjoint_of.resize(size_t(i.gate.index) + 1, -1);
    if (adjoint_of[i.gate.index] < 0) adjoint_of[i.gate.index] = i.gate.adjoint().index;
    return Instr32{Gate16(uint16_t(adjoint_of[i.gate.index])), i.qargs};
  };

  std::deque<AliasList> queue{AliasList::nil()};
  size_t iterations = 0, circs = 0, circs_perm = 0;
  std::vector<Instr32> instr_vec;
  // The expanded circuit's gates and, shared by the backward runs, their adjoints (each
  // candidate's adjoint comes first in its run).
  std::vector<PreparedGate> forwards, adjoints;
  // Each candidate and its adjoint, prepared when the candidate is first evaluated (in the first
  // iteration, in candidate order, where an unfit candidate stops as its application would); the
  // expanded circuits, made of candidates, take theirs from there.
  std::vector<PreparedGate> cand_forward, cand_adjoint;
  cand_forward.reserve(instrs.size());
  cand_adjoint.reserve(instrs.size());
  // Up to 4 qubits (a few hundred small states), each candidate's backward starts, by candidate
  // then Lehmer rank; beyond, the table would outweigh the search's own memory.
  std::vector<StateVec> starts;
  const bool with_starts = !Naive && n >= 2 && n <= 4 && StateLanes::available();
  const size_t nperms = with_starts ? Permut32::all(uint8_t(n)).size() : 0;
  if (with_starts) starts.reserve(instrs.size() * nperms);
  // By placement number: the first candidate evaluated with it (every candidate, in the first
  // iteration).
  std::vector<int32_t> candidate_at;
  StateVec prefix = StateVec::zeros(n);
  std::string line;
  const PermPair identity_pair{id, id};

  // Candidates are hashed and recorded a few evaluations after their own, across iterations: their
  // key states are hashed kBatch at a time, and the lookups of their classes overlap with
  // evaluations. When a batch is hashed the index slots of its classes are prefetched, the class
  // records of the batch before are prefetched, and the batch before that is recorded. The map sees
  // the candidates in their order all the same; everything that reads the map or the queue (the
  // progress line, the reservation of a new length, the end of the queue) waits for the pending
  // records first.
  // Candidates are evaluated kLanes at a time (their backward runs on lanes where they can be).
  constexpr size_t kBatch = StateVec::kHashBatch, kSlots = 4 * kBatch, kLanes = StateLanes::kLanes;
  static_assert(2 * kBatch + kBatch + kLanes <= kSlots, "a group's slots are free");
  std::optional<StateLanes> lanes;
  if (!Naive && n >= 2 && n <= StateLanes::kMaxQubits && StateLanes::available()) lanes.emplace(n);
  struct Pending {
    AliasList parent;
    Instr32 candidate;
    size_t len = 0;  // of the candidate circuit
    const StateVec* keyed = nullptr;  // the state whose hash is the key
    uint64_t key = 0;
    uint32_t hint = RawECCs::Map::kNoHint;  // from the prefetch of its class record
    // The candidate circuit's surface gates as placement numbers, in visiting order.
    SurfaceList front, back;
  };
  std::vector<Evaluator::Scratch> scratch(kSlots, Evaluator::Scratch(n));
  std::array<Pending, kSlots> pending;
  // Candidates evaluated, hashed and recorded over the whole search.
  size_t issued = 0, hashed = 0, recorded = 0;

  // Surface gates of a candidate circuit (the expanded circuit plus one instruction), from those of
  // the expanded circuit: its front ones plus the candidate when none of its qubits is touched yet;
  // at the back the candidate, then the expanded circuit's back gates seen past the candidate's
  // qubits, kept for each qubit mask of a candidate. All as placement numbers.
  SurfaceList parent_front;
  uint32_t parent_touched = 0;
  std::array<SurfaceList, 32> parent_back;
  std::array<size_t, 32> parent_back_at{};
  // An instruction's scanned qubits and its placement number: the expanded circuit's, in
  // execution order, and each candidate's (by candidate, from its first evaluation on).
  struct Scanned {
    ScannedQubits qubits;
    uint32_t placement;
  };
  auto scan = [&](Instr32 i) { return Scanned{ScannedQubits(i), map.placement(i)}; };
  std::vector<Scanned> parent_scanned, cand_scanned;
  // The back surface gates of the expanded circuit, past the qubits in `mask`.
  auto parent_back_past = [&](uint32_t mask, SurfaceList& out) {
    for (size_t k = parent_scanned.size(); k-- > 0;)
      if (parent_scanned[k].qubits.touches_only_fresh(mask)) out.push_back(parent_scanned[k].placement);
  };
  auto surfaces = [&](Instr32 candidate, size_t e, Pending& p) {
    if (cand_scanned.size() == e) cand_scanned.push_back(scan(candidate));
    const uint32_t mask = cand_scanned[e].qubits.mask;
    const uint32_t placement = cand_scanned[e].placement;
    if (placement >= candidate_at.size()) candidate_at.resize(size_t(placement) + 1, -1);
    if (candidate_at[placement] < 0) candidate_at[placement] = int32_t(e);
    p.front = parent_front;
    if ((mask & parent_touched) == 0) p.front.push_back(placement);
    p.back.size = 0;
    p.back.push_back(placement);
    if (mask < 32) {
      if (parent_back_at[mask] != iterations + 1) {
        parent_back[mask].size = 0;
        parent_back_past(mask, parent_back[mask]);
        parent_back_at[mask] = iterations + 1;
      }
      p.back.append(parent_back[mask]);
    } else {
      parent_back_past(mask, p.back);
    }
  };

  auto record_next = [&] {
    const Pending& p = pending[recorded % kSlots];
    const Evaluator::Scratch& s = scratch[recorded % kSlots];
    ++recorded;
    const size_t npairs = Naive ? 1 : s.pairs.size();
    for (size_t k = 0; k < npairs; ++k) {
      auto [front_perm, back_perm] = Naive ? identity_pair : s.pairs[k];
      auto list = map.add_entry_with_surfaces(p.key, front_perm, back_perm, p.parent, p.candidate, p.front.span(),
                                              p.back.span(), p.hint);
      if (!list.is_nil() && p.len < max_size) queue.push_back(list);
      ++circs_perm;
    }
  };
  // Hashes the candidates from `hashed` on, `count` of them (at most kBatch, in consecutive slots).
  auto hash_next = [&](size_t count) {
    std::array<const StateVec*, kBatch> states;
    std::array<uint64_t, kBatch> keys;
    for (size_t k = 0; k < count; ++k) states[k] = pending[(hashed + k) % kSlots].keyed;
    StateVec::hash_values(std::span(states).first(count), keys.data());
    for (size_t k = 0; k < count; ++k) {
      pending[(hashed + k) % kSlots].key = keys[k];
      pending[(hashed + k) % kSlots].hint = RawECCs::Map::kNoHint;
      map.prefetch(keys[k]);
    }
    hashed += count;
  };
  auto record_all = [&] {
    if (hashed < issued) hash_next(issued - hashed);
    while (recorded < issued) record_next();
  };

  // Materialises a list taken from the queue into instr_vec. The circuits come off the queue in the
  // order they were found, so the next one mostly shares all but its last cell or two with the one
  // before (siblings share their parent): the walk stops at the first cell the previous list had at
  // the same step from its head (a cell fixes the whole list behind it, and its length), and only
  // the instructions before it are replaced.
  std::vector<uint32_t> taken_cells;  // the previous list's cells, newest first
  std::vector<uint32_t> new_cells, new_heads;
  auto take = [&](AliasList list) {
    const AliasArena& arena = map.arena();
    new_cells.clear();
    new_heads.clear();
    AliasList at = list;
    for (size_t step = 0; !at.is_nil(); ++step) {
      if (step < taken_cells.size() && taken_cells[step] == at.index) break;
      const auto& cell = arena.cell(at);
      new_cells.push_back(at.index);
      new_heads.push_back(cell.head_raw);
      at = AliasList{cell.tail};
    }
    const size_t fresh = new_cells.size();
    if (at.is_nil()) {
      taken_cells.assign(new_cells.begin(), new_cells.end());
      instr_vec.resize(fresh);
    }
    for (size_t step = 0; step < fresh; ++step) {
      taken_cells[step] = new_cells[step];
      instr_vec[instr_vec.size() - 1 - step] = std::bit_cast<Instr32>(new_heads[step]);
    }
  };

  interrupt::Ticker ticker(kExpansionsPerCheck);
  // The number of classes when the expansion of each circuit length began: the next length is
  // expected to multiply the classes by the factor the previous one did, and the index is grown
  // to that once, instead of doubling (and rehashing every class) on the way.
  std::vector<size_t> classes_at_length;
  for (;;) {
    if (queue.empty()) {
      record_all();
      if (queue.empty()) break;
    }
    ticker.tick();
    AliasList current = queue.front();
    queue.pop_front();
    take(current);
    if (instr_vec.size() >= classes_at_length.size()) {
      record_all();
      classes_at_length.push_back(map.inner().size());
      const size_t k = classes_at_length.size();
      if (k >= 2 && classes_at_length[k - 2] > 0) {
        const double growth = double(classes_at_length[k - 1]) / double(classes_at_length[k - 2]);
        map.reserve(size_t(double(classes_at_length[k - 1]) * growth));
      }
    }
    parent_scanned.clear();
    parent_front.size = 0;
    parent_touched = 0;
    for (Instr32 i : instr_vec) {
      const Scanned g = scan(i);
      parent_scanned.push_back(g);
      if (g.qubits.touches_only_fresh(parent_touched)) parent_front.push_back(g.placement);
    }
    if (iterations % 400 == 0) {
      record_all();
      write_progress(iterations, instr_vec, queue.size(), map.inner().size(), circs, circs_perm, line);
    }

    if constexpr (Naive) {
      prefix.copy_from(evaluator.backtrack_state());
      for (Instr32 i : instr_vec) prefix.apply(i);
    } else {
      forwards.clear();
      adjoints.clear();
      for (Instr32 i : instr_vec) {
        const size_t e = size_t(candidate_at[map.placement(i)]);
        forwards.push_back(cand_forward[e]);
        adjoints.push_back(cand_adjoint[e]);
      }
      evaluator.prefix_into(forwards, prefix);
    }
    // The candidates kLanes at a time: forward runs, then their backward runs together.
    for (size_t e0 = 0; e0 < instrs.size(); e0 += kLanes) {
      const size_t count = std::min(kLanes, instrs.size() - e0);
      std::array<Evaluator::Scratch*, kLanes> group;
      std::array<const PreparedGate*, kLanes> first, last;
      std::array<const StateVec*, kLanes> group_starts;
      for (size_t j = 0; j < count; ++j) {
        const size_t e = e0 + j;
        Evaluator::Scratch& s = scratch[(issued + j) % kSlots];
        group[j] = &s;
        if (cand_forward.size() == e) cand_forward.push_back(PreparedGate::prepare(instrs[e], n));
        if constexpr (Naive) {
          s.forward.copy_from(prefix);
          s.forward.apply(cand_forward[e]);
          s.forward.normalize_arg();
        } else {
          // Both lists were reserved for every candidate: the pointers stay valid.
          first[j] = &cand_forward[e];
          if (cand_adjoint.size() == e) {
            cand_adjoint.push_back(PreparedGate::prepare(adjoint(instrs[e]), n));
            if (with_starts) evaluator.append_backward_starts(cand_adjoint[e], starts);
          }
          last[j] = &cand_adjoint[e];
          if (with_starts) group_starts[j] = &starts[e * nperms];
        }
      }
      if constexpr (!Naive)
        evaluator.extend_batch(prefix, std::span(first).first(count), adjoints, std::span(last).first(count),
                               std::span(group).first(count), lanes ? &*lanes : nullptr,
                               std::span(group_starts).first(with_starts ? count : 0));
      for (size_t j = 0; j < count; ++j) {
        const Instr32 candidate = instrs[e0 + j];
        Pending& p = pending[issued % kSlots];
        p.keyed = Naive ? &group[j]->forward : &group[j]->best;
        p.parent = current;
        p.candidate = candidate;
        p.len = instr_vec.size() + 1;
        surfaces(candidate, e0 + j, p);
        ++issued;
        ++circs;
        if (issued - hashed == kBatch) {
          hash_next(kBatch);
          // The batch before: its class records; the one before that: recorded.
          for (size_t k = std::max(recorded, hashed - std::min(hashed, 2 * kBatch)); k < hashed - kBatch; ++k)
            pending[k % kSlots].hint = map.prefetch_record(pending[k % kSlots].key);
          while (recorded + 2 * kBatch < hashed) record_next();
        }
      }
    }
    ++iterations;
  }
  map.set_drop();
  return SearchResult{std::move(map), {iterations, circs, circs_perm}};
}

}  // namespace

SearchResult search(const Evaluator& evaluator, std::span<const Instr32> instrs, size_t max_size) {
  return run_search<false>(evaluator, instrs, max_size);
}

SearchResult search_naive(const Evaluator& evaluator, std::span<const Instr32> instrs, size_t max_size) {
  return run_search<true>(evaluator, instrs, max_size);
}

SearchResult generate(const Evaluator& evaluator, std::vector<Gate16> gates, size_t max_size) {
  return search(evaluator, generator_placements(std::move(gates), evaluator.nqubits()), max_size);
}

SearchResult generate_naive(const Evaluator& evaluator, std::vector<Gate16> gates, size_t max_size) {
  return search_naive(evaluator, generator_placements(std::move(gates), evaluator.nqubits()), max_size);
}

}  // namespace morvane
