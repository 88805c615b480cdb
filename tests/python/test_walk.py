"""Whole documents against their exact results (key order included) and failure messages."""
import sys
import threading

import pytest

import velmora
from differential import ordered


def panic_message(xml):
    with pytest.raises(BaseException) as info:
        velmora.parse(xml)
    assert type(info.value).__name__ == "PanicException"
    assert len(info.value.args) == 1
    return info.value.args[0]


RESULTS = [
    # shape of elements, attributes and text
    ('<root a="1"><x>1</x><x>2</x><y/><z k="v">t</z></root>',
     {"root": {"@a": "1", "x": ["1", "2"], "y": None, "z": {"@k": "v", "#text": "t"}}}),
    # runs of one name interleaved with others, and the entries a text or an attribute may take
    ("<r><x>1</x><x>2</x><y/><x>3</x><y/><x>4</x></r>", {"r": {"x": ["1", "2", "3", "4"], "y": [None, None]}}),
    ("<r><#text>1</#text><#text>2</#text>t<#text>3</#text><q/></r>", {"r": {"#text": ["t", "3"], "q": None}}),
    ('<r @x="a"><@x>1</@x><@x>2</@x><@x>3</@x></r>', {"r": {"@@x": "a", "@x": ["1", "2", "3"]}}),
    ('<r x="a"><@x>1</@x><@x>2</@x><@x>3</@x></r>', {"r": {"@x": ["1", "2", "3"]}}),
    ("<r><a><x>1</x><x>2</x></a><a><x>3</x></a></r>", {"r": {"a": [{"x": ["1", "2"]}, {"x": "3"}]}}),
    ("", {}),
    ("   \t\r\n ", {}),
    ("hello", {"#text": "hello"}),
    ("<a/>tail", {"a": None, "#text": "tail"}),
    ("<a/>", {"a": None}),
    ("<a></a>", {"a": {}}),
    ("<a>  </a>", {"a": {}}),
    ("<a>hi</a>", {"a": "hi"}),
    ("<a>  hi  </a>", {"a": "hi"}),
    ('<a x="1"/>', {"a": {"@x": "1"}}),
    ('<a x="1">hi</a>', {"a": {"@x": "1", "#text": "hi"}}),
    ('<a x="1"></a>', {"a": {"@x": "1"}}),
    ("<a><b>1</b><b>2</b></a>", {"a": {"b": ["1", "2"]}}),
    ("<a><b>1</b><b>2</b><b>3</b></a>", {"a": {"b": ["1", "2", "3"]}}),
    ("<a><b/><b/></a>", {"a": {"b": [None, None]}}),
    ("<a><b>1</b><c/><b>2</b></a>", {"a": {"b": ["1", "2"], "c": None}}),
    ("<a>x<b/>y</a>", {"a": {"#text": "y", "b": None}}),
    ("<a><p:b>1</p:b><q:b>2</q:b></a>", {"a": {"b": ["1", "2"]}}),
    ('<p:a q:x="1"/>', {"a": {"@x": "1"}}),
    ('<a p:x="1" q:x="2"/>', {"a": {"@x": "2"}}),
    ('<a xmlns="u" xmlns:p="v"/>', {"a": {"@xmlns": "u", "@p": "v"}}),
    ('<a p:="1"/>', {"a": {"@": "1"}}),
    ("<a><![CDATA[z]]></a>", {"a": {}}),
    ('<?xml version="1.0"?><!DOCTYPE a [<!ENTITY e "x">]><!-- c --><a><?pi x?>t</a>', {"a": "t"}),
    ("<a/><b/>", {"a": None, "b": None}),
    ("<a>1</a><a>2</a>", {"a": ["1", "2"]}),
    ("<a>&lt;&gt;&amp;&apos;&quot;&#65;&#x41;</a>", {"a": "<>&'\"AA"}),
    ('<a x="&#x2014;&amp;"/>', {"a": {"@x": "\u2014&"}}),
    ("<é>ü</é>", {"é": "ü"}),
    ('<名前 属性="値">本文</名前>', {"名前": {"@属性": "値", "#text": "本文"}}),
    # byte order marks: dropped at the very start of the input and of an element's content
    ("\ufeff<a/>", {"a": None}),
    ("<a>\ufeff</a>", {"a": {}}),
    ("<a>\ufeff  x </a>", {"a": "x"}),
    ("<a>\ufeff\ufeffx</a>", {"a": "\ufeffx"}),
    ("<a>x\ufeff</a>", {"a": "x\ufeff"}),
    ("<a> \ufeff</a>", {"a": "\ufeff"}),
    ("<a>\ufeff<b/></a>", {"a": {"b": None}}),
    ("<a><b>\ufeff</b></a>", {"a": {"b": {}}}),
    # text replaces earlier text in its first position; element values keep first positions
    ("<a>1<b/>2<c/>3</a>", {"a": {"#text": "3", "b": None, "c": None}}),
    ("<a><b/>1<b/>2</a>", {"a": {"b": [None, None], "#text": "2"}}),
    # attributes first, then the content; a content key equal to an attribute key replaces it
    ('<a x="1"><x>2</x></a>', {"a": {"@x": "1", "x": "2"}}),
    ('<a x="1" y="2"><@x>3</@x></a>', {"a": {"@x": "3", "@y": "2"}}),
    ('<a x="1"><@x>2</@x><b/><@x>3</@x></a>', {"a": {"@x": ["2", "3"], "b": None}}),
    ('<a x="1"><@y>2</@y><@y/></a>', {"a": {"@x": "1", "@y": ["2", None]}}),
    ("<a>\x00</a>", {"a": "\x00"}),
    ("a > b", {"#text": "a > b"}),
    ("<a>x\u00a0</a>", {"a": "x\u00a0"}),
    # texts and values of every str width, split at every point of the eight-byte scans
    ("<a>caf\u00e9 \u00ff</a>", {"a": "caf\u00e9 \u00ff"}),
    ("<a>\u0100\u07ff</a>", {"a": "\u0100\u07ff"}),
    ("<a>\u0800 \uffff</a>", {"a": "\u0800 \uffff"}),
    ("<a>\U00010000\U0010ffff</a>", {"a": "\U00010000\U0010ffff"}),
    ("<a>abcdefghijklmno\u00e9pqrstuvw\u20ac</a>", {"a": "abcdefghijklmno\u00e9pqrstuvw\u20ac"}),
    ('<a x="abcdefg\U0001f600" y="\u00e9abcdefgh"/>', {"a": {"@x": "abcdefg\U0001f600", "@y": "\u00e9abcdefgh"}}),
    ("<a>abcdefgh&#x1F600;</a>", {"a": "abcdefgh\U0001f600"}),
    ("<a>\u00e9&amp;&#xff;&#x100;</a>", {"a": "\u00e9&\u00ff\u0100"}),
    ('<a x="abcdefgh&amp;ijklmnop"/>', {"a": {"@x": "abcdefgh&ijklmnop"}}),
    # an element named "#text" collapses its parent like text does
    ("<a><#text>x</#text></a>", {"a": "x"}),
    ("<a><p:#text>x</p:#text></a>", {"a": "x"}),
    ("<a x='1'><#text>x</#text></a>", {"a": {"@x": "1", "#text": "x"}}),
    ("<a><#texu>x</#texu></a>", {"a": {"#texu": "x"}}),
    ("<a><#text>x</#text>y</a>", {"a": "y"}),
    # tags without attributes, names that share a length and their end bytes
    ("<a  ><b\t/></a >", {"a": {"b": None}}),
    ("<r><axb>1</axb><ayb>2</ayb><axb>3</axb></r>", {"r": {"axb": ["1", "3"], "ayb": "2"}}),
    ("<r><p:>1</p:><q:>2</q:></r>", {"r": {"": ["1", "2"]}}),
]


