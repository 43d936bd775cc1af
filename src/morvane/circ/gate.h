#pragma once
// The process-wide gate registry and Gate16, a 16-bit index into it. The registry starts with 23
// built-in gates, is only appended to, and gives one index to one matrix (matrices are identified
// by a hash of their entries' Qreal keys, so names and parameters never decide identity).

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include <absl/container/flat_hash_map.h>
#include <absl/strings/string_view.h>

#include "morvane/core/postcard.h"
#include "morvane/core/qreal.h"
#include "morvane/core/siphash.h"
#include "morvane/core/spin_rwlock.h"

namespace morvane {

struct Complex {
  Qreal re, im;
};

/// A dense complex matrix stored column by column: entry (i, j) at j * rows + i.
struct CMatrix {
  uint32_t rows = 0, cols = 0;
  std::vector<Complex> data;

  CMatrix() = default;
  CMatrix(uint32_t r, uint32_t c) : rows(r), cols(c), data(size_t(r) * c) {}
  Complex& operator()(uint32_t i, uint32_t j) { return data[size_t(j) * rows + i]; }
  const Complex& operator()(uint32_t i, uint32_t j) const { return data[size_t(j) * rows + i]; }
  /// SipHash-1-3 of rows, cols (4 bytes each) and the entries' keys column by column.
  uint64_t hash_value() const;
  CMatrix adjoint() const;
};

/// Stops unless a gate matrix of this shape can be registered: the row count a power of two (0
/// excluded), then the column count equal to it.
void check_gate_shape(uint64_t rows, uint64_t cols);

/// How far an entry of U·U† may be from the identity's for U to count as unitary: matrices
/// written to four or more digits pass.
inline constexpr double kUnitaryTolerance = 1e-4;

/// Stops unless the square matrix is unitary: every entry of U·U† within kUnitaryTolerance of the
/// identity's (a NaN or infinite entry never is).
void check_unitary(const CMatrix& m);

struct Gate16;
class GateTexts;
class GateNames;

struct GateData {
  std::string name;
  std::vector<std::string> params;
  CMatrix matrix;
  std::optional<uint16_t> adjoint;
  uint64_t matrix_hash = 0;  // hash_value of `matrix`, fixed at creation

  GateData(std::string n, std::vector<std::string> p, CMatrix m)
      : name(std::move(n)), params(std::move(p)), matrix(std::move(m)), matrix_hash(matrix.hash_value()) {}
  uint64_t hash_value() const { return matrix_hash; }
  /// name, then "(" params joined by ", " ")" when there are any.
  std::string display() const;
  bool display_equals(std::string_view text) const;
};

struct Gate16 {
  uint16_t index = 0;

  constexpr Gate16() = default;
  constexpr explicit Gate16(uint16_t i) : index(i) {}

  /// Registers a gate, or returns the entry whose matrix hash is equal.
  static Gate16 make(std::string name, std::vector<std::string> params, CMatrix matrix);
  static std::optional<Gate16> from_name(std::string_view text);
  /// Loading a serialized gate: from_name, or the stop "Failed to deserialize Gate16 from {}" with
  /// at most the text's first 64 characters (then "…").
  static Gate16 deserialize(std::string_view text);
  /// Postcard form: the display string as a text (W: postcard::Writer or postcard::FileWriter).
  /// The caches look each gate up in the registry once per file.
  template <typename W>
  void write_postcard(W& w, GateTexts& texts) const;
  static Gate16 read_postcard(postcard::Reader& r, std::string& scratch, GateNames& names);

  std::string name() const;
  std::vector<std::string> params() const;
  uint32_t nqargs() const;
  /// Runs f on the entry's matrix under the registry's read lock. f must not register gates.
  template <typename F>
  decltype(auto) matrix(F&& f) const;
  Gate16 adjoint() const;
  std::string display() const;
  /// "Gate(<index> -> <display>)"
  std::string debug() const;

