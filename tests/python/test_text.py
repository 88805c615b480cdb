"""Text at the boundary: argument text, type-mismatch messages, lossy and display text."""
import sys

import pytest

import _velmora_test as t
import velmora


class Outer:
    class Inner:
        pass


class HiddenQualname(type):
    def __getattribute__(cls, name):
        if name == "__qualname__":
            raise AttributeError(name)
        return super().__getattribute__(name)


class NonTextQualname(type):
    def __getattribute__(cls, name):
        return 5 if name == "__qualname__" else super().__getattribute__(name)


class Opaque(metaclass=HiddenQualname):
    pass


class Numbered(metaclass=NonTextQualname):
    pass


@pytest.mark.parametrize("value, type_name", [
    (5, "int"), (b"<a/>", "bytes"), (None, "NoneType"), (bytearray(), "bytearray"),
    (Outer.Inner(), "Outer.Inner"), (Opaque(), "<failed to extract type name>"),
    (Numbered(), "<failed to extract type name>"),
])
def test_non_str_argument(value, type_name):
    expected = f"argument 'xml': '{type_name}' object cannot be converted to 'PyString'"
    for call in (lambda: velmora.parse(value), lambda: velmora.parse(xml=value)):
        with pytest.raises(TypeError) as info:
            call()
        assert type(info.value) is TypeError and info.value.args == (expected,)
        assert info.value.__cause__ is None and info.value.__suppress_context__ is True


# A surrogate anywhere in a two- or four-byte str: at the start, past the first 16-byte blocks
# of the scan for one, and in the last few units.
@pytest.mark.parametrize("text, at", [
    ("\udc80", 0),
    ("<a>" + "\u20ac" * 40 + "\ud800</a>", 43),
    ("<a>" + "\u20ac" * 41 + "</a>\udfff", 48),
    ("\U0001f600" * 20 + "\udbff", 20),
    ("<a>\U0001f600</a>\udc00", 8),
])
def test_lone_surrogate_raises_the_interpreters_error_unchanged(text, at):
    with pytest.raises(UnicodeEncodeError) as info:
        velmora.parse(text)
    assert (info.value.encoding, info.value.start, info.value.end) == ("utf-8", at, at + 1)
    assert "argument" not in str(info.value)


@pytest.mark.parametrize("wide", ["\u20ac", "\U0001f600"])
def test_lone_surrogate_found_at_every_offset_of_the_scan(wide):
    # The scan tests four 16-byte blocks at once, then single blocks, then single units.
    for at in range(70):
        text = wide * at + "\udc80" + wide * (69 - at)
        with pytest.raises(UnicodeEncodeError) as info:
            velmora.parse(text)
        assert (info.value.start, info.value.end) == (at, at + 1)


class NotReallyText(str):
    def __str__(self):
        raise AssertionError("the string value is read directly")


@pytest.mark.parametrize("value, text", [
    (NotReallyText("<a/>"), "<a/>"),
    ("a\0b\0", "a\0b\0"),
    ("<é>ü</é>", "<é>ü</é>"),
    ("", ""),
])
def test_argument_text_is_the_whole_string_value(value, text):
    assert t.text_of(value) == text
    assert t.owned_text_of(value) == text


@pytest.mark.parametrize("text", ["<a>ascii</a>", "<a>caf\u00e9</a>", "<a>\u20ac</a>", "<a>\U0001f600</a>",
                                  NotReallyText("<a>\u20ac</a>")])
def test_argument_is_no_larger_after_the_call(text):
    size = sys.getsizeof(text)
    velmora.parse(text)
    assert sys.getsizeof(text) == size


def test_a_cached_utf8_form_is_left_as_it_is():
    text = "".join(["<a>", "\u20ac", "</a>"])
    assert t.text_of(text) == text  # asks for the UTF-8 form, which the str then keeps
    size = sys.getsizeof(text)
    assert velmora.parse(text) == {"a": "\u20ac"}
    assert sys.getsizeof(text) == size


def test_str_subclass_and_non_ascii_reach_the_conversion():
    assert velmora.parse(NotReallyText("<a>x</a>")) == {"a": "x"}
    assert velmora.parse("<é>ü</é>") == {"é": "ü"}


