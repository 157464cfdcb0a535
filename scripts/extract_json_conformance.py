#!/usr/bin/env python3
"""Extracts the JSON test cases of the protobuf conformance suite.

Reads conformance/binary_json_conformance_suite.cc and writes every JSON case
it can evaluate: its name, the JSON input text, whether the suite expects it
to parse, and the message type it is parsed into. Standard library only.

The suite's JSON tests live in member functions of a class template
instantiated once per message type (TestAllTypesProto3, TestAllTypesProto2 and
their editions copies), some of them only when `run_proto3_tests_` is set. The
script walks those functions from RunAllTests the way the suite runs them, once
per instantiation: it follows calls to other member functions, takes the
branch that `run_proto3_tests_` selects, unrolls range-for loops over literal
tables, and evaluates the arguments it understands -- string literals (raw and
escaped, adjacent ones concatenated), absl::StrCat, absl::Substitute,
str_repeat, std::string(n, c), local variables and loop variables bound to
those, and the message's type URL. A case whose input needs anything else
(a message built by C++ code, a descriptor looked up at run time) is skipped
and listed with the reason, as is a call the walk never reaches.

    python scripts/extract_json_conformance.py --git-dir PROTOBUF_GIT_DIR [--rev HEAD]
    python scripts/extract_json_conformance.py --source FILE.cc --commit HASH

Writes tests/data/json_conformance_cases.json (or --out) and prints the counts.
"""
from __future__ import annotations

import argparse
import collections
import json
import os
import re
import subprocess
import sys

SOURCE_PATH = "conformance/binary_json_conformance_suite.cc"
REPOSITORY = "https://github.com/protocolbuffers/protobuf"
DEFAULT_OUT = os.path.join(os.path.dirname(os.path.abspath(__file__)), os.pardir,
                           "tests", "data", "json_conformance_cases.json")
IMPL = "BinaryAndJsonConformanceSuiteImpl"
ENTRY = "RunAllTests"
TYPE_URL_PREFIX = b"type.googleapis.com/"

# The suite's JSON test calls: positional parameter names, what the suite
# expects of the input, and the suffix the suite adds to the test's name.
JSON_CALLS = {
    "RunValidJsonTest": (("name", "level", "json", "text"), "valid", ""),
    "RunValidJsonTestWithValidator": (("name", "level", "json", "validator"), "valid", ".Validator"),
    "RunValidJsonIgnoreUnknownTest": (("name", "level", "json", "text"), "valid", ""),
    "RunValidJsonTestOrParseFailure": (("name", "level", "json", "text"), "either", ""),
    "ExpectParseFailureForJson": (("name", "level", "json"), "invalid", ""),
}
# JSON tests always skipped, with the reason.
SKIPPED_CALLS = {
    "RunValidJsonTestWithProtobufInput":
        "input is a message built by C++ code (binary input, JSON output)",
    "RunValidJsonTestWithMessage": "the message type is an argument, a message built by C++ code",
}
# Tests of JSON output that must fail, given a text-format message.
SERIALIZE_CALL = "ExpectSerializeFailureForJson"
LEAF_CALLS = set(JSON_CALLS) | set(SKIPPED_CALLS) | {SERIALIZE_CALL}
LEVELS = {"REQUIRED": "Required", "RECOMMENDED": "Recommended"}
# Methods that change the object they are called on.
MUTATORS = {"push_back", "emplace_back", "append", "insert", "clear", "erase", "resize",
            "assign", "swap", "pop_back", "emplace"}


class Unevaluable(Exception):
    """An expression the script does not evaluate; the message says which."""


class Jump(Exception):
    """A return, break or continue that the walk reaches for certain."""

    def __init__(self, kind):
        super().__init__(kind)
        self.kind = kind


# ---- lexing ------------------------------------------------------------------------

class Tok:
    __slots__ = ("kind", "text", "value", "line")

    def __init__(self, kind, text, value, line):
        self.kind, self.text, self.value, self.line = kind, text, value, line

    def __repr__(self):
        return f"Tok({self.kind}, {self.text!r}, line {self.line})"


_SIMPLE_ESCAPES = {"n": b"\n", "t": b"\t", "r": b"\r", "a": b"\a", "b": b"\b", "f": b"\f",
                   "v": b"\v", "\\": b"\\", "'": b"'", '"': b'"', "?": b"?"}
_PUNCT = ("::", "->", "&&", "||", "==", "!=", "<=", ">=", "++", "--", "+=", "-=")
_IDENT = re.compile(r"[A-Za-z_]\w*")
_NUMBER = re.compile(r"\.?\d(?:[eEpP][+-]|[\w.]|'(?=\w))*")
_PREFIX = re.compile(r"(u8|u|U|L)?(R)?(['\"])")


