// Reference scopes: registration of scope-owned references, deferred releases, and the
// GILPool that opens and closes a scope around every entry.
#include "cpython/scope.h"

#include <new>

#include "cpython/api_failure.h"
#include "cpython/forgotten.h"
#include "cpython/scope_state.h"
#include "failure/failure.h"

namespace velmora::py {
namespace scope_state {

thread_local ThreadFrames t_frames;

namespace {
// The thread's array. Its destructor is the thread-exit hook: by then every frame on the thread
// has ended, so it only frees the storage.
struct OwnedObjects {
  std::vector<PyObject*> items;
  ~OwnedObjects() {
    t_frames.owned_state = OwnedState::Destroyed;
    t_frames.owned = nullptr;
  }
};
}  // namespace

std::vector<PyObject*>* owned_objects() {
  ThreadFrames& frames = t_frames;
  if (frames.owned_state == OwnedState::Alive) return frames.owned;
  if (frames.owned_state == OwnedState::Destroyed) return nullptr;
  static thread_local OwnedObjects storage;
  frames.owned_state = OwnedState::Alive;
  frames.owned = &storage.items;
  return frames.owned;
}

ReferencePool& reference_pool() {
  static ReferencePool* pool = new ReferencePool;  // never destroyed: used until process exit
  return *pool;
}

}  // namespace scope_state

using namespace scope_state;

PyObject* register_owned(PyRef ref) {
  if (!ref) panic_after_error();
  auto* owned = owned_objects();
  if (owned == nullptr) return ref.release();
  // Should the array fail to grow, the handle still holds the reference and releases it.
  owned->push_back(ref.get());
  return ref.release();
}

void register_decref(PyRef ref) noexcept {
  PyObject* obj = ref.release();
  if (obj == nullptr) return;
  if (t_frames.entries >= 1) {
    Py_DECREF(obj);
    return;
  }
  ReferencePool& pool = reference_pool();
  std::lock_guard lock(pool.mutex);
  try {
    pool.pending_decrefs.push_back(obj);
    pool.has_pending.store(true, std::memory_order_release);
  } catch (const std::bad_alloc&) {
    allocation_failed(sizeof(PyObject*) * (pool.pending_decrefs.capacity() == 0 ? 1 : 2 * pool.pending_decrefs.capacity()));
  }
}

void update_counts() {
  ReferencePool& pool = reference_pool();
  // A release queued after this look is applied at the next entry, as one queued after the
  // queue was taken would be.
  if (!pool.has_pending.load(std::memory_order_acquire)) return;
  std::vector<PyObject*> taken;
  {
    std::lock_guard lock(pool.mutex);
    pool.has_pending.store(false, std::memory_order_relaxed);
    if (pool.pending_decrefs.empty()) return;
    taken.swap(pool.pending_decrefs);
  }
  for (PyObject* obj : taken) Py_DECREF(obj);
}

void forget_deferred_releases() noexcept {
  ReferencePool& pool = reference_pool();
  try {
    std::lock_guard lock(pool.mutex);
    for (PyObject* obj : pool.pending_decrefs) keep_forgotten(obj);
    pool.pending_decrefs.clear();
    pool.has_pending.store(false, std::memory_order_relaxed);
  } catch (...) {
    // The lock could not be taken: the queue is left as it is.
  }
}

GILPool::GILPool() {
  ThreadFrames& frames = t_frames;
  if (frames.entries < 0) {
    if (frames.entries == -1)
      fail("Access to the GIL is prohibited while a __traverse__ implmentation is running.");
    fail("Access to the GIL is currently prohibited.");
  }
  ++frames.entries;
  try {
    update_counts();
  } catch (...) {
    --frames.entries;
    throw;
  }
  // A thread's array is made by the first registration; until then it is empty.
  if (frames.owned_state != OwnedState::Destroyed)
    start_ = frames.owned != nullptr ? frames.owned->size() : 0;
}

GILPool::~GILPool() {
  ThreadFrames& frames = t_frames;
  std::vector<PyObject*>* owned = start_ ? frames.owned : nullptr;
  if (owned != nullptr && owned->size() > *start_) {
    // Detach first: a release can run a finaliser that opens a nested scope on this thread, and
    // that scope must find the array holding only entries that are still owned.
    std::vector<PyObject*> detached;
    try {
      detached.assign(owned->begin() + static_cast<std::ptrdiff_t>(*start_), owned->end());
      owned->resize(*start_);
    } catch (...) {
      // No room to detach in one piece: detach and release one entry at a time instead.
      while (owned->size() > *start_) {
        PyObject* obj = owned->back();
        owned->pop_back();
        Py_DECREF(obj);
      }
    }
    for (PyObject* obj : detached) Py_DECREF(obj);
  }
  --t_frames.entries;
}

}  // namespace velmora::py
