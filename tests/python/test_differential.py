"""The one-pass conversion against the level-by-level reference, and the same text read in each
unit form (UTF-8, and code points of one, two and four bytes), on generated documents, their
mutations, every document of the other tests, and inputs that once differed."""
import json
import pathlib

import pytest

pytest.importorskip("_velmora_test")

import differential  # noqa: E402
import xmlgen  # noqa: E402

HERE = pathlib.Path(__file__).parent
REGRESSIONS = HERE / "regressions.jsonl"


def project_documents():
    import test_walk

    docs = [xml for xml, _ in test_walk.RESULTS] + [xml for xml, _ in test_walk.FAILURES]
    docs += [(HERE.parent.parent / "samples" / "catalog.xml").read_text(encoding="utf-8")]
    if REGRESSIONS.exists():
        docs += [json.loads(line)["input"] for line in REGRESSIONS.read_text(encoding="utf-8").split("\n") if line]
    return docs


@pytest.mark.parametrize("xml", project_documents())
def test_project_documents_agree(xml):
    assert differential.differs(xml) is None


@pytest.mark.parametrize("seed", range(8))
def test_generated_documents_agree(seed):
    gen = xmlgen.Generator(seed)
    failures = [d for d in (differential.differs(gen.case()) for _ in range(500)) if d]
    assert failures == []


@pytest.mark.parametrize("xml", project_documents())
def test_project_documents_agree_in_every_form(xml):
    assert differential.form_differs(xml) is None


@pytest.mark.parametrize("seed", range(8))
def test_generated_documents_agree_in_every_form(seed):
    gen = xmlgen.Generator(1000 + seed)
    failures = [d for d in (differential.form_differs(gen.case()) for _ in range(500)) if d]
    assert failures[:3] == []


# Pieces of runs of same-named siblings, which the conversion reads with a shortcut: plain,
# empty and blank leaves, references good and bad, a sibling that is not a leaf, other names
# between, and markup the shortcut must not cross; some runs long (up to 100 leaves, over
# several of the batches of 32 the reader reads a run in) with few pieces in them.
RUN_PIECES = [
    "<v>1</v>", "<v>two words</v>", "<v></v>", "<v> \n </v>", "<v>&lt;&#65;</v>", "<v>&bad;</v>",
    "<v>&#0;</v>", "<v>é ü</v>", "<v>Ω</v>", "<v>😀</v>", "<v a='1'>x</v>", "<v >x</v>", "<v/>",
    "<v><w>1</w></v>", "<w>1</w>", "<v>1</w>", "<!--c-->", "text", "<v>x</v >", "\n ", "<#text>t</#text>",
    "<@a>1</@a>",
    # Leaves whose start tags hold attributes, read as one step too: blank and empty text, bad
    # references in the text or a value, duplicate and clashing names, markup after the text.
    "<v a='1'>x</v>", "<v a='1' b=\"2\">x y</v >", "<v a='1'> </v>", "<v a='1'></v>", "<v a='1'>&bad;</v>",
    "<v a='&bad;'>x</v>", "<v a='1' a='2'>x</v>", "<v p:a='1' q:a='2'>t</v>", "<v a='1'>x</w>",
    "<v a='1'>x<!--c--></v>", "<v a=\"é\">Ω</v>", "<v a='>'>&lt;</v>", "<v a='1'x='2'>t</v>", "<v\ta='1'>t</v>",
]


@pytest.mark.parametrize("parent", ["<r>{}</r>", "<r a='1' v='2'>{}</r>", "{}", "<r>x{}y</r>", "<r><p>{}</p></r>"])
def test_sibling_runs_agree(parent):
    import random

    rng = random.Random(parent)
    failures = []
    for _ in range(400):
        # Mostly short runs with many pieces; some long ones with few.
        length, odd = (rng.randint(1, 12), 0.3) if rng.random() < 0.8 else (rng.randint(30, 100), 0.02)
        run = "".join(rng.choice(RUN_PIECES) if rng.random() < odd else "<v>1</v>" for _ in range(length))
        xml = parent.format(run)
        failures += [d for d in (differential.differs(xml), differential.form_differs(xml)) if d]
    assert failures[:3] == []


# Tags whose attributes the conversion reads with its shortcut and names from memos by position
# and by name: names that share a memo slot (same length and end characters), more attributes
# than a tag's memo holds, prefixes, other orders, and items the shortcut must leave to the
# general rules (duplicates, whitespace around "=", unquoted or unclosed values, references).
TAG_NAMES = ["axb", "ayb", "p:axb", "r", "rr"]
ATTRIBUTE_PIECES = [
    'x="1"', "y='2'", 'p:x="3"', "q:x='4'", 'z=""', 'k0="a" k1="b" k2="c" k3="d" k4="e" k5="f" k6="g" k7="h" k8="i"',
    'x = "5"', 'w="&amp;&#233;"', 'v="é"', 'u="Ω😀"', "x=6", 'x="7', 'x="1"x="2"', "t", 'k1="again"', "\t\ns='9'\r",
]


@pytest.mark.parametrize("seed", range(4))
def test_attribute_shortcut_and_key_memos_agree(seed):
    import random

    rng = random.Random(seed)
    failures = []
    for _ in range(400):
        tags = []
        for _ in range(rng.randint(1, 8)):
            name = rng.choice(TAG_NAMES)
            attributes = " ".join(rng.choice(ATTRIBUTE_PIECES) if rng.random() < 0.4 else 'x="1" y="2"'
                                  for _ in range(rng.randint(0, 4)))
            tags.append(f"<{name} {attributes}/>" if rng.random() < 0.5 else f"<{name} {attributes}>t</{name}>")
        xml = "<root>" + "".join(tags) + "</root>"
        failures += [d for d in (differential.differs(xml), differential.form_differs(xml)) if d]
    assert failures[:3] == []


# An element with attributes and text alone, as the whole document and as the last child: its
# failures (in a value, in the text, in the end tag) are reported as they are for any element.
@pytest.mark.parametrize("element", [
    "<v a='1'>x</v>", "<v a='1'>&bad;</v>", "<v a='&bad;'>x</v>", "<v a='1' a='2'>x</v>", "<v a='1'>x</w>",
    "<v a='1'>x", "<v a='1'>&#0;</v>", "<v a='1'> \n </v>", "<v a='1' >x</v>trailing", "<v  >x</v>",
])
@pytest.mark.parametrize("parent", ["{}", "<r>{}</r>", "<r k='1'><w>1</w>{}</r>", "<r>{}<w/></r>"])
def test_leaves_with_attributes_agree(element, parent):
    xml = parent.format(element)
    assert differential.differs(xml) is None
    assert differential.form_differs(xml) is None
