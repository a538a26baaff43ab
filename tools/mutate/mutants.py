"""Mutants of a C++ source, found from its tokens.

The tokenizer is exact about what it changes: comments, string literals and preprocessor
lines are never touched, template argument lists are told apart from comparisons, and a
mutant is a set of replaced character ranges of the original text, so everything outside
them stays byte for byte as it was.
"""
from __future__ import annotations

import re
from dataclasses import dataclass

PUNCTUATORS = sorted(
    """<<= >>= ... ->* <=> :: -> ++ -- << >> <= >= == != && || += -= *= /= %= &= |= ^= .*
    { } [ ] ( ) ; : ? , . + - * / % ^ & | ~ ! = < > #""".split(),
    key=len, reverse=True)

IDENTIFIER = re.compile(r"[A-Za-z_][A-Za-z0-9_]*")
NUMBER = re.compile(r"\.?[0-9](?:[eEpP][+-]|['0-9A-Za-z_.])*")
INTEGER = re.compile(r"^(0[xX][0-9A-Fa-f']+|[1-9][0-9']*|0[0-7']*)([uUlL]*)$")
CHAR_PREFIX = re.compile(r"(?:u8|u|U|L)?'")
STRING_PREFIX = re.compile(r"(?:u8|u|U|L)?\"")
RAW_STRING = re.compile(r"(?:u8|u|U|L)?R\"([^()\\ ]{0,16})\(")


@dataclass
class Token:
    kind: str  # identifier, number, char, string, punct
    text: str
    start: int
    end: int


def tokenize(source: str) -> list[Token]:
    tokens: list[Token] = []
    i, n = 0, len(source)
    line_start = True  # only whitespace since the last newline
    while i < n:
        c = source[i]
        if c == "\n":
            line_start = True
            i += 1
            continue
        if c in " \t\r\f\v":
            i += 1
            continue
        if c == "#" and line_start:  # a preprocessor line, continuations included
            while i < n and source[i] != "\n":
                i += 2 if source[i] == "\\" and i + 1 < n else 1
            continue
        line_start = False
        if source.startswith("//", i):
            i = source.find("\n", i)
            i = n if i < 0 else i
            continue
        if source.startswith("/*", i):
            end = source.find("*/", i + 2)
            if end < 0:
                raise ValueError("unterminated comment")
            i = end + 2
            continue
        match = RAW_STRING.match(source, i)
        if match:  # R"delimiter( ... )delimiter"
            end = source.find(")" + match.group(1) + '"', match.end())
            if end < 0:
                raise ValueError(f"unterminated raw string at offset {i}")
            end += len(match.group(1)) + 2
            tokens.append(Token("string", source[i:end], i, end))
            i = end
            continue
        match = CHAR_PREFIX.match(source, i) or STRING_PREFIX.match(source, i)
        if match:
            quote = source[match.end() - 1]
            j = match.end()
            while source[j] != quote:
                if source[j] == "\n":
                    raise ValueError(f"unterminated literal at offset {i}")
                j += 2 if source[j] == "\\" else 1
            tokens.append(Token("char" if quote == "'" else "string", source[i:j + 1], i, j + 1))
            i = j + 1
            continue
        match = IDENTIFIER.match(source, i)
        if match:
            tokens.append(Token("identifier", match.group(), i, match.end()))
            i = match.end()
            continue
        match = NUMBER.match(source, i)
        if match:
            tokens.append(Token("number", match.group(), i, match.end()))
            i = match.end()
            continue
        for punct in PUNCTUATORS:
            if source.startswith(punct, i):
                tokens.append(Token("punct", punct, i, i + len(punct)))
                i += len(punct)
                break
        else:
            raise ValueError(f"unexpected character {c!r} at offset {i}")
    return tokens


@dataclass
class Mutant:
    operator: str
    edits: list[tuple[int, int, str]]  # (start, end, replacement) in the original text
    description: str

    def apply(self, source: str) -> str:
        result = source
        for start, end, text in sorted(self.edits, reverse=True):
            result = result[:start] + text + result[end:]
        return result


