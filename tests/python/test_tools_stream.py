"""iterparse against velmora.parse of the whole document: on generated documents and their
mutations, the project's documents and a feed, for chunks of random sizes down to one byte and
items at depths 1 to 4; then its failures, sources, encodings and early closing."""
import gc
import io
import pathlib
import random

import pytest

import velmora
import xmlgen
from velmora_tools import PanicException, iterparse
from velmora_tools import _items

from differential import ordered
from quiet import stderr_discarded as fd2_silenced

HERE = pathlib.Path(__file__).parent
CATALOG = (HERE.parent.parent / "samples" / "catalog.xml").read_text(encoding="utf-8")
FEED = ('<?xml version="1.0" encoding="UTF-8"?>\n<!-- exported -->\n<rss version="2.0" xmlns:dc="u">'
        '<channel><title>Feed &amp; news</title><link>http://x/</link>'
        + "".join(f'<item><title>Story {i}</title><dc:creator>Ann</dc:creator><category>a</category>'
                  f'<category>b</category><description><![CDATA[<p>{i}</p>]]></description>'
                  f'<enclosure url="http://x/{i}.mp3" length="{i}" type="audio/mpeg"/></item>'
                  for i in range(6))
        + "</channel></rss>")


class Names(xmlgen.Generator):
    """Documents whose element names never meet the "@" attribute keys or "#text" of a
    dictionary, so the whole tree shows which item belongs to which parent."""

    def name(self):
        return self.rng.choice(xmlgen.PREFIXES) + self.rng.choice(["a", "b", "c", "item", "x", "é", "名"])

    def records(self):
        """A root holding elements nested a few levels: items at every depth to 4."""
        body = "".join(self.element(3) if self.rng.random() < 0.9 else self.text() for _ in range(self.rng.randint(1, 6)))
        return f"<r{self.attributes()}>{body}</r>"


def chunked(data, rng, largest):
    at = 0
    while at < len(data):
        size = rng.randint(1, largest)
        yield data[at:at + size]
        at += size


def stream(doc, depth, rng, largest):
    """('ok', pairs) or ('panic', pairs before, message)."""
    pairs = []
    try:
        for path, item in iterparse(chunked(doc.encode("utf-8"), rng, largest), depth):
            pairs.append((path, item))
    except PanicException as exc:
        return ("panic", pairs, exc.args[0])
    return ("ok", pairs)


def is_element_key(key):
    return not key.startswith("@") and key != "#text"


def children(value):
    """The element children of a converted element, in the order its dictionary holds them."""
    if not isinstance(value, dict):
        return []
    return [(key, v) for key, v in value.items() if is_element_key(key)]


def attributes_of(value):
    attrs = {k: v for k, v in value.items() if k.startswith("@")} if isinstance(value, dict) else {}
    return attrs or None


def check_level(parents, pairs):
    """The items at one depth against their parents' values: `parents` are (path, value) in
    document order. Items of one parent follow each other; grouped by name in order of first
    appearance they are that parent's dictionary, key order included."""
    at = 0
    for parent_path, value in parents:
        count = sum(len(v) if isinstance(v, list) else 1 for _, v in children(value))
        mine = pairs[at:at + count]
        at += count
        grouped = {}
        for path, item in mine:
            assert path[:-1] == parent_path
            name, attrs = path[-1]
            assert attrs == attributes_of(item)
            grouped.setdefault(name, []).append(ordered(item))
        expected = [(key, [ordered(x) for x in v] if isinstance(v, list) else [ordered(v)])
                    for key, v in children(value)]
        assert list(grouped.items()) == expected
    assert at == len(pairs)


def check_document(doc, rng, largest):
    try:
        tree = velmora.parse(doc)
    except PanicException:
        tree = None
    parents = [((), tree)]
    for depth in range(1, 5):
        outcome = stream(doc, depth, rng, largest)
        if tree is None:
            # Nothing to compare: text above the items is never built, so a bad reference
            # there fails the whole document but no item. Failures are tested below.
            continue
        assert outcome[0] == "ok", (doc, depth, outcome)
        check_level(parents, outcome[1])
        parents = outcome[1]


@pytest.mark.parametrize("seed", range(6))
def test_generated_documents_and_mutations_give_the_whole_tree_items(seed):
    gen = Names(seed)
    rng = random.Random(seed)
    with fd2_silenced():
        for _ in range(300):
            check_document(gen.case(), rng, rng.choice([1, 3, 17, 4096]))
            records = gen.records()
            check_document(records if rng.random() < 0.5 else gen.mutate(records), rng, rng.choice([1, 2, 64]))


