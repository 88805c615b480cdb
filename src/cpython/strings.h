// Making `str` objects: new strings from UTF-8 and from code points, the process-wide interned
// attribute names, and the lossy UTF-8 text of a `str`. All of it needs the interpreter lock.
#pragma once

#include <Python.h>

#include <cstdint>
#include <cstring>
#include <span>
#include <string_view>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "cpython/ref.h"
#include "reader/cow_text.h"
#include "reader/unescape.h"
#include "reader/units.h"

namespace velmora::py {

// A new `str` holding `text` (valid UTF-8). A failed creation is fatal (panic_after_error). A
// caller that wants the call's scope to own it hands it over with register_owned.
PyRef new_string(std::string_view text);

// `new_string` for text known to be valid UTF-8 (a slice of the argument's text cut between
// characters, or text made from such slices); `ascii` true says every byte is below 0x80 (no
// scan is then needed), false that it is not known. Decodes straight into a str of the right
// width, without the general decoder's checks, which such text cannot fail.
PyRef new_string_from_valid(std::string_view text, bool ascii);

// A new `str` of code points, one per unit, in the narrowest form they allow. `bits` is every
// unit or-ed together (from a scan of the text); the other overload scans for it. A failed
// creation is fatal.
template <reader::TextUnit Unit>
PyRef new_string_from_units(reader::UnitView<Unit> units, std::uint32_t bits);
template <reader::TextUnit Unit>
PyRef new_string_from_units(reader::UnitView<Unit> units);

// A new `str` of a text's code points (one per unit; UTF-8 text only when ASCII) with each of
// its references (from reader::find_references, with its summary) replaced by the one code
// point it stands for, written in one pass. A failed creation is fatal.
template <reader::TextUnit Unit>
PyRef new_string_with_references(reader::UnitView<Unit> text, std::span<const reader::FoundReference> references,
                                 reader::ReferenceSummary summary);

// The fatal failure of a str's creation in new_short_ascii (reported from strings.cpp, where
// the other creations fail too).
[[noreturn, gnu::cold]] void short_string_failed();

// The most units new_short_ascii takes.
inline constexpr std::size_t kShortAscii = 16;

// PyObject_Init(block, &PyUnicode_Type) without the call: str's type is static and immortal, so
// an object of it needs only its type and its first reference (set by the interpreter's own
// step, which keeps tracing and debug builds right).
[[gnu::always_inline]] inline PyObject* init_str_object(void* block) {
  auto* const object = static_cast<PyObject*>(block);
#if PY_VERSION_HEX >= 0x030C0000 && PY_VERSION_HEX < 0x030E0000 && !defined(Py_GIL_DISABLED)
  Py_SET_TYPE(object, &PyUnicode_Type);
  _Py_NewReference(object);
  return object;
#else
  return PyObject_Init(object, &PyUnicode_Type);
#endif
}

// A new compact str of `n` characters, none above `max_char`, in the form PyUnicode_New gives
// it (so nothing else can tell them apart), its characters left for the caller to write. Made
// here, without a call, for the strs made by the million; the empty str (the interpreter's one
// instance) and sizes near the limit go to PyUnicode_New. Null, with the Python error set, when
// memory ran out.
[[gnu::always_inline]] inline PyObject* new_compact_str(Py_ssize_t n, Py_UCS4 max_char) {
  const bool ascii = max_char < 0x80;
  const unsigned kind = max_char < 0x100 ? PyUnicode_1BYTE_KIND : max_char < 0x10000 ? PyUnicode_2BYTE_KIND : PyUnicode_4BYTE_KIND;
  const std::size_t header = ascii ? sizeof(PyASCIIObject) : sizeof(PyCompactUnicodeObject);
  if (n <= 0 || n > (PY_SSIZE_T_MAX - 64) / 4 - 1) [[unlikely]]
    return PyUnicode_New(n, max_char);
  void* block = PyObject_Malloc(header + (static_cast<std::size_t>(n) + 1) * kind);
  if (block == nullptr) return PyErr_NoMemory();
  PyObject* const object = init_str_object(block);
  auto* const str = static_cast<PyASCIIObject*>(block);
  str->length = n;
  str->hash = -1;
  std::memset(&str->state, 0, sizeof(str->state));  // not interned, not static
  str->state.kind = kind;
  str->state.compact = 1;
  str->state.ascii = ascii;
  if (!ascii) {
    auto* const compact = static_cast<PyCompactUnicodeObject*>(block);
    compact->utf8_length = 0;
    compact->utf8 = nullptr;
  }
  // The terminating zero character.
  char* const last = static_cast<char*>(block) + header + static_cast<std::size_t>(n) * kind;
  if (kind == PyUnicode_1BYTE_KIND) *last = 0;
  else if (kind == PyUnicode_2BYTE_KIND) std::memset(last, 0, 2);
  else std::memset(last, 0, 4);
  return object;
}

// Up to three ASCII units as bytes, without a loop: the first, the middle and the last (which
// overlap when there are fewer than three).
template <class Unit>
[[gnu::always_inline]] inline void copy_few(const Unit* from, std::size_t n, unsigned char* to) {
  if (n == 0) return;
  to[0] = static_cast<unsigned char>(reader::unit_value(from[0]));
  to[n / 2] = static_cast<unsigned char>(reader::unit_value(from[n / 2]));
  to[n - 1] = static_cast<unsigned char>(reader::unit_value(from[n - 1]));
}

// A new `str` of `units`, at most kShortAscii of them and every one below 0x80, made inline: the
// short values that most fields and attributes hold, without a call for the copy. A failed
// creation is fatal.
template <reader::TextUnit Unit>
[[gnu::always_inline]] inline PyRef new_short_ascii(reader::UnitView<Unit> units) {
  const std::size_t n = units.size();
  PyObject* str = new_compact_str(static_cast<Py_ssize_t>(n), 127);
  if (str == nullptr) short_string_failed();
  // A compact ASCII str keeps its characters right after its header.
  auto* to = reinterpret_cast<unsigned char*>(reinterpret_cast<PyASCIIObject*>(str) + 1);
  const Unit* from = units.data();
  // Two steps that may overlap cover any length from one step's width to twice that.
  if constexpr (sizeof(Unit) == 1) {
    const auto two = [&]<class Word>(Word) {
      Word head, tail;
      std::memcpy(&head, from, sizeof(Word));
      std::memcpy(&tail, from + n - sizeof(Word), sizeof(Word));
      std::memcpy(to, &head, sizeof(Word));
      std::memcpy(to + n - sizeof(Word), &tail, sizeof(Word));
    };
    if (n >= 8) two(std::uint64_t{});
    else if (n >= 4) two(std::uint32_t{});
    else copy_few(from, n, to);
    return PyRef::steal(str);
  }
#if defined(__SSE2__)
  if constexpr (sizeof(Unit) == 2) {
    // Every unit is below 0x80, so the saturating pack is exact.
    if (n >= 8) {
      const __m128i head = _mm_loadu_si128(reinterpret_cast<const __m128i*>(from));
      const __m128i tail = _mm_loadu_si128(reinterpret_cast<const __m128i*>(from + n - 8));
      _mm_storel_epi64(reinterpret_cast<__m128i*>(to), _mm_packus_epi16(head, head));
      _mm_storel_epi64(reinterpret_cast<__m128i*>(to + n - 8), _mm_packus_epi16(tail, tail));
      return PyRef::steal(str);
    }
    if (n >= 4) {
      const __m128i head = _mm_loadl_epi64(reinterpret_cast<const __m128i*>(from));
      const __m128i tail = _mm_loadl_epi64(reinterpret_cast<const __m128i*>(from + n - 4));
      const auto head_bytes = static_cast<std::uint32_t>(_mm_cvtsi128_si32(_mm_packus_epi16(head, head)));
      const auto tail_bytes = static_cast<std::uint32_t>(_mm_cvtsi128_si32(_mm_packus_epi16(tail, tail)));
      std::memcpy(to, &head_bytes, 4);
      std::memcpy(to + n - 4, &tail_bytes, 4);
      return PyRef::steal(str);
    }
  }
#endif
  if (n < 4) copy_few(from, n, to);
  else
    for (std::size_t i = 0; i < n; ++i) to[i] = static_cast<unsigned char>(reader::unit_value(from[i]));
  return PyRef::steal(str);
}

// The process-wide interned names used for attribute look-ups (borrowed, never released).
enum class InternedName { Name, All, Qualname };
PyObject* interned(InternedName name);
// Empties those cells without a release, once the interpreter that made the names is finalized.
void forget_interned_names() noexcept;

// The UTF-8 text of a `str`, with each maximal invalid subpart (lone surrogates) replaced by
// U+FFFD. Borrowed when the `str` has a UTF-8 form, owned otherwise. Leaves no error pending.
reader::CowText to_string_lossy(PyObject* str);

}  // namespace velmora::py
