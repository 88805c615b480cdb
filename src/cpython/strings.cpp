// Making `str` objects from UTF-8, interned names, and lossy text of a `str`.
#include "cpython/strings.h"

#include <cstdint>
#include <cstring>
#include <string>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "cpython/api_failure.h"
#include "cpython/forgotten.h"
#include "cpython/scope.h"
#include "reader/utf8.h"

namespace velmora::py {
namespace {

bool is_ascii(std::string_view s) {
  const char* p = s.data();
  std::size_t n = s.size();
  std::uint64_t any = 0;
  for (; n >= 8; p += 8, n -= 8) {
    std::uint64_t word;
    std::memcpy(&word, p, 8);
    any |= word;
  }
  for (; n > 0; ++p, --n) any |= static_cast<unsigned char>(*p);
  return (any & 0x8080808080808080ull) == 0;
}

// A new str from valid UTF-8, or NULL with the interpreter's error set. ASCII, the common case
// for names and values, is copied straight into a compact str without decoding.
PyObject* make_string(std::string_view text) {
  const auto n = static_cast<Py_ssize_t>(text.size());
  if (!is_ascii(text)) return PyUnicode_DecodeUTF8(text.data(), n, nullptr);
  PyObject* s = new_compact_str(n, 127);
  if (s != nullptr) std::memcpy(PyUnicode_1BYTE_DATA(s), text.data(), text.size());
  return s;
}

constexpr std::uint64_t kHighBits = 0x8080808080808080ull;

// Decodes valid UTF-8 into `out`, one code unit per character.
template <class Unit>
void decode_valid(const unsigned char* s, std::size_t n, Unit* out) {
  std::size_t i = 0;
  while (i < n) {
    const unsigned c = s[i];
    if (c < 0x80) {
      // Runs of ASCII eight bytes at a time (each widened to one unit).
      while (i + 8 <= n) {
        std::uint64_t word;
        std::memcpy(&word, s + i, 8);
        if (word & kHighBits) break;
        for (std::size_t k = 0; k < 8; ++k) out[k] = static_cast<Unit>(s[i + k]);
        out += 8;
        i += 8;
      }
      while (i < n && s[i] < 0x80) *out++ = static_cast<Unit>(s[i++]);
    } else if (c < 0xE0) {
      *out++ = static_cast<Unit>(((c & 0x1F) << 6) | (s[i + 1] & 0x3F));
      i += 2;
    } else if (c < 0xF0) {
      *out++ = static_cast<Unit>(((c & 0x0F) << 12) | ((s[i + 1] & 0x3Fu) << 6) |
                                 (s[i + 2] & 0x3F));
      i += 3;
    } else {
      *out++ = static_cast<Unit>(((c & 0x07) << 18) | ((s[i + 1] & 0x3Fu) << 12) |
                                 ((s[i + 2] & 0x3Fu) << 6) | (s[i + 3] & 0x3F));
      i += 4;
    }
  }
}

// A new str from valid UTF-8, or NULL with the interpreter's error set. One pass counts the
// characters (bytes that do not continue a sequence) and finds the widest lead byte, which fixes
// the width exactly (a str must be stored in the narrowest width its characters allow): E0 and
// above, or C4 to DF, need two bytes per character (F0 and above four); C2 and C3 alone, one.
PyObject* decode_valid_utf8(std::string_view text) {
  const auto* s = reinterpret_cast<const unsigned char*>(text.data());
  const std::size_t n = text.size();
  std::uint64_t continuation = 0, any_high = 0, wide = 0, widest = 0;
  std::size_t i = 0;
  // Eight bytes at a time; after w << k, bit 7 of each byte is bit 7 - k of that same byte.
  for (; i + 8 <= n; i += 8) {
    std::uint64_t w;
    std::memcpy(&w, s + i, 8);
    if ((w & kHighBits) == 0) continue;
    any_high |= w;
    // One per continuation byte (10xxxxxx), summed across the bytes by the multiplication.
    continuation += (((w & ~(w << 1) & kHighBits) >> 7) * 0x0101010101010101ull) >> 56;
    const std::uint64_t lead2 = w & (w << 1) & ~(w << 2);             // 110xxxxx
    wide |= lead2 & ((w << 3) | (w << 4) | (w << 5));                 // C4..DF
    wide |= w & (w << 1) & (w << 2);                                  // E0 and above
    widest |= w & (w << 1) & (w << 2) & (w << 3);                     // F0 and above
  }
  for (; i < n; ++i) {
    const unsigned c = s[i];
    any_high |= c;
    continuation += (c & 0xC0) == 0x80;
    wide |= (c >= 0xC4) << 7;
    widest |= (c >= 0xF0) << 7;
  }
  const auto chars = static_cast<Py_ssize_t>(n - continuation);
  const Py_UCS4 max_char = (widest & kHighBits) ? 0x10FFFF
                           : (wide & kHighBits) ? 0xFFFF
                           : (any_high & kHighBits) ? 0xFF
                                                    : 0x7F;
  PyObject* str = new_compact_str(chars, max_char);
  if (str == nullptr) return nullptr;
  if (max_char == 0x7F) {
    std::memcpy(PyUnicode_1BYTE_DATA(str), s, n);
    return str;
  }
  switch (PyUnicode_KIND(str)) {
    case PyUnicode_1BYTE_KIND: decode_valid(s, n, PyUnicode_1BYTE_DATA(str)); break;
    case PyUnicode_2BYTE_KIND: decode_valid(s, n, PyUnicode_2BYTE_DATA(str)); break;
    default: decode_valid(s, n, PyUnicode_4BYTE_DATA(str)); break;
  }
  return str;
}

// Copies code points into a str's data of a width that holds them all: a plain copy at the same
// width, else narrowed (or widened) unit by unit.
template <class From, class To>
void narrow_units(const From* from, std::size_t n, To* to) {
  if constexpr (sizeof(From) == sizeof(To)) {
    std::memcpy(to, from, n * sizeof(From));
  } else {
    std::size_t i = 0;
#if defined(__SSE2__)
    if constexpr (sizeof(From) == 2 && sizeof(To) == 1) {
      // Every unit is below 0x100 here, so the saturating pack is exact. Eight units a step; a
      // last step that would pass the end is moved back to end there (rewriting a few).
      if (n >= 8) {
        for (;; i += 8) {
          if (i + 8 > n) i = n - 8;
          const __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i*>(from + i));
          _mm_storel_epi64(reinterpret_cast<__m128i*>(to + i), _mm_packus_epi16(a, a));
          if (i + 8 == n) return;
        }
      }
      if (n >= 4) {  // two four-unit steps, the second ending at the end (no loop to mispredict)
        const auto four = [&](std::size_t at) {
          const __m128i v = _mm_loadl_epi64(reinterpret_cast<const __m128i*>(from + at));
          const int packed = _mm_cvtsi128_si32(_mm_packus_epi16(v, v));
          std::memcpy(to + at, &packed, 4);
        };
        four(0);
        four(n - 4);
        return;
      }
    }
    if constexpr (sizeof(From) == 2 && sizeof(To) == 4) {
      // Widened eight units a step, each half zero-extended.
      const __m128i zero = _mm_setzero_si128();
      for (; i + 8 <= n; i += 8) {
        const __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i*>(from + i));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(to + i), _mm_unpacklo_epi16(a, zero));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(to + i + 4), _mm_unpackhi_epi16(a, zero));
      }
    }
