// Markup after "<": tags, end tags, "<!" and "<?" constructs, with their errors and positions.
#include <gtest/gtest.h>

#include <string>

#include "reader_trace.h"

namespace velmora::reader {
namespace {

using testing::trace;
using Case = testing::TraceCase;

class Markup : public ::testing::TestWithParam<Case> {};

TEST_P(Markup, Events) { EXPECT_EQ(trace(GetParam().input), GetParam().events) << GetParam().input; }

INSTANTIATE_TEST_SUITE_P(Tags, Markup, ::testing::Values(
    Case{"<a b='>'>", "Start(a b='>'):a Eof"},
    Case{"<a b=\">\"/>", "Empty(a b=\">\"):a Eof"},
    Case{"<a/>", "Empty(a):a Eof"},
    Case{"<a />", "Empty(a ):a Eof"},
    Case{"<a\tx='1'/>", "Empty(a\tx='1'):a Eof"},
    Case{"<a/ >", "Start(a/ ):a/ Eof"},
    Case{"<a/b>", "Start(a/b):a/b Eof"},
    Case{"<a x='/'>", "Start(a x='/'):a Eof"},
    Case{"</>", "!EndEventMismatch(,)@2"},
    Case{"<>", "Start(): Eof"},
    Case{"< a>", "Start( a): Eof"},
    Case{"<p:a>", "Start(p:a):p:a Eof"},
    Case{"<a\"b>\"c>", "Start(a\"b>\"c):a\"b>\"c Eof"},  // a quote in the name is honoured too
    Case{"<a", "!UnexpectedEof(Element)@1"},
    Case{"x <a b='>", "Text(x) !UnexpectedEof(Element)@3"},
    Case{"<a b=\"'>", "!UnexpectedEof(Element)@1"}));

INSTANTIATE_TEST_SUITE_P(EndTags, Markup, ::testing::Values(
    Case{"</a>", "!EndEventMismatch(,a)@2"},
    Case{"</a >", "!EndEventMismatch(,a )@2"},
    Case{"x</a", "Text(x) !EndEventMismatch(,a)@2"},  // no ">": offset at the "/"
    Case{"<a></a >", "Start(a):a End(a) Eof"},
    Case{"<a></a\t>", "Start(a):a End(a) Eof"},
    Case{"<a></ a>", "Start(a):a !EndEventMismatch(a, a)@5"},
    Case{"<a></A>", "Start(a):a !EndEventMismatch(a,A)@5"},
    Case{"<a></b>", "Start(a):a !EndEventMismatch(a,b)@5"},
    Case{"<a></ab>", "Start(a):a !EndEventMismatch(a,ab)@5"},
    Case{"<a></b", "Start(a):a !EndEventMismatch(a,b)@4"},
    Case{"<a></a", "Start(a):a End(a) Eof"},
    Case{"<a></a>x", "Start(a):a End(a) Text(x) Eof"},
    Case{"<></>", "Start(): End() Eof"},
    Case{"<></ >", "Start(): !EndEventMismatch(, )@4"},  // an all-blank end name is kept whole
    Case{"<a><b></b></a>", "Start(a):a Start(b):b End(b) End(a) Eof"}));

INSTANTIATE_TEST_SUITE_P(Bang, Markup, ::testing::Values(
    Case{"<!", "!UnexpectedEof(Bang)@1"},
    Case{"<!>", "!UnexpectedBang(62)@1"},
    Case{"<!x>", "!UnexpectedBang(120)@1"},
    Case{"ab <!\xC3\xA9>", "Text(ab) !UnexpectedBang(195)@4"},
    Case{"<!-- c -->", "Comment( c ) Eof"},
    Case{"<!---->", "Comment() Eof"},
    Case{"<!-- a -- b -->", "Comment( a -- b ) Eof"},
    Case{"<!--->", "!UnexpectedEof(Comment)@1"},
    Case{"<!-->", "!UnexpectedEof(Comment)@1"},
    Case{"<!-->-->", "Comment(>) Eof"},
    Case{"<!-x-->", "!UnexpectedEof(Comment)@7"},
    Case{"x<!-- a", "Text(x) !UnexpectedEof(Comment)@2"},
    Case{"<![CDATA[x]]>", "CData(x) Eof"},
    Case{"<![cdata[x]]>", "CData(x) Eof"},
    Case{"<![CDATA[a>b]]>", "CData(a>b) Eof"},
    Case{"<![CDATA[a]>b]]>", "CData(a]>b) Eof"},
    Case{"<![CDATA[]]>", "CData() Eof"},
    Case{"<![x]]>", "!UnexpectedEof(CData)@7"},
    Case{"<![]]>", "!UnexpectedEof(CData)@6"},
    Case{"<![CDATA[x", "!UnexpectedEof(CData)@1"},
    Case{"<![CDATA[x]>", "!UnexpectedEof(CData)@1"},
    Case{"<!DOCTYPE x>", "DocType(x) Eof"},
    Case{"<!doctype  x >", "DocType(x ) Eof"},
    Case{"<!DOCTYPEx>", "DocType(x) Eof"},
    Case{"<!DocType\tx\n>", "DocType(x\n) Eof"},
    Case{"<!DOCTYPE x [<!ENTITY y 'z'>]>", "DocType(x [<!ENTITY y 'z'>]) Eof"},
    Case{"<!DOCTYPE x [<!ENTITY y '<'>]>", "!UnexpectedEof(DOCTYPE)@1"},  // quotes are not considered
    Case{"<!DOCTYPE x [<!ENTITY y '>'>]>", "DocType(x [<!ENTITY y '>') Text(]>) Eof"},
    Case{"<!DOCTYPE>", "!EmptyDocType@10"},
    Case{"<!DOCTYPE   >", "!EmptyDocType@13"},
    Case{"<!DOCTYPE\xC2\xA0>", "DocType(\xC2\xA0) Eof"},
    Case{"<!Dx>", "!UnexpectedEof(DOCTYPE)@5"},
    Case{"<!dOCTYP>", "!UnexpectedEof(DOCTYPE)@9"},
    Case{"<!DOCTYPE x", "!UnexpectedEof(DOCTYPE)@1"},
    Case{"<!DOCTYPE x [<a>", "!UnexpectedEof(DOCTYPE)@1"}));

INSTANTIATE_TEST_SUITE_P(Question, Markup, ::testing::Values(
    Case{"<?xml version='1.0'?>", "Decl(xml version='1.0'):xml Eof"},
    Case{"<?xml ?>", "Decl(xml ):xml Eof"},
    Case{"<?xml?>", "PI(xml) Eof"},
    Case{"<?XML v?>", "PI(XML v) Eof"},
    Case{"<?xmlns v?>", "PI(xmlns v) Eof"},
    Case{"<?pi data?>", "PI(pi data) Eof"},
    Case{"<?a?>", "PI(a) Eof"},
    Case{"<?" "?>", "!UnexpectedEof(XmlDecl)@2"},
    Case{"<?>", "!UnexpectedEof(XmlDecl)@2"},
    Case{"<?a>", "!UnexpectedEof(XmlDecl)@2"},
    Case{"<?x", "!UnexpectedEof(XmlDecl)@1"},
    Case{"ab<?x", "Text(ab) !UnexpectedEof(XmlDecl)@3"},
    Case{"<?a?", "PI(a) Eof"},
    Case{"<?p a='>'?>", "!UnexpectedEof(XmlDecl)@2"}));  // ">" ends it even inside quotes

// Tag scanning with ">" and quotes at every alignment, including past the first 16 bytes.
TEST(MarkupScan, QuotesAndCloseAtEveryOffset) {
  for (std::size_t pad = 0; pad < 40; ++pad) {
    const std::string spaces(pad + 1, ' ');
    const std::string content = "a" + spaces + "x='>\"'" + spaces + "y=\">'>\"" + spaces + "z";
    EXPECT_EQ(trace("<" + content + ">tail"), "Start(" + content + "):a Text(tail) Eof") << pad;
    EXPECT_EQ(trace("<" + content + "/>"), "Empty(" + content + "):a Eof") << pad;
    EXPECT_EQ(trace("<" + content + " q='>"), "!UnexpectedEof(Element)@1") << pad;
    const std::string name(pad + 1, 'n');
    EXPECT_EQ(trace("<" + name + ">"), "Start(" + name + "):" + name + " Eof") << pad;
  }
}

// The block-wise tag scan against the rule it implements, byte by byte: random tags made of
// quotes, ">" and filler, long enough to cross several 16-byte blocks.
TEST(MarkupScan, TagEndMatchesByteByByteRule) {
  const char alphabet[] = {'a', ' ', '"', '\'', '>', '/', 'b'};
  std::uint32_t seed = 12345;
  auto next = [&seed] { return (seed = seed * 1103515245u + 12345u) >> 16; };
  for (int round = 0; round < 20000; ++round) {
    std::string tag = "a";  // a name byte first: "/", "!" or "?" would begin other constructs
    const std::size_t len = next() % 70;
    for (std::size_t i = 0; i < len; ++i) tag += alphabet[next() % sizeof alphabet];
    // Reference: the first ">" outside quotes.
    std::size_t close = std::string::npos;
    char quote = 0;
    for (std::size_t i = 0; i < tag.size() && close == std::string::npos; ++i) {
      if (quote) {
        if (tag[i] == quote) quote = 0;
      } else if (tag[i] == '>') {
        close = i;
      } else if (tag[i] == '"' || tag[i] == '\'') {
        quote = tag[i];
      }
    }
    const std::string input = "<" + tag;  // the reader only borrows it
    Reader r(input);
    auto ev = r.read_event_impl();
    if (close == std::string::npos) {
      ASSERT_TRUE(ev.is_err()) << tag;
      continue;
    }
    ASSERT_TRUE(ev.is_ok()) << tag;
    std::string content = tag.substr(0, close);
    if (!content.empty() && content.back() == '/') content.pop_back();
    ASSERT_EQ(ev.value().bytes(), content) << tag;
    ASSERT_EQ(r.position(), close + 2) << tag;
  }
}

// Nested declarations are counted in one pass; many of them must still close correctly.
TEST(MarkupScan, DoctypeWithManyNestedDeclarations) {
  const std::size_t n = 100000;
  std::string body = "x [";
  for (std::size_t i = 0; i < n; ++i) body += "<!E>";
  body += "]";
  EXPECT_EQ(trace("<!DOCTYPE " + body + "><a/>"), "DocType(" + body + ") Empty(a):a Eof");
  // One "<" too many: no ">" closes it.
  EXPECT_EQ(trace("<!DOCTYPE <" + body + ">"), "!UnexpectedEof(DOCTYPE)@1");
}

}  // namespace
}  // namespace velmora::reader
