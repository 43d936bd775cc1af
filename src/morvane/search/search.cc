#include "morvane/search/search.h"

#include <algorithm>
#include <array>
#include <bit>
#include <deque>
#include <optional>
#include <span>
#include <string>
#include <vector>

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

/// An instruction's scanned qubits and its placement number.
struct Scanned {
  ScannedQubits qubits;
  uint32_t placement;
  Scanned(Instr32 i, const RawECCs& map) : qubits(i), placement(map.placement(i)) {}
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

/// The candidate instructions, each prepared once for the evaluator (with its adjoint and, up to 4
/// qubits, its backward starts) and scanned once; the expanded circuits, made of candidates, take
/// their prepared gates from here.
template <bool Naive>
class Candidates {
 public:
  struct Candidate {
    Instr32 instr;
    Scanned scanned;
    PreparedGate forward, adjoint;     // the adjoint only in the batched search
    const StateVec* starts = nullptr;  // its append_backward_starts, where kept
  };

  Candidates(const Evaluator& evaluator, const RawECCs& map, std::span<const Instr32> instrs)
      : evaluator_(evaluator), map_(map), instrs_(instrs) {}

  /// Prepares every candidate, in candidate order: an unfit one stops as its application would.
  /// Adjoints are looked up here, which may register them.
  void prepare() {
    const uint32_t n = evaluator_.nqubits();
    // Up to 4 qubits (a few hundred small states), each candidate's backward starts, by candidate
    // then Lehmer rank; beyond, the table would outweigh the search's own memory.
    const bool with_starts = !Naive && n >= 2 && n <= 4 && StateLanes::available();
    const size_t nperms = with_starts ? Permut32::all(uint8_t(n)).size() : 0;
    starts_.reserve(instrs_.size() * nperms);
    list_.reserve(instrs_.size());
    for (Instr32 i : instrs_) {
      const PreparedGate forward = PreparedGate::prepare(i, n);
      PreparedGate adjoint_gate;
      const StateVec* starts = nullptr;
      if constexpr (!Naive) {
        adjoint_gate = PreparedGate::prepare(adjoint(i), n);
        if (with_starts) {
          starts = starts_.data() + starts_.size();  // reserved: stays valid
          evaluator_.append_backward_starts(adjoint_gate, starts_);
        }
      }
      const Candidate c{i, Scanned(i, map_), forward, adjoint_gate, starts};
      const uint32_t u = c.scanned.placement;
      if (u >= first_at_.size()) first_at_.resize(size_t(u) + 1, -1);
      if (first_at_[u] < 0) first_at_[u] = int32_t(list_.size());
      list_.push_back(c);
    }
  }

  size_t size() const { return instrs_.size(); }
  const Candidate& operator[](size_t e) const { return list_[e]; }
  /// The first candidate of the instruction's placement.
  const Candidate& of(Instr32 i) const { return list_[size_t(first_at_[map_.placement(i)])]; }

 private:
  Instr32 adjoint(Instr32 i) {
    if (i.gate.index >= adjoint_of_.size()) adjoint_of_.resize(size_t(i.gate.index) + 1, -1);
    if (adjoint_of_[i.gate.index] < 0) adjoint_of_[i.gate.index] = i.gate.adjoint().index;
    return Instr32{Gate16(uint16_t(adjoint_of_[i.gate.index])), i.qargs};
  }

  const Evaluator& evaluator_;
  const RawECCs& map_;
  std::span<const Instr32> instrs_;
  std::vector<Candidate> list_;
  std::vector<int32_t> first_at_;    // by placement number
  std::vector<int32_t> adjoint_of_;  // by gate index
  std::vector<StateVec> starts_;
};

/// The queue of circuits to expand and the one taken from it: its instructions, their scan, and
/// the surface gates of its extensions by one candidate.
class Cursor {
 public:
  Cursor() : queue_{AliasList::nil()} {}

  bool empty() const { return queue_.empty(); }
  size_t queued() const { return queue_.size(); }
  void push(AliasList list) { queue_.push_back(list); }
  AliasList current() const { return current_; }
  std::span<const Instr32> instrs() const { return instrs_; }