TEMPLATE_CONTENT = {"identifier", "number"}
TEMPLATE_PUNCT = {"::", ",", "*", "&"}


CASTS = {"static_cast", "reinterpret_cast", "const_cast", "dynamic_cast"}


def cast_type_end(tokens: list[Token], i: int) -> int | None:
    """The `>` that closes the type of a cast whose `<` is at i."""
    depth = 0
    for j in range(i, len(tokens)):
        if tokens[j].text == "<":
            depth += 1
        elif tokens[j].text == ">":
            depth -= 1
            if depth == 0:
                return j
        elif tokens[j].text in (";", "{", "}"):
            return None
    return None


def template_brackets(tokens: list[Token]) -> set[int]:
    """Indexes of `<` and `>` that bracket template arguments rather than compare."""
    brackets: set[int] = set()
    for i, token in enumerate(tokens):
        if token.text != "<" or i == 0 or tokens[i - 1].kind != "identifier":
            continue
        if tokens[i - 1].text in CASTS:  # always a type, whatever it holds: void (*)()
            close = cast_type_end(tokens, i)
            if close is not None:
                brackets.update((i, close))
            continue
        depth, j = 1, i + 1
        while j < len(tokens):
            t = tokens[j]
            if t.text == "<":
                depth += 1
            elif t.text == ">":
                depth -= 1
                if depth == 0:
                    break
            elif t.text == ">>" and depth == 2:
                depth = 0
                break
            elif t.kind not in TEMPLATE_CONTENT and t.text not in TEMPLATE_PUNCT:
                break
            j += 1
        if depth == 0:
            brackets.update((i, j))
    return brackets


def matching(tokens: list[Token], i: int) -> int:
    """The index of the bracket that closes the one at i."""
    pairs = {"(": ")", "[": "]", "{": "}"}
    opening, closing = tokens[i].text, pairs[tokens[i].text]
    depth = 0
    for j in range(i, len(tokens)):
        if tokens[j].text == opening:
            depth += 1
        elif tokens[j].text == closing:
            depth -= 1
            if depth == 0:
                return j
    raise ValueError("unbalanced brackets")


def changed_integer(text: str) -> str | None:
    match = INTEGER.match(text)
    if not match:
        return None
    digits, suffix = match.group(1).replace("'", ""), match.group(2)
    if digits.lower().startswith("0x"):
        value = int(digits, 16)
        new = 1 if value == 0 else (0 if value == 1 else value + 1)
        return f"0x{new:X}{suffix}"
    value = int(digits, 8) if digits.startswith("0") and len(digits) > 1 else int(digits)
    new = 1 if value == 0 else (0 if value == 1 else value + 1)
    return f"{new}{suffix}"


ESCAPES = {"n": 10, "t": 9, "r": 13, "0": 0, "\\": 92, "'": 39, '"': 34}


def changed_char(text: str) -> str | None:
    prefix, body = text[:text.index("'")], text[text.index("'") + 1:-1]
    if len(body) == 1 and body != "\\":
        code = ord(body)
    elif len(body) == 2 and body[0] == "\\" and body[1] in ESCAPES:
        code = ESCAPES[body[1]]
    else:
        return None
    new = code + 1
    shown = chr(new) if 32 < new < 127 and chr(new) not in "'\\" else f"\\x{new:X}"
    return f"{prefix}'{shown}'"


STATEMENT_START = {";", "{", "}", ":", "else"}
OPERAND_BEFORE = {"(", ",", "=", "return", "{", "|="}
OPERAND_AFTER = {")", ",", ";", "}"}
CONSTANTS = {"true", "false", "TRUE", "FALSE", "nullptr", "0", "{}"}
FLIPS = {"true": "false", "false": "true", "TRUE": "FALSE", "FALSE": "TRUE"}
BOUNDARY = {"<": "<=", "<=": "<", ">": ">=", ">=": ">"}
INVERSE = {"==": "!=", "!=": "==", "<": ">=", "<=": ">", ">": "<=", ">=": "<"}


