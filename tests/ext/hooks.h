// Hook sets of the test-only extension `_velmora_test`, each in its own file. A set that is not
// built falls back to a weak no-op, so the module links whichever sets exist.
#pragma once

#include <Python.h>

// Failure-report hooks.
void add_failure_hooks(PyObject* module);
// The reference conversion used by differential tests.
void add_reference_hooks(PyObject* module);
// The benchmark's floor: a result tree rebuilt through the C API alone.
void add_floor_hooks(PyObject* module);
