#pragma once
// Per-thread objects made on demand. A C++ `thread_local` of a library loaded at run time (as the
// Python module is) gets its storage from the C library on the first use in each thread, and when
// that allocation fails the C library ends the process. These objects are made with `new` and kept
// under a POSIX thread key instead, so that running out of memory is a std::bad_alloc like any
// other; each is destroyed when its thread ends.

#include <pthread.h>

#include <new>
#include <system_error>

namespace morvane {

namespace detail {
template <typename T>
void delete_per_thread(void* p) {
  delete static_cast<T*>(p);
}

template <typename T>
pthread_key_t per_thread_key() {
  static const pthread_key_t key = [] {
    pthread_key_t k;
    if (int e = pthread_key_create(&k, &delete_per_thread<T>))
      throw std::system_error(e, std::generic_category(), "pthread_key_create");
    return k;
  }();
  return key;
}
}  // namespace detail

/// This thread's T, default-constructed on the first call on the thread. There is one object per
/// type and thread, so each use names a type of its own. Throws std::bad_alloc when the object
/// cannot be made.
template <typename T>
T& per_thread() {
  const pthread_key_t key = detail::per_thread_key<T>();
  if (void* p = pthread_getspecific(key)) [[likely]]
    return *static_cast<T*>(p);
  T* made = new T();
  if (pthread_setspecific(key, made) != 0) {
    delete made;
    throw std::bad_alloc();
  }
  return *made;
}

}  // namespace morvane