#endif
    for (; i < n; ++i) to[i] = static_cast<To>(reader::unit_value(from[i]));
  }
}

// Eight code points copied into a str's data of a width that holds them (as narrow_units).
template <class From, class To>
[[gnu::always_inline]] inline void copy_eight(const From* from, To* to) {
  if constexpr (sizeof(From) == sizeof(To)) {
    std::memcpy(to, from, 8 * sizeof(From));
    return;
  }
#if defined(__SSE2__)
  const __m128i zero = _mm_setzero_si128();
  if constexpr (sizeof(From) == 2 && sizeof(To) == 1) {
    const __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i*>(from));
    _mm_storel_epi64(reinterpret_cast<__m128i*>(to), _mm_packus_epi16(a, a));
    return;
  } else if constexpr (sizeof(From) == 2 && sizeof(To) == 4) {
    const __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i*>(from));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(to), _mm_unpacklo_epi16(a, zero));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(to + 4), _mm_unpackhi_epi16(a, zero));
    return;
  } else if constexpr (sizeof(From) == 1 && sizeof(To) == 2) {
    const __m128i a = _mm_loadl_epi64(reinterpret_cast<const __m128i*>(from));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(to), _mm_unpacklo_epi8(a, zero));
    return;
  }
#endif
  for (std::size_t i = 0; i < 8; ++i) to[i] = static_cast<To>(reader::unit_value(from[i]));
}

