// The state behind the reference scopes: the per-thread entry count and array of scope-owned
// references, and the process-wide queue of deferred releases. Only scope.cpp changes it.
#pragma once

#include <Python.h>

#include <atomic>
#include <cstdint>
#include <mutex>
#include <vector>

namespace velmora::py::scope_state {

enum class OwnedState : unsigned char { NotYetUsed, Alive, Destroyed };

// The frames' state of one thread, in one block so that a frame finds all of it at once. Plain
// (trivially destructible) so that it can still be read after the thread's destructors ran.
struct ThreadFrames {
  // Active frames on this thread; negative while access to the interpreter is prohibited.
  std::intptr_t entries = 0;
  OwnedState owned_state = OwnedState::NotYetUsed;
  // The thread's array of scope-owned references while it is Alive, else null.
  std::vector<PyObject*>* owned = nullptr;
};
extern thread_local ThreadFrames t_frames;

// The array of this thread, or null once it is destroyed. The first call on a thread constructs
// it and registers its destructor for thread exit.
std::vector<PyObject*>* owned_objects();

// The process-wide queue of releases requested without the interpreter lock.
struct ReferencePool {
  std::mutex mutex;
  std::vector<PyObject*> pending_decrefs;
  // Set with the first release queued, cleared when the queue is taken (both under `mutex`), so
  // that an entry with nothing queued, the common case, looks without taking the lock.
  std::atomic<bool> has_pending{false};
};
ReferencePool& reference_pool();

}  // namespace velmora::py::scope_state
