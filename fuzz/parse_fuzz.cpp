// libFuzzer target for the whole conversion: an embedded interpreter, and for each input the
// one-pass walk (`parse_document`, through the same entry frame as `velmora.parse`) against
// the level-by-level reference conversion. Both must return equal trees, key order included,
// or fail with the same PanicException message. The same text is converted again in every code
// point form it fits (Latin-1, UCS-2, UCS-4: the forms a str holds), each of which must give
// the UTF-8 walk's outcome. Anything else, and an input whose conversion keeps objects alive
// after its result is dropped, aborts so the fuzzer keeps the input.
// Inputs are read as UTF-8 with invalid bytes replaced, as a str would hold them.
#include <Python.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string>
#include <string_view>

#include "convert/walk.h"
#include "cpython/pyerr.h"
#include "failure/output.h"
#include "module/frame.h"
#include "reference_walk.h"

namespace velmora::failure_output {
// Failure reports are the expected outcome of most inputs: dropped, not written.
ssize_t write_report(int, const void*, std::size_t size) noexcept {
  return static_cast<ssize_t>(size);
}
}  // namespace velmora::failure_output

namespace {

using velmora::py::PyRef;
using velmora::py::PyResult;

[[noreturn]] void stop(const char* what, std::string_view input) {
  std::fprintf(stderr, "parse_fuzz: %s\ninput (%zu bytes): %.*s\n", what, input.size(),
               static_cast<int>(input.size() < 2000 ? input.size() : 2000), input.data());
  if (PyErr_Occurred()) PyErr_Print();
  std::abort();
}

// What one conversion gave: its result (owned), or the message of its PanicException.
struct Outcome {
  PyRef result;
  std::string panic;
};

template <class Convert>
Outcome run(Convert convert, std::string_view text) {
  PyObject* result = velmora::py::trampoline(convert);
  if (result != nullptr) return {PyRef::steal(result), {}};
  PyRef raised = PyRef::steal(PyErr_GetRaisedException());
  if (!raised || Py_TYPE(raised.get()) != reinterpret_cast<PyTypeObject*>(velmora::py::panic_exception_type())) {
    PyErr_SetRaisedException(raised.release());
    stop("a conversion raised something other than PanicException", text);
  }
  PyObject* args = PyException_GetArgs(raised.get());
  std::string message;
  Py_ssize_t size = 0;
  const char* utf8 = nullptr;
  if (args != nullptr && PyTuple_GET_SIZE(args) == 1 && PyUnicode_Check(PyTuple_GET_ITEM(args, 0)))
    utf8 = PyUnicode_AsUTF8AndSize(PyTuple_GET_ITEM(args, 0), &size);
  Py_XDECREF(args);
  if (utf8 == nullptr) stop("a PanicException without one text argument", text);
  message.assign(utf8, static_cast<std::size_t>(size));
  return {{}, std::move(message)};
}

// Equal values of the result's kinds (dict, list, str, None), dictionaries in the same order.
bool same(PyObject* a, PyObject* b) {
  if (Py_TYPE(a) != Py_TYPE(b)) return false;
  if (a == Py_None) return true;
  if (PyUnicode_CheckExact(a)) return PyUnicode_Compare(a, b) == 0;
  if (PyList_CheckExact(a)) {
    if (PyList_GET_SIZE(a) != PyList_GET_SIZE(b)) return false;
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(a); ++i)
      if (!same(PyList_GET_ITEM(a, i), PyList_GET_ITEM(b, i))) return false;
    return true;
  }
  if (PyDict_CheckExact(a)) {
    if (PyDict_GET_SIZE(a) != PyDict_GET_SIZE(b)) return false;
    Py_ssize_t i = 0, j = 0;
    PyObject *ka, *va, *kb, *vb;
    while (PyDict_Next(a, &i, &ka, &va)) {
      if (!PyDict_Next(b, &j, &kb, &vb)) return false;
      if (!same(ka, kb) || !same(va, vb)) return false;
    }
    return true;
  }
  return false;  // no other kind belongs in a result
}

// The str's code points in every unit form they fit: Latin-1 below U+0100, UCS-2 below
// U+10000, UCS-4 always (a str decoded with replacement holds no surrogates).
struct Forms {
  std::optional<std::u8string> latin1;
  std::optional<std::u16string> ucs2;
  std::u32string ucs4;
};

