// Raw content up to the matching end tag: ranges, depth counting, errors, and where the reader
// stands afterwards.
#include <gtest/gtest.h>

#include <string>

#include "reader_trace.h"

namespace velmora::reader {
namespace {

struct Case {
  std::string input;
  std::string result;  // "start..end text" or "!Error"
};

// Reads the first event (a Start), then read_text with its name.
std::string content_of(const std::string& input, Settings settings = {}) {
  Reader r(input, settings);
  auto first = r.read_event_impl();
  if (first.is_err() || first.value().kind() != EventKind::Start) return "no start";
  const std::string name(first.value().as_start().name());
  Reader again(input, settings);
  (void)again.read_event_impl();
  auto range = again.read_to_end(name);
  auto text = r.read_text(name);
  if (text.is_err()) {
    // Both operations fail the same way, and leave the reader finished.
    EXPECT_TRUE(range.is_err()) << input;
    EXPECT_EQ(r.state().state, ScanState::Finished) << input;
    return "!" + testing::describe(text.error());
  }
  if (range.is_err()) return "range failed";
  const auto [start, end] = range.value();
  return std::to_string(start) + ".." + std::to_string(end) + " " + std::string(text.value());
}

class ReadText : public ::testing::TestWithParam<Case> {};

TEST_P(ReadText, RangeAndText) { EXPECT_EQ(content_of(GetParam().input), GetParam().result) << GetParam().input; }

INSTANTIATE_TEST_SUITE_P(Reader, ReadText, ::testing::Values(
    Case{"<a></a>", "3..3 "},
    Case{"<a> </a>", "3..3 "},
    Case{"<a> x </a>", "3..6  x "},
    Case{"<a>x  </a>", "3..6 x  "},  // the text's trailing blanks lie inside the range
    Case{"<a><b/> </a>", "3..7 <b/>"},
    Case{"<a> <b/> </a>", "3..8  <b/>"},
    Case{"<a>x<b/>y</a>", "3..9 x<b/>y"},
    Case{"<a>x<!--c--></a>", "3..12 x<!--c-->"},
    Case{"<a><b>x</b>\n</a>", "3..11 <b>x</b>"},
    Case{"<a><a>x</a></a>", "3..11 <a>x</a>"},
    Case{"<a><a><a/></a><a></a></a>", "3..21 <a><a/></a><a></a>"},
    Case{"<a><a/></a>", "3..7 <a/>"},
    Case{"<a><ab></ab></a>", "3..12 <ab></ab>"},
    Case{"<p:a><p:a/></p:a>", "5..11 <p:a/>"},
    Case{"<a x='</a>'>y</a>", "12..13 y"},
    Case{"<a><![CDATA[</a>]]></a>", "3..19 <![CDATA[</a>]]>"},
    Case{"<a></a", "3..3 "},
    Case{"<a>x</a", "3..4 x"},
    Case{"\xEF\xBB\xBF<a> x </a>", "3..6  x "},
    Case{"<a>\xC3\xA9</a>", "3..5 \xC3\xA9"},
    Case{"<a>", "!UnexpectedEof(</\"a\">)"},
    Case{"<a>text", "!UnexpectedEof(</\"a\">)"},
    Case{"<a><a></a>", "!UnexpectedEof(</\"a\">)"},
    Case{"<x\\y>", "!UnexpectedEof(</\"x\\\\y\">)"},
    Case{"<a><b></a>", "!EndEventMismatch(b,a)"},
    Case{"<a></b>", "!EndEventMismatch(a,b)"},
    Case{"<a><!-- x", "!UnexpectedEof(Comment)"},
    Case{"<a><!x></a>", "!UnexpectedBang(120)"}));

TEST(ReadText, ExpandedEmptyTagsCountLikeStartAndEnd) {
  Settings s;
  s.expand_empty_tags = true;
  EXPECT_EQ(content_of("<a><a/></a>", s), "3..7 <a/>");
  EXPECT_EQ(content_of("<a><a/>", s), "!UnexpectedEof(</\"a\">)");
}

TEST(ReadText, ReaderContinuesAfterTheElement) {
  Reader r("<r><a>1<a/></a><b/></r>");
  ASSERT_TRUE(r.read_event_impl().is_ok());  // <r>
  ASSERT_TRUE(r.read_event_impl().is_ok());  // <a>
  EXPECT_EQ(testing::open_names(r), "r/a");
  auto text = r.read_text("a");
  ASSERT_TRUE(text.is_ok());
  EXPECT_EQ(text.value(), "1<a/>");
  EXPECT_EQ(r.position(), 15u);
  EXPECT_EQ(testing::open_names(r), "r");
  EXPECT_EQ(testing::trace(r), "Empty(b):b End(r) Eof");
}

TEST(ReadText, TextIsAViewOfTheInput) {
  const std::string input = "<a>  <b>x</b> </a>";
  Reader r(input);
  ASSERT_TRUE(r.read_event_impl().is_ok());
  auto text = r.read_text("a");
  ASSERT_TRUE(text.is_ok());
  EXPECT_EQ(text.value().data(), input.data() + 3);
  EXPECT_EQ(text.value(), "  <b>x</b>");
}

TEST(ReadText, MissingEndTagLeavesOffsetAtTheEnd) {
  Reader r("<a><b/>text ");
  ASSERT_TRUE(r.read_event_impl().is_ok());
  ASSERT_TRUE(r.read_to_end("a").is_err());
  EXPECT_EQ(r.position(), 12u);
}

}  // namespace
}  // namespace velmora::reader