  /// Takes the next circuit off the queue into `instrs`. The circuits come off the queue in the
  /// order they were found, so the next one mostly shares all but its last cell or two with the one
  /// before (siblings share their parent): the walk stops at the first cell the previous list had at
  /// the same step from its head (a cell fixes the whole list behind it, and its length), and only
  /// the instructions before it are replaced.
  void take(const AliasArena& arena) {
    current_ = queue_.front();
    queue_.pop_front();
    ++taken_;
    new_cells_.clear();
    new_heads_.clear();
    AliasList at = current_;
    for (size_t step = 0; !at.is_nil(); ++step) {
      if (step < taken_cells_.size() && taken_cells_[step] == at.index) break;
      const auto& cell = arena.cell(at);
      new_cells_.push_back(at.index);
      new_heads_.push_back(cell.head_raw);
      at = AliasList{cell.tail};
    }
    const size_t fresh = new_cells_.size();
    if (at.is_nil()) {
      taken_cells_.assign(new_cells_.begin(), new_cells_.end());
      instrs_.resize(fresh);
    }
    for (size_t step = 0; step < fresh; ++step) {
      taken_cells_[step] = new_cells_[step];
      instrs_[instrs_.size() - 1 - step] = std::bit_cast<Instr32>(new_heads_[step]);
    }
  }

  /// Scans the taken circuit's instructions: their qubits and front surface gates.
  void scan(const RawECCs& map) {
    scanned_.clear();
    front_.size = 0;
    touched_ = 0;
    for (Instr32 i : instrs_) {
      const Scanned g(i, map);
      scanned_.push_back(g);
      if (g.qubits.touches_only_fresh(touched_)) front_.push_back(g.placement);
    }
  }

  /// The surface gates of the taken circuit extended by `candidate`, from those of the circuit: its
  /// front ones plus the candidate when none of its qubits is touched yet; at the back the
  /// candidate, then the circuit's back gates seen past the candidate's qubits, kept for each qubit
  /// mask of a candidate. All as placement numbers.
  void surfaces(const Scanned& candidate, SurfaceList& front, SurfaceList& back) {
    const uint32_t mask = candidate.qubits.mask;
    front = front_;
    if ((mask & touched_) == 0) front.push_back(candidate.placement);
    back.size = 0;
    back.push_back(candidate.placement);
    if (mask < 32) {
      if (back_at_[mask] != taken_) {
        back_[mask].size = 0;
        back_past(mask, back_[mask]);
        back_at_[mask] = taken_;
      }
      back.append(back_[mask]);
    } else {
      back_past(mask, back);
    }
  }

 private:
  /// The back surface gates of the taken circuit, past the qubits in `mask`.
  void back_past(uint32_t mask, SurfaceList& out) const {
    for (size_t k = scanned_.size(); k-- > 0;)
      if (scanned_[k].qubits.touches_only_fresh(mask)) out.push_back(scanned_[k].placement);
  }

  std::deque<AliasList> queue_;
  AliasList current_ = AliasList::nil();
  size_t taken_ = 0;
  std::vector<Instr32> instrs_;
  std::vector<uint32_t> taken_cells_;  // the previous list's cells, newest first
  std::vector<uint32_t> new_cells_, new_heads_;
  // The taken circuit's instructions in execution order, its front surface gates and the qubits
  // they touch, and its back surface gates past each candidate's qubit mask (valid while
  // back_at_ is the number of the taken circuit).
  std::vector<Scanned> scanned_;
  SurfaceList front_;
  uint32_t touched_ = 0;
  std::array<SurfaceList, 32> back_;
  std::array<size_t, 32> back_at_{};
};

/// The evaluated candidates on their way into the map, in a ring of slots. Candidates are hashed and
/// recorded a few evaluations after their own, across expansions: their key states are hashed
/// kBatch at a time, and the lookups of their classes overlap with evaluations. When a batch is
/// hashed the index slots of its classes are prefetched, the class records of the batch before are
/// prefetched, and the batch before that is recorded. The map sees the candidates in their order
/// all the same; everything that reads the map or the queue waits for the pending records first
/// (drain).
template <bool Naive>
class Pipeline {
 public:
  static constexpr size_t kBatch = StateVec::kHashBatch, kSlots = 4 * kBatch;
  static_assert(2 * kBatch + kBatch + StateLanes::kLanes <= kSlots, "a group's slots are free");

  struct Slot {
    explicit Slot(uint32_t nqubits) : scratch(nqubits) {}
    Evaluator::Scratch scratch;
    AliasList parent;
    Instr32 candidate;
    size_t len = 0;  // of the candidate circuit
    uint64_t key = 0;
    uint32_t hint = RawECCs::Map::kNoHint;  // from the prefetch of its class record
    // The candidate circuit's surface gates as placement numbers, in visiting order.
    SurfaceList front, back;
    /// The state whose hash is the key.
    const StateVec& keyed() const { return Naive ? scratch.forward : scratch.best; }
  };