@pytest.mark.parametrize("value, expected", [
    ("plain", "plain"),
    ("a\udc80b", "a\ufffd\ufffd\ufffdb"),
    ("\ud800\udfff", "\ufffd" * 6),
    ("é\udbff€", "é\ufffd\ufffd\ufffd€"),
    ("\U0001F600\udc00", "\U0001F600\ufffd\ufffd\ufffd"),
])
def test_lossy_text(value, expected):
    assert t.lossy(value) == expected


class BadStr:
    def __str__(self):
        raise ValueError("no str")


class BadStrHiddenType(metaclass=HiddenQualname):
    def __str__(self):
        raise ValueError("no str")


@pytest.mark.parametrize("value, expected", [
    (5, "5"),
    ("x\udc80", "x\ufffd\ufffd\ufffd"),
    (BadStr(), "<unprintable BadStr object>"),
    (BadStrHiddenType(), "<unprintable object>"),
])
def test_display_text(monkeypatch, value, expected):
    reported = []
    monkeypatch.setattr("sys.unraisablehook", reported.append)
    assert t.display(value) == expected
    failed = expected.startswith("<unprintable")
    assert [r.object for r in reported] == ([value] if failed else [])


class BadRepr:
    def __repr__(self):
        raise ValueError("no repr")


class SurrogateRepr:
    def __repr__(self):
        return "<\udc80>"


@pytest.mark.parametrize("value, expected", [
    ("a", ("'a'", True)),
    (SurrogateRepr(), ("<\ufffd\ufffd\ufffd>", True)),
    (BadRepr(), ("", False)),
])
def test_debug_text(value, expected):
    assert t.debug(value) == expected


# The strs the conversion makes itself, in every width and around the lengths where their copy
# changes (4, 8, 16), as text, as an attribute value and with a reference, from documents held in
# each width: indistinguishable from the interpreter's own (size in memory, width, hash,
# encoding, use as a key).
FORMS = {
    "text": ("<r>{}</r>", lambda tree: tree["r"], ""),
    "value": ("<r k='{}'/>", lambda tree: tree["r"]["@k"], ""),
    "text, reference": ("<r>&lt;{}</r>", lambda tree: tree["r"], "<"),
    "value, reference": ("<r k='&#65;{}'/>", lambda tree: tree["r"]["@k"], "A"),
    "text, one-byte document": ("<r><w>\u00e9</w><v>{}</v></r>", lambda tree: tree["r"]["v"], ""),
    "text, two-byte document": ("<r><w>\u20ac</w><v>{}</v></r>", lambda tree: tree["r"]["v"], ""),
    "value, four-byte document": ("<r w='\U0001f600' k='{}'/>", lambda tree: tree["r"]["@k"], ""),
}


@pytest.mark.parametrize("char", ["a", "\u00e9", "\u20ac", "\U0001f600"])
@pytest.mark.parametrize("length", [1, 2, 3, 4, 5, 7, 8, 15, 16, 17, 40])
@pytest.mark.parametrize("form", FORMS)
def test_made_strs_are_the_interpreters_own(char, length, form):
    template, value_of, prefix = FORMS[form]
    body = ("xy" * length)[: length - 1] + char
    made = value_of(velmora.parse(template.format(body)))
    expected = "".join(chr(ord(c)) for c in prefix + body)
    assert type(made) is str and made == expected
    assert made.isascii() == expected.isascii() and hash(made) == hash(expected)
    assert made.encode() == expected.encode() and made.encode("utf-16") == expected.encode("utf-16")
    if len(expected) > 1:  # (`expected` of one character below 256 is the interpreter's cached one)
        assert sys.getsizeof(made) == sys.getsizeof(expected)
    assert made[-1] == char and made[1:] + made[:1] == expected[1:] + expected[:1]
    assert {expected: 1}[made] == 1 and made in {expected}


def test_an_empty_attribute_value_is_the_empty_str():
    assert velmora.parse("<r k=''/>")["r"]["@k"] is ""  # noqa: F632 (the interpreter's one instance)