@pytest.mark.parametrize("doc", [CATALOG, FEED, "<a/><b>1</b><a x='1'/>text<c><d/></c>",
                                 "\ufeff<r><i>1</i><i><i>2</i></i><i/></r>", "<r></r  >",
                                 "<r><i>x</i></r", "<r><i>x</i><!DOCTYPE q [<!ENTITY a '>'>]><i/></r>"])
@pytest.mark.parametrize("largest", [1, 2, 7, 100000])
def test_project_documents_give_the_whole_tree_items(doc, largest):
    check_document(doc, random.Random(largest), largest)


def test_items_of_a_feed_with_their_paths():
    pairs = list(iterparse([FEED.encode()], 3))
    assert [path[-1][0] for path, _ in pairs][:3] == ["title", "link", "item"]
    path, item = pairs[2]
    assert path == (("rss", {"@version": "2.0", "@dc": "u"}), ("channel", None), ("item", None))
    assert item["category"] == ["a", "b"] and item["description"] == {}  # CDATA is dropped
    assert item["enclosure"] == {"@url": "http://x/0.mp3", "@length": "0", "@type": "audio/mpeg"}


# A malformed document: (document, depth, items yielded before, message, note).
IN_ITEM = "called `Result::unwrap()` on an `Err` value: "
FAILURES = [
    ("<r><i>1</i><i>x</j></r>", 2, 1, IN_ITEM + 'EndEventMismatch { expected: "i", found: "j" }', "in the item at byte offset 11"),
    ("<r><i>1</i><i a='1' a='2'/></r>", 2, 1, IN_ITEM + "Duplicated(8, 2)", "in the item at byte offset 11"),
    ("<r><i>&bad;</i></r>", 2, 0, IN_ITEM + 'EscapeError(UnrecognizedSymbol(1..4, "bad"))', "in the item at byte offset 3"),
    ("<r><i><!-- x</i></r>", 2, 0, IN_ITEM + 'UnexpectedEof("Comment")', "in the item at byte offset 3"),
    ("<r><i>1</i><i>", 2, 1, IN_ITEM + 'UnexpectedEof("</\\"i\\">")', "in the item at byte offset 11"),
    ("<r><i><b></i>", 2, 0, IN_ITEM + 'EndEventMismatch { expected: "b", found: "i" }', "in the item at byte offset 3"),
    ("<r><i><b x='>", 2, 0, IN_ITEM + 'UnexpectedEof("Element")', "in the item at byte offset 3"),
    # Outside the items: the reader's error and its position in the document.
    ("<r><i/></s>", 2, 1, 'Error at position 9: EndEventMismatch { expected: "r", found: "s" }', None),
    ("<r><i/>", 2, 1, 'Error at position 7: UnexpectedEof("</\\"r\\">")', None),
    ("<r><s><i/>", 3, 1, 'Error at position 10: UnexpectedEof("</\\"r\\">")', None),
    ("<r><i/></r></x>", 2, 1, 'Error at position 13: EndEventMismatch { expected: "", found: "x" }', None),
    ("<r><i/><!x></r>", 2, 1, "Error at position 8: UnexpectedBang(120)", None),
    ("<r><i/><? ></r>", 2, 1, 'Error at position 9: UnexpectedEof("XmlDecl")', None),
    ("<r><i/><!DOCTYPE></r>", 2, 1, "Error at position 17: EmptyDocType", None),
    ("<r><i/><s x='1", 2, 1, 'Error at position 8: UnexpectedEof("Element")', None),
    ("<r x='1' x='2'><i/></r>", 2, 0, IN_ITEM + "Duplicated(8, 2)", "in the start tag at byte offset 0"),
]


@pytest.mark.parametrize("doc, depth, before, message, note", FAILURES)
@pytest.mark.parametrize("largest", [1, 5, 1000])
def test_failures_say_where_and_stop(doc, depth, before, message, note, largest):
    yielded = []
    with fd2_silenced(), pytest.raises(PanicException) as caught:
        for pair in iterparse(chunked(doc.encode(), random.Random(0), largest), depth):
            yielded.append(pair)
    assert len(yielded) == before
    assert caught.value.args[0] == message
    assert getattr(caught.value, "__notes__", [None])[-1] == note


@pytest.mark.parametrize("doc", ["<r><i>1</i><i>x</j></r>", "<r><i>&bad;</i></r>", "<r><i a='1' a='2'/></r>"])
def test_an_item_fails_with_the_message_parse_gives_for_its_text(doc):
    start, end = doc.index("<i", 4 if "<i>1" in doc else 0), doc.rindex("</r>")
    with fd2_silenced():
        with pytest.raises(PanicException) as alone:
            velmora.parse(doc[start:end])
        with pytest.raises(PanicException) as streamed:
            list(iterparse([doc.encode()], 2))
    assert streamed.value.args == alone.value.args