def simple_operand(tokens: list[Token], i: int) -> int:
    """The end (exclusive) of a flag operand starting at i: a name (qualified) or number."""
    if tokens[i].kind == "number":
        return i + 1
    if tokens[i].kind != "identifier":
        return i
    j = i + 1
    while j + 1 < len(tokens) and tokens[j].text == "::" and tokens[j + 1].kind == "identifier":
        j += 2
    return j


def flag_combinations(tokens: list[Token]):
    """Chains `a | b | c` of simple operands standing as a whole expression."""
    i = 0
    while i < len(tokens):
        if i == 0 or tokens[i - 1].text not in OPERAND_BEFORE:
            i += 1
            continue
        terms = []
        j = i
        while True:
            end = simple_operand(tokens, j)
            if end == j:
                break
            terms.append((j, end))
            if end < len(tokens) and tokens[end].text == "|":
                j = end + 1
                continue
            break
        if len(terms) >= 2 and end < len(tokens) and tokens[end].text in OPERAND_AFTER:
            yield terms
            i = end
        else:
            i += 1


CHAIN_STOPS = {";", ",", "{", "}", "=", "return", "?", ":"}


def logical_chain(tokens: list[Token], i: int) -> tuple[int, int]:
    """The first and last token of the expression around the `&&` or `||` at i: up to the
    enclosing brackets, a comma, an assignment or the end of the statement."""
    depth, first = 0, i - 1
    while first >= 0:
        text = tokens[first].text
        if text in (")", "]"):
            depth += 1
        elif text in ("(", "["):
            if depth == 0:
                break
            depth -= 1
        elif depth == 0 and text in CHAIN_STOPS:
            break
        first -= 1
    depth, last = 0, i + 1
    while last < len(tokens):
        text = tokens[last].text
        if text in ("(", "["):
            depth += 1
        elif text in (")", "]"):
            if depth == 0:
                break
            depth -= 1
        elif depth == 0 and text in CHAIN_STOPS:
            break
        last += 1
    return first + 1, last - 1


def unevaluated(expression: str) -> str:
    """A statement that names everything in `expression` without evaluating it, so that a
    removed call or value leaves no parameter or function unused (warnings are errors).
    A braced list names each of its elements."""
    parts = [expression]
    if expression.startswith("{") and expression.endswith("}"):
        parts, depth, start = [], 0, 1
        inner = tokenize(expression)
        for token in inner[1:-1]:
            if token.text in ("(", "[", "{"):
                depth += 1
            elif token.text in (")", "]", "}"):
                depth -= 1
            elif token.text == "," and depth == 0:
                parts.append(expression[start:token.start])
                start = token.end
        parts.append(expression[start:-1])
    named = ", ".join(f"(void)({part.strip()})" for part in parts if part.strip())
    return f"(void)sizeof(decltype({named}, 0));"


