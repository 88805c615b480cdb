"""Deterministic generators of XML documents and of their mutations, for differential testing.

Well-formed documents come from a small grammar (prefixed names, attributes, entity and
character references, CDATA, comments, PIs, DOCTYPE with internal subsets, byte order marks,
deep and wide shapes); mutations break them the ways real input breaks (truncation, byte
flips, inserted and swapped tags, stray quotes and ampersands).
"""
import random

NAMES = ["a", "b", "c", "item", "x", "a", "b", "é", "名", "@x", "#text"]
PREFIXES = ["", "", "", "p:", "q:", ":", "p:q:"]
ATTR_NAMES = ["x", "y", "id", "xmlns", "p:x", "q:x", "z:", "X"]
TEXTS = ["t", "  spaced  ", "1", "ü", "a > b", "x;y", "\u00a0", "\ufeff", "\ufeffz", "\t\n"]
GOOD_REFS = ["&lt;", "&gt;", "&amp;", "&apos;", "&quot;", "&#65;", "&#x41;", "&#x1F600;", "&#1114111;"]
BAD_REFS = ["&bad;", "&#0;", "&#x110000;", "&#xD800;", "&amp", "&;", "&#;", "&#X41;", "&#12345678;"]
REFS = GOOD_REFS + BAD_REFS
MISC = ["<!-- c -->", "<!---->", "<?pi data?>", "<![CDATA[z<>]]>", "<![cdata[q]]>", "<!-- a -- b -->"]
PROLOGS = ["", '<?xml version="1.0"?>', "<!DOCTYPE r>", '<!DOCTYPE r [<!ENTITY e "v"><!ELEMENT r ANY>]>',
           "<!doctype  r >", "\ufeff", "\ufeff<?xml version='1.0'?>\n"]


class Generator:
    def __init__(self, seed):
        self.rng = random.Random(seed)

    def name(self):
        names = NAMES if self.rng.random() < 0.05 else NAMES[:-1]  # "#text" collides with text
        return self.rng.choice(PREFIXES) + self.rng.choice(names)

    def ref(self):
        return self.rng.choice(BAD_REFS if self.rng.random() < 0.08 else GOOD_REFS)

    def text(self):
        r = self.rng
        parts = [r.choice(TEXTS) if r.random() < 0.7 else self.ref() for _ in range(r.randint(1, 3))]
        return "".join(parts)

    def attributes(self):
        r = self.rng
        out = []
        for _ in range(r.choice([0, 0, 1, 2, 3])):
            q = r.choice(['"', "'"])
            value = "".join(r.choice(["v", "1", " ", "'" if q == '"' else '"', "&amp;", "&#x3C;", ">"])
                            for _ in range(r.randint(0, 3)))
            sp = r.choice([" ", "  ", "\n", ""]) if out else r.choice([" ", "\t"])
            if r.random() < 0.05:
                value += r.choice(BAD_REFS)
            out.append(f"{sp}{r.choice(ATTR_NAMES)}{r.choice(['=', ' = '])}{q}{value}{q}")
        return "".join(out)

    def element(self, depth):
        r = self.rng
        name = self.name()
        attrs = self.attributes()
        if depth <= 0 or r.random() < 0.25:
            return f"<{name}{attrs}{r.choice(['/', ' /'])}>"
        children = []
        for _ in range(r.randint(0, 4)):
            roll = r.random()
            if roll < 0.45:
                children.append(self.element(depth - 1))
            elif roll < 0.8:
                children.append(self.text())
            else:
                children.append(r.choice(MISC))
        end_ws = r.choice(["", "", " ", "\t"])
        return f"<{name}{attrs}>{''.join(children)}</{name}{end_ws}>"

    def document(self):
        r = self.rng
        shape = r.random()
        if shape < 0.05:  # deep
            depth = r.randint(50, 400)
            name = self.name()
            return "<%s>" % name * depth + self.text() + "</%s>" % name * depth
        if shape < 0.1:  # wide
            return "<r>" + "".join(self.element(1) for _ in range(r.randint(20, 80))) + "</r>"
        body = "".join(self.element(r.randint(0, 4)) if r.random() < 0.8 else self.text()
                       for _ in range(r.randint(1, 3)))
        return r.choice(PROLOGS) + body

    def mutate(self, doc):
        r = self.rng
        for _ in range(r.randint(1, 3)):
            if not doc:
                return doc
            i = r.randrange(len(doc) + 1)
            op = r.randrange(7)
            if op == 0:
                doc = doc[:i]
            elif op == 1 and i < len(doc):
                doc = doc[:i] + r.choice("<>/&;'\"=! ?-[]x\ufeff") + doc[i + 1:]
            elif op == 2:
                doc = doc[:i] + r.choice(["<b>", "</b>", "</a>", "<a/>", "<!--", "]]>", "<![CDATA[", "<?", "<!DOCTYPE x [<", "&", '"', "'", "\ufeff"]) + doc[i:]
            elif op == 3:
                tags = [k for k in range(len(doc)) if doc[k] == "<"]
                if len(tags) >= 2:
                    a, b = sorted(r.sample(tags, 2))
                    ea, eb = doc.find(">", a), doc.find(">", b)
                    if a < ea < b < eb:
                        doc = doc[:a] + doc[b:eb + 1] + doc[ea + 1:b] + doc[a:ea + 1] + doc[eb + 1:]
            elif op == 4 and i < len(doc):
                doc = doc[:i] + doc[i + 1:]
            elif op == 5:
                doc = doc[:i] + r.choice(REFS) + doc[i:]
            else:
                doc = doc[:i] + doc[i:i + r.randint(1, 8)] + doc[i:]
        return doc

    def case(self):
        doc = self.document()
        return doc if self.rng.random() < 0.4 else self.mutate(doc)
