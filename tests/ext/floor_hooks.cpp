// The benchmark's floor for the cost of making a result's objects: `_velmora_test.plan(tree)`
// writes a result of `velmora.parse` as a compact program (bytes, and a tuple of its keys), and
// `_velmora_test.rebuild(plan)` runs it, making the same tree anew through the C API while
// reading nothing but that program in order. Every dict, list and value str is new; keys are the
// objects of the tuple, as a conversion shares its keys. Dicts are filled and lists grown by
// append in document order, each container made before its children, as a one-pass conversion
// must.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "hooks.h"

namespace {

// The program: one byte per step, some with a payload after it.
enum Op : unsigned char {
  kDict = 1,  // a new dict, into which the steps up to its kEnd store
  kList,      // the same for a new list
  kKey,       // u32: the index of the key the next value is stored under (in a dict)
  kStr,       // u8 form (0 for ASCII, else the kind), u32 length, then the units: a new str
  kNone,      // None
  kEnd,       // the innermost container is complete
};

void put_u32(std::string& out, std::uint32_t v) { out.append(reinterpret_cast<const char*>(&v), 4); }

bool plan_value(PyObject* value, std::string& out, PyObject* keys, PyObject* key_index);

bool plan_key(PyObject* key, std::string& out, PyObject* keys, PyObject* key_index) {
  PyObject* found = PyDict_GetItemWithError(key_index, key);
  std::uint32_t index;
  if (found != nullptr) {
    index = static_cast<std::uint32_t>(PyLong_AsUnsignedLong(found));
  } else {
    if (PyErr_Occurred()) return false;
    index = static_cast<std::uint32_t>(PyList_GET_SIZE(keys));
    PyObject* number = PyLong_FromUnsignedLong(index);
    const bool ok = number != nullptr && PyDict_SetItem(key_index, key, number) == 0 && PyList_Append(keys, key) == 0;
    Py_XDECREF(number);
    if (!ok) return false;
  }
  out += static_cast<char>(kKey);
  put_u32(out, index);
  return true;
}

bool plan_value(PyObject* value, std::string& out, PyObject* keys, PyObject* key_index) {
  if (PyUnicode_CheckExact(value)) {
    const Py_ssize_t n = PyUnicode_GET_LENGTH(value);
    const int kind = PyUnicode_KIND(value);
    out += static_cast<char>(kStr);
    out += static_cast<char>(PyUnicode_IS_ASCII(value) ? 0 : kind);
    put_u32(out, static_cast<std::uint32_t>(n));
    out.append(static_cast<const char*>(PyUnicode_DATA(value)), static_cast<std::size_t>(n) * kind);
    return true;
  }
  if (value == Py_None) {
    out += static_cast<char>(kNone);
    return true;
  }
  if (Py_EnterRecursiveCall(" in plan")) return false;
  bool ok = true;
  if (PyDict_CheckExact(value)) {
    out += static_cast<char>(kDict);
    Py_ssize_t pos = 0;
    PyObject *key, *item;
    while (ok && PyDict_Next(value, &pos, &key, &item))
      ok = plan_key(key, out, keys, key_index) && plan_value(item, out, keys, key_index);
    out += static_cast<char>(kEnd);
  } else if (PyList_CheckExact(value)) {
    out += static_cast<char>(kList);
    for (Py_ssize_t i = 0; ok && i < PyList_GET_SIZE(value); ++i)
      ok = plan_value(PyList_GET_ITEM(value, i), out, keys, key_index);
    out += static_cast<char>(kEnd);
  } else {
    PyErr_SetString(PyExc_TypeError, "plan takes dicts, lists, strs and None");
    ok = false;
  }
  Py_LeaveRecursiveCall();
  return ok;
}

// plan(tree) -> (program: bytes, keys: tuple)
PyObject* plan(PyObject*, PyObject* tree) {
  std::string out;
  PyObject* keys = PyList_New(0);
  PyObject* key_index = PyDict_New();
  PyObject* result = nullptr;
  if (keys != nullptr && key_index != nullptr && plan_value(tree, out, keys, key_index))
    result = Py_BuildValue("(y#N)", out.data(), static_cast<Py_ssize_t>(out.size()), PyList_AsTuple(keys));
  Py_XDECREF(keys);
  Py_XDECREF(key_index);
  return result;
}

std::uint32_t read_u32(const unsigned char*& p) {
  std::uint32_t v;
  std::memcpy(&v, p, 4);
  p += 4;
  return v;
}

struct Open {
  PyObject* container;
  PyObject* key;  // where a dict's next value goes (borrowed from the keys)
};

// Stores `value` (a new reference, taken) into the innermost container (a dict under its key,
// which must be set), or makes it the root.
bool store(std::vector<Open>& open, PyObject*& root, PyObject* value) {
  if (open.empty()) {
    if (root != nullptr) {  // a second top-level value
      Py_DECREF(value);
      return false;
    }
    root = value;
    return true;
  }
  Open& top = open.back();
  if (top.key == nullptr && !PyList_CheckExact(top.container)) {
    Py_DECREF(value);
    return false;
  }
  const int status = PyList_CheckExact(top.container) ? PyList_Append(top.container, value)
                                                       : PyDict_SetItem(top.container, top.key, value);
  Py_DECREF(value);
  return status == 0;
}

// rebuild((program, keys)) -> the tree
PyObject* rebuild(PyObject*, PyObject* planned) {
  PyObject* program;
  PyObject* keys;
  if (!PyTuple_Check(planned)) {
    PyErr_SetString(PyExc_TypeError, "rebuild takes what plan() gives");
    return nullptr;
  }
  if (!PyArg_ParseTuple(planned, "SO!", &program, &PyTuple_Type, &keys)) return nullptr;
  const auto* p = reinterpret_cast<const unsigned char*>(PyBytes_AS_STRING(program));
  const unsigned char* const end = p + PyBytes_GET_SIZE(program);
  std::vector<Open> open;
  open.reserve(64);
  PyObject* root = nullptr;
  bool ok = true;
  while (ok && p < end) {
    switch (*p++) {
      case kDict:
      case kList: {
        PyObject* made = p[-1] == kDict ? PyDict_New() : PyList_New(0);
        if (made == nullptr) {
          ok = false;
          break;
        }
        open.push_back(Open{made, nullptr});
        break;
      }
      case kKey: {
        if (open.empty() || end - p < 4) {
          ok = false;
          break;
        }
        const std::uint32_t index = read_u32(p);
        if (index >= static_cast<std::uint64_t>(PyTuple_GET_SIZE(keys))) {
          ok = false;
          break;
        }
        open.back().key = PyTuple_GET_ITEM(keys, index);
        break;
      }
      case kStr: {
        if (end - p < 5) {
          ok = false;
          break;
        }
        const int form = *p++;  // 0 for ASCII, else the kind
        const int kind = form == 0 ? 1 : form;
        const Py_ssize_t n = read_u32(p);
        if (form > 4 || form == 3 || (end - p) / kind < n) {
          ok = false;
          break;
        }
        const Py_UCS4 most = form == 0 ? 0x7F : form == 1 ? 0xFF : form == 2 ? 0xFFFF : 0x10FFFF;
        PyObject* s = PyUnicode_New(n, most);
        if (s == nullptr) {
          ok = false;
          break;
        }
        std::memcpy(PyUnicode_DATA(s), p, static_cast<std::size_t>(n) * kind);
        p += n * kind;
        ok = store(open, root, s);
        break;
      }
      case kNone:
        ok = store(open, root, Py_NewRef(Py_None));
        break;
      case kEnd: {
        if (open.empty()) {
          ok = false;
          break;
        }
        PyObject* done = open.back().container;
        open.pop_back();
        ok = store(open, root, done);
        break;
      }
      default:
        ok = false;
    }
  }
  if (!ok || root == nullptr || !open.empty() || p != end) {
    if (!PyErr_Occurred()) PyErr_SetString(PyExc_ValueError, "not a program of plan()");
    for (Open& o : open) Py_DECREF(o.container);
    Py_XDECREF(root);
    return nullptr;
  }
  return root;
}

PyMethodDef kFloorMethods[] = {
    {"plan", plan, METH_O, nullptr},
    {"rebuild", rebuild, METH_O, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

void add_floor_hooks(PyObject* module) { PyModule_AddFunctions(module, kFloorMethods); }
