// The item scanner: the steps it gives for documents fed whole and in chunks of every size, its
// faults inside and outside items, bytes that are not UTF-8, and what it keeps buffered.
#include <gtest/gtest.h>

#include <string>

#include "reader/errors.h"
#include "stream/item_scanner.h"

namespace velmora::stream {
namespace {

// The steps as one line: "open 0 r | item 3 <i/> | close | done".
std::string trace(const std::string& input, std::size_t depth, std::size_t chunk) {
  ItemScanner scanner(depth);
  std::string out;
  std::size_t at = 0;
  for (;;) {
    const Step step = scanner.next();
    std::string line;
    switch (step.kind) {
      case StepKind::NeedMore:
        if (at < input.size()) {
          scanner.feed(std::string_view(input).substr(at, chunk));
          at += chunk;
        } else {
          scanner.finish();
        }
        continue;
      case StepKind::Open:
        line = "open " + std::to_string(step.offset) + " " + std::string(step.tag.substr(0, step.name_len));
        break;
      case StepKind::Close: line = "close"; break;
      case StepKind::Item: line = "item " + std::to_string(step.offset) + " " + std::string(step.text); break;
      case StepKind::ItemError:
        line = "itemerror " + std::to_string(step.offset) + " " + reader::to_string(*step.error);
        break;
      case StepKind::Error: line = "error " + std::to_string(step.offset) + " " + reader::to_string(*step.error); break;
      case StepKind::BadUtf8: line = "utf8 " + std::to_string(step.offset); break;
      case StepKind::Done: line = "done"; break;
    }
    out += out.empty() ? line : " | " + line;
    if (step.kind == StepKind::Done || step.kind == StepKind::Error || step.kind == StepKind::ItemError ||
        step.kind == StepKind::BadUtf8)
      break;
  }
  return out;
}

struct Case {
  std::string input;
  std::size_t depth;
  std::string steps;
};

class Steps : public ::testing::TestWithParam<Case> {};

TEST_P(Steps, SameForEveryChunkSize) {
  const Case& c = GetParam();
  EXPECT_EQ(trace(c.input, c.depth, c.input.size() + 1), c.steps) << c.input;
  for (std::size_t chunk = 1; chunk <= c.input.size(); ++chunk)
    ASSERT_EQ(trace(c.input, c.depth, chunk), c.steps) << c.input << " in chunks of " << chunk;
}

INSTANTIATE_TEST_SUITE_P(
    Items, Steps,
    ::testing::Values(
        Case{"<r><i>1</i> <i/></r>", 2, "open 0 r | item 3 <i>1</i> | item 12 <i/> | close | done"},
        Case{"<a/>text<b x='>'>1</b><c>", 1, "item 0 <a/> | item 8 <b x='>'>1</b> | itemerror 22 UnexpectedEof(\"</\\\"c\\\">\")"},
        // Same-named elements nest inside an item; quotes, comments, CDATA and PIs hide markup.
        Case{"<r><i><i>x</i></i><i a=\"</i>\"><!-- </i> --><![CDATA[</i>]]><?p </i?></i></r>", 2,
             "open 0 r | item 3 <i><i>x</i></i> | item 18 <i a=\"</i>\"><!-- </i> --><![CDATA[</i>]]><?p </i?></i> | close | done"},
        Case{"<!DOCTYPE r [<!ENTITY e '<r>'>]><r><s><i/></s><s/></r>", 3,
             "open 32 r | open 35 s | item 38 <i/> | close | close | done"},
        // Elements above the item depth that hold no items, and text anywhere, give nothing.
        Case{"<r>t<e/>u<s>v</s></r>", 3, "open 0 r | open 9 s | close | close | done"},
        // A byte order mark at the start is dropped and not counted.
        Case{"\xEF\xBB\xBF<r><i/></r>", 2, "open 0 r | item 3 <i/> | close | done"},
        Case{"<r><i>x</i></r", 2, "open 0 r | item 3 <i>x</i> | close | done"},
        Case{"<r><i>x</i", 2, "open 0 r | item 3 <i>x</i | error 10 UnexpectedEof(\"</\\\"r\\\">\")"},
        Case{"<r><i/><", 2, "open 0 r | item 3 <i/> | error 8 UnexpectedEof(\"</\\\"r\\\">\")"},
        Case{"", 1, "done"},
        Case{"<?xml version='1.0'?><!-- c --> ", 1, "done"}));

INSTANTIATE_TEST_SUITE_P(
    Faults, Steps,
    ::testing::Values(
        // Outside items: the reader's error, where the reader stands.
        Case{"<r><i/></s>", 2, "open 0 r | item 3 <i/> | error 9 EndEventMismatch { expected: \"r\", found: \"s\" }"},
        Case{"</a >", 1, "error 2 EndEventMismatch { expected: \"\", found: \"a \" }"},
        Case{"<r></s", 2, "open 0 r | error 4 EndEventMismatch { expected: \"r\", found: \"s\" }"},
        Case{"<r><!x>", 2, "open 0 r | error 4 UnexpectedBang(120)"},
        Case{"<r><!", 2, "open 0 r | error 4 UnexpectedEof(\"Bang\")"},
        Case{"<r><!-x-->", 2, "open 0 r | error 10 UnexpectedEof(\"Comment\")"},
        Case{"<r><![x]]>", 2, "open 0 r | error 10 UnexpectedEof(\"CData\")"},
        Case{"<r><![CDATA[x", 2, "open 0 r | error 4 UnexpectedEof(\"CData\")"},
        Case{"<r><!DOCTYPE   >", 2, "open 0 r | error 16 EmptyDocType"},
        Case{"<r><!Dx>", 2, "open 0 r | error 8 UnexpectedEof(\"DOCTYPE\")"},
        Case{"<r><!DOCTYPE x [<y>", 2, "open 0 r | error 4 UnexpectedEof(\"DOCTYPE\")"},
        Case{"<r><?>", 2, "open 0 r | error 5 UnexpectedEof(\"XmlDecl\")"},
        Case{"<r><?x", 2, "open 0 r | error 4 UnexpectedEof(\"XmlDecl\")"},
        Case{"<r><s a='>", 2, "open 0 r | error 4 UnexpectedEof(\"Element\")"},
        // Inside an item: the item's start, and the fault found in it.
        Case{"<r><i><b></i></r>", 2, "open 0 r | itemerror 3 EndEventMismatch { expected: \"b\", found: \"i\" }"},
        Case{"<r><i><!-- x", 2, "open 0 r | itemerror 3 UnexpectedEof(\"Comment\")"},
        Case{"<r><i><b>", 2, "open 0 r | itemerror 3 UnexpectedEof(\"</\\\"i\\\">\")"}));

TEST(ItemScanner, StopsAtBytesThatAreNotUtf8AfterTheItemsBeforeThem) {
  EXPECT_EQ(trace("<r><i/><i>\xE9</i></r>", 2, 3), "open 0 r | item 3 <i/> | utf8 10");
  // A character split between chunks is whole again once the next chunk comes.
  EXPECT_EQ(trace("<r><i>\xC3\xA9</i></r>", 2, 1), "open 0 r | item 3 <i>\xC3\xA9</i> | close | done");
  // The input ends inside a character.
  EXPECT_EQ(trace("<r><i/>\xC3", 2, 100), "open 0 r | item 3 <i/> | utf8 7");
}

TEST(ItemScanner, KeepsOnlyTheItemOrConstructBeingRead) {
  ItemScanner scanner(2);
  scanner.feed("<r>");
  const std::string record = "<i a='1'>" + std::string(100, 'x') + "</i>";
  std::size_t items = 0;
  for (int i = 0; i < 1000; ++i) {
    scanner.feed(record);
    for (Step s = scanner.next(); s.kind != StepKind::NeedMore; s = scanner.next()) items += s.kind == StepKind::Item;
  }
  EXPECT_EQ(items, 1000u);
  EXPECT_LE(scanner.buffered(), 2 * record.size());
  scanner.feed("<i>" + std::string(50000, 'y'));  // an item not yet closed stays whole
  while (scanner.next().kind != StepKind::NeedMore) {
  }
  scanner.feed("z");
  EXPECT_GE(scanner.buffered(), 50004u);
  scanner.release();
  EXPECT_EQ(scanner.buffered(), 0u);
  EXPECT_EQ(scanner.next().kind, StepKind::Done);
}

}  // namespace
}  // namespace velmora::stream