def find_mutants(source: str, tokens: list[Token] | None = None) -> list[Mutant]:
    tokens = tokenize(source) if tokens is None else tokens
    templates = template_brackets(tokens)
    mutants: list[Mutant] = []

    def add(operator, edits, description):
        mutants.append(Mutant(operator, edits, description))

    for i, t in enumerate(tokens):
        if t.kind == "number":
            new = changed_integer(t.text)
            if new:
                add("literal", [(t.start, t.end, new)], f"{t.text} -> {new}")
        elif t.kind == "char":
            new = changed_char(t.text)
            if new:
                add("literal", [(t.start, t.end, new)], f"{t.text} -> {new}")
        elif t.text in FLIPS:
            add("boolean", [(t.start, t.end, FLIPS[t.text])], f"{t.text} -> {FLIPS[t.text]}")
        elif t.kind == "punct" and t.text in INVERSE and i not in templates:
            if t.text in BOUNDARY:
                add("boundary", [(t.start, t.end, BOUNDARY[t.text])], f"{t.text} -> {BOUNDARY[t.text]}")
            add("inverted", [(t.start, t.end, INVERSE[t.text])], f"{t.text} -> {INVERSE[t.text]}")
        elif t.text in ("&&", "||"):
            other = "||" if t.text == "&&" else "&&"
            first, last = logical_chain(tokens, i)
            if any(tokens[k].text in ("&&", "||") for k in range(first, last + 1) if k != i):
                # Within a longer chain the two sides are grouped, as warnings are errors
                # (-Wparentheses): `a || b || c` becomes `(a) && (b || c)`.
                add("logical", [(tokens[first].start, tokens[first].start, "("),
                                (t.start, t.end, f") {other} ("), (tokens[last].end, tokens[last].end, ")")],
                    f"{t.text} -> {other}")
            else:
                add("logical", [(t.start, t.end, other)], f"{t.text} -> {other}")
        elif t.text == "!" and i + 1 < len(tokens) and (
                tokens[i + 1].kind == "identifier" or tokens[i + 1].text == "("):
            add("negation", [(t.start, t.end, "")], "! removed")
        elif t.text == "return" and tokens[i + 1].text != ";":
            end = i + 1
            while tokens[end].text != ";":
                end = matching(tokens, end) + 1 if tokens[end].text in "([{" else end + 1
            expression = source[tokens[i + 1].start:tokens[end - 1].end]
            if expression not in CONSTANTS and expression not in FLIPS:
                add("return", [(t.start, tokens[end].end, f"{{ {unevaluated(expression)} return {{}}; }}")],
                    f"return {' '.join(expression.split())} -> return {{}}")
        if t.kind == "identifier" and i > 0 and tokens[i - 1].text in STATEMENT_START:
            if tokens[i - 1].text == ":" and i > 1 and tokens[i - 2].text in ("public", "private", "protected"):
                continue
            j = simple_operand(tokens, i)
            while j + 1 < len(tokens) and tokens[j].text in (".", "->") and tokens[j + 1].kind == "identifier":
                j += 2
            if j < len(tokens) and tokens[j].text == "(":
                close = matching(tokens, j)
                if close + 1 < len(tokens) and tokens[close + 1].text == ";" and t.text not in (
                        "return", "if", "while", "for", "switch", "sizeof", "static_assert"):
                    call = source[t.start:tokens[close].end]
                    add("call", [(t.start, tokens[close + 1].end, f"{{ {unevaluated(call)} }}")],
                        f"call {' '.join(call.split())} removed")

    for terms in flag_combinations(tokens):
        for k, (first, end) in enumerate(terms):
            if k + 1 < len(terms):  # the term and the `|` after it
                start, stop = tokens[first].start, tokens[terms[k + 1][0]].start
            else:  # the last term and the `|` before it
                start, stop = tokens[terms[k - 1][1] - 1].end, tokens[end - 1].end
            term = source[tokens[first].start:tokens[end - 1].end]
            add("flag", [(start, stop, "")], f"flag {term} dropped")
    mutants.sort(key=lambda m: min(e[0] for e in m.edits))
    return mutants


def line_of(source: str, offset: int) -> int:
    return source.count("\n", 0, offset) + 1


def changed_lines(source: str, mutant: Mutant) -> tuple[int, str, str]:
    """The first line changed, and the original and mutated text of the lines changed,
    whitespace collapsed: the key that names a mutant across edits elsewhere in the file."""
    start = min(e[0] for e in mutant.edits)
    end = max(e[1] for e in mutant.edits)
    first = source.rfind("\n", 0, start) + 1
    last = source.find("\n", end)
    last = len(source) if last < 0 else last
    mutated = mutant.apply(source)
    delta = len(mutated) - len(source)
    before = " ".join(source[first:last].split())
    after = " ".join(mutated[first:last + delta].split())
    # A line that occurs more than once in the file is keyed with the lines above it, up to
    # the first that makes it unique.
    context = source[:first].split("\n")[:-1]
    text = " ".join(source.split())
    while context and text.count(before) > 1:
        above = " ".join(context.pop().split())
        if above:
            before, after = f"{above} {before}", f"{above} {after}"
    return line_of(source, start), before, after