// The text's units with each reference replaced by its code point, into a str's data of
// `length` units.
template <class From, class To>
void write_with_references(const From* text, std::size_t n, std::span<const reader::FoundReference> references,
                           To* out, std::size_t length) {
  const From* const text_end = text + n;
  To* const out_end = out + length;
  // Runs between references are short: they go in whole steps of eight units wherever those
  // stay inside both the text and the str. What a step writes past its run is written again
  // by what follows it.
  const auto copy_run = [&](const From* from, std::size_t count, To* to) {
    const std::size_t whole = (count + 7) & ~std::size_t{7};
    if (whole <= static_cast<std::size_t>(text_end - from) && whole <= static_cast<std::size_t>(out_end - to)) {
      for (std::size_t i = 0; i < count; i += 8) copy_eight(from + i, to + i);
    } else {
      narrow_units(from, count, to);
    }
  };
  std::size_t pos = 0;
  for (const reader::FoundReference& reference : references) {
    copy_run(text + pos, reference.start - pos, out);
    out += reference.start - pos;
    *out++ = static_cast<To>(reference.code);
    pos = reference.end;
  }
  narrow_units(text + pos, n - pos, out);
}

Py_UCS4 max_char_of_bits(std::uint32_t bits) {
  return bits < 0x80 ? 0x7F : bits < 0x100 ? 0xFF : bits < 0x10000 ? 0xFFFF : 0x10FFFF;
}

PyObject* intern(std::string_view text) {
  PyObject* str = PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size()));
  if (str == nullptr) panic_after_error();
  PyUnicode_InternInPlace(&str);
  return str;
}

}  // namespace

void short_string_failed() { panic_after_error(); }

PyRef new_string(std::string_view text) {
  PyRef str = PyRef::steal(make_string(text));
  if (!str) panic_after_error();
  return str;
}

PyRef new_string_from_valid(std::string_view text, bool ascii) {
  PyObject* str = nullptr;
  if (ascii) {
    str = new_compact_str(static_cast<Py_ssize_t>(text.size()), 127);
    if (str != nullptr) std::memcpy(PyUnicode_1BYTE_DATA(str), text.data(), text.size());
  } else {
    str = decode_valid_utf8(text);
  }
  PyRef owned = PyRef::steal(str);
  if (!owned) panic_after_error();
  return owned;
}

template <reader::TextUnit Unit>
PyRef new_string_from_units(reader::UnitView<Unit> units, std::uint32_t bits) {
  const std::size_t n = units.size();
  PyObject* str = new_compact_str(static_cast<Py_ssize_t>(n), max_char_of_bits(bits));
  if (str == nullptr) panic_after_error();
  switch (PyUnicode_KIND(str)) {
    case PyUnicode_1BYTE_KIND: narrow_units(units.data(), n, PyUnicode_1BYTE_DATA(str)); break;
    case PyUnicode_2BYTE_KIND:
      if constexpr (sizeof(Unit) >= 2) narrow_units(units.data(), n, PyUnicode_2BYTE_DATA(str));
      break;
    default:
      if constexpr (sizeof(Unit) == 4) narrow_units(units.data(), n, PyUnicode_4BYTE_DATA(str));
      break;
  }
  return PyRef::steal(str);
}