def test_bytes_that_are_not_utf8_stop_after_the_items_before_them():
    got = []
    with pytest.raises(UnicodeDecodeError) as caught:
        for pair in iterparse([b"<r><i>1</i><i>\xe9</i></r>"], 2):
            got.append(pair)
    assert len(got) == 1 and caught.value.__notes__ == ["at byte 14 of the document"]


@pytest.mark.parametrize("encoding", ["utf-8-sig", "utf-16", "utf-16-be", "utf-32", "iso-8859-15"])
def test_encodings_are_found_as_parse_file_finds_them(encoding):
    text = f'<?xml version="1.0" encoding="{encoding}"?><r><i k="\u20ac">caf\u00e9</i><i/></r>'
    data = text.encode(encoding)
    pairs = list(iterparse(chunked(data, random.Random(1), 3), 2))
    assert [item for _, item in pairs] == velmora.parse(text)["r"]["i"]


def test_paths_files_and_chunks_are_sources(tmp_path):
    path = tmp_path / "doc.xml"
    path.write_text(CATALOG, encoding="utf-8")
    tree = velmora.parse(CATALOG)["catalog"]
    expected = tree["book"] + [tree["note"]]
    with open(path, "rb") as file:
        from_file = [item for _, item in iterparse(file, 2)]
    for source in (str(path), path, bytes(path), io.BytesIO(CATALOG.encode()), [memoryview(CATALOG.encode())]):
        assert [item for _, item in iterparse(source, 2)] == expected
    assert from_file == expected


@pytest.mark.parametrize("depth, error", [(0, ValueError), (-1, ValueError), (True, TypeError), ("2", TypeError)])
def test_the_depth_is_a_whole_number_from_one(depth, error):
    with pytest.raises(error):
        iterparse([b"<r/>"], depth)


def test_closing_early_closes_the_file_and_frees_the_buffer(tmp_path, monkeypatch):
    path = tmp_path / "doc.xml"
    path.write_bytes(b"<r>" + b"<i>x</i>" * 1000 + b"<big>" + b"y" * 300000)
    scanners = []
    original = _items.Scanner

    def recording(*args):
        scanners.append(original(*args))
        return scanners[-1]

    monkeypatch.setattr(_items, "Scanner", recording)
    files = []
    real_open = open

    def recording_open(*args, **kwargs):
        files.append(real_open(*args, **kwargs))
        return files[-1]

    monkeypatch.setattr("builtins.open", recording_open)
    items = iterparse(path, 2)
    next(items)
    assert not files[0].closed and scanners[0].buffered > 0
    items.close()
    assert files[0].closed and scanners[0].buffered == 0
    gc.collect()


# Items whose names meet the "@" keys of attributes or the "#text" of text between items; each
# must be what its own text gives, and its attributes what its start tag alone gives.
NAME_CLASHES = [
    ["<i a='1'><@a>2</@a></i>", "<i a='1'><p:@b/></i>", "<i><@a>3</@a></i>"],
    ["<#text>a</#text>", "x", "<#text>b</#text>", "<i>c</i>", "y"],
    ["<i p:a='1' a='2'/>", "<i a='&lt;'>t</i>", "<j/>", "z", "<i/>"],
]


@pytest.mark.parametrize("parts", NAME_CLASHES)
@pytest.mark.parametrize("largest", [1, 1000])
def test_items_whose_names_clash_with_keys_are_their_own_texts(parts, largest):
    doc = "<r>" + "".join(parts) + "</r>"
    elements = [p for p in parts if p.startswith("<")]
    expected = []
    for element in elements:
        (name, value), = velmora.parse(element).items()
        tag = element[1:element.index(">")].rstrip("/")
        (_, attrs), = velmora.parse(f"<{tag}/>").items()
        expected.append(((("r", None), (name, attrs)), ordered(value)))
    got = [(path, ordered(item)) for path, item in iterparse(chunked(doc.encode(), random.Random(2), largest), 2)]
    assert got == expected


def test_readme_examples_print_what_the_readme_shows(capfd):
    import doctest
    readme = (HERE.parent.parent / "README.md").read_text(encoding="utf-8")
    section = readme[readme.index("## Documents larger than memory"):]
    (session,) = [code for code in section.split("```python\n")[1:] for code in [code.split("```")[0]]]
    test = doctest.DocTestParser().get_doctest(session, {}, "README iterparse", "README.md", 0)
    runner = doctest.DocTestRunner(optionflags=doctest.ELLIPSIS)
    with fd2_silenced():
        runner.run(test, out=lambda text: None)
    assert runner.tries >= 2 and runner.failures == 0