@pytest.mark.parametrize("xml, expected", RESULTS)
def test_result(xml, expected):
    assert ordered(velmora.parse(xml)) == ordered(expected)


def test_texts_of_random_characters_come_back_equal():
    # Equality of str objects also needs the same width, so this checks how each was stored.
    import random

    rng = random.Random(12)
    ranges = [(0x20, 0x7E), (0xA0, 0xFF), (0x100, 0x7FF), (0x800, 0xD7FF), (0xE000, 0xFFFF), (0x10000, 0x10FFFF)]
    for _ in range(400):
        picked = rng.sample(ranges, rng.randint(1, 3))
        chars = [chr(rng.randint(*rng.choice(picked))) for _ in range(rng.randint(1, 40))]
        text = "".join(c for c in chars if c not in "<&>\"'").strip(" \t\r\n") or "x"
        assert velmora.parse(f'<a v="{text}">{text}</a>') == {"a": {"@v": text, "#text": text}}


UNWRAP = "called `Result::unwrap()` on an `Err` value: "

FAILURES = [
    # the top level's own reader: with its position
    ("</a>", 'Error at position 2: EndEventMismatch { expected: "", found: "a" }'),
    ("<a/></a>", 'Error at position 6: EndEventMismatch { expected: "", found: "a" }'),
    ("<a", 'Error at position 1: UnexpectedEof("Element")'),
    ("<!x>", "Error at position 1: UnexpectedBang(120)"),
    ("<a/><!DOCTYPE>", "Error at position 14: EmptyDocType"),
    ("x<?>", 'Error at position 3: UnexpectedEof("XmlDecl")'),
    # inside an element: met by the parent's read up to the end tag, without a position
    ("<a></b>", UNWRAP + 'EndEventMismatch { expected: "a", found: "b" }'),
    ("<a><b></a>", UNWRAP + 'EndEventMismatch { expected: "b", found: "a" }'),
    ("<a>", UNWRAP + 'UnexpectedEof("</\\"a\\">")'),
    ("<p:a><b>", UNWRAP + 'UnexpectedEof("</\\"p:a\\">")'),
    ("<a>text", UNWRAP + 'UnexpectedEof("</\\"a\\">")'),
    ("<a><!-- x", UNWRAP + 'UnexpectedEof("Comment")'),
    # attributes: reported bare
    ('<a x="1" x="2"/>', UNWRAP + "Duplicated(8, 2)"),
    ('<a x="1" x=>', UNWRAP + "Duplicated(8, 2)"),
    ("<a x/>", UNWRAP + "ExpectedEq(3)"),
    ("<a x=1/>", UNWRAP + "UnquotedValue(4)"),
    ("<a x=/>", UNWRAP + "ExpectedValue(4)"),
    ('<a x"y="1>', UNWRAP + "ExpectedQuote(8, 34)"),
    # escapes: wrapped in EscapeError(...)
    ("<a>&#0;</a>", UNWRAP + "EscapeError(EntityWithNull(0..3))"),
    ("<a>&#x110000;</a>", UNWRAP + "EscapeError(InvalidCodepoint(1114112))"),
    ("<a>&amp</a>", UNWRAP + "EscapeError(UnterminatedEntity(0..4))"),
    ('<a x="&foo;"/>', UNWRAP + 'EscapeError(UnrecognizedSymbol(1..4, "foo"))'),
    ("<a>x&amp;&bogus</a>", UNWRAP + "EscapeError(UnterminatedEntity(6..12))"),
    ("&bad;", UNWRAP + 'EscapeError(UnrecognizedSymbol(1..4, "bad"))'),
    ("<a>\ufeff&x;</a>", UNWRAP + 'EscapeError(UnrecognizedSymbol(1..2, "x"))'),
    ("<a>é&x;</a>", UNWRAP + 'EscapeError(UnrecognizedSymbol(3..4, "x"))'),
    # which failure wins: a top-level tag's attributes are checked before its content is read
    ('<a x="&bad;"></b>', UNWRAP + 'EscapeError(UnrecognizedSymbol(1..4, "bad"))'),
    # ... but inside an element, reading up to the end tag comes before converting the content
    ('<a><b x="&bad;"/></c>', UNWRAP + 'EndEventMismatch { expected: "a", found: "c" }'),
    ("<a>&bad;<b>", UNWRAP + 'UnexpectedEof("</\\"a\\">")'),
    # ... and the first content error in document order wins over later ones and later text
    ('<a><b x="&one;"/>&two;</a></x>', UNWRAP + 'EscapeError(UnrecognizedSymbol(1..4, "one"))'),
    ("<a><b>&one;</b><c x/></a>", UNWRAP + 'EscapeError(UnrecognizedSymbol(1..4, "one"))'),
    ("<a><b><c x/></b></a>&two;", UNWRAP + "ExpectedEq(3)"),
    # an element named "#text" makes a value that is not text where text is expected
    ("<a><#text/></a>",
     UNWRAP + "PyErr { type: <class 'TypeError'>, value: TypeError(\"'NoneType' object "
     "cannot be converted to 'PyString'\"), traceback: None }"),
]