template <reader::TextUnit Unit>
PyRef new_string_with_references(reader::UnitView<Unit> text, std::span<const reader::FoundReference> references,
                                 reader::ReferenceSummary summary) {
  PyObject* str = new_compact_str(static_cast<Py_ssize_t>(summary.length), max_char_of_bits(summary.bits));
  if (str == nullptr) panic_after_error();
  const Unit* units = text.data();
  switch (PyUnicode_KIND(str)) {
    case PyUnicode_1BYTE_KIND:
      write_with_references(units, text.size(), references, PyUnicode_1BYTE_DATA(str), summary.length);
      break;
    case PyUnicode_2BYTE_KIND:
      write_with_references(units, text.size(), references, PyUnicode_2BYTE_DATA(str), summary.length);
      break;
    default: write_with_references(units, text.size(), references, PyUnicode_4BYTE_DATA(str), summary.length);
      break;
  }
  return PyRef::steal(str);
}

template PyRef new_string_with_references(reader::UnitView<char>, std::span<const reader::FoundReference>,
                                          reader::ReferenceSummary);
template PyRef new_string_with_references(reader::UnitView<char8_t>, std::span<const reader::FoundReference>,
                                          reader::ReferenceSummary);
template PyRef new_string_with_references(reader::UnitView<char16_t>, std::span<const reader::FoundReference>,
                                          reader::ReferenceSummary);
template PyRef new_string_with_references(reader::UnitView<char32_t>, std::span<const reader::FoundReference>,
                                          reader::ReferenceSummary);

template <reader::TextUnit Unit>
PyRef new_string_from_units(reader::UnitView<Unit> units) {
  std::uint32_t bits = 0;
  for (const Unit u : units) bits |= reader::unit_value(u);
  return new_string_from_units(units, bits);
}

template PyRef new_string_from_units(reader::UnitView<char8_t>, std::uint32_t);
template PyRef new_string_from_units(reader::UnitView<char16_t>, std::uint32_t);
template PyRef new_string_from_units(reader::UnitView<char32_t>, std::uint32_t);
template PyRef new_string_from_units(reader::UnitView<char8_t>);
template PyRef new_string_from_units(reader::UnitView<char16_t>);
template PyRef new_string_from_units(reader::UnitView<char32_t>);

namespace {
PyObject* interned_cells[3] = {nullptr, nullptr, nullptr};
}  // namespace

PyObject* interned(InternedName name) {
  static constexpr std::string_view texts[3] = {"__name__", "__all__", "__qualname__"};
  PyObject*& cell = interned_cells[static_cast<std::size_t>(name)];
  if (cell != nullptr) return cell;
  PyObject* str = intern(texts[static_cast<std::size_t>(name)]);
  if (cell != nullptr) {  // filled meanwhile by a re-entry: keep the first
    Py_DECREF(str);
    return cell;
  }
  cell = str;
  return str;
}

void forget_interned_names() noexcept {
  for (PyObject*& cell : interned_cells) {
    keep_forgotten(cell);
    cell = nullptr;
  }
}

reader::CowText to_string_lossy(PyObject* str) {
  Py_ssize_t size = 0;
  if (const char* data = PyUnicode_AsUTF8AndSize(str, &size))
    return reader::CowText(std::string_view(data, static_cast<std::size_t>(size)));
  // Only an encoding error (a lone surrogate) gets here: it is not the news, so it is dropped.
  PyErr_Clear();
  PyObject* bytes =
      register_owned(PyRef::steal(PyUnicode_AsEncodedString(str, "utf-8", "surrogatepass")));
  std::string text;
  reader::append_lossy(
      text, std::string_view(PyBytes_AS_STRING(bytes), static_cast<std::size_t>(PyBytes_GET_SIZE(bytes))));
  return reader::CowText(std::move(text));
}

}  // namespace velmora::py