  Pipeline(uint32_t nqubits, RawECCs& map, Cursor& cursor, size_t max_size)
      : slots_(kSlots, Slot(nqubits)),
        map_(map),
        cursor_(cursor),
        max_size_(max_size),
        identity_pair_{Permut32::identity(uint8_t(nqubits)), Permut32::identity(uint8_t(nqubits))} {}

  /// The slot of the candidate `ahead` places after the last one issued.
  Slot& next(size_t ahead = 0) { return slots_[(issued_ + ahead) % kSlots]; }
  /// Hands on the next slot, filled: hashes a batch once one is complete, prefetches the class
  /// records of the batch before and records the one before that.
  void issue() {
    ++issued_;
    if (issued_ - hashed_ < kBatch) return;
    hash(kBatch);
    for (size_t k = std::max(recorded_, hashed_ - std::min(hashed_, 2 * kBatch)); k < hashed_ - kBatch; ++k)
      slots_[k % kSlots].hint = map_.prefetch_record(slots_[k % kSlots].key);
    while (recorded_ + 2 * kBatch < hashed_) record_next();
  }
  /// Records every slot issued.
  void drain() {
    if (hashed_ < issued_) hash(issued_ - hashed_);
    while (recorded_ < issued_) record_next();
  }

  size_t issued() const { return issued_; }
  size_t circs_perm() const { return circs_perm_; }

 private:
  /// Hashes the slots from `hashed_` on, `count` of them (at most kBatch).
  void hash(size_t count) {
    std::array<const StateVec*, kBatch> states;
    std::array<uint64_t, kBatch> keys;
    for (size_t k = 0; k < count; ++k) states[k] = &slots_[(hashed_ + k) % kSlots].keyed();
    StateVec::hash_values(std::span(states).first(count), keys.data());
    for (size_t k = 0; k < count; ++k) {
      slots_[(hashed_ + k) % kSlots].key = keys[k];
      slots_[(hashed_ + k) % kSlots].hint = RawECCs::Map::kNoHint;
      map_.prefetch(keys[k]);
    }
    hashed_ += count;
  }
  /// Records the next slot under each of its permutation pairs (the identity pair alone in the
  /// naive search); a class it opens is queued unless the circuit has the largest size.
  void record_next() {
    const Slot& p = slots_[recorded_ % kSlots];
    ++recorded_;
    const size_t npairs = Naive ? 1 : p.scratch.pairs.size();
    for (size_t k = 0; k < npairs; ++k) {
      auto [front_perm, back_perm] = Naive ? identity_pair_ : p.scratch.pairs[k];
      auto list = map_.add_entry_with_surfaces(p.key, front_perm, back_perm, p.parent, p.candidate, p.front.span(),
                                               p.back.span(), p.hint);
      if (!list.is_nil() && p.len < max_size_) cursor_.push(list);
      ++circs_perm_;
    }
  }

  std::vector<Slot> slots_;
  RawECCs& map_;
  Cursor& cursor_;
  const size_t max_size_;
  const PermPair identity_pair_;
  // Candidates evaluated, hashed and recorded over the whole search.
  size_t issued_ = 0, hashed_ = 0, recorded_ = 0;
  size_t circs_perm_ = 0;
};

/// The breadth-first search: each circuit taken from the queue is extended by every candidate,
/// kLanes candidates at a time (their backward runs on lanes where they can be), and the
/// extensions go through the pipeline into the map.
template <bool Naive>
class Search {
 public:
  static constexpr size_t kLanes = StateLanes::kLanes;

  Search(const Evaluator& evaluator, std::span<const Instr32> instrs, size_t max_size)
      : evaluator_(evaluator),
        map_(evaluator),
        candidates_(evaluator, map_, instrs),
        pipeline_(evaluator.nqubits(), map_, cursor_, max_size),
        prefix_(StateVec::zeros(evaluator.nqubits())) {
    map_.prepare(instrs);
    const uint32_t n = evaluator.nqubits();
    if (!Naive && n >= 2 && n <= StateLanes::kMaxQubits && StateLanes::available()) lanes_.emplace(n);
  }

