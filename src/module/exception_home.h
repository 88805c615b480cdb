// The home module of the PanicException type, "pyo3_runtime": where code that meets the type
// by its qualified name (pickle, for one) finds it.
#pragma once

#include "cpython/pyerr.h"

namespace velmora::py {

inline constexpr const char* kExceptionHomeName = "pyo3_runtime";

// Lists the home module in sys.modules (reusing the one being imported, if any) and gives it a
// module-level __getattr__ that hands out the type. The type itself is still made only on
// first need: looking it up there is such a need.
PyResult<Done> publish_exception_home();

}  // namespace velmora::py