def unescape(body, line):
    """The bytes of a (non-raw) C++ narrow literal's body, UTF-8 source."""
    out = bytearray()
    i = 0
    while i < len(body):
        c = body[i]
        if c != "\\":
            out += c.encode("utf-8")
            i += 1
            continue
        e = body[i + 1]
        if e in _SIMPLE_ESCAPES:
            out += _SIMPLE_ESCAPES[e]
            i += 2
        elif e in "01234567":
            m = re.match(r"[0-7]{1,3}", body[i + 1:])
            out.append(int(m.group(), 8) & 0xFF)
            i += 1 + len(m.group())
        elif e == "x":
            m = re.match(r"[0-9A-Fa-f]+", body[i + 2:])
            out.append(int(m.group(), 16) & 0xFF)
            i += 2 + len(m.group())
        elif e in "uU":
            n = 4 if e == "u" else 8
            out += chr(int(body[i + 2:i + 2 + n], 16)).encode("utf-8")
            i += 2 + n
        else:
            raise SyntaxError(f"line {line}: unknown escape \\{e}")
    return bytes(out)


def lex(src):
    """C++ tokens: comments and preprocessor lines dropped, literals decoded."""
    toks = []
    i, line, n = 0, 1, len(src)
    at_line_start = True
    while i < n:
        c = src[i]
        if c == "\n":
            line += 1
            i += 1
            at_line_start = True
            continue
        if c in " \t\r\f\v":
            i += 1
            continue
        if c == "#" and at_line_start:
            while i < n and src[i] != "\n":  # continuation lines do not occur here
                i += 1
            continue
        at_line_start = False
        if src.startswith("//", i):
            while i < n and src[i] != "\n":
                i += 1
            continue
        if src.startswith("/*", i):
            end = src.index("*/", i + 2) + 2
            line += src.count("\n", i, end)
            i = end
            continue
        m = _PREFIX.match(src, i)
        if m and (m.group(1) or m.group(2) or c in "'\""):
            start_line = line
            if m.group(2):  # raw string: R"delim( ... )delim"
                open_paren = src.index("(", m.end())
                delim = src[m.end():open_paren]
                close = src.index(")" + delim + '"', open_paren + 1)
                body = src[open_paren + 1:close]
                end = close + len(delim) + 2
                value = body.encode("utf-8")
            else:
                quote = m.group(3)
                j = m.end()
                while src[j] != quote:
                    j += 2 if src[j] == "\\" else 1
                value = unescape(src[m.end():j], line)
                end = j + 1
            text = src[i:end]
            line += text.count("\n")
            toks.append(Tok("chr" if m.group(3) == "'" and not m.group(2) else "str",
                            text, value, start_line))
            i = end
            continue
        m = _IDENT.match(src, i)
        if m:
            toks.append(Tok("id", m.group(), None, line))
            i = m.end()
            continue
        m = _NUMBER.match(src, i)
        if m:
            toks.append(Tok("num", m.group(), None, line))
            i = m.end()
            continue
        for p in _PUNCT:
            if src.startswith(p, i):
                toks.append(Tok("op", p, None, line))
                i += len(p)
                break
        else:
            toks.append(Tok("op", c, None, line))
            i += 1
    return toks


# ---- values ------------------------------------------------------------------------

class Unknown:
    """A variable whose value the script could not compute, and why."""

    def __init__(self, reason):
        self.reason = reason


class Record(dict):
    """An element of a table of test data: a struct or a std::pair."""


class Descriptor:
    def __init__(self, full_name):
        self.full_name = full_name


LAMBDA = object()


def int_literal(text):
    t = text.replace("'", "").rstrip("uUlL")
    if re.fullmatch(r"0[xX][0-9A-Fa-f]+", t):
        return int(t, 16)
    if re.fullmatch(r"0[0-7]*", t):
        return int(t, 8)
    if re.fullmatch(r"[1-9][0-9]*", t):
        return int(t)
    raise Unevaluable(f"number {text}")


def as_bytes(value):
    if isinstance(value, bytes):
        return value
    if isinstance(value, bool):
        raise Unevaluable("bool used as text")
    if isinstance(value, int):
        return str(value).encode()
    raise Unevaluable(f"{type(value).__name__} used as text")


def substitute(fmt, args):
    """absl::Substitute: $0..$9 replaced by the arguments, $$ by $."""
    def repl(m):
        if m.group(1) == b"$":
            return b"$"
        k = int(m.group(1))
        if k >= len(args):
            raise Unevaluable(f"absl::Substitute has no argument ${k}")
        return as_bytes(args[k])
    return re.sub(rb"\$(\$|\d)", repl, fmt)


