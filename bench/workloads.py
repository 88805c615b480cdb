"""Deterministic XML documents for the benchmark.

Every generator takes a target size in bytes (of the UTF-8 text) and returns a `str` that is at
least that large, built from a fixed seed so that two runs time the same bytes. All documents
are well formed with one root element, carry no encoding declaration (lxml refuses one in a
`str`) and use only the predefined entities and character references, so every contender can
read them.
"""

from __future__ import annotations

import random
from dataclasses import dataclass
from typing import Callable

# A small vocabulary with some non-ASCII words, so the UTF-8 text is not pure ASCII.
WORDS = (
    "alpha beta gamma delta epsilon zeta theta kappa lambda sigma omega north south east west "
    "river stone cloud ember field harbor signal vector matrix index record ledger order "
    "café naïve Größe Ærø señor façade München Zürich 東京 данные λόγος"
).split()

Generator = Callable[[int], str]


@dataclass(frozen=True)
class Workload:
    name: str
    text: str
    # JSON text of the exact result tree `velmora.parse` gives, when it can be written without
    # parsing (deep chains); otherwise it is derived from velmora's own result.
    json_text: str | None = None

    @property
    def nbytes(self) -> int:
        return utf8_len(self.text)


def utf8_len(text: str) -> int:
    return len(text.encode("utf-8"))


def _fill(rng: random.Random, target: int, head: str, tail: str, item: Callable[[random.Random, int], str]) -> str:
    parts = [head]
    size = len(head) + len(tail)
    i = 0
    while size < target:
        piece = item(rng, i)
        parts.append(piece)
        size += len(piece)  # characters, close enough to bytes for a stopping rule
        i += 1
    parts.append(tail)
    return "".join(parts)


def _words(rng: random.Random, lo: int, hi: int) -> str:
    return " ".join(rng.choice(WORDS) for _ in range(rng.randint(lo, hi)))


def flat_records(target: int, seed: int = 1) -> str:
    def record(rng: random.Random, i: int) -> str:
        active = "true" if rng.random() < 0.7 else "false"
        return (
            f'<record id="{i}" sku="SKU-{rng.randrange(10**6):06d}" price="{rng.uniform(1, 999):.2f}" '
            f'qty="{rng.randrange(500)}" active="{active}">'
            f"<name>{_words(rng, 2, 4)}</name><category>{rng.choice(WORDS)}</category></record>\n"
        )

    return _fill(random.Random(seed), target, "<records>\n", "</records>\n", record)


def text_heavy(target: int, seed: int = 2) -> str:
    def chapter(rng: random.Random, i: int) -> str:
        paras = "".join(f"<para>{_words(rng, 40, 200)}.</para>\n" for _ in range(rng.randint(3, 8)))
        return f'<chapter n="{i}"><title>{_words(rng, 2, 6)}</title>\n{paras}</chapter>\n'

    return _fill(random.Random(seed), target, "<book>\n", "</book>\n", chapter)


def repeated_siblings(target: int, seed: int = 3) -> str:
    def value(rng: random.Random, i: int) -> str:
        return f"<v>{rng.randrange(10**9)}</v>"

    return _fill(random.Random(seed), target, "<values>", "</values>\n", value)


def namespaced(target: int, seed: int = 4) -> str:
    head = (
        '<ns0:catalog xmlns:ns0="urn:bench:catalog" xmlns:ns1="urn:bench:item" '
        'xmlns:ns2="urn:bench:meta" xmlns:ns3="urn:bench:price">\n'
    )

    def item(rng: random.Random, i: int) -> str:
        return (
            f'<ns1:item ns2:id="i{i}" ns2:lang="{rng.choice(("en", "de", "fr"))}">'
            f"<ns0:title>{_words(rng, 2, 5)}</ns0:title>"
            f'<ns3:amount ns3:currency="EUR">{rng.uniform(1, 500):.2f}</ns3:amount>'
            f"<ns2:tag>{rng.choice(WORDS)}</ns2:tag><ns2:tag>{rng.choice(WORDS)}</ns2:tag>"
            "</ns1:item>\n"
        )

    return _fill(random.Random(seed), target, head, "</ns0:catalog>\n", item)


_REFS = ("&lt;", "&gt;", "&amp;", "&quot;", "&apos;", "&#169;", "&#x20AC;", "&#x1F600;", "&#60;")


def entity_heavy(target: int, seed: int = 5) -> str:
    def entry(rng: random.Random, i: int) -> str:
        bits = []
        for _ in range(rng.randint(8, 20)):
            bits.append(rng.choice(WORDS))
            bits.append(rng.choice(_REFS))
        return f'<e k="{rng.choice(_REFS)}x{rng.choice(_REFS)}">{" ".join(bits)}</e>\n'

    return _fill(random.Random(seed), target, "<entries>\n", "</entries>\n", entry)


