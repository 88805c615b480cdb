// Reference scopes of the entry frames.
//
// Every entry from the interpreter opens a GILPool. Objects made during the entry are handed to
// the innermost open pool with register_owned and released together when it closes, so the
// conversion never has to release its temporaries one by one. References given up on a thread
// that is not inside module code are queued (register_decref) and released at the next frame
// start on any thread.
#pragma once

#include <Python.h>

#include <cstddef>
#include <optional>

#include "cpython/ref.h"

namespace velmora::py {

// Hands a reference to the innermost open scope of this thread and answers the object, borrowed
// from the scope. An empty handle is the NULL of a failed creating call: a fatal failure
// (panic_after_error). Once the thread's array has been destroyed (thread exit) the reference is
// kept forever rather than risk a crash.
PyObject* register_owned(PyRef obj);

// Gives up one strong reference: released at once when this thread is inside module code with
// the lock held, otherwise queued for the next frame start. An empty handle does nothing.
void register_decref(PyRef obj) noexcept;

// Releases the references queued by register_decref. Never holds the queue's mutex while a
// reference is released, since a release can run arbitrary Python code.
void update_counts();
// Drops the queued releases without applying them, once the interpreter their objects belonged
// to is finalized (its objects are gone).
void forget_deferred_releases() noexcept;

// One reference scope. Opening it counts the entry on this thread (refusing a thread on which
// access to the interpreter is prohibited), applies the queued releases and records where this
// scope's registrations begin; closing it releases exactly those, then uncounts the entry.
class GILPool {
 public:
  GILPool();
  ~GILPool();
  GILPool(const GILPool&) = delete;
  GILPool& operator=(const GILPool&) = delete;

 private:
  std::optional<std::size_t> start_;
};

}  // namespace velmora::py