# ---- the walk ----------------------------------------------------------------------

class Instance:
    """One instantiation of the suite template: its message type and flag."""

    def __init__(self, alias, full_name, syntax, run_proto3_tests):
        self.alias, self.full_name = alias, full_name
        self.syntax, self.run_proto3_tests = syntax, run_proto3_tests


class Env:
    def __init__(self, parent=None):
        self.vars, self.structs, self.parent = {}, {}, parent

    def child(self):
        return Env(self)

    def lookup(self, table, name):
        env = self
        while env is not None:
            if name in getattr(env, table):
                return getattr(env, table)[name]
            env = env.parent
        return None

    def assign(self, name, value):
        """Rebinds `name` in the scope that declared it."""
        env = self
        while env is not None:
            if name in env.vars:
                env.vars[name] = value
                return
            env = env.parent


class Extractor:
    def __init__(self, src):
        self.src = src
        self.toks = lex(src)
        self.match = self._matching()
        self.defs = self._definitions()
        self.aliases = self._aliases()
        self.cases = []
        self.serialize_failures = []
        self.skipped = []
        self.visited_sites = set()

    # -- structure --

    def _matching(self):
        """Index of the closing bracket for each opening one (and back)."""
        pairs, stack = {}, []
        for k, t in enumerate(self.toks):
            if t.kind == "op" and t.text in "({[":
                stack.append(k)
            elif t.kind == "op" and t.text in ")}]":
                j = stack.pop()
                pairs[j], pairs[k] = k, j
        if stack:
            raise SyntaxError(f"unbalanced bracket at line {self.toks[stack[-1]].line}")
        return pairs

    def _is(self, k, kind, text=None):
        if k >= len(self.toks):
            return False
        t = self.toks[k]
        return t.kind == kind and (text is None or t.text == text)

    def _definitions(self):
        """{name: [(body_start, body_end)]} for the template's member functions,
        and {"suite:" + name: ...} for the suite class's own."""
        defs = collections.defaultdict(list)
        toks = self.toks
        for k in range(len(toks) - 3):
            if not (self._is(k, "op", "::") and self._is(k + 1, "id") and self._is(k + 2, "op", "(")):
                continue
            prefix = None
            if self._is(k - 1, "op", ">") and self._is(k - 2, "id", "MessageType") \
                    and self._is(k - 3, "op", "<") and self._is(k - 4, "id", IMPL):
                prefix = ""
            elif self._is(k - 1, "id", "BinaryAndJsonConformanceSuite"):
                prefix = "suite:"
            if prefix is None:
                continue
            j = self.match[k + 2] + 1
            while self._is(j, "id", "const"):
                j += 1
            if self._is(j, "op", "{"):
                defs[prefix + toks[k + 1].text].append((j, self.match[j]))
        return defs

    def _aliases(self):
        """Message type names as the file spells them -> full names."""
        out = {}
        for m in re.finditer(r"^using\s+(?:(\w+)\s*=\s*)?([\w:]+)\s*;", self.src, re.M):
            alias, qualified = m.group(1), m.group(2)
            full = qualified.strip(":").replace("::", ".")
            out[alias or full.rsplit(".", 1)[-1]] = full
        return out

    def instances(self):
        """The template's instantiations, in the order RunSuiteImpl runs them."""
        start, end = self.defs["suite:RunSuiteImpl"][0]
        syntax, fallback = self._syntax_identifiers()
        found = []
        for k in range(start, end):
            if self._is(k, "id", IMPL) and self._is(k + 1, "op", "<") and self._is(k + 3, "op", ">") \
                    and self._is(k + 4, "op", "(") and self._is(k + 5, "id", "this"):
                alias = self.toks[k + 2].text
                flag = self.toks[k + 7].text
                if flag not in ("true", "false"):
                    raise SyntaxError(f"line {self.toks[k].line}: run_proto3_tests is {flag}")
                found.append(Instance(alias, self.aliases[alias], syntax.get(alias, fallback or alias),
                                      flag == "true"))
        return found

    def _syntax_identifiers(self):
        """Alias -> the name the suite gives its tests (Proto3, Editions_Proto2, ...),
        and the name its final `else` gives."""
        m = re.search(r"SyntaxIdentifier\(\)\s*const\s*\{(.*?)\n\}", self.src, re.S)
        if not m:
            return {}, None
        body = m.group(1)
        named = dict(re.findall(r"is_same_v<MessageType,\s*(\w+)>\)\s*\{\s*return\s+\"(\w+)\"", body))
        fallback = re.findall(r"else\s*\{\s*return\s+\"(\w+)\"", body)
        return named, (fallback[-1] if fallback else None)

    # -- statements --

    def statement_end(self, k):
        """Index just past the statement starting at k."""
        t = self.toks[k]
        if t.kind == "op" and t.text == "{":
            return self.match[k] + 1
        if t.kind == "id" and t.text in ("if", "for", "while", "switch"):
            lp = k + 1
            if self._is(lp, "id", "constexpr"):
                lp += 1
            end = self.statement_end(self.match[lp] + 1)
            if t.text == "if" and self._is(end, "id", "else"):
                end = self.statement_end(end + 1)
            return end
        if t.kind == "id" and t.text in ("struct", "class") and self._is(k + 2, "op", "{"):
            return self.match[k + 2] + 2
        return self.top_level(k, ";") + 1

    def top_level(self, k, text, end=None):
        """Index of the first `text` at bracket depth 0 from k."""
        end = len(self.toks) if end is None else end
        while k < end:
            t = self.toks[k]
            if t.kind == "op" and t.text in "({[":
                k = self.match[k] + 1
                continue
            if t.kind == "op" and t.text == text:
                return k
            k += 1
        return end

    def walk_block(self, k, end, env, ctx):
        while k < end:
            k = self.walk_statement(k, env, ctx)

    def walk_statement(self, k, env, ctx):
        t = self.toks[k]
        end = self.statement_end(k)
        if t.kind == "op" and t.text == "{":
            self.walk_block(k + 1, self.match[k], env.child(), ctx)
        elif t.kind == "op" and t.text == ";":
            pass
        elif t.kind == "id" and t.text == "if":
            lp = k + 2 if self._is(k + 1, "id", "constexpr") else k + 1
            rp = self.match[lp]
            cond = self.condition(lp + 1, rp, ctx)
            then_end = self.statement_end(rp + 1)
            text = self.text(lp + 1, rp)
            if cond is not False:
                self.walk_statement(rp + 1, env, ctx if cond else ctx.under(text))
            if self._is(then_end, "id", "else") and cond is not True:
                self.walk_statement(then_end + 1, env, ctx if cond is False else ctx.under("not " + text))
        elif t.kind == "id" and t.text == "for":
            self.walk_for(k, env, ctx)
        elif t.kind == "id" and t.text in ("while", "switch"):
            lp = k + 1
            self.walk_statement(self.match[lp] + 1, env, ctx.under(self.text(lp + 1, self.match[lp])))
        elif t.kind == "id" and t.text in ("struct", "class") and self._is(k + 2, "op", "{"):
            env.structs[self.toks[k + 1].text] = self.struct_fields(k + 3, self.match[k + 2])
        elif t.kind == "id" and t.text in ("return", "break", "continue"):
            if ctx.conditions:  # what follows may or may not run
                ctx.flow.setdefault("uncertain", f"{t.text} under " + " and ".join(ctx.conditions))
            else:
                raise Jump(t.text)
        else:
            self.simple_statement(k, end - 1, env, ctx)
        return end

    def struct_fields(self, k, end):
        fields = []
        while k < end:
            semi = self.top_level(k, ";", end)
            decl = self.toks[k:semi]
            eq = next((i for i, t in enumerate(decl) if t.kind == "op" and t.text in ("=", "{")), len(decl))
            if eq and decl[eq - 1].kind == "id":
                fields.append(decl[eq - 1].text)
            k = semi + 1
        return fields

    def walk_for(self, k, env, ctx):
        lp = k + 1
        rp = self.match[lp]
        colon = self.top_level(lp + 1, ":", rp)
        body = rp + 1
        if colon == rp:  # a counting loop, walked once: its variables stay unknown
            self.walk_loop_body(body, env.child(), ctx)
            return
        decl = self.toks[lp + 1:colon]
        if decl and decl[-1].kind == "op" and decl[-1].text == "]":  # structured binding
            open_at = max(i for i, t in enumerate(decl) if t.kind == "op" and t.text == "[")
            names = [t.text for t in decl[open_at + 1:-1] if t.kind == "id"]
        else:
            names = [decl[-1].text]
        try:
            items = self.evaluate(colon + 1, rp, env, ctx)
            if not isinstance(items, (list, tuple)):
                raise Unevaluable(f"range-for over {self.text(colon + 1, rp)}")
        except Unevaluable as exc:
            inner = env.child()
            for name in names:
                inner.vars[name] = Unknown(f"loop over {exc}")
            self.walk_loop_body(body, inner, ctx)
            return
        for item in items:
            inner = env.child()
            if len(names) == 1:
                inner.vars[names[0]] = item
            else:
                values = list(item.values()) if isinstance(item, dict) else list(item)
                for name, value in zip(names, values):
                    inner.vars[name] = value
            if self.walk_loop_body(body, inner, ctx) == "break":
                break

    def walk_loop_body(self, body, env, ctx):
        try:
            self.walk_statement(body, env, ctx)
        except Jump as jump:
            if jump.kind == "return":
                raise
            return jump.kind
        return None

    def walk_function(self, name, env, ctx):
        for start, end in self.defs[name]:
            try:
                self.walk_block(start + 1, end, env, ctx)
            except Jump:
                pass

    def condition(self, k, end, ctx):
        """True, False, or None when the script cannot tell."""
        text = self.text(k, end).replace(" ", "").replace("this->", "")
        negated = text.startswith("!")
        text = text.lstrip("!")
        if text in ("true", "false"):
            value = text == "true"
        elif text == "run_proto3_tests_":
            value = ctx.instance.run_proto3_tests
        elif text in ("suite_.performance_", "performance_"):
            value = False  # the conformance runner's default
        else:
            return None
        return (not value) if negated else value

    def simple_statement(self, k, semi, env, ctx):
        """An expression statement or a declaration, tokens [k, semi)."""
        toks = self.toks
        if toks[k].kind == "id" and self._is(k + 1, "op", "(") and self.match[k + 1] == semi - 1:
            name = toks[k].text
            if name in LEAF_CALLS:
                self.leaf_call(name, k, env, ctx)
                return
            if name in self.defs and name not in ctx.stack:
                self.walk_function(name, Env(), ctx.calling(name))
                return
        for j in range(k, semi):  # a test call anywhere else in a statement
            if toks[j].kind == "id" and toks[j].text in LEAF_CALLS and self._is(j + 1, "op", "(") \
                    and not self._is(j - 1, "op", "::"):
                self.skip(toks[j].text, j, ctx, None, "call inside an expression the script does not walk")
        eq = self.top_level(k, "=", semi)
        declared = None
        if k < eq < semi and toks[eq - 1].kind == "id":
            type_toks = toks[k:eq - 1]
            if type_toks and all(t.kind == "id" or t.text in ("::", "<", ">", ",", "&", "*") for t in type_toks):
                declared = eq - 1
        self.forget_changed(k, semi, env, declared)
        if declared is not None:
            try:
                value = self.typed(self.evaluate(eq + 1, semi, env, ctx), toks[k:declared], env)
            except Unevaluable as exc:
                value = Unknown(str(exc))
            env.vars[toks[declared].text] = value

    def forget_changed(self, k, semi, env, declared):
        """Marks unknown the variables that statement [k, semi) may change: taken
        by address or reference, assigned, or given to a changing method."""
        for j in range(k, semi):
            t = self.toks[j]
            if t.kind != "id" or j == declared or env.lookup("vars", t.text) is None \
                    or self._is(j - 1, "op", ".") or self._is(j - 1, "op", "->"):
                continue
            after = self.toks[j + 1].text if j + 1 < semi else ""
            method = self.toks[j + 2].text if j + 2 < semi and after in (".", "->") else ""
            if self._is(j - 1, "op", "&") or after in ("=", "+=", "-=", "++", "--", "[") \
                    or self._is(j - 1, "op", "++") or self._is(j - 1, "op", "--") \
                    or method in MUTATORS or method.startswith(("set_", "mutable_", "add_")):
                env.assign(t.text, Unknown(f"{t.text}, changed by C++ code at line {t.line}"))

    def typed(self, value, type_toks, env):
        """Table rows as records when the declared type names their fields."""
        names = [t.text for t in type_toks if t.kind == "id"]
        if "vector" in names and isinstance(value, tuple):
            elem = names[names.index("vector") + 1:]
            return [self.row(v, elem, env) for v in value]
        return value

    def row(self, value, elem, env):
        if not isinstance(value, tuple):
            return value
        if elem[:2] == ["std", "pair"] or elem[:1] == ["pair"]:
            return Record(first=value[0], second=value[1])
        fields = env.lookup("structs", elem[-1]) if elem else None
        if fields and len(fields) == len(value):
            return Record(zip(fields, value))
        return value

    # -- expressions --

    def text(self, k, end):
        return " ".join(t.text for t in self.toks[k:end])

    def evaluate(self, k, end, env, ctx):
        value, j = self.expression(k, end, env, ctx)
        if j != end:
            raise Unevaluable(self.text(k, end))
        return value

    def expression(self, k, end, env, ctx):
        value, j = self.primary(k, end, env, ctx)
        while j < end:
            t = self.toks[j]
            if t.kind == "op" and t.text in (".", "->") and self._is(j + 1, "id"):
                member = self.toks[j + 1].text
                j += 2
                call = self._is(j, "op", "(") and self.match[j] == j + 1
                if call:
                    j += 2
                if isinstance(value, Unknown):
                    raise Unevaluable(value.reason)
                if isinstance(value, dict) and member in value and not call:
                    value = value[member]
                elif isinstance(value, Descriptor) and member == "full_name" and call:
                    value = value.full_name.encode()
                else:
                    raise Unevaluable(self.text(k, j))
            elif t.kind == "op" and t.text == "[":
                index = self.evaluate(j + 1, self.match[j], env, ctx)
                j = self.match[j] + 1
                if isinstance(value, Unknown):
                    raise Unevaluable(value.reason)
                if not isinstance(value, (list, tuple)) or not isinstance(index, int):
                    raise Unevaluable(self.text(k, j))
                value = value[index]
            else:
                break
        return value, j

    def arguments(self, k, env, ctx):
        """Evaluated arguments of the call whose '(' is at k."""
        return [self.evaluate(a, b, env, ctx) for a, b in self.split_args(k)]

    def split_args(self, k):
        end = self.match[k]
        spans, start = [], k + 1
        while start < end:
            comma = self.top_level(start, ",", end)
            spans.append((start, comma))
            start = comma + 1
        return spans

    def primary(self, k, end, env, ctx):
        toks = self.toks
        t = toks[k]
        if t.kind == "str":
            value = b""
            while k < end and toks[k].kind == "str":
                value += toks[k].value
                k += 1
            return value, k
        if t.kind == "chr":
            return t.value, k + 1
        if t.kind == "num":
            return int_literal(t.text), k + 1
        if t.kind == "op" and t.text == "(":
            return self.evaluate(k + 1, self.match[k], env, ctx), self.match[k] + 1
        if t.kind == "op" and t.text == "{":
            return tuple(self.evaluate(a, b, env, ctx) for a, b in self.split_args(k)), self.match[k] + 1
        if t.kind == "op" and t.text == "[":  # a lambda: the validator
            j = self.match[k] + 1
            if self._is(j, "op", "("):
                j = self.match[j] + 1
            while j < end and not self._is(j, "op", "{"):
                j += 1
            return LAMBDA, self.match[j] + 1
        if t.kind != "id":
            raise Unevaluable(self.text(k, end))
        # a qualified name, template arguments kept as text
        pieces, j = [t.text], k + 1
        template = []
        while True:
            if self._is(j, "op", "::") and self._is(j + 1, "id"):
                pieces.append(toks[j + 1].text)
                j += 2
            elif self._is(j, "op", "<") and pieces[-1] in ("vector", "pair", "array"):
                depth, start = 0, j
                while True:
                    if self._is(j, "op", "<"):
                        depth += 1
                    elif self._is(j, "op", ">"):
                        depth -= 1
                    j += 1
                    if depth == 0:
                        break
                template = [x.text for x in toks[start + 1:j - 1] if x.kind == "id"]
            else:
                break
        name = "::".join(pieces)
        if self._is(j, "op", "{"):  # a typed brace list: std::vector<...>{...}
            rows = tuple(self.evaluate(a, b, env, ctx) for a, b in self.split_args(j))
            return [self.row(v, template, env) for v in rows], self.match[j] + 1
        if self._is(j, "op", "("):
            close = self.match[j]
            return self.call(name, j, env, ctx, k, close + 1), close + 1
        return self.name_value(name, env, ctx), j

    def call(self, name, lp, env, ctx, start, stop):
        if name == "MessageType::GetDescriptor" and self.match[lp] == lp + 1:
            return Descriptor(ctx.instance.full_name)
        if name in ("absl::StrCat", "StrCat"):
            return b"".join(as_bytes(a) for a in self.arguments(lp, env, ctx))
        if name in ("absl::Substitute", "Substitute"):
            args = self.arguments(lp, env, ctx)
            return substitute(as_bytes(args[0]), args[1:])
        if name == "str_repeat":
            s, count = self.arguments(lp, env, ctx)
            return as_bytes(s) * count
        if name in ("std::string", "std::string_view", "absl::string_view"):
            args = self.arguments(lp, env, ctx)
            if len(args) == 1:
                return as_bytes(args[0])
            if len(args) == 2 and isinstance(args[0], int) and isinstance(args[1], bytes) and len(args[1]) == 1:
                return args[1] * args[0]
        if name == "GetTypeUrl":
            (descriptor,) = self.arguments(lp, env, ctx)
            if isinstance(descriptor, Descriptor):
                return TYPE_URL_PREFIX + descriptor.full_name.encode()
        raise Unevaluable(self.text(start, stop))

    def name_value(self, name, env, ctx):
        if name in LEVELS:
            return name
        if name in ("true", "false"):
            return name == "true"
        if name == "run_proto3_tests_":
            return ctx.instance.run_proto3_tests
        value = env.lookup("vars", name)
        if value is None:
            raise Unevaluable(f"{name}, computed by C++ code")
        if isinstance(value, Unknown):
            raise Unevaluable(value.reason)
        return value

    # -- cases --

    def leaf_call(self, call, k, env, ctx):
        self.visited_sites.add(k)
        spans = self.split_args(k + 1)
        line = self.toks[k].line
        try:
            name = self.text_value(self.evaluate(*spans[0], env, ctx))
        except Unevaluable:
            name = self.text(*spans[0])  # the expression, for the report
        if ctx.conditions:
            self.skip(call, k, ctx, name, "under a condition the script cannot evaluate: "
                      + " and ".join(ctx.conditions))
            return
        if "uncertain" in ctx.flow:
            self.skip(call, k, ctx, name, "after a " + ctx.flow["uncertain"])
            return
        if call in SKIPPED_CALLS:
            self.skip(call, k, ctx, name, SKIPPED_CALLS[call])
            return
        params = JSON_CALLS[call][0] if call in JSON_CALLS else ("name", "level", "text_format")
        if len(spans) != len(params):
            self.skip(call, k, ctx, name, f"{len(spans)} arguments, {len(params)} expected")
            return
        args = {}
        for param, span in zip(params, spans):
            if param == "validator":
                continue
            try:
                value = self.evaluate(*span, env, ctx)
                args[param] = value if param == "level" else self.text_value(value)
            except Unevaluable as exc:
                if param == "text":  # the expected message is there for reference only
                    args[param] = None
                    continue
                self.skip(call, k, ctx, name, f"{param} is computed by C++ code: {exc}")
                return
        level = LEVELS.get(args["level"])
        if level is None:
            self.skip(call, k, ctx, args["name"], f"unknown level {args['level']}")
            return
        syntax = ctx.instance.syntax
        if call == SERIALIZE_CALL:
            self.serialize_failures.append({
                "id": f"{level}.{syntax}.{args['name']}.JsonOutput",
                "name": args["name"], "level": args["level"],
                "message_type": ctx.instance.full_name, "text_format": args["text_format"],
                "line": line,
            })
            return
        expect, suffix = JSON_CALLS[call][1], JSON_CALLS[call][2]
        self.cases.append({
            "id": f"{level}.{syntax}.JsonInput.{args['name']}{suffix}",
            "name": args["name"],
            "level": args["level"],
            "message_type": ctx.instance.full_name,
            "expect": expect,
            "ignore_unknown_fields": call == "RunValidJsonIgnoreUnknownTest",
            "json": args["json"],
            "expected_text_format": args.get("text"),
            "call": call,
            "line": line,
        })

    @staticmethod
    def text_value(value):
        if not isinstance(value, bytes):
            raise Unevaluable(f"{type(value).__name__} where text was expected")
        try:
            return value.decode("utf-8")
        except UnicodeDecodeError as exc:
            raise Unevaluable("bytes that are not UTF-8") from exc

    def skip(self, call, k, ctx, name, reason):
        self.visited_sites.add(k)
        self.skipped.append({"call": call, "name": name, "line": self.toks[k].line,
                             "message_type": ctx.instance.full_name if ctx else None,
                             "reason": reason})

    def unreached(self):
        """Test calls outside the helpers that the walk never reached."""
        helper_spans = [span for name in LEAF_CALLS | {"suite:" + c for c in LEAF_CALLS}
                        for span in self.defs.get(name, [])]
        for k, t in enumerate(self.toks):
            if t.kind != "id" or t.text not in LEAF_CALLS or not self._is(k + 1, "op", "(") \
                    or self._is(k - 1, "op", "::") or k in self.visited_sites:
                continue
            if any(a < k < b for a, b in helper_spans):
                continue
            owner = max(((a, n) for n, spans in self.defs.items() for a, b in spans if a < k < b),
                        default=(0, "?"))[1]
            name = self.text(*self.split_args(k + 1)[0])
            self.skipped.append({"call": t.text, "name": name, "line": t.line, "message_type": None,
                                 "reason": f"in {owner}, which the suite never calls"})


