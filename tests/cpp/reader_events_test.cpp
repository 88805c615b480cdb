// The reader's state machine: text, whitespace, byte order mark, the name stack, positions and
// the six settings.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "reader/unescape.h"
#include "reader/unit_blocks.h"
#include "reader_trace.h"

namespace velmora::reader {
namespace {

using testing::trace;
using Case = testing::TraceCase;

class TextAndEof : public ::testing::TestWithParam<Case> {};

TEST_P(TextAndEof, Events) { EXPECT_EQ(trace(GetParam().input), GetParam().events); }

INSTANTIATE_TEST_SUITE_P(Reader, TextAndEof, ::testing::Values(
    Case{"", "Eof"},
    Case{" \t\r\n ", "Eof"},
    Case{"abc", "Text(abc) Eof"},
    Case{"  abc  <a/>", "Text(abc) Empty(a):a Eof"},
    Case{"a<b/>c", "Text(a) Empty(b):b Text(c) Eof"},
    Case{"<a> </a>", "Start(a):a End(a) Eof"},
    Case{"<a> x </a>", "Start(a):a Text(x) End(a) Eof"},
    Case{"<a>\n  x\n  y\t</a>", "Start(a):a Text(x\n  y) End(a) Eof"},
    // Only the four ASCII whitespace bytes are trimmed.
    Case{"x\xC2\xA0", "Text(x\xC2\xA0) Eof"},
    Case{"\fx\v", "Text(\fx\v) Eof"},
    Case{"a > b", "Text(a > b) Eof"},
    Case{"<", "Eof"},
    Case{"x<", "Text(x) Eof"},
    Case{"<a>", "Start(a):a Eof"},
    // A byte order mark is dropped only at the very start.
    Case{"\xEF\xBB\xBF<a/>", "Empty(a):a Eof"},
    Case{"\xEF\xBB\xBF", "Eof"},
    Case{" \xEF\xBB\xBF<a/>", "Text(\xEF\xBB\xBF) Empty(a):a Eof"},
    Case{"<a/>\xEF\xBB\xBF", "Empty(a):a Text(\xEF\xBB\xBF) Eof"},
    Case{"\xEF\xBB\xBF\xEF\xBB\xBFx", "Text(\xEF\xBB\xBFx) Eof"}));

// position() after each call: offset, less the "<" already consumed while a construct is next.
TEST(ReaderPosition, AfterEachEvent) {
  const struct {
    std::string input;
    std::vector<std::uint64_t> positions;
  } cases[] = {
      {"ab<c/>", {2, 6, 6}},                 // Text leaves the "<" consumed, counted out
      {"  <a>x</a> ", {5, 6, 10, 11}},       // Start, Text, End, Eof
      {"\xEF\xBB\xBF<a/>", {4, 4}},          // the mark is not counted
      {"\xEF\xBB\xBF x <a/>", {3, 7, 7}},
      {"abc", {2, 3}},
  };
  for (const auto& c : cases) {
    Reader r(c.input);
    std::vector<std::uint64_t> got;
    for (std::size_t i = 0; i < c.positions.size(); ++i) {
      auto ev = r.read_event_impl();
      ASSERT_TRUE(ev.is_ok()) << c.input;
      got.push_back(r.position());
    }
    EXPECT_EQ(got, c.positions) << c.input;
    EXPECT_EQ(r.state().state, ScanState::Finished) << c.input;
  }
}

TEST(ReaderState, FinishedYieldsOnlyEof) {
  for (const char* input : {"<a/>", "</a>", "<a", "<!x>", "text"}) {
    Reader r(input);
    for (int i = 0; i < 5; ++i) (void)r.read_event_impl();
    const auto before = r.position();
    for (int i = 0; i < 3; ++i) {
      auto ev = r.read_event_impl();
      ASSERT_TRUE(ev.is_ok()) << input;
      EXPECT_EQ(ev.value().kind(), EventKind::Eof) << input;
    }
    EXPECT_EQ(r.position(), before) << input;
  }
}

TEST(ReaderState, NameStackFollowsStartAndEnd) {
  const std::string_view input = "<a><bb><c/><dd></dd>";
  Reader r(input);
  std::vector<std::string> stacks;
  for (;;) {
    auto ev = r.read_event_impl();
    ASSERT_TRUE(ev.is_ok());
    if (ev.value().kind() == EventKind::Eof) break;
    stacks.push_back(testing::open_names(r));
    // The open names are the tags' own units in the input, not copies.
    for (std::string_view name : r.state().open_names) {
      EXPECT_GE(name.data(), input.data());
      EXPECT_LE(name.data() + name.size(), input.data() + input.size());
    }
  }
  EXPECT_EQ(stacks, (std::vector<std::string>{"a", "a/bb", "a/bb", "a/bb/dd", "a/bb"}));
}

TEST(ReaderState, MismatchStillPopsTheInnermostName) {
  Reader r("<a><b></c>");
  EXPECT_EQ(testing::trace(r), "Start(a):a Start(b):b !EndEventMismatch(b,c)@8");
  EXPECT_EQ(testing::open_names(r), "a");
}

// Payloads are views into the input, so a caller can locate them.
TEST(ReaderPayloads, PointIntoTheInput) {
  const std::string input =
      "\xEF\xBB\xBF<?xml version='1.0'?><!DOCTYPE d><!--c--><?p i?><d a='1'>t<![CDATA[x]]><e/></d> tail";
  Reader r(input);
  int events = 0;
  for (;;) {
    auto ev = r.read_event_impl();
    ASSERT_TRUE(ev.is_ok());
    if (ev.value().kind() == EventKind::Eof) break;
    ++events;
    const auto b = ev.value().bytes();
    EXPECT_GE(b.data(), input.data());
    EXPECT_LE(b.data() + b.size(), input.data() + input.size());
    EXPECT_EQ(b, std::string_view(input).substr(b.data() - r.input().data(), b.size()));
  }
  EXPECT_EQ(events, 10);
}

// ---- settings -----------------------------------------------------------------------------

struct SettingsCase {
  const char* what;
  Settings settings;
  std::string input;
  std::string events;
};

Settings with(void (*change)(Settings&)) {
  Settings s;
  change(s);
  return s;
}

class ReaderSettings : public ::testing::TestWithParam<SettingsCase> {};

TEST_P(ReaderSettings, Events) {
  const auto& c = GetParam();
  EXPECT_EQ(trace(c.input, c.settings), c.events) << c.what;
}

const Settings kExpand = with([](Settings& s) { s.expand_empty_tags = true; });
const Settings kKeepLeading = with([](Settings& s) { s.trim_leading_whitespace = false; });
const Settings kKeepTrailing = with([](Settings& s) { s.trim_trailing_whitespace = false; });
const Settings kKeepEndNames = with([](Settings& s) { s.trim_end_tag_names = false; });
const Settings kNoVerifyEnd = with([](Settings& s) { s.verify_end_tags = false; });
const Settings kVerifyComments = with([](Settings& s) { s.verify_comments = true; });
const Settings kContentBom = with([](Settings& s) { s.drop_bom_at_content_start = true; });
const Settings kJoin = with([](Settings& s) {
  s.drop_bom_at_content_start = true;
  s.join_text_only_elements = true;
});

INSTANTIATE_TEST_SUITE_P(Reader, ReaderSettings, ::testing::Values(
    SettingsCase{"defaults", Settings{}, "<a/>", "Empty(a):a Eof"},
    SettingsCase{"expand", kExpand, "<a/><b x='1' />", "Start(a):a End(a) Start(b x='1' ):b End(b) Eof"},
    SettingsCase{"expand nested", kExpand, "<a><b/></a>", "Start(a):a Start(b):b End(b) End(a) Eof"},
    SettingsCase{"expand then mismatch", kExpand, "<a><b/></b>", "Start(a):a Start(b):b End(b) !EndEventMismatch(a,b)@9"},
    SettingsCase{"keep leading", kKeepLeading, "  x <a/>", "Text(  x) Empty(a):a Eof"},
    SettingsCase{"keep leading, blank", kKeepLeading, " \n <a/> ", "Text( \n ) Empty(a):a Text( ) Eof"},
    SettingsCase{"keep trailing", kKeepTrailing, " x \n<a/>", "Text(x \n) Empty(a):a Eof"},
    SettingsCase{"keep end names", kKeepEndNames, "<a></a >", "Start(a):a !EndEventMismatch(a,a )@5"},
    SettingsCase{"keep end names, match", kKeepEndNames, "<a></a>", "Start(a):a End(a) Eof"},
    SettingsCase{"no verify, stray", kNoVerifyEnd, "</a  >x", "End(a) Text(x) Eof"},
    SettingsCase{"no verify, other", kNoVerifyEnd, "<a></b></c>", "Start(a):a End(b) End(c) Eof"},
    SettingsCase{"verify comments, ok", kVerifyComments, "<!-- a - b --><!---->", "Comment( a - b ) Comment() Eof"},
    SettingsCase{"verify comments, inner", kVerifyComments, "<!-- a -- b -->", "!UnexpectedToken(--)@15"},
    SettingsCase{"verify comments, dash before close", kVerifyComments, "x<!-- a --->", "Text(x) !UnexpectedToken(--)@12"},
    SettingsCase{"off: same comment", Settings{}, "<!-- a --->", "Comment( a -) Eof"},
    // A byte order mark right after a start tag goes, with the whitespace after it; anywhere
    // else it is text. Its bytes still count in positions.
    SettingsCase{"content bom", kContentBom, "<a>\xEF\xBB\xBF \n x</a>", "Start(a):a Text(x) End(a) Eof"},
    SettingsCase{"off: content bom", Settings{}, "<a>\xEF\xBB\xBFx</a>", "Start(a):a Text(\xEF\xBB\xBFx) End(a) Eof"},
    SettingsCase{"content bom alone", kContentBom, "<a>\xEF\xBB\xBF  </a>", "Start(a):a End(a) Eof"},
    SettingsCase{"content bom at end", kContentBom, "<a>\xEF\xBB\xBF", "Start(a):a Eof"},
    // A bare-named element with text alone is one Leaf; anything else inside reads as usual.
    SettingsCase{"join", kJoin, "<r><a> x y\n</a ><b></b><c>  </c></r>", "Start(r):r Leaf(x y):a Leaf():b Leaf():c End(r) Eof"},
    SettingsCase{"join, references stay raw", kJoin, "<a>&lt;&#60;</a>", "Leaf(&lt;&#60;):a Eof"},
    // A start tag with attributes (or a space) after its name joins too, its content kept whole.
    SettingsCase{"join, with attributes", kJoin, "<a k='1' j=\"2\">x</a>", "Leaf(x):a k='1' j=\"2\" Eof"},
    SettingsCase{"join, after a space", kJoin, "<a >x</a >", "Leaf(x):a  Eof"},
    SettingsCase{"join, attributes and blank text", kJoin, "<a k='1'> \n</a>", "Leaf():a k='1' Eof"},
    SettingsCase{"join, markup in a value", kJoin, "<a k='<b>'>x</a>", "Leaf(x):a k='<b>' Eof"},
    SettingsCase{"join, attributes then a child", kJoin, "<a k='1'>x<b>y</b></a>",
                 "Start(a k='1'):a Text(x) Leaf(y):b End(a) Eof"},
    SettingsCase{"join, attributes, other end tag", kJoin, "<a k='1'>x</b>", "Start(a k='1'):a Text(x) !EndEventMismatch(a,b)@12"},
    SettingsCase{"join, attributes, empty tag", kJoin, "<a k='1'/>", "Empty(a k='1'):a Eof"},
    SettingsCase{"join, not with markup", kJoin, "<a>x<!--c--></a><b><c>y</c></b>",
                 "Start(a):a Text(x) Comment(c) End(a) Start(b):b Leaf(y):c End(b) Eof"},
    SettingsCase{"join, other end tag", kJoin, "<a>x</ab>", "Start(a):a Text(x) !EndEventMismatch(a,ab)@6"},
    SettingsCase{"join, end tag cut short", kJoin, "<a>x</a", "Start(a):a Text(x) End(a) Eof"},
    SettingsCase{"join, no end tag", kJoin, "<a>x", "Start(a):a Text(x) Eof"},
    SettingsCase{"join, content bom", kJoin, "<a>\xEF\xBB\xBFx</a>", "Start(a):a Text(x) End(a) Eof"},
    // Text that begins with the mark's first bytes (U+FFFB, U+FEFE) is a leaf like any other.
    SettingsCase{"join, bom-like start", kJoin, "<a>\xEF\xBF\xBB</a><b>\xEF\xBB\xBE</b>",
                 "Leaf(\xEF\xBF\xBB):a Leaf(\xEF\xBB\xBE):b Eof"},
    SettingsCase{"join, empty tag", kJoin, "<a/>", "Empty(a):a Eof"},
    SettingsCase{"content bom, only the first", kContentBom, "<a>\xEF\xBB\xBF\xEF\xBB\xBFx</a>",
                 "Start(a):a Text(\xEF\xBB\xBFx) End(a) Eof"},
    SettingsCase{"content bom after whitespace", kContentBom, "<a> \xEF\xBB\xBFx</a>",
                 "Start(a):a Text(\xEF\xBB\xBFx) End(a) Eof"},
    SettingsCase{"content bom after a comment", kContentBom, "<a><!---->\xEF\xBB\xBFx</a>",
                 "Start(a):a Comment() Text(\xEF\xBB\xBFx) End(a) Eof"},
    SettingsCase{"bom after an empty tag", kContentBom, "<e/>\xEF\xBB\xBFx", "Empty(e):e Text(\xEF\xBB\xBFx) Eof"},
    SettingsCase{"bom after an end tag", kContentBom, "<a></a>\xEF\xBB\xBFx", "Start(a):a End(a) Text(\xEF\xBB\xBFx) Eof"},
    SettingsCase{"content bom counts in positions", kContentBom, "<a>\xEF\xBB\xBF</b>",
                 "Start(a):a !EndEventMismatch(a,b)@8"}));

// Built and moved for every event: a reader result must stay a few words.
TEST(ReaderResult, IsAtMostEightWords) {
  EXPECT_LE(sizeof(Result<Event, Error>), 64u);
  EXPECT_LE(sizeof(Error), 16u);
}

TEST(ReaderSettings, ExpandedEndNamesItsTagInTheInputAndEmptiesTheStack) {
  Settings s;
  s.expand_empty_tags = true;
  const std::string_view input = "<outer><x y='1'/><longer-name/>";
  Reader r(input, s);
  ASSERT_TRUE(r.read_event_impl().is_ok());  // <outer>
  auto start = r.read_event_impl();
  ASSERT_TRUE(start.is_ok());
  EXPECT_EQ(r.state().state, ScanState::EmptyPending);
  EXPECT_EQ(testing::open_names(r), "outer/x");
  auto end = r.read_event_impl();
  ASSERT_TRUE(end.is_ok());
  EXPECT_EQ(end.value().kind(), EventKind::End);
  // The name is the tag's own bytes in the input.
  EXPECT_EQ(end.value().bytes().data(), input.data() + 8);
  EXPECT_EQ(end.value().bytes(), "x");
  EXPECT_EQ(testing::open_names(r), "outer");
  Event moved = std::move(end).value();
  ASSERT_TRUE(r.read_event_impl().is_ok());  // <longer-name> refills the stack
  EXPECT_EQ(testing::open_names(r), "outer/longer-name");
  EXPECT_EQ(moved.bytes(), "x");
}

// A shortcut that reads nothing may still pass the whitespace ahead, and nothing else.
void expect_only_whitespace_read(std::string_view input, std::uint64_t from, std::uint64_t to) {
  ASSERT_LE(from, to);
  EXPECT_EQ(input.substr(from, to - from).find_first_not_of(" \t\r\n"), std::string_view::npos);
}

// read_leaf_run with room for two, tried after the first Leaf named "v": it reads the next
// events while they are Leaf events of the same name, and otherwise nothing (the rest then
// reads as usual).
struct LeafRunCase {
  std::string input;
  std::string fast;  // what read_leaf_run gave ("none" for nothing), then the rest of the events
};

class LeafRuns : public ::testing::TestWithParam<LeafRunCase> {};

TEST_P(LeafRuns, ReadOnlyTheSameLeaf) {
  Settings settings;
  settings.drop_bom_at_content_start = true;
  settings.join_text_only_elements = true;
  Reader r(GetParam().input, settings);
  std::string_view name;
  for (int guard = 0; guard < 10 && name.empty(); ++guard) {
    auto ev = r.read_event_impl();
    ASSERT_TRUE(ev.is_ok());
    if (ev.value().kind() == EventKind::Leaf) name = ev.value().leaf_name();
  }
  ASSERT_EQ(name, "v");
  const std::uint64_t before = r.position();
  Event run[2];
  const std::size_t count = r.read_leaf_run(name, run, 2);
  if (count == 0) expect_only_whitespace_read(GetParam().input, before, r.position());
  std::string fast = count == 0 ? "none" : "";
  for (std::size_t i = 0; i < count; ++i) fast += (i ? " " : "") + testing::describe(run[i]);
  EXPECT_EQ(fast + " " + testing::trace(r), GetParam().fast);
}

INSTANTIATE_TEST_SUITE_P(Reader, LeafRuns, ::testing::Values(
    LeafRunCase{"<r><v>1</v>\n <v> 2 </v ><w>3</w></r>", "Leaf(2):v Leaf(3):w End(r) Eof"},
    LeafRunCase{"<v>1</v><v></v>", "Leaf():v Eof"},
    LeafRunCase{"<v>1</v><w>2</w>", "none Leaf(2):w Eof"},
    LeafRunCase{"<v>1</v><vv>2</vv>", "none Leaf(2):vv Eof"},
    LeafRunCase{"<v>1</v><v a='1'>2</v>", "Leaf(2):v a='1' [a=1] Eof"},
    LeafRunCase{"<v>1</v><v >2</v>", "Leaf(2):v  Eof"},
    // Leaves with attributes belong to the run; an empty-element tag, a tag that does not end
    // before the input does, and another name after the same letters do not.
    LeafRunCase{"<v>1</v><v a='>'>&lt;</v>\n<v\tb=\"2\"></v>", "Leaf(&lt;):v a='>' [a=>] Leaf():v\tb=\"2\" [b=2] Eof"},
    LeafRunCase{"<v>1</v><v a='1'/>", "none Empty(v a='1'):v Eof"},
    // A tag of one attribute is read by that attribute, which the Leaf carries with its scan;
    // a tag of any other form is searched for its end and carries none.
    LeafRunCase{"<v>1</v><v xml:lang=\"&lt;\">2</v>", "Leaf(2):v xml:lang=\"&lt;\" [xml:lang=&lt; &] Eof"},
    LeafRunCase{"<v>1</v><v a='\xC3\xA9\"'>2</v>", "Leaf(2):v a='\xC3\xA9\"' [a=\xC3\xA9\" !ascii] Eof"},
    LeafRunCase{"<v>1</v><v a_key_longer_than_a_block='1'>2</v>",
                "Leaf(2):v a_key_longer_than_a_block='1' [a_key_longer_than_a_block=1] Eof"},
    LeafRunCase{"<v>1</v><v a_key_longer_than_a_block b='1'>2</v>", "Leaf(2):v a_key_longer_than_a_block b='1' Eof"},
    LeafRunCase{"<v>1</v><v a='1' b='2'>3</v>", "Leaf(3):v a='1' b='2' Eof"},
    LeafRunCase{"<v>1</v><v a='1' >2</v>", "Leaf(2):v a='1'  Eof"},
    LeafRunCase{"<v>1</v><v  a='1'>2</v>", "Leaf(2):v  a='1' Eof"},
    LeafRunCase{"<v>1</v><v a = '1'>2</v>", "Leaf(2):v a = '1' Eof"},
    LeafRunCase{"<v>1</v><v a='1'b='2'>3</v>", "Leaf(3):v a='1'b='2' Eof"},
    LeafRunCase{"<v>1</v><v a\"b='1'>2</v>", "none !UnexpectedEof(Element)@9"},  // a quote opens in the key
    LeafRunCase{"<v>1</v><v a=1>2</v>", "Leaf(2):v a=1 Eof"},
    LeafRunCase{"<v>1</v><v a='1'>x<b/></v>", "none Start(v a='1'):v Text(x) Empty(b):b End(v) Eof"},
    LeafRunCase{"<v>1</v><v a='1'>x</w>", "none Start(v a='1'):v Text(x) !EndEventMismatch(v,w)@20"},
    LeafRunCase{"<v>1</v><v a='1", "none !UnexpectedEof(Element)@9"},
    LeafRunCase{"<v>1</v><vv a='1'>x</vv>", "none Leaf(x):vv a='1' Eof"},
    LeafRunCase{"<v>1</v><v/>", "none Empty(v):v Eof"},
    LeafRunCase{"<v>1</v><v>2<b/></v>", "none Start(v):v Text(2) Empty(b):b End(v) Eof"},
    LeafRunCase{"<v>1</v><v>2</w>", "none Start(v):v Text(2) !EndEventMismatch(v,w)@14"},
    LeafRunCase{"<v>1</v>text<v>2</v>", "none Text(text) Leaf(2):v Eof"},
    LeafRunCase{"<v>1</v>\n <w>2</w>", "none Leaf(2):w Eof"},
    LeafRunCase{"<v>1</v>\n x<v>2</v>", "none Text(x) Leaf(2):v Eof"},
    LeafRunCase{"<v>1</v><v>2", "none Start(v):v Text(2) Eof"},
    // Runs longer than one: up to the room given, up to the first other event.
    LeafRunCase{"<r><v>1</v><v>2</v> <v>3</v><v>4</v></r>", "Leaf(2):v Leaf(3):v Leaf(4):v End(r) Eof"},
    LeafRunCase{"<r><v>1</v><v>2</v>\n<v a='x'>3</v></r>", "Leaf(2):v Leaf(3):v a='x' [a=x] End(r) Eof"},
    LeafRunCase{"<r><v>1</v><v>2&amp;</v><v>3<b/></v></r>", "Leaf(2&amp;):v Start(v):v Text(3) Empty(b):b End(v) End(r) Eof"},
    LeafRunCase{"<r><v>1</v><v>2</v></r>", "Leaf(2):v End(r) Eof"}));

// Leaves of a run at and beyond the edges of the step that reads a short leaf at once, far from
// the input's end (where it is taken) and near it: each is read as the general read gives it,
// its text's scan included, or (a byte order mark to drop) left to it.
TEST(LeafRuns, ShortLeavesReadAsTheGeneralReadGivesThem) {
  Settings settings;
  settings.drop_bom_at_content_start = true;
  settings.join_text_only_elements = true;
  const std::vector<std::string> texts = {
      "abc", "a&amp;b", "\xC3\xA9t\xC3\xA9", "t\xC3\xA9", " abc", "abc ", "\tabc\n", "\x01x", "x\x01",
      "fifteen bytes!!", "sixteen bytes!!!", "a&lt;b that runs past one step", "\xEF\xBB\xBFx"};
  // "&" and a non-ASCII byte just after the leaf (in the step's block), and more or less room.
  const std::vector<std::string> tails = {"<w>&amp;\xC3\xA9, padding</w></r>",
                                          "<w>&amp;\xC3\xA9, padding</w><x>and more, far from the end</x></r>"};
  for (const std::string& text : texts) {
    for (const auto& [close, tail] : std::vector<std::pair<std::string, std::string>>{
             {"</v>", tails[0]}, {"</v>", tails[1]}, {"</v >", tails[1]}, {"</v\n>", tails[1]}}) {
      const std::string input = "<r><v>1</v><v>" + text + close + tail;
      SCOPED_TRACE(input);
      Reader general(input, settings), batched(input, settings);
      for (int i = 0; i < 2; ++i) {
        ASSERT_TRUE(general.read_event_impl().is_ok());
        ASSERT_TRUE(batched.read_event_impl().is_ok());
      }
      Event run[1];
      const std::size_t count = batched.read_leaf_run("v", run, 1);
      EXPECT_EQ(count, text.starts_with("\xEF\xBB\xBF") ? 0u : 1u);
      if (count == 1) {
        auto leaf = general.read_event_impl();
        ASSERT_TRUE(leaf.is_ok());
        const Event& e = leaf.value();
        ASSERT_EQ(e.kind(), EventKind::Leaf);
        EXPECT_EQ(run[0].bytes().data(), e.bytes().data());
        EXPECT_EQ(run[0].bytes().size(), e.bytes().size());
        EXPECT_EQ(run[0].leaf_name(), e.leaf_name());
        EXPECT_EQ(run[0].has_text_scan(), e.has_text_scan());
        if (e.has_text_scan()) {
          EXPECT_EQ(run[0].text_scan().has_reference, e.text_scan().has_reference);
          EXPECT_EQ(run[0].text_scan().ascii, e.text_scan().ascii);
        }
      }
      EXPECT_EQ(trace(batched), trace(general));
    }
  }
}

TEST(LeafRuns, OnlyWhenJoining) {
  Reader r("<v>1</v><v>2</v>");
  ASSERT_EQ(r.read_event_impl().value().kind(), EventKind::Start);
  Event run[1];
  EXPECT_EQ(r.read_leaf_run("v", run, 1), 0u);
}

// read_bare_tag, tried after `skip` events: reads the next event when it is the Start or the
// Leaf of a tag written as a bare name, else nothing (the rest then reads as usual). With the
// walk's settings: a byte order mark at an element's content start is dropped.
struct BareTagCase {
  std::string input;
  int skip;
  std::string events;  // what read_bare_tag read (or none), then the rest of the events
};

class BareTags : public ::testing::TestWithParam<BareTagCase> {};

TEST_P(BareTags, ReadsOnlyABareTag) {
  Settings settings;
  settings.drop_bom_at_content_start = true;
  settings.join_text_only_elements = true;
  Reader r(GetParam().input, settings);
  for (int i = 0; i < GetParam().skip; ++i) ASSERT_TRUE(r.read_event_impl().is_ok());
  const std::uint64_t before = r.position();
  auto bare = r.read_bare_tag();
  if (!bare) expect_only_whitespace_read(GetParam().input, before, r.position());
  EXPECT_EQ((bare ? testing::describe(*bare) : std::string("none")) + " " + testing::trace(r), GetParam().events);
}

INSTANTIATE_TEST_SUITE_P(Reader, BareTags, ::testing::Values(
    BareTagCase{"<a><b><c>x</c></b></a>", 1, "Start(b):b Leaf(x):c End(b) End(a) Eof"},
    BareTagCase{"<a>\n <p:b> t </p:b></a>", 1, "Leaf(t):p:b End(a) Eof"},
    BareTagCase{"<a><b></b></a>", 1, "Leaf():b End(a) Eof"},
    BareTagCase{"<a><b x='1'>t</b></a>", 1, "none Leaf(t):b x='1' End(a) Eof"},
    BareTagCase{"<a><b >t</b></a>", 1, "none Leaf(t):b  End(a) Eof"},
    BareTagCase{"<a><b/></a>", 1, "none Empty(b):b End(a) Eof"},
    BareTagCase{"<a><b/c>t</b/c></a>", 1, "none Leaf(t):b/c End(a) Eof"},
    BareTagCase{"<a><b\"c>t</b\"c></a>", 1, "none Start(b\"c>t</b\"c):b\"c>t</b\"c !EndEventMismatch(b\"c>t</b\"c,a)@17"},
    BareTagCase{"<a><b/></a>", 2, "none End(a) Eof"},
    BareTagCase{"<a><!--c--></a>", 1, "none Comment(c) End(a) Eof"},
    BareTagCase{"<a><?p?></a>", 1, "none PI(p) End(a) Eof"},
    BareTagCase{"<a><></a>", 1, "none Start(): !EndEventMismatch(,a)@7"},
    BareTagCase{"<a>x<b>t</b></a>", 1, "none Text(x) Leaf(t):b End(a) Eof"},
    BareTagCase{"<a>\xEF\xBB\xBF<b>t</b></a>", 1, "none Leaf(t):b End(a) Eof"},
    BareTagCase{"<a> \xEF\xBB\xBF<b>t</b></a>", 1, "none Text(\xEF\xBB\xBF) Leaf(t):b End(a) Eof"},
    BareTagCase{"<a><b>t</c></a>", 1, "Start(b):b Text(t) !EndEventMismatch(b,c)@9"},
    BareTagCase{"<a><b", 1, "none !UnexpectedEof(Element)@4"},
    BareTagCase{"<a><", 1, "none Eof"}));

TEST(BareTags, OnlyWhenTrimming) {
  Settings settings;
  settings.trim_leading_whitespace = false;
  Reader r("<a><b>t</b></a>", settings);
  ASSERT_EQ(r.read_event_impl().value().kind(), EventKind::Start);
  EXPECT_FALSE(r.read_bare_tag().has_value());
}

// read_innermost_end, tried after `skip` events: reads the End of the innermost open element
// when that comes next as a bare end tag, else nothing (the rest then reads as usual).
struct InnermostEndCase {
  std::string input;
  int skip;
  std::string events;  // the End read_innermost_end read (or none), then the rest of the events
};

class InnermostEnd : public ::testing::TestWithParam<InnermostEndCase> {};

TEST_P(InnermostEnd, ReadsOnlyThatEnd) {
  Reader r(GetParam().input);
  for (int i = 0; i < GetParam().skip; ++i) ASSERT_TRUE(r.read_event_impl().is_ok());
  const std::uint64_t before = r.position();
  const std::string innermost = r.state().open_names.empty() ? "" : std::string(r.state().open_names.back());
  const bool read = r.read_innermost_end();
  if (!read) expect_only_whitespace_read(GetParam().input, before, r.position());
  EXPECT_EQ((read ? "End(" + innermost + ")" : std::string("none")) + " " + testing::trace(r), GetParam().events);
}

INSTANTIATE_TEST_SUITE_P(Reader, InnermostEnd, ::testing::Values(
    InnermostEndCase{"<a><b>x</b> \n </a \t>", 4, "End(a) Eof"},
    InnermostEndCase{"<a><b/></a>", 2, "End(a) Eof"},
    InnermostEndCase{"<a><b><c/></b></a>", 3, "End(b) End(a) Eof"},
    InnermostEndCase{"<a><b/></c>", 2, "none !EndEventMismatch(a,c)@9"},
    InnermostEndCase{"<a><b/></ab>", 2, "none !EndEventMismatch(a,ab)@9"},
    InnermostEndCase{"<a><b/>x</a>", 2, "none Text(x) End(a) Eof"},
    InnermostEndCase{"<a><b/>\n  <c/>\n</a>", 2, "none Empty(c):c End(a) Eof"},
    InnermostEndCase{"<a><b/>\n  x </a>", 2, "none Text(x) End(a) Eof"},
    InnermostEndCase{"<a><b/>\n  ", 2, "none Eof"},
    InnermostEndCase{"<a><b/><!--c--></a>", 2, "none Comment(c) End(a) Eof"},
    InnermostEndCase{"<a><b/></a", 2, "none End(a) Eof"},
    InnermostEndCase{"<a></a>", 1, "none End(a) Eof"},
    InnermostEndCase{"<a/></a>", 1, "none !EndEventMismatch(,a)@6"},
    InnermostEndCase{"<\r\n><b/></\r\n\t>", 2, "none !EndEventMismatch(,\r\n\t)@10"}));

// find_text_end finds the first "<" and scans the text before it as scan_text would, wherever the
// "<", an "&" and a non-ASCII byte fall against its 16-byte blocks.
TEST(TextEnd, ScansTheTextBeforeTheFirstOpen) {
  for (std::size_t lt = 0; lt <= 40; ++lt) {
    for (std::size_t at = 0; at <= 41; ++at) {
      for (const char* mark : {"&", "\xC3\xA9", "x"}) {
        std::string text(lt, 'a');
        text += "<b>";
        text.insert(std::min(at, text.size()), mark);
        const TextEnd found = find_text_end(text.data(), text.data() + text.size());
        const std::size_t first = text.find('<');
        ASSERT_EQ(static_cast<std::size_t>(found.at - text.data()), first) << text;
        const TextScan own = scan_text(std::string_view(text).substr(0, first));
        EXPECT_EQ(found.has_reference, own.has_reference) << text;
        if (!own.has_reference) {
          EXPECT_EQ(found.ascii, own.ascii) << text;
        }
      }
    }
  }
  const std::string no_open = "abc&def";
  EXPECT_EQ(find_text_end(no_open.data(), no_open.data() + no_open.size()).at, no_open.data() + no_open.size());
}

}  // namespace
}  // namespace velmora::reader
