#pragma once
// Helpers shared by the C++ tests and benchmarks of every layer: the one way to assert a stop,
// seeded generators, permutation builders, the reference hash vectors, temporary directories, a
// small tmpfs to run out of space on, and running a check without root's privileges. Instruction
// builders are in circuits.h, state comparisons in states.h.

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>
#include <spawn.h>
#include <sys/mount.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <initializer_list>
#include <random>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "morvane/core/chacha.h"
#include "morvane/core/panic.h"
#include "morvane/core/permut.h"

extern char** environ;

namespace morvane::testing {

/// Matches a callable that stops (throws Panic) with exactly `message`:
/// `EXPECT_THAT([&] { ... }, Stops("message"))`.
inline auto Stops(const std::string& message) { return ::testing::ThrowsMessage<Panic>(::testing::StrEq(message)); }
/// Matches a callable that stops with a message matching `matcher` (HasSubstr, say).
template <typename M>
requires(!std::is_convertible_v<M, std::string>) auto Stops(M matcher) {
  return ::testing::ThrowsMessage<Panic>(matcher);
}
/// Matches a callable that stops with any message.
inline auto Stops() { return ::testing::Throws<Panic>(); }

/// A generator with a fixed seed: `a` in byte 0, `b` in byte 1.
inline ChaCha12Rng seeded(uint8_t a, uint8_t b = 0) {
  std::array<uint8_t, 32> seed{};
  seed[0] = a;
  seed[1] = b;
  return ChaCha12Rng(seed);
}

/// A validated permutation with the given images.
inline Permut32 perm(std::initializer_list<uint8_t> images) {
  return Permut32::from_iter(std::vector<uint8_t>(images));
}

/// The 64-bit value of the reference hash vector described as `what`.
inline uint64_t vector_hash(const std::string& what) {
  std::ifstream in(MORVANE_SOURCE_DIR "/src/morvane/core/testdata/hash_vectors.json");
  const auto doc = nlohmann::json::parse(in);
  for (const auto& v : doc["vectors"])
    if (v["what"] == what) return v["u64"].get<uint64_t>();
  ADD_FAILURE() << "no hash vector " << what;
  return 0;
}

/// The bytes written as hex digits in `text`; everything else in it (spaces) is skipped.
inline std::vector<uint8_t> hex(const char* text) {
  std::vector<uint8_t> out;
  std::string digits;
  for (const char* p = text; *p; ++p)
    if (std::isxdigit(static_cast<unsigned char>(*p))) digits.push_back(*p);
  for (size_t i = 0; i + 1 < digits.size(); i += 2)
    out.push_back(uint8_t(std::stoul(digits.substr(i, 2), nullptr, 16)));
  return out;
}

/// The contents of a file.
inline std::vector<uint8_t> read_bytes(const std::filesystem::path& p) {
  std::ifstream in(p, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

/// Applies `edits` random edits to `bytes`, for fuzzing a decoder: a flipped bit, a random byte, an
/// inserted or removed byte, a truncation, or one of the `interesting` bytes put somewhere.
inline void mutate(std::vector<uint8_t>& bytes, std::mt19937_64& rng, size_t edits,
                   std::span<const uint8_t> interesting) {
  auto pick = [&](size_t n) { return size_t(rng() % n); };
  for (; edits > 0; --edits) {
    switch (pick(6)) {
      case 0:
        if (!bytes.empty()) bytes[pick(bytes.size())] ^= uint8_t(1u << pick(8));
        break;
      case 1:
        if (!bytes.empty()) bytes[pick(bytes.size())] = uint8_t(rng());
        break;
      case 2: bytes.insert(bytes.begin() + pick(bytes.size() + 1), uint8_t(rng())); break;
      case 3:
        if (!bytes.empty()) bytes.erase(bytes.begin() + pick(bytes.size()));
        break;
      case 4: bytes.resize(pick(bytes.size() + 1)); break;
      case 5:
        if (!bytes.empty()) bytes[pick(bytes.size())] = interesting[pick(interesting.size())];
        break;
    }
  }
}

/// A fresh directory under the system's temporary directory, removed with its contents when the
/// object goes out of scope.
class TempDir {
 public:
  explicit TempDir(const std::string& tag) {
    static int counter = 0;
    path_ = std::filesystem::temp_directory_path() /
            ("morvane_" + tag + "_" + std::to_string(::getpid()) + "_" + std::to_string(counter++));
    std::filesystem::create_directories(path_);
  }
  ~TempDir() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
  }
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  std::filesystem::path operator/(const std::string& name) const { return path_ / name; }
  const std::filesystem::path& path() const { return path_; }

 private:
  std::filesystem::path path_;
};

struct ChildResult {
  int status = -1;
  std::string output;
};

/// Runs the (usually disabled) test `full_name` of this binary in a child process, with the pool
/// variables replaced by `env` (entries "NAME=value"), and collects its output.
inline ChildResult run_test_in_child(const std::string& full_name, const std::vector<std::string>& env) {
  std::vector<std::string> strings;
  for (char** e = environ; *e != nullptr; ++e) {
    std::string_view v(*e);
    if (!v.starts_with("RAYON_NUM_THREADS=") && !v.starts_with("RAYON_RS_NUM_CPUS=") && !v.starts_with("GTEST_"))
      strings.emplace_back(v);
  }
  strings.insert(strings.end(), env.begin(), env.end());
  std::vector<char*> envp;
  for (auto& s : strings) envp.push_back(s.data());
  envp.push_back(nullptr);
  std::string exe = "/proc/self/exe", filter = "--gtest_filter=" + full_name,
              disabled = "--gtest_also_run_disabled_tests";
  char* argv[] = {exe.data(), filter.data(), disabled.data(), nullptr};

  ChildResult r;
  int fds[2];
  if (pipe(fds) != 0) return r;
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, fds[1], 1);
  posix_spawn_file_actions_adddup2(&actions, fds[1], 2);
  posix_spawn_file_actions_addclose(&actions, fds[0]);
  pid_t pid;
  int err = posix_spawn(&pid, "/proc/self/exe", &actions, nullptr, argv, envp.data());
  posix_spawn_file_actions_destroy(&actions);
  close(fds[1]);
  if (err == 0) {
    char buf[4096];
    for (ssize_t got; (got = read(fds[0], buf, sizeof buf)) > 0;) r.output.append(buf, size_t(got));
    waitpid(pid, &r.status, 0);
  }
  close(fds[0]);
  return r;
}

/// The names in a directory, sorted.
inline std::vector<std::string> names_in(const std::filesystem::path& dir) {
  std::vector<std::string> names;
  for (const auto& entry : std::filesystem::directory_iterator(dir)) names.push_back(entry.path().filename().string());
  std::sort(names.begin(), names.end());
  return names;
}

/// A tmpfs of `size` (a mount option such as "64k") on a fresh directory, unmounted when the
/// object goes out of scope. mounted() is false where mounting is not allowed.
class SmallTmpfs {
 public:
  explicit SmallTmpfs(const std::string& size) : dir_("tmpfs") {
    mounted_ = ::mount("tmpfs", dir_.path().c_str(), "tmpfs", 0, ("size=" + size).c_str()) == 0;
  }
  ~SmallTmpfs() {
    if (mounted_) ::umount2(dir_.path().c_str(), MNT_DETACH);
  }
  bool mounted() const { return mounted_; }
  std::filesystem::path operator/(const std::string& name) const { return dir_ / name; }
  const std::filesystem::path& path() const { return dir_.path(); }

 private:
  TempDir dir_;
  bool mounted_ = false;
};

/// The user id that owns nothing here.
inline constexpr uid_t kNobody = 65534;

/// Runs `check` as the user nobody in a child process when this process is root (whose
/// privileges skip the permission checks under test), else in this process; returns its text.
inline std::string without_root(const std::function<std::string()>& check) {
  if (::geteuid() != 0) return check();
  int fds[2];
  if (::pipe(fds) != 0) return "pipe failed";
  pid_t pid = ::fork();
  if (pid == 0) {
    ::close(fds[0]);
    std::string text = ::setgid(kNobody) == 0 && ::setuid(kNobody) == 0 ? check() : "setuid failed";
    ssize_t written = ::write(fds[1], text.data(), text.size());
    ::_exit(written == ssize_t(text.size()) ? 0 : 1);
  }
  ::close(fds[1]);
  std::string text;
  char buf[256];
  for (ssize_t n; (n = ::read(fds[0], buf, sizeof buf)) > 0;) text.append(buf, size_t(n));
  ::close(fds[0]);
  int status = 0;
  ::waitpid(pid, &status, 0);
  return text;
}

}  // namespace morvane::testing