class Context:
    """Where the walk is: the instantiation, the conditions it could not
    evaluate, the calls it is in, and (in `flow`, shared by one function's walk)
    whether a jump it could not evaluate came before."""

    def __init__(self, instance, conditions=(), stack=(), flow=None):
        self.instance, self.conditions, self.stack = instance, conditions, stack
        self.flow = {} if flow is None else flow

    def under(self, condition):
        return Context(self.instance, self.conditions + (condition,), self.stack, self.flow)

    def calling(self, name):
        return Context(self.instance, self.conditions, self.stack + (name,))


def extract(src):
    ex = Extractor(src)
    instances = ex.instances()
    if not instances or ENTRY not in ex.defs:
        raise SystemExit("the suite's structure is not what this script knows: no instantiations or no "
                         + ENTRY)
    for inst in instances:
        ex.walk_function(ENTRY, Env(), Context(inst, stack=(ENTRY,)))
    ex.unreached()
    ids = collections.Counter(c["id"] for c in ex.cases)
    duplicated = [i for i, n in ids.items() if n > 1]
    if duplicated:
        raise SystemExit(f"duplicate case ids: {duplicated}")
    return ex, instances


def summarize(ex, instances):
    cases = ex.cases
    by_type = collections.OrderedDict()
    for inst in instances:
        mine = [c for c in cases if c["message_type"] == inst.full_name]
        by_type[inst.full_name] = dict(collections.Counter(c["expect"] for c in mine),
                                       total=len(mine))
    reasons = collections.Counter(s["reason"] for s in ex.skipped)
    return {
        "cases": len(cases),
        "call_sites_extracted": len({c["line"] for c in cases}),
        "by_expectation": dict(collections.Counter(c["expect"] for c in cases)),
        "ignore_unknown_fields": sum(c["ignore_unknown_fields"] for c in cases),
        "by_message_type": by_type,
        "serialize_failures": len(ex.serialize_failures),
        "skipped": len(ex.skipped),
        "skipped_call_sites": len({s["line"] for s in ex.skipped}),
        "skipped_by_reason": dict(reasons),
    }


