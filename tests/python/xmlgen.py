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
# Internal-subset declarations: the DOCTYPE scanner balances "<" and ">" and ignores quotes, so
# a quoted ">" or a declaration left open shifts where the DOCTYPE ends.
SUBSET_DECLS = ['<!ENTITY e "v">', '<!ENTITY ext SYSTEM "file:///etc/passwd">', '<!ENTITY % p "x">',
                '<!ENTITY pub PUBLIC "-//X//EN" "http://example.invalid/x.dtd">', "<!ELEMENT r ANY>",
                '<!ATTLIST r a CDATA "d">', "<!-- in subset -->", "<?pi in subset?>", "%p;",
                '<!ENTITY q "a>b">', "<!ENTITY lol1 \"&lol;&lol;&lol;\">", "<", ">", "<<>"]
# Prologue and misc constructs that are malformed or on the edge of the grammar.
ODD_MARKUP = ["<?xml?>", "<?XML v?>", "<?x?>", "<??>", "<?>", "<!>", "<!x>", "<!-->-->", "<!--->",
              "<!-x-->", "<![x]]>", "<!DOCTYPE>", "<!DOCTYPE   >", "<!Dx>", "<!DOCTYPEx>", "<>", "< a>",
              "<a/ >", "</ a>", "<a b='>'>", '<a b=">"/>']
# Attribute items as written, both well-formed and not (each rejected form has its own error).
ODD_ATTRIBUTES = [' x="1"y=\'2\'', " x = '1'", ' =="1"', ' x=""', ' x="1" X="2"', ' p:x="1" x="2"',
                  ' x="\t\n<"', " x=1", " x", " x y=\"1\"", ' x="1" x="2"', ' x="1" x=', " x=",
                  ' ="1"', ' x"y="1', " x='1", ' x="&foo;"', ' x="ab&c"', ' p:="1"', ' xmlns:p="u"']
# Characters whose printed form in error messages is escaped or unusual.
ODD_CHARS = ["\x00", "\x07", "\t", "\r\n", "\\", '"', "'", "\u0301", "\u00a0", "\u2028", "\ud7ff",
             "\ue000", "\U0001f600", "\U0010ffff", "\u200b", "\u3000", "\ufffe"]


class Generator:
    def __init__(self, seed):
        self.rng = random.Random(seed)

    def name(self):
        names = NAMES if self.rng.random() < 0.05 else NAMES[:-1]  # "#text" collides with text
        return self.rng.choice(PREFIXES) + self.rng.choice(names)

    def odd_name(self):
        """A name with characters that error messages print escaped."""
        r = self.rng
        return r.choice(PREFIXES) + "".join(r.choice(["a", "é"] + ODD_CHARS[3:]) for _ in range(r.randint(1, 3)))

    def doctype(self):
        r = self.rng
        decls = "".join(r.choice(SUBSET_DECLS) for _ in range(r.randint(0, 4)))
        keyword = r.choice(["DOCTYPE", "doctype", "DocType"])
        return f"<!{keyword} {self.name()}{r.choice(['', ' ', ' SYSTEM \'x.dtd\''])} [{decls}]>"

    def laughs(self):
        """A small entity-expansion chain; only the five predefined entities exist, so a
        reference to one of these names fails rather than expands."""
        r = self.rng
        levels = r.randint(1, 6)
        decls = '<!ENTITY lol0 "lol">' + "".join(
            f'<!ENTITY lol{i} "{"".join(f"&lol{i - 1};" for _ in range(10))}">' for i in range(1, levels))
        use = r.choice([f"&lol{levels - 1};", "ok", "&amp;", ""])
        return f"<!DOCTYPE lolz [{decls}]><lolz>{use}</lolz>"

    def ref(self):
        return self.rng.choice(BAD_REFS if self.rng.random() < 0.08 else GOOD_REFS)

    def text(self):
        r = self.rng
        parts = []
        for _ in range(r.randint(1, 3)):
            roll = r.random()
            parts.append(r.choice(TEXTS) if roll < 0.65 else self.ref() if roll < 0.93 else r.choice(ODD_CHARS))
        return "".join(parts)

    def attributes(self):
        r = self.rng
        out = []
        keys = r.sample(ATTR_NAMES, r.choice([0, 0, 1, 2, 3]))
        if keys and r.random() < 0.1:
            keys.append(r.choice(keys))  # a duplicated key
        for key in keys:
            q = r.choice(['"', "'"])
            value = "".join(r.choice(["v", "1", " ", "'" if q == '"' else '"', "&amp;", "&#x3C;", ">"])
                            for _ in range(r.randint(0, 3)))
            sp = r.choice([" ", "  ", "\n", ""]) if out else r.choice([" ", "\t"])
            if r.random() < 0.05:
                value += r.choice(BAD_REFS)
            out.append(f"{sp}{key}{r.choice(['=', ' = '])}{q}{value}{q}")
        if r.random() < 0.06:
            out.append(r.choice(ODD_ATTRIBUTES))
        return "".join(out)

    def element(self, depth):
        r = self.rng
        name = self.name() if r.random() < 0.97 else self.odd_name()
        attrs = self.attributes()
        if depth <= 0 or r.random() < 0.25:
            return f"<{name}{attrs}{r.choice(['/', ' /'])}>"
        children = []
        for _ in range(r.randint(0, 4)):
            roll = r.random()
            if roll < 0.45:
                children.append(self.element(depth - 1))
            elif roll < 0.5:  # same local or qualified name nested: end-tag matching counts depth
                inner = r.choice([name, "p:" + name.split(":")[-1], name.split(":")[-1]])
                children.append(f"<{inner}>{self.text()}</{inner}>" if r.random() < 0.7 else f"<{inner}/>")
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
        if shape < 0.13:
            return self.laughs()
        if shape < 0.16:  # many attributes on one tag
            attrs = "".join(f' a{i}="{i}"' for i in range(r.randint(20, 300)))
            return f"<r{attrs}{r.choice(['/', ''])}>" + r.choice(["", "</r>"])
        if shape < 0.2:  # markup at the edges of the grammar, top level and inside an element
            odd = r.choice(ODD_MARKUP)
            return r.choice([odd, f"<r>{odd}</r>", f"{self.element(1)}{odd}"])
        prolog = r.choice(PROLOGS) if r.random() < 0.85 else r.choice(PROLOGS[:2] + [""]) + self.doctype()
        body = "".join(self.element(r.randint(0, 4)) if r.random() < 0.8 else self.text()
                       for _ in range(r.randint(1, 3)))
        return prolog + body

    def mutate(self, doc):
        r = self.rng
        for _ in range(r.randint(1, 3)):
            if not doc:
                return doc
            i = r.randrange(len(doc) + 1)
            op = r.randrange(10)
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
            elif op == 6:
                doc = doc[:i] + doc[i:i + r.randint(1, 8)] + doc[i:]
            elif op == 7:  # rename an end tag
                ends = [k for k in range(len(doc) - 1) if doc[k:k + 2] == "</"]
                if ends:
                    k = r.choice(ends) + 2
                    doc = doc[:k] + r.choice(["z", "p:", " ", "A", ""]) + doc[k:]
            elif op == 8 and i + 1 < len(doc):  # swap two neighbouring characters
                doc = doc[:i] + doc[i + 1] + doc[i] + doc[i + 2:]
            else:
                doc = doc[:i] + r.choice(ODD_CHARS + ODD_MARKUP[:6]) + doc[i:]
        return doc

    def case(self):
        doc = self.document()
        return doc if self.rng.random() < 0.4 else self.mutate(doc)