_ASCII_WORDS = [w for w in WORDS if w.isascii()]
_GREEK = "αβγδεζηθικλμνξοπρστυφχψω"


def paragraphs(target: int, seed: int = 7, greek: bool = False) -> str:
    """Paragraphs of about 100 bytes of ASCII words; with `greek`, one Greek letter in each, so
    the document (and every paragraph's text) is not ASCII."""

    def para(rng: random.Random, i: int) -> str:
        words = " ".join(rng.choice(_ASCII_WORDS) for _ in range(14))
        if greek:
            words += " " + rng.choice(_GREEK)
        return f"<p>{words}</p>\n"

    return _fill(random.Random(seed), target, "<doc>\n", "</doc>\n", para)


def chains(depth: int) -> Generator:
    """Many chains `depth` deep under one root: `<n><n>...leaf</n></n>`, no attributes."""

    def make(target: int, seed: int = 8) -> str:
        one = "<n>" * depth + "leaf" + "</n>" * depth + "\n"
        return _fill(random.Random(seed), target, "<chains>\n", "</chains>\n", lambda rng, i: one)

    return make


def chain(depth: int) -> str:
    """One element nested `depth` deep around a short text."""
    return "<n>" * depth + "leaf" + "</n>" * depth


def chain_json(depth: int) -> str:
    """The JSON text of what `parse(chain(depth))` returns: `{"n": {"n": ... "leaf"}}`."""
    return '{"n":' * depth + '"leaf"' + "}" * depth


def nested(depth: int) -> Generator:
    """Many subtrees `depth` deep under one root, each with attributes and sibling leaves."""

    def make(target: int, seed: int = 6) -> str:
        def subtree(rng: random.Random, i: int) -> str:
            opens = "".join(f'<level d="{k}"><note>{rng.choice(WORDS)}</note>' for k in range(depth))
            return opens + f"<leaf>{i}</leaf>" + "</level>" * depth + "\n"

        return _fill(random.Random(seed + depth), target, "<tree>\n", "</tree>\n", subtree)

    return make


# --- a "real-world" mix: a few common document styles -------------------------------------


def small_messages(target: int, seed: int = 9) -> list[str]:
    """Documents of one message each (100 to 300 bytes), `target` bytes of them in all: what a
    program reading the replies of a service converts, one call per document."""
    rng = random.Random(seed)
    docs, size = [], 0
    while size < target:
        i = len(docs)
        doc = (
            f'<message id="{i}" kind="{rng.choice(("ping", "order", "status"))}">'
            f"<from>{rng.choice(WORDS)}</from><to>{rng.choice(WORDS)}</to>"
            f"<sent>2026-{rng.randint(1, 12):02d}-{rng.randint(1, 28):02d}T{rng.randint(0, 23):02d}:00:00Z</sent>"
            f'<body lang="en">{_words(rng, 3, 25)}</body></message>'
        )
        docs.append(doc)
        size += len(doc)
    return docs


def feed(target: int, seed: int = 11) -> str:
    head = (
        '<?xml version="1.0"?>\n<feed xmlns="urn:bench:feed" xmlns:media="urn:bench:media">\n'
        "<title>Bench feed</title><id>urn:uuid:0000</id><updated>2024-01-01T00:00:00Z</updated>\n"
    )

    def entry(rng: random.Random, i: int) -> str:
        return (
            "<entry>\n"
            f"  <title>{_words(rng, 3, 9)}</title>\n"
            f'  <link rel="alternate" type="text/html" href="https://example.org/p/{i}?a=1&amp;b=2"/>\n'
            f"  <id>urn:uuid:{rng.getrandbits(64):016x}</id>\n"
            f"  <updated>2024-{rng.randint(1, 12):02d}-{rng.randint(1, 28):02d}T12:00:00Z</updated>\n"
            f"  <author><name>{rng.choice(WORDS).title()} {rng.choice(WORDS).title()}</name></author>\n"
            f'  <category term="{rng.choice(WORDS)}"/><category term="{rng.choice(WORDS)}"/>\n'
            f'  <media:thumbnail url="https://example.org/i/{i}.jpg" width="120" height="90"/>\n'
            f'  <summary type="html">&lt;p&gt;{_words(rng, 20, 60)}&lt;/p&gt;</summary>\n'
            "</entry>\n"
        )

    return _fill(random.Random(seed), target, head, "</feed>\n", entry)


