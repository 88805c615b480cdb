// The reader over code points (Latin-1, UCS-2, UCS-4 units) speaks UTF-8 terms to the outside:
// every row is written in UTF-8 and must come out the same, byte offsets and names included,
// in UTF-8 and in every code point form its text fits.
#include <gtest/gtest.h>

#include <algorithm>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "reader/attributes.h"
#include "reader/reader.h"
#include "reader/unescape.h"
#include "reader/units.h"
#include "reader/utf8.h"

namespace velmora::reader {
namespace {

// `utf8` in the form of `Unit`, or nothing when a code point does not fit one unit.
template <TextUnit Unit>
std::optional<std::basic_string<Unit>> in_form(std::string_view utf8) {
  if constexpr (kIsUtf8<Unit>) {
    return std::string(utf8);
  } else {
    constexpr std::uint32_t kLimit = sizeof(Unit) == 1 ? 0x100 : sizeof(Unit) == 2 ? 0x10000 : 0x110000;
    std::basic_string<Unit> out;
    for (std::size_t i = 0; i < utf8.size();) {
      const char32_t c = decode_utf8_valid(utf8, i);
      if (c >= kLimit) return std::nullopt;
      out += static_cast<Unit>(c);
    }
    return out;
  }
}

// Runs `check(view, form name)` on `utf8` in each form it fits; answers how many that was.
template <class Check>
int in_every_form(std::string_view utf8, Check check) {
  int forms = 0;
  auto one = [&]<TextUnit Unit>(const char* name) {
    if (auto text = in_form<Unit>(utf8)) {
      check(UnitView<Unit>(*text), name);
      ++forms;
    }
  };
  one.template operator()<char>("utf8");
  one.template operator()<char8_t>("latin1");
  one.template operator()<char16_t>("ucs2");
  one.template operator()<char32_t>("ucs4");
  return forms;
}

// Every event up to Eof or the first error, as "Kind(payload)@position" with the payload in UTF-8
// and the position in UTF-8 bytes; an error prints as "!" + its printed form + "@position".
template <TextUnit Unit>
std::string trace(UnitView<Unit> input, Settings settings = {}) {
  static constexpr const char* kKinds[] = {"Start", "End", "Empty", "Text", "CData", "Comment",
                                           "Decl", "PI", "DocType", "Eof"};
  BasicReader<Unit> r(input, settings);
  std::string out;
  for (int guard = 0; guard < 100; ++guard) {
    if (!out.empty()) out += ' ';
    auto ev = r.read_event_impl();
    const std::string at = "@" + std::to_string(r.utf8_position());
    if (ev.is_err()) return out + "!" + to_string(ev.error()) + at;
    const EventKind kind = ev.value().kind();
    out += kKinds[static_cast<int>(kind)];
    if (kind == EventKind::Eof) return out + at;
    out += "(" + to_utf8<Unit>(ev.value().bytes()) + ")" + at;
  }
  return out + "...";
}

// One pass over the attributes of the first tag of `<content>`, items as key=value or the
// printed error.
template <TextUnit Unit>
std::string attribute_pass(UnitView<Unit> document) {
  BasicReader<Unit> r(document);
  auto ev = r.read_event_impl();
  if (ev.is_err()) return "no tag: " + to_string(ev.error());
  BasicAttributes<Unit> items = ev.value().as_start().attributes();
  std::string out;
  for (int guard = 0; guard < 100; ++guard) {
    auto item = items.next();
    if (!item) return out;
    if (!out.empty()) out += ' ';
    if (item->is_err()) out += to_string(item->error());
    else out += to_utf8<Unit>(item->value().key.bytes) + "=" + to_utf8<Unit>(item->value().value);
  }
  return out + "...";
}

template <TextUnit Unit>
std::string unescaped(UnitView<Unit> text) {
  if constexpr (kIsUtf8<Unit>) {
    auto r = unescape_slice(text);
    return r.is_ok() ? std::string(r.value().view()) : to_string(r.error());
  } else {
    auto r = unescape_to_utf8<Unit>(text);
    return r.is_ok() ? r.value() : to_string(r.error());
  }
}

struct Row {
  std::string input;
  std::string expected;
  int forms;  // how many forms the input fits: UTF-8 always, then Latin-1, UCS-2, UCS-4
};

// Every row: `convert` of its input, in each form the input fits, prints as expected, and the
// input fits as many forms as the row says.
template <std::size_t N, class Convert>
void expect_rows(const Row (&rows)[N], Convert convert) {
  for (const Row& row : rows) {
    const int forms = in_every_form(row.input, [&]<class Unit>(UnitView<Unit> text, const char* form) {
      EXPECT_EQ(convert(text), row.expected) << form << ": " << row.input;
    });
    EXPECT_EQ(forms, row.forms) << row.input;
  }
}

// Attribute error positions are byte offsets into the tag content ("é" is 2 bytes, "€" 3, "😀" 4).
TEST(ReaderForms, AttributeErrorPositionsAreUtf8Offsets) {
  const Row rows[] = {
      {"<é x=\"1\" x=\"2\">", "x=1 Duplicated(9, 3)", 4},
      {"<a ü=\"€\"ü='x'>", "ü=€ Duplicated(10, 2)", 3},
      {"<a €=1 b='2'>", "UnquotedValue(6) b=2", 3},
      {"<a 😀>", "ExpectedEq(6)", 2},
      {"<a é ü=\"1\">", "ExpectedEq(5) ü=1", 4},
      {"<a é=>", "ExpectedValue(5)", 4},
      {"<a é\"ü=\"1>", "ExpectedQuote(10, 34)", 4},  // the quote in the key keeps ">" outside
      {"<😀 😀='1' 😀='2'>", "😀=1 Duplicated(14, 5)", 2},
  };
  expect_rows(rows, []<class Unit>(UnitView<Unit> text) { return attribute_pass<Unit>(text); });
}

// Escape errors: ranges in UTF-8 bytes of the text, names in UTF-8, the byte of a bad digit the
// first of its character's UTF-8 form, and the length limits (6 hexadecimal, 7 decimal) counted in
// UTF-8 bytes rather than units.
TEST(ReaderForms, EscapeErrorsInUtf8Terms) {
  const Row rows[] = {
      {"é&lt;€&#x1F600;", "é<€😀", 3},
      {"é&foo;", "EscapeError(UnrecognizedSymbol(3..6, \"foo\"))", 4},
      {"€&bär;", "EscapeError(UnrecognizedSymbol(4..8, \"bär\"))", 3},
      {"😀&amp", "EscapeError(UnterminatedEntity(4..8))", 2},
      {"ü&#0;", "EscapeError(EntityWithNull(2..5))", 4},
      {"&#xé;", "EscapeError(InvalidHexadecimal('Ã'))", 4},
      {"&#€;", "EscapeError(InvalidDecimal('â'))", 3},
      {"&#x😀;", "EscapeError(InvalidHexadecimal('ð'))", 2},
      {"&#xéé1;", "EscapeError(InvalidHexadecimal('Ã'))", 4},  // 5 bytes: within the limit
      {"&#x€€;", "EscapeError(InvalidHexadecimal('â'))", 3},    // 6 bytes: within the limit
      {"&#xééé1;", "EscapeError(TooLongHexadecimal)", 4},      // 4 units, 7 bytes
      {"&#x€€1;", "EscapeError(TooLongHexadecimal)", 3},
      {"&#ééé1;", "EscapeError(InvalidDecimal('Ã'))", 4},      // 7 bytes: within the limit
      {"&#éééé;", "EscapeError(TooLongDecimal)", 4},           // 4 units, 8 bytes
      {"&#😀😀;", "EscapeError(TooLongDecimal)", 2},            // 2 units, 8 bytes
  };
  expect_rows(rows, []<class Unit>(UnitView<Unit> text) { return unescaped<Unit>(text); });
}

// Reader events and errors: positions in UTF-8 bytes after a leading byte order mark, the byte
// of UnexpectedBang the first of the character's UTF-8 form, names in UTF-8.
TEST(ReaderForms, EventsAndErrorsInUtf8Terms) {
  const Row rows[] = {
      {"<!é>", "!UnexpectedBang(195)@1", 4},
      {"<!€>", "!UnexpectedBang(226)@1", 3},
      {"é<!😀>", "Text(é)@2 !UnexpectedBang(240)@3", 2},
      {"<é></ü>", "Start(é)@4 !EndEventMismatch { expected: \"é\", found: \"ü\" }@6", 4},
      {"€</€>", "Text(€)@3 !EndEventMismatch { expected: \"\", found: \"€\" }@5", 3},
      {"<€><€/></€>", "Start(€)@5 Empty(€)@11 End(€)@17 Eof@17", 3},
      {"<a>é", "Start(a)@3 Text(é)@4 Eof@5", 4},
      // A text that runs to the end: the step back of the reader's position is one byte.
      {"é", "Text(é)@1 Eof@2", 4},
      {"a😀", "Text(a😀)@4 Eof@5", 2},
  };
  expect_rows(rows, []<class Unit>(UnitView<Unit> text) { return trace<Unit>(text); });
}

// A byte order mark (U+FEFF, 3 bytes in UTF-8, 1 unit otherwise): dropped and not counted at the
// start of the input; at the start of an element's content dropped with the whitespace after it
// when the setting asks, and counted; anywhere else plain text.
TEST(ReaderForms, ByteOrderMarks) {
  Settings walk;
  walk.drop_bom_at_content_start = true;
  const struct {
    std::string input;
    Settings settings;
    std::string expected;
  } rows[] = {
      {"\uFEFF<é></ü>", {}, "Start(é)@4 !EndEventMismatch { expected: \"é\", found: \"ü\" }@6"},
      {"\uFEFF\uFEFF<a/>", {}, "Text(\uFEFF)@3 Empty(a)@7 Eof@7"},
      {"\uFEFF", {}, "Eof@0"},
      {"<a>\uFEFF x</a>", walk, "Start(a)@3 Text(x)@8 End(a)@12 Eof@12"},
      {"<a>\uFEFF x</a>", {}, "Start(a)@3 Text(\uFEFF x)@8 End(a)@12 Eof@12"},
      {"<a>x\uFEFF</a>", walk, "Start(a)@3 Text(x\uFEFF)@7 End(a)@11 Eof@11"},
      {"\uFEFF<a>\uFEFF</b>", walk, "Start(a)@3 !EndEventMismatch { expected: \"a\", found: \"b\" }@8"},
  };
  for (const auto& row : rows) {
    const int forms = in_every_form(row.input, [&]<class Unit>(UnitView<Unit> text, const char* form) {
      EXPECT_EQ(trace<Unit>(text, row.settings), row.expected) << form << ": " << row.input;
    });
    EXPECT_EQ(forms, 3) << row.input;  // U+FEFF does not fit Latin-1
  }
}

// read_text over content in a wide form: the content itself, its range answered in units.
TEST(ReaderForms, ReadTextAfterByteOrderMark) {
  in_every_form("\uFEFF<a>é<b/>€</a>", [&]<class Unit>(UnitView<Unit> text, const char* form) {
    BasicReader<Unit> r(text);
    auto start = r.read_event_impl();
    ASSERT_TRUE(start.is_ok()) << form;
    auto content = r.read_text(start.value().as_start().name());
    ASSERT_TRUE(content.is_ok()) << form;
    EXPECT_EQ(to_utf8<Unit>(content.value()), "é<b/>€") << form;
    EXPECT_EQ(r.utf8_position(), 16u) << form;  // after "</a>", the mark not counted
  });
}

// The text rebuilt from the references find_references reports (as UTF-8, or the printed
// error), after checking its summary: the length in code points and the width of the result.
template <TextUnit Unit>
std::string rebuilt_from_references(UnitView<Unit> text) {
  std::vector<FoundReference> found(1);  // room kept from an earlier text must not matter
  found[0] = FoundReference{99, 99, U'?'};
  auto summary = find_references<Unit>(text, found);
  if (summary.is_err()) return to_string(summary.error());
  std::u32string out;
  std::size_t pos = 0;
  for (std::size_t i = 0; i < summary.value().count; ++i) {
    const FoundReference& reference = found[i];
    EXPECT_LE(pos, reference.start);
    EXPECT_LT(reference.start, reference.end);
    for (; pos < reference.start; ++pos) out += static_cast<char32_t>(unit_value(text[pos]));
    out += reference.code;
    pos = reference.end;
  }
  for (; pos < text.size(); ++pos) out += static_cast<char32_t>(unit_value(text[pos]));
  std::uint32_t highest = 0;
  for (const char32_t c : out) highest = std::max<std::uint32_t>(highest, c);
  const std::uint32_t bits = summary.value().bits;
  if (!kIsUtf8<Unit> || bits < 0x80) {  // one unit, one code point
    EXPECT_EQ(summary.value().length, out.size());
    EXPECT_EQ(bits < 0x80, highest < 0x80);
    EXPECT_EQ(bits < 0x100, highest < 0x100);
    EXPECT_EQ(bits < 0x10000, highest < 0x10000);
  } else {
    EXPECT_GE(highest, 0x80u);
  }
  if constexpr (kIsUtf8<Unit>) {
    // A UTF-8 text's units are bytes: they stay bytes, and each reference gives its code point.
    std::string joined;
    pos = 0;
    for (std::size_t i = 0; i < summary.value().count; ++i) {
      joined.append(text.substr(pos, found[i].start - pos));
      append_utf8(joined, found[i].code);
      pos = found[i].end;
    }
    joined.append(text.substr(pos));
    return joined;
  }
  return to_utf8<char32_t>(out);
}

// The references found in a text rebuild exactly what unescaping gives, errors included, in
// every form: references near the end and far from it (which are read differently), every
// predefined name and its near misses, and digits at and past their limits.
TEST(ReaderForms, FoundReferencesRebuildTheUnescapedText) {
  const char* const texts[] = {
      "&lt;&gt;&amp;&apos;&quot;&#65;&#x41;", "é&lt;€&#x1F600;ü", "plain", "x &amp; y; z", "&#38;lt;",
      "&#1114111;", "&#x10FFFF;", "&#0065;", "&#0000065;", "&#00000065;", "&#x000041;", "&#x0000041;",
      "&#xe9;&#x20AC;&#128512;", "&#xD7FF;&#xE000;", "&#xFF;", "&#255;", "&#256;",
      "&#0;", "&#;", "&#x;", "&#x0;", "ab&#x00;", "&#x110000;", "&#xD800;", "&#57343;", "&#9999999;",
      "&#xFFFFFF;", "&#12345678;", "&#x1234567;", "&#abcdefgh;", "&#xzzzzzzz;", "&#X41;", "&#-1;",
      "&#1 ;", "&#1x;", "&#x4G;", "&#xé;", "&#é;", "&#x😀;", "&#😀😀;", "&#éééé;", "&#xééé1;",
      "&amp", "&a&b;", "&lt;&", "&lt", "&l;", "&lt ;", "&lte;", "&am;", "&ampx;", "&apos", "&apo;",
      "&aposs;", "&quo;", "&quot", "&quote;", "&LT;", "&;", "&foo;", "&bär;", "&lté;", "&é;",
      "&bogus;&#0;", "&a\"b;", "😀&amp", "&&amp;", "&amp;&", "a;b",
      // Characters whose low byte is that of the name's ASCII character: "Ŭ" (U+016C, "l"), "š"
      // (U+0161, "a"), "Ű" (U+0170, "p"), "Ļ" (U+013B, ";"), "ŧ" (U+0167, "g")
      "&Ŭt;", "&šmp;", "&amŰ;", "&ltĻ", "&ŧt;", "&quoĻ", "&aŰos;", "&#xŦ;",
  };
  const std::string pad = "pad-pad-pad-pad ";
  for (const char* base : texts) {
    for (const std::string& text : {std::string(base), pad + base, std::string(base) + pad, pad + base + pad}) {
      in_every_form(text, [&]<class Unit>(UnitView<Unit> view, const char* form) {
        EXPECT_EQ(rebuilt_from_references<Unit>(view), unescaped<Unit>(view)) << form << ": " << text;
      });
    }
  }
}

// The scans made on the way (a leaf's text, an attribute's value) give the width of every unit
// of a text that holds references too, which the references' pass then takes as it is: the
// narrowest form of the scan's bits is that of the units themselves, in every form, with the
// text's units and its "&" at every offset of the blocks.
TEST(ReaderForms, ScansGiveTheWidthOfTextsWithReferences) {
  const auto form = [](std::uint32_t bits) { return bits < 0x80 ? 0 : bits < 0x100 ? 1 : bits < 0x10000 ? 2 : 3; };
  const char* const texts[] = {"&amp;", "a&lt;b", "é&amp;", "&amp;é", "€&#65;", "&#65;€", "😀 &gt;", "x&gt;😀",
                               "plain &amp; long enough to take more than one block of units: é", "&#x1F600;"};
  for (const char* base : texts) {
    for (std::size_t pad = 0; pad < 18; ++pad) {
      const std::string text = std::string(pad, 'p') + base;
      const std::string leaf = "<a>" + text + "</a>", tag = "<a k=\"" + text + "\"/>";
      in_every_form(leaf, [&]<class Unit>(UnitView<Unit> input, const char* name) {
        BasicReader<Unit> r(input, Settings{.join_text_only_elements = true});
        auto ev = r.read_event_impl();
        ASSERT_TRUE(ev.is_ok() && ev.value().kind() == EventKind::Leaf) << name << ": " << leaf;
        const BasicEvent<Unit>& event = ev.value();
        const std::uint32_t units = units_or(event.bytes());
        if constexpr (kIsUtf8<Unit>) {
          EXPECT_EQ(event.text_scan().ascii, units < 0x80) << name << ": " << leaf;
        } else {
          EXPECT_TRUE(event.unit_scan().has_reference) << name << ": " << leaf;
          EXPECT_EQ(form(event.unit_bits()), form(units)) << name << ": " << leaf;
        }
      });
      in_every_form(tag, [&]<class Unit>(UnitView<Unit> input, const char* name) {
        BasicReader<Unit> r(input);
        auto ev = r.read_event_impl();
        ASSERT_TRUE(ev.is_ok()) << name << ": " << tag;
        BasicAttributes<Unit> items = ev.value().as_start().attributes();
        auto item = items.next();
        ASSERT_TRUE(item && item->is_ok()) << name << ": " << tag;
        const BasicAttribute<Unit>& attribute = item->value();
        ASSERT_TRUE(attribute.scanned && attribute.has_reference) << name << ": " << tag;
        const std::uint32_t units = units_or(attribute.value);
        if constexpr (sizeof(Unit) == 1) EXPECT_EQ(attribute.bits >= 0x80, units >= 0x80) << name << ": " << tag;
        else EXPECT_EQ(form(attribute.bits), form(units)) << name << ": " << tag;
      });
    }
  }
}

// A tag's name ends at its first whitespace wherever that falls among the 16-byte blocks the
// search compares at once, a control character before it (not whitespace) staying in the name.
TEST(ReaderForms, TagNameEndsAtFirstWhitespaceAtEveryBlockOffset) {
  for (std::size_t length = 1; length <= 34; ++length) {
    for (const char* separator : {" ", "\t", "\n", "\r", "\n\t\t"}) {
      for (const std::string& filler : {std::string("a"), std::string("\x01"), std::string("é")}) {
        std::string name = "n";
        while (name.size() < length) name += name.size() % 7 == 3 ? filler : std::string("x");
        const std::string document = "<" + name + separator + "k=\"v\"/>";
        in_every_form(document, [&]<class Unit>(UnitView<Unit> text, const char* form) {
          BasicReader<Unit> r(text);
          auto ev = r.read_event_impl();
          ASSERT_TRUE(ev.is_ok()) << form << ": " << document;
          EXPECT_EQ(to_utf8<Unit>(ev.value().as_start().name()), name) << form << ": " << document;
        });
      }
    }
  }
}

// A tag ends at the first ">" outside quotes wherever its quotes fall among the 16-byte blocks
// the search compares at once (a value closed in its own block, or blocks later, or never).
TEST(ReaderForms, TagEndsOutsideQuotesAtEveryBlockOffset) {
  const std::string values[] = {"", ">", "a>b'c", "\xC3\xA9>'\xF0\x9F\x98\x80", "0123456789abcdef>\"\""};
  for (std::size_t pad = 0; pad < 20; ++pad) {
    for (const std::string& value : values) {
      const char quote = value.find('"') == std::string::npos ? '"' : '\'';
      const std::string attrs = std::string(pad, ' ') + " x=" + quote + value + quote + " y='\">' z=\"\"";
      const std::size_t n = 3 + attrs.size();  // just after the tag's ">"
      const std::string expected = "Start(a" + attrs + ")@" + std::to_string(n) + " Text(t)@" +
                                   std::to_string(n + 1) + " End(a)@" + std::to_string(n + 5) + " Eof@" +
                                   std::to_string(n + 5);
      const std::string unclosed = "<a" + std::string(pad, ' ') + " x=" + quote + value + "></a>";
      in_every_form("<a" + attrs + ">t</a>", [&]<class Unit>(UnitView<Unit> text, const char* form) {
        EXPECT_EQ(trace<Unit>(text), expected) << form << ", pad " << pad << ", value " << value;
      });
      in_every_form(unclosed, [&]<class Unit>(UnitView<Unit> text, const char* form) {
        EXPECT_EQ(trace<Unit>(text), "!UnexpectedEof(\"Element\")@1") << form << ": " << unclosed;
      });
    }
  }
}

}  // namespace
}  // namespace velmora::reader
