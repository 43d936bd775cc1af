#include "morvane/circ/gate.h"

#include "morvane/core/fmt_join.h"

#include <bit>
#include <cmath>
#include <mutex>

namespace morvane {

uint64_t CMatrix::hash_value() const {
  SipHasher13 h;
  h.write_u32(rows);
  h.write_u32(cols);
  for (const Complex& c : data) {
    c.re.hash_into(h);
    c.im.hash_into(h);
  }
  return h.finish();
}

CMatrix CMatrix::adjoint() const {
  CMatrix m(cols, rows);
  for (uint32_t j = 0; j < cols; ++j)
    for (uint32_t i = 0; i < rows; ++i) {
      const Complex& c = (*this)(i, j);
      m(j, i) = Complex{c.re, -c.im};
    }
  return m;
}

std::string GateData::display() const { return fmt::format("{}{}", name, fjoin_opt_braces(params, ", ", "(", ")")); }

bool GateData::display_equals(std::string_view text) const {
  if (params.empty()) return text == name;
  if (text.size() < name.size() + 2 || text.substr(0, name.size()) != name) return false;
  std::string_view rest = text.substr(name.size());
  if (rest.front() != '(' || rest.back() != ')') return false;
  rest = rest.substr(1, rest.size() - 2);
  for (size_t i = 0; i < params.size(); ++i) {
    if (i) {
      if (rest.substr(0, 2) != ", ") return false;
      rest.remove_prefix(2);
    }
    if (rest.substr(0, params[i].size()) != params[i]) return false;
    rest.remove_prefix(params[i].size());
  }
  return rest.empty();
}

namespace {

CMatrix from_rows(uint32_t n, std::initializer_list<Complex> rows) {
  CMatrix m(n, n);
  uint32_t k = 0;
  for (const Complex& c : rows) {
    m(k / n, k % n) = c;
    ++k;
  }
  return m;
}

CMatrix diagonal(std::initializer_list<Complex> d) {
  uint32_t n = static_cast<uint32_t>(d.size());
  CMatrix m(n, n);
  uint32_t k = 0;
  for (const Complex& c : d) {
    m(k, k) = c;
    ++k;
  }
  return m;
}

CMatrix phase1(Complex p) { return from_rows(2, {{1.0, 0.0}, {0.0, 0.0}, {0.0, 0.0}, p}); }

std::vector<GateData> initial_gates() {
  const Complex O{0.0, 0.0}, I1{1.0, 0.0}, Ni{0.0, -1.0}, Pi{0.0, 1.0}, M1{-1.0, 0.0};
  const double r = 0.7071067811865476;
  const Complex R{r, 0.0}, NR{-r, 0.0};
  const Complex p4{0.7071067811865476, 0.7071067811865475}, p8{0.9238795325112867, 0.3826834323650898},
      p3{0.5000000000000001, 0.8660254037844386}, p5{0.8090169943749475, 0.5877852522924731},
      p16{0.9807852804032304, 0.19509032201612825};
  auto conj = [](Complex c) { return Complex{c.re, -c.im}; };
  std::vector<GateData> g;
  g.reserve(64);
  auto add = [&](const char* name, std::vector<std::string> params, CMatrix m) {
    g.emplace_back(name, std::move(params), std::move(m));
  };
  add("i", {}, from_rows(2, {I1, O, O, I1}));
  add("h", {}, from_rows(2, {R, R, R, NR}));
  add("x", {}, from_rows(2, {O, I1, I1, O}));
  add("z", {}, from_rows(2, {I1, O, O, M1}));
  add("y", {}, from_rows(2, {O, Ni, Pi, O}));
  add("s", {}, phase1(Pi));
  add("sdg", {}, phase1(Ni));
  add("t", {}, phase1(p4));
  add("tdg", {}, phase1(conj(p4)));
  add("cx", {}, from_rows(4, {I1, O, O, O, O, I1, O, O, O, O, O, I1, O, O, I1, O}));
  add("cz", {}, diagonal({I1, I1, I1, M1}));
  add("cy", {}, from_rows(4, {I1, O, O, O, O, I1, O, O, O, O, O, Ni, O, O, Pi, O}));
  add("cs", {}, diagonal({I1, I1, I1, Pi}));
  add("csdg", {}, diagonal({I1, I1, I1, Ni}));
  add("swap", {}, from_rows(4, {I1, O, O, O, O, O, I1, O, O, I1, O, O, O, O, O, I1}));
  add("t1/2", {}, phase1(p8));
  add("tdg1/2", {}, phase1(conj(p8)));
  add("rz", {"pi/3"}, phase1(p3));
  add("rz", {"-pi/3"}, phase1(conj(p3)));
  add("rz", {"pi/5"}, phase1(p5));
  add("rz", {"-pi/5"}, phase1(conj(p5)));
  add("rz", {"pi/16"}, phase1(p16));
  add("rz", {"-pi/16"}, phase1(conj(p16)));
  return g;
}

Gate16 builtin(const char* name) {
  auto g = Gate16::from_name(name);
  if (!g) panic("called `Option::unwrap()` on a `None` value");
  return *g;
}

}  // namespace

GateRegistry::GateRegistry() : entries_(initial_gates()) {}

GateRegistry& GateRegistry::get() {
  static GateRegistry registry;
  return registry;
}

size_t GateRegistry::size() {
  RegistryReadGuard guard;
  return entries_.size();
}

const GateData& GateRegistry::entry(uint16_t index) const {
  check_index(entries_.size(), index);
  return entries_[index];
}

GateData& GateRegistry::entry_mut(uint16_t index) {
  check_index(entries_.size(), index);
  return entries_[index];
}

void check_gate_shape(uint64_t rows, uint64_t cols) {
  if (!std::has_single_bit(rows)) panic("Matrix must have a number of rows that is a power of two");
  if (cols != rows) panic("Matrix must be squared");
}

void check_unitary(const CMatrix& m) {
  const uint32_t n = m.rows;
  for (uint32_t i = 0; i < n; ++i)
    for (uint32_t j = 0; j < n; ++j) {
      // (U·U†)(i, j) = sum over k of U(i, k) · conj(U(j, k)).
      double re = 0, im = 0;
      for (uint32_t k = 0; k < n; ++k) {
        const Complex& a = m(i, k);
        const Complex& b = m(j, k);
        re += a.re.v * b.re.v + a.im.v * b.im.v;
        im += a.im.v * b.re.v - a.re.v * b.im.v;
      }
      const double off = std::hypot(re - (i == j ? 1.0 : 0.0), im);
      if (!(off <= kUnitaryTolerance))
        panic(
            fmt::format("Matrix must be unitary: entry ({}, {}) of U·U† is {} away from the identity's (more than {})",
                        i, j, off, kUnitaryTolerance));
    }
}

Gate16 Gate16::make(std::string name, std::vector<std::string> params, CMatrix matrix) {
  check_gate_shape(matrix.rows, matrix.cols);
  GateData entry(std::move(name), std::move(params), std::move(matrix));
  uint64_t h = entry.hash_value();
  GateRegistry& reg = GateRegistry::get();
  std::lock_guard guard(reg.lock());
  auto& entries = reg.entries();
  for (size_t i = 0; i < entries.size(); ++i)
    if (entries[i].hash_value() == h) return Gate16(static_cast<uint16_t>(i));
  if (entries.size() > 0xFFFF) panic("The gate registry is full: at most 65536 gates can be registered");
  entries.push_back(std::move(entry));
  return Gate16(static_cast<uint16_t>(entries.size() - 1));
}

std::optional<Gate16> Gate16::from_name(std::string_view text) {
  GateRegistry& reg = GateRegistry::get();
  RegistryReadGuard guard;
  const auto& entries = reg.entries();
  for (size_t i = 0; i < entries.size(); ++i)
    if (entries[i].display_equals(text)) return Gate16(static_cast<uint16_t>(i));
  return std::nullopt;
}

namespace {
/// The text up to its 64th character, then "…" when there is more: a file that is not a class file
/// can hand over kilobytes of whatever it holds.
std::string quoted_start(std::string_view text) {
  constexpr size_t kQuoted = 64;
  size_t chars = 0;
  for (size_t i = 0; i < text.size(); ++i) {
    if ((static_cast<unsigned char>(text[i]) & 0xC0) == 0x80) continue;  // within a character
    if (chars++ == kQuoted) return std::string(text.substr(0, i)) + "…";
  }
  return std::string(text);
}
}  // namespace

Gate16 Gate16::deserialize(std::string_view text) {
  if (auto g = from_name(text)) return *g;
  panic(fmt::format("Failed to deserialize Gate16 from {}", quoted_start(text)));
}

namespace {
/// "Gate(<index> -> <display>)" with a display text of more than 64 bytes cut at a character
/// boundary and marked with "...".
std::string short_debug(Gate16 g, std::string_view text) {
  if (text.size() <= 64) return fmt::format("Gate({} -> {})", g.index, text);
  size_t cut = 64;
  while (cut > 0 && (static_cast<unsigned char>(text[cut]) & 0xC0) == 0x80) --cut;
  return fmt::format("Gate({} -> {}...)", g.index, text.substr(0, cut));
}

/// Stops a save whose gate `g` would not load back as itself from its display text: one longer
/// than a class file's reader accepts (when `length` is checked), or one an earlier gate has.
void check_read_back(Gate16 g, const std::string& text, bool length) {
  if (length && text.size() > postcard::kBufferSize)
    throw postcard::Error(fmt::format("{} has a display text of {} bytes, longer than the {} bytes a reader accepts",
                                      short_debug(g, text), text.size(), postcard::kBufferSize));
  // Loading resolves a text to the first registered gate that displays it; g itself always does.
  Gate16 loaded = Gate16::from_name(text).value_or(g);
  if (loaded != g)
    throw postcard::Error(
        fmt::format("{} would load back as Gate({} -> {}), registered earlier with the same display text",
                    short_debug(g, text), loaded.index, text));
}
}  // namespace

const std::string& GateTexts::lookup(Gate16 g) {
  if (g.index >= texts_.size()) texts_.resize(size_t(g.index) + 1);
  std::string& text = texts_[g.index];
  if (text.empty()) {
    std::string display = g.display();
    if (check_ != Check::None) check_read_back(g, display, check_ == Check::ReadBack);
    text = std::move(display);
  }
  return text;
}

Gate16 GateNames::lookup(std::string_view text) {
  if (auto it = gates_.find(absl::string_view(text.data(), text.size())); it != gates_.end()) return it->second;
  Gate16 g = Gate16::deserialize(text);
  if (recent_.size() < kRecent)
    recent_.emplace_back(text, g);
  else
    gates_.emplace(std::string(text), g);
  return g;
}

std::string Gate16::name() const {
  RegistryReadGuard guard;
  return GateRegistry::get().entry(index).name;
}

std::vector<std::string> Gate16::params() const {
  RegistryReadGuard guard;
  return GateRegistry::get().entry(index).params;
}

uint32_t Gate16::nqargs() const {
  RegistryReadGuard guard;
  return std::countr_zero(GateRegistry::get().entry(index).matrix.rows);
}

std::string Gate16::display() const {
  RegistryReadGuard guard;
  return GateRegistry::get().entry(index).display();
}

std::string Gate16::debug() const { return fmt::format("Gate({} -> {})", index, display()); }

Gate16 Gate16::adjoint() const {
  GateRegistry& reg = GateRegistry::get();
  {
    RegistryReadGuard guard;
    if (auto adj = reg.entry(index).adjoint) return Gate16(*adj);
  }
  std::string adj_name = name() + "\u2020";
  std::vector<std::string> adj_params = params();
  CMatrix adj_matrix = matrix([](const CMatrix& m) { return m.adjoint(); });
  Gate16 g = make(std::move(adj_name), std::move(adj_params), std::move(adj_matrix));
  std::lock_guard guard(reg.lock());
  reg.entry_mut(index).adjoint = g.index;
  return g;
}

namespace gates {
// One line a gate.
// clang-format off
Gate16 H() { static const Gate16 g = builtin("h"); return g; }
Gate16 X() { static const Gate16 g = builtin("x"); return g; }
Gate16 Z() { static const Gate16 g = builtin("z"); return g; }
Gate16 S() { static const Gate16 g = builtin("s"); return g; }
Gate16 SDG() { static const Gate16 g = builtin("sdg"); return g; }
Gate16 T() { static const Gate16 g = builtin("t"); return g; }
Gate16 TDG() { static const Gate16 g = builtin("tdg"); return g; }
Gate16 CX() { static const Gate16 g = builtin("cx"); return g; }
Gate16 SWAP() { static const Gate16 g = builtin("swap"); return g; }
// clang-format on
}  // namespace gates

}  // namespace morvane