@pytest.mark.parametrize("xml, message", FAILURES)
def test_failure_message(xml, message):
    assert panic_message(xml) == message


def test_deep_nesting_converts_in_main_thread_and_in_a_thread():
    depth = 200_000
    xml = "<a>" * depth + "x" + "</a>" * depth
    results = {}

    def run(where):
        value = velmora.parse(xml)
        for _ in range(depth - 1):
            value = value["a"]
        results[where] = value

    run("main")
    worker = threading.Thread(target=run, args=("thread",))
    worker.start()
    worker.join()
    assert results == {"main": {"a": "x"}, "thread": {"a": "x"}}


def test_deep_nesting_failure_message():
    depth = 200_000
    assert panic_message("<a>" * depth) == UNWRAP + 'UnexpectedEof("</\\"a\\">")'
    xml = "<a>" * depth + "<b x/>" + "</a>" * depth
    assert panic_message(xml) == UNWRAP + "ExpectedEq(3)"


def test_result_is_only_referenced_by_caller():
    result = velmora.parse("<a><b>1</b></a>")
    assert sys.getrefcount(result) == 2  # the name and the argument of getrefcount


def test_threads_each_get_their_own_result():
    docs = [f"<r><i>{n}</i><i>{n + 1}</i></r>" for n in range(8)]
    out = [None] * len(docs)

    def work(i):
        for _ in range(200):
            out[i] = velmora.parse(docs[i])

    threads = [threading.Thread(target=work, args=(i,)) for i in range(len(docs))]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert out == [{"r": {"i": [str(n), str(n + 1)]}} for n in range(8)]
