// The list of objects kept for the rest of the process after their interpreter was finalised.
#include "cpython/forgotten.h"

#include <vector>

namespace velmora::py {

void keep_forgotten(PyObject* obj) noexcept {
  if (obj == nullptr) return;
  // Made once and never destroyed: it must outlive every exit handler.
  static auto* const kept = new std::vector<PyObject*>();
  try {
    kept->push_back(obj);
  } catch (...) {
    // No memory for the list: the object is then only unreferenced, which is all that changes.
  }
}

}  // namespace velmora::py