Forms unit_forms(PyObject* str) {
  Forms forms;
  const int kind = PyUnicode_KIND(str);
  const void* data = PyUnicode_DATA(str);
  const Py_ssize_t n = PyUnicode_GET_LENGTH(str);
  forms.ucs4.reserve(static_cast<std::size_t>(n));
  for (Py_ssize_t i = 0; i < n; ++i) forms.ucs4 += static_cast<char32_t>(PyUnicode_READ(kind, data, i));
  if (kind == PyUnicode_1BYTE_KIND) forms.latin1.emplace(forms.ucs4.begin(), forms.ucs4.end());
  if (kind != PyUnicode_4BYTE_KIND) forms.ucs2.emplace(forms.ucs4.begin(), forms.ucs4.end());
  return forms;
}

// Converting `units` must give `expected`, the UTF-8 walk's outcome: the same tree or message.
template <class Unit>
void convert_form(const char* form, std::basic_string_view<Unit> units, const Outcome& expected,
                  std::string_view input) {
  Outcome got = run([&] { return velmora::convert::parse_document(units); }, input);
  if (static_cast<bool>(got.result) != static_cast<bool>(expected.result)) {
    std::fprintf(stderr, "form %s: %s\n", form, got.result ? "returned" : got.panic.c_str());
    stop(got.result ? "a code point form returned, UTF-8 failed" : "a code point form failed, UTF-8 returned", input);
  }
  if (got.result ? !same(got.result.get(), expected.result.get()) : got.panic != expected.panic) {
    std::fprintf(stderr, "form %s: %s\nutf8: %s\n", form, got.panic.c_str(), expected.panic.c_str());
    stop("a code point form and UTF-8 disagree", input);
  }
}

// Both conversions of one input, and the walk over each code point form; any disagreement stops.
void convert_both(std::string_view input, std::string_view text, const Forms& forms) {
  Outcome mine = run([&] { return velmora::convert::parse_document(text); }, input);
  if (forms.latin1) convert_form<char8_t>("latin1", *forms.latin1, mine, input);
  if (forms.ucs2) convert_form<char16_t>("ucs2", *forms.ucs2, mine, input);
  convert_form<char32_t>("ucs4", forms.ucs4, mine, input);
  Outcome reference = run([&]() -> PyResult<PyRef> {
    return PyResult<PyRef>::ok(PyRef::steal(velmora::testing::reference_parse_document(text)));
  }, input);
  if (mine.result && !PyDict_CheckExact(mine.result.get())) stop("the result is not a dict", input);
  if (static_cast<bool>(mine.result) != static_cast<bool>(reference.result))
    stop(mine.result ? "parse returned, the reference failed" : "parse failed, the reference returned", input);
  if (mine.result ? !same(mine.result.get(), reference.result.get()) : mine.panic != reference.panic) {
    std::fprintf(stderr, "parse: %s\nreference: %s\n", mine.panic.c_str(), reference.panic.c_str());
    stop("the conversions disagree", input);
  }
}

// sys.getallocatedblocks(): the interpreter's live small-object blocks.
Py_ssize_t allocated_blocks() {
  static PyObject* function = PySys_GetObject("getallocatedblocks");  // borrowed, kept by sys
  PyRef count = PyRef::steal(PyObject_CallNoArgs(function));
  return count ? PyLong_AsSsize_t(count.get()) : -1;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  PyConfig config;
  PyConfig_InitIsolatedConfig(&config);
  config.install_signal_handlers = 0;
  PyStatus status = Py_InitializeFromConfig(&config);
  PyConfig_Clear(&config);
  if (PyStatus_Exception(status)) Py_ExitStatusException(status);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view input(reinterpret_cast<const char*>(data), size);
  PyRef str = PyRef::steal(PyUnicode_DecodeUTF8(input.data(), static_cast<Py_ssize_t>(size), "replace"));
  if (!str) stop("cannot make the input's str", input);
  Py_ssize_t length = 0;
  const char* utf8 = PyUnicode_AsUTF8AndSize(str.get(), &length);
  if (utf8 == nullptr) stop("cannot read the input's UTF-8", input);
  const std::string_view text(utf8, static_cast<std::size_t>(length));
  const Forms forms = unit_forms(str.get());

  // Objects still allocated after the results are dropped. The interpreter's free lists
  // (up to 80 entries each) keep freed objects allocated, so only growth that goes on after a
  // hundred more runs is a leak.
  const Py_ssize_t before = allocated_blocks();
  convert_both(input, text, forms);
  if (allocated_blocks() > before) {
    constexpr int kRuns = 100;
    for (int run = 0; run < kRuns; ++run) convert_both(input, text, forms);
    const Py_ssize_t warm = allocated_blocks();
    for (int run = 0; run < kRuns; ++run) convert_both(input, text, forms);
    if (allocated_blocks() - warm >= kRuns) stop("every run of this input leaves objects alive", input);
  }
  return 0;
}