  friend bool operator==(Gate16, Gate16) = default;
  friend auto operator<=>(Gate16, Gate16) = default;
  void hash_into(SipHasher13& h) const { h.write_u16(index); }
};

namespace gates {
// The built-in constants (Gate16::from_name of their names, fixed on first use).
Gate16 H();
Gate16 X();
Gate16 Z();
Gate16 S();
Gate16 SDG();
Gate16 T();
Gate16 TDG();
Gate16 CX();
Gate16 SWAP();
}  // namespace gates

/// Display texts of gates, looked up in the registry once per gate. A gate's display text never
/// changes once registered, so a cached text equals the registry's at any later moment.
class GateTexts {
 public:
  GateTexts() = default;
  /// Texts for a file that is loaded again: each gate is also checked on its first lookup, and
  /// raises postcard::Error when its text would not load back as the same gate (longer than a
  /// reader accepts, or the display text of a gate registered earlier).
  static GateTexts read_back() {
    GateTexts t;
    t.check_ = Check::ReadBack;
    return t;
  }
  /// Texts for a document whose reader knows gates by name alone: each gate is checked on its
  /// first lookup, and raises postcard::Error when a gate registered earlier has its display text
  /// (the reader would take it for that gate). Any length is written.
  static GateTexts distinct() {
    GateTexts t;
    t.check_ = Check::Distinct;
    return t;
  }
  const std::string& operator()(Gate16 g) {
    if (g.index < texts_.size() && !texts_[g.index].empty()) [[likely]]
      return texts_[g.index];
    return lookup(g);
  }

 private:
  enum class Check { None, Distinct, ReadBack };
  const std::string& lookup(Gate16 g);
  std::vector<std::string> texts_;  // by gate index; empty = not looked up yet
  Check check_ = Check::None;
};

/// Gates by display text, resolved in the registry once per distinct text. The registry is only
/// appended to, so the first registered gate with a text stays the first.
class GateNames {
 public:
  /// Gate16::deserialize: an unregistered text stops with "Failed to deserialize Gate16 from {}".
  Gate16 operator()(std::string_view text) {
    for (const auto& [known, gate] : recent_)
      if (known == text) return gate;
    return lookup(text);
  }

 private:
  Gate16 lookup(std::string_view text);
  static constexpr size_t kRecent = 8;
  std::vector<std::pair<std::string, Gate16>> recent_;  // the first few texts, searched in order
  absl::flat_hash_map<std::string, Gate16> gates_;      // the others
};

template <typename W>
void Gate16::write_postcard(W& w, GateTexts& texts) const {
  w.text(texts(*this));
}

inline Gate16 Gate16::read_postcard(postcard::Reader& r, std::string& scratch, GateNames& names) {
  return names(r.text(scratch));
}

/// The registry itself. Use it through Gate16; exposed for the lock's tests and benchmarks.
class GateRegistry {
 public:
  static GateRegistry& get();
  SpinRwLock& lock() { return lock_; }
  /// Number of entries (takes the read lock).
  size_t size();
  /// The entry at `index`; the caller holds the lock. Stops on an index out of range.
  const GateData& entry(uint16_t index) const;
  GateData& entry_mut(uint16_t index);
  std::vector<GateData>& entries() { return entries_; }

 private:
  GateRegistry();
  SpinRwLock lock_;
  std::vector<GateData> entries_;
};

/// Holds the registry's read lock for a scope; released while unwinding too.
class RegistryReadGuard {
 public:
  RegistryReadGuard() : lock_(GateRegistry::get().lock()) { lock_.lock_shared(); }
  ~RegistryReadGuard() { lock_.unlock_shared(); }
  RegistryReadGuard(const RegistryReadGuard&) = delete;
  RegistryReadGuard& operator=(const RegistryReadGuard&) = delete;

 private:
  SpinRwLock& lock_;
};

template <typename F>
decltype(auto) Gate16::matrix(F&& f) const {
  RegistryReadGuard guard;
  return f(static_cast<const GateRegistry&>(GateRegistry::get()).entry(index).matrix);
}

}  // namespace morvane