  SearchResult run() && {
    interrupt::Ticker ticker(kExpansionsPerCheck);
    while (next_circuit()) {
      ticker.tick();
      cursor_.take(map_.arena());
      if (cursor_.instrs().size() >= classes_at_length_.size()) reserve_for_length();
      cursor_.scan(map_);
      if (iterations_ % 400 == 0) progress();
      // The candidates are prepared in the first expansion, after its progress line.
      if (iterations_ == 0) candidates_.prepare();
      make_prefix();
      for (size_t e0 = 0; e0 < candidates_.size(); e0 += kLanes)
        extend_by(e0, std::min(kLanes, candidates_.size() - e0));
      ++iterations_;
    }
    map_.set_drop();
    return SearchResult{std::move(map_), {iterations_, pipeline_.issued(), pipeline_.circs_perm()}};
  }

 private:
  /// Whether a circuit is queued, once the pending records have queued theirs.
  bool next_circuit() {
    if (cursor_.empty()) pipeline_.drain();
    return !cursor_.empty();
  }

  /// At the first circuit of each length: the next length is expected to multiply the classes by
  /// the factor the previous one did, and the index is grown to that once, instead of doubling (and
  /// rehashing every class) on the way.
  void reserve_for_length() {
    pipeline_.drain();
    classes_at_length_.push_back(map_.inner().size());
    const size_t k = classes_at_length_.size();
    if (k >= 2 && classes_at_length_[k - 2] > 0) {
      const double growth = double(classes_at_length_[k - 1]) / double(classes_at_length_[k - 2]);
      map_.reserve(size_t(double(classes_at_length_[k - 1]) * growth));
    }
  }

  void progress() {
    pipeline_.drain();
    write_progress(iterations_, cursor_.instrs(), cursor_.queued(), map_.inner().size(), pipeline_.issued(),
                   pipeline_.circs_perm(), line_);
  }

  /// The shared start of the forward runs of the taken circuit's extensions, and (batched) the
  /// adjoints of its gates that their backward runs share.
  void make_prefix() {
    if constexpr (Naive) {
      prefix_.copy_from(evaluator_.backtrack_state());
      for (Instr32 i : cursor_.instrs()) prefix_.apply(i);
    } else {
      forwards_.clear();
      adjoints_.clear();
      for (Instr32 i : cursor_.instrs()) {
        const auto& c = candidates_.of(i);
        forwards_.push_back(c.forward);
        adjoints_.push_back(c.adjoint);
      }
      evaluator_.prefix_into(forwards_, prefix_);
    }
  }

  /// Evaluates the taken circuit extended by each of `count` candidates from `e0` on, and issues
  /// the extensions.
  void extend_by(size_t e0, size_t count) {
    std::array<Evaluator::Extension, kLanes> batch;
    for (size_t j = 0; j < count; ++j) {
      const auto& c = candidates_[e0 + j];
      Evaluator::Scratch& s = pipeline_.next(j).scratch;
      if constexpr (Naive) {
        s.forward.copy_from(prefix_);
        s.forward.apply(c.forward);
        s.forward.normalize_arg();
      } else {
        batch[j] = Evaluator::Extension{&c.forward, &c.adjoint, &s, c.starts};
      }
    }
    if constexpr (!Naive)
      evaluator_.extend_batch(prefix_, adjoints_, std::span(batch).first(count), lanes_ ? &*lanes_ : nullptr);
    for (size_t j = 0; j < count; ++j) {
      const auto& c = candidates_[e0 + j];
      auto& slot = pipeline_.next();
      slot.parent = cursor_.current();
      slot.candidate = c.instr;
      slot.len = cursor_.instrs().size() + 1;
      cursor_.surfaces(c.scanned, slot.front, slot.back);
      pipeline_.issue();
    }
  }

  const Evaluator& evaluator_;
  RawECCs map_;
  Candidates<Naive> candidates_;
  Cursor cursor_;
  Pipeline<Naive> pipeline_;
  std::optional<StateLanes> lanes_;
  size_t iterations_ = 0;
  StateVec prefix_;
  // The taken circuit's gates and, shared by the backward runs, their adjoints (each candidate's
  // adjoint comes first in its run).
  std::vector<PreparedGate> forwards_, adjoints_;
  std::vector<size_t> classes_at_length_;  // the classes when each length's expansion began
  std::string line_;
};

template <bool Naive>
SearchResult run_search(const Evaluator& evaluator, std::span<const Instr32> instrs, size_t max_size) {
  return Search<Naive>(evaluator, instrs, max_size).run();
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
