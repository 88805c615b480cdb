#include "module/scope.h"

#include <mutex>
#include <new>
#include <vector>

#include "module/failure.h"
#include "module/pyerr.h"

namespace velmora::py {
namespace {

// Active frames on this thread; negative while access to the interpreter is prohibited.
thread_local std::intptr_t GIL_COUNT = 0;

enum class OwnedState : unsigned char { NotYetUsed, Alive, Destroyed };

// Plain (trivially destructible) so that it can still be read after the thread's destructors ran.
thread_local OwnedState owned_state = OwnedState::NotYetUsed;

// The thread's array. Its destructor is the thread-exit hook: by then every frame on the thread
// has ended, so it only frees the storage.
struct OwnedObjects {
  std::vector<PyObject*> items;
  ~OwnedObjects() { owned_state = OwnedState::Destroyed; }
};

// The array of this thread, or null once it is destroyed. The first call on a thread constructs
// the thread_local, which registers its destructor for thread exit.
std::vector<PyObject*>* owned_objects() {
  switch (owned_state) {
    case OwnedState::Alive:
      break;
    case OwnedState::NotYetUsed:
      owned_state = OwnedState::Alive;
      break;
    case OwnedState::Destroyed:
      return nullptr;
  }
  static thread_local OwnedObjects storage;
  return &storage.items;
}

// The process-wide queue of releases requested without the interpreter lock.
struct ReferencePool {
  std::mutex mutex;
  std::vector<PyObject*> pending_decrefs;
};

ReferencePool& POOL() {
  static ReferencePool* pool = new ReferencePool;  // never destroyed: used until process exit
  return *pool;
}

}  // namespace

void register_owned(PyObject* obj) {
  auto* owned = owned_objects();
  if (owned == nullptr) return;
  try {
    owned->push_back(obj);
  } catch (const std::bad_alloc&) {
    allocation_failed(sizeof(PyObject*) * (owned->capacity() == 0 ? 1 : 2 * owned->capacity()));
  }
}

PyObject* register_new(PyObject* obj) {
  if (obj == nullptr) panic_after_error();
  register_owned(obj);
  return obj;
}

void register_decref(PyObject* obj) noexcept {
  if (GIL_COUNT >= 1) {
    Py_DECREF(obj);
    return;
  }
  ReferencePool& pool = POOL();
  std::lock_guard lock(pool.mutex);
  try {
    pool.pending_decrefs.push_back(obj);
  } catch (const std::bad_alloc&) {
    allocation_failed(sizeof(PyObject*) * (pool.pending_decrefs.capacity() == 0 ? 1 : 2 * pool.pending_decrefs.capacity()));
  }
}

void update_counts() {
  ReferencePool& pool = POOL();
  std::vector<PyObject*> taken;
  {
    std::lock_guard lock(pool.mutex);
    if (pool.pending_decrefs.empty()) return;
    taken.swap(pool.pending_decrefs);
  }
  for (PyObject* obj : taken) Py_DECREF(obj);
}

GILPool::GILPool() {
  if (GIL_COUNT < 0) {
    if (GIL_COUNT == -1)
      fail("Access to the GIL is prohibited while a __traverse__ implmentation is running.");
    fail("Access to the GIL is currently prohibited.");
  }
  ++GIL_COUNT;
  try {
    update_counts();
    if (auto* owned = owned_objects()) start_ = owned->size();
  } catch (...) {
    --GIL_COUNT;
    throw;
  }
}

GILPool::~GILPool() {
  std::vector<PyObject*>* owned = start_ ? owned_objects() : nullptr;
  if (owned != nullptr && owned->size() > *start_) {
    // Detach first: a release can run a finaliser that opens a nested scope on this thread, and
    // that scope must find the array holding only entries that are still owned.
    std::vector<PyObject*> detached;
    try {
      detached.assign(owned->begin() + static_cast<std::ptrdiff_t>(*start_), owned->end());
      owned->resize(*start_);
    } catch (const std::bad_alloc&) {
      // No room to detach in one piece: detach and release one entry at a time instead.
      while (owned->size() > *start_) {
        PyObject* obj = owned->back();
        owned->pop_back();
        Py_DECREF(obj);
      }
    }
    for (PyObject* obj : detached) Py_DECREF(obj);
  }
  --GIL_COUNT;
}

namespace testing {
std::intptr_t gil_count() noexcept { return GIL_COUNT; }
std::size_t owned_count() noexcept {
  return owned_state == OwnedState::Alive ? owned_objects()->size() : 0;
}
std::size_t pending_decrefs() {
  std::lock_guard lock(POOL().mutex);
  return POOL().pending_decrefs.size();
}
void set_gil_count(std::intptr_t value) noexcept { GIL_COUNT = value; }
}  // namespace testing

}  // namespace velmora::py