def dumps(document):
    """JSON text with one line per case, so that a change to the suite shows
    as a change to its cases' lines."""
    pieces = []
    for key, value in document.items():
        if isinstance(value, list) and value and isinstance(value[0], dict) and key != "message_types":
            rows = ",\n".join("  " + json.dumps(row, ensure_ascii=False) for row in value)
            text = "[\n" + rows + "\n ]"
        else:
            text = json.dumps(value, ensure_ascii=False, indent=1).replace("\n", "\n ")
        pieces.append(f" {json.dumps(key)}: {text}")
    return "{\n" + ",\n".join(pieces) + "\n}\n"


def read_source(args):
    if args.git_dir:
        git = ["git", f"--git-dir={args.git_dir}"]
        commit = subprocess.run(git + ["rev-parse", args.rev + "^{commit}"], check=True,
                                capture_output=True, text=True).stdout.strip()
        src = subprocess.run(git + ["show", f"{commit}:{SOURCE_PATH}"], check=True,
                             capture_output=True).stdout.decode("utf-8")
        return src, commit
    if not args.commit:
        raise SystemExit("--source needs --commit")
    with open(args.source, encoding="utf-8") as f:
        return f.read(), args.commit


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    where = parser.add_mutually_exclusive_group(required=True)
    where.add_argument("--git-dir", help="a protobuf git directory to read the suite from")
    where.add_argument("--source", help=f"a copy of {SOURCE_PATH}")
    parser.add_argument("--rev", default="HEAD", help="revision to read with --git-dir")
    parser.add_argument("--commit", help="the commit --source was taken from")
    parser.add_argument("--out", default=os.path.normpath(DEFAULT_OUT))
    args = parser.parse_args(argv)

    src, commit = read_source(args)
    ex, instances = extract(src)
    counts = summarize(ex, instances)
    document = {
        "source": {"repository": REPOSITORY, "path": SOURCE_PATH, "commit": commit},
        "generator": "scripts/extract_json_conformance.py",
        "message_types": [
            {"syntax": i.syntax, "full_name": i.full_name, "run_proto3_tests": i.run_proto3_tests}
            for i in instances
        ],
        "counts": counts,
        "cases": ex.cases,
        "serialize_failures": ex.serialize_failures,
        "skipped": ex.skipped,
    }
    os.makedirs(os.path.dirname(os.path.abspath(args.out)), exist_ok=True)
    with open(args.out, "w", encoding="utf-8", newline="\n") as f:
        f.write(dumps(document))
    json.dump(counts, sys.stdout, indent=2)
    print()
    return 0


if __name__ == "__main__":
    sys.exit(main())