def config(target: int, seed: int = 12) -> str:
    head = '<?xml version="1.0"?>\n<!-- generated configuration -->\n<configuration version="3">\n'

    def section(rng: random.Random, i: int) -> str:
        props = "".join(
            f'    <property name="{rng.choice(WORDS)}.{rng.choice(WORDS)}" value="{rng.randrange(10**4)}"/>\n'
            for _ in range(rng.randint(3, 10))
        )
        return (
            f'  <section name="s{i}" enabled="{rng.choice(("true", "false"))}">\n'
            f"    <!-- section {i} -->\n{props}"
            f"    <path>/opt/{rng.choice(WORDS)}/{rng.choice(WORDS)}</path>\n"
            f"    <timeout unit=\"s\">{rng.randint(1, 300)}</timeout>\n"
            "  </section>\n"
        )

    return _fill(random.Random(seed), target, head, "</configuration>\n", section)


def soap(target: int, seed: int = 13) -> str:
    head = (
        '<?xml version="1.0"?>\n<env:Envelope xmlns:env="urn:bench:envelope" xmlns:m="urn:bench:orders">\n'
        '<env:Header><m:Transaction env:mustUnderstand="1">5</m:Transaction></env:Header>\n'
        "<env:Body><m:PlaceOrders>\n"
    )

    def order(rng: random.Random, i: int) -> str:
        lines = "".join(
            f'<m:Line no="{k}"><m:Product>{rng.choice(WORDS)}</m:Product>'
            f"<m:Quantity>{rng.randint(1, 50)}</m:Quantity><m:UnitPrice>{rng.uniform(1, 99):.2f}</m:UnitPrice></m:Line>"
            for k in range(rng.randint(1, 6))
        )
        return (
            f'<m:Order id="{i}"><m:Customer><m:Name>{_words(rng, 2, 3)}</m:Name>'
            f"<m:Email>user{i}@example.org</m:Email></m:Customer>{lines}</m:Order>\n"
        )

    return _fill(random.Random(seed), target, head, "</m:PlaceOrders></env:Body>\n</env:Envelope>\n", order)


def drawing(target: int, seed: int = 14) -> str:
    head = (
        '<?xml version="1.0"?>\n<svg xmlns="urn:bench:svg" xmlns:xlink="urn:bench:xlink" '
        'width="1024" height="768" viewBox="0 0 1024 768">\n<defs><linearGradient id="g0">'
        '<stop offset="0" stop-color="#fff"/><stop offset="1" stop-color="#000"/></linearGradient></defs>\n'
    )

    def group(rng: random.Random, i: int) -> str:
        pts = " ".join(f"L{rng.uniform(0, 1024):.1f},{rng.uniform(0, 768):.1f}" for _ in range(rng.randint(4, 16)))
        return (
            f'<g id="layer{i}" transform="translate({rng.randint(0, 99)},{rng.randint(0, 99)})">\n'
            f'  <path d="M0,0 {pts} Z" fill="url(#g0)" stroke="#{rng.getrandbits(24):06x}" stroke-width="1.5"/>\n'
            f'  <circle cx="{rng.randint(0, 1024)}" cy="{rng.randint(0, 768)}" r="{rng.randint(1, 40)}"/>\n'
            f'  <rect x="{rng.randint(0, 900)}" y="{rng.randint(0, 700)}" width="40" height="20" rx="3"/>\n'
            f'  <text x="{rng.randint(0, 900)}" y="{rng.randint(0, 700)}" font-size="12">{_words(rng, 1, 3)}</text>\n'
            f'  <use xlink:href="#layer{max(i - 1, 0)}"/>\n'
            "</g>\n"
        )

    return _fill(random.Random(seed), target, head, "</svg>\n", group)


def office(target: int, seed: int = 15) -> str:
    head = '<?xml version="1.0"?>\n<w:document xmlns:w="urn:bench:wordprocessing"><w:body>\n'

    def paragraph(rng: random.Random, i: int) -> str:
        runs = "".join(
            "<w:r>" + ("<w:rPr><w:b/><w:i/></w:rPr>" if rng.random() < 0.3 else "")
            + f'<w:t xml:space="preserve">{_words(rng, 3, 15)} </w:t></w:r>'
            for _ in range(rng.randint(1, 6))
        )
        return (
            f'<w:p w:rsidR="{rng.getrandbits(32):08X}"><w:pPr><w:pStyle w:val="Body{rng.randint(1, 3)}"/>'
            f'<w:spacing w:after="120" w:line="276"/></w:pPr>{runs}</w:p>\n'
        )

    return _fill(random.Random(seed), target, head, '<w:sectPr><w:pgSz w:w="12240" w:h="15840"/></w:sectPr></w:body></w:document>\n', paragraph)


MAIN: dict[str, Generator] = {
    "flat-records": flat_records,
    "text-heavy": text_heavy,
    "repeated-siblings": repeated_siblings,
    "namespaced": namespaced,
    "entity-refs": entity_heavy,
    "nest-10": nested(10),
    "nest-1000": nested(1000),
}

REAL_WORLD: dict[str, Generator] = {
    "mix:feed": feed,
    "mix:config": config,
    "mix:soap": soap,
    "mix:drawing": drawing,
    "mix:office": office,
}
