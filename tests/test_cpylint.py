"""Rules of the binding's C API use, checked by reading src/python (as msgspec's test_cpylint
does): no C++ exception can leave a function the interpreter calls, references are released
only by Ref and deallocators, and arguments are never parsed by PyArg_Parse*.

A function registered in a PyMethodDef, PyGetSetDef or PyType_Slot table must be one that
cannot throw: outside the spans it hands to guard(...), it calls only the C API, a few known
non-throwing C++ names, and binding functions that themselves cannot throw. Anything else (an
engine routine, std::string, a lambda or template parameter called) must run inside guard().
A lambda's body counts where the lambda is called. Simple parsing cannot see a constructor run
by a declaration without parentheses (`Buffer buffer;`): such classes must not throw."""
import pathlib
import re

import pytest

SRC = pathlib.Path(__file__).resolve().parent.parent / "src" / "python"

KEYWORDS = {"if", "for", "while", "switch", "return", "sizeof", "alignof", "decltype", "catch",
            "static_cast", "reinterpret_cast", "const_cast", "noexcept"}
# Calls that cannot throw: Ref's and the standard library's noexcept members, and builtins.
NOTHROW = {"Ref", "Ref::steal", "Ref::borrow", "std::move", "std::swap", "std::min", "std::max",
           "std::memcpy", "std::memcmp", "std::strlen", "std::strrchr", "std::string_view"}
NOTHROW_METHODS = {"get", "release", "data", "size", "empty", "has_value", "value_or", "reset",
                   "fill"}
# Standard names whose mere use cannot throw; any other (std::string, std::vector) may.
STD_NOTHROW = {"std::" + n for n in ("string_view", "uint64_t", "int64_t", "uint32_t", "uint8_t",
                                     "size_t", "optional", "nullopt", "nullptr_t", "array")}
TEMPLATE_ARGS = r"(?:<[^<>;{}()]*(?:<[^<>;{}()]*>[^<>;{}()]*)*>)?"
CALL = re.compile(r"(?<![\w.>:~])((?:\w+::)*\w+)\s*" + TEMPLATE_ARGS + r"\s*\(")
METHOD = re.compile(r"(?:\.|->)\s*(\w+)\s*\(")
# At namespace scope, which starts in the first column (the code indents no namespace).
DEFINITION = re.compile(r"^(?:template\s*<[^;{]*>\s*)?(?=\w)[\w:<>,*& ]*?\b(\w+)\s*"
                        r"\([^;{}]*?\)\s*(?:const\s*)?(?:noexcept\s*)?(?:->\s*[^;{]+?)?\{", re.M)
TABLE = re.compile(r"^(PyMethodDef|PyGetSetDef|PyType_Slot)\s+\w+\[\]\s*=\s*\{(.*?)^\};",
                   re.M | re.S)
ENTRY = re.compile(r"\{([^{}]*)\}")
DECREF = re.compile(r"\bPy_(?:X?DECREF|CLEAR)\s*\(")


def strip(text):
    """Comments, string and character literals and preprocessor lines blanked (lines kept)."""
    token = re.compile(r'//[^\n]*|/\*.*?\*/|"(?:\\.|[^"\\\n])*"|\'(?:\\.|[^\'\\\n])*\''
                       r"|^[ \t]*#[^\n]*", re.S | re.M)
    return token.sub(lambda m: '""' if m.group().startswith('"') else
                     "\n" * m.group().count("\n"), text)


def matching(text, i):
    """The index just past the bracket that closes the one at text[i]."""
    depth = 0
    for j in range(i, len(text)):
        depth += {"(": 1, "{": 1, ")": -1, "}": -1}.get(text[j], 0)
        if depth == 0:
            return j + 1
    raise ValueError("unbalanced brackets")


def definitions(sources):
    """{name: [(where, body)]} for every function defined at namespace scope."""
    found = {}
    for path, text in sources.items():
        for m in DEFINITION.finditer(text):
            if m.group(1) in KEYWORDS:
                continue
            end = matching(text, m.end() - 1)
            where = f"{path}:{text.count(chr(10), 0, m.start()) + 1}"
            found.setdefault(m.group(1), []).append((where, text[m.end():end - 1]))
    return found


def outside_guard(body):
    """The body without the arguments of its guard(...) calls and without the bodies of its
    lambdas, which run where they are called: a call of anything but a known function (a
    lambda, a template parameter) counts as a risk there."""
    lam = r"\[[^\[\]]*\]\s*(?:\([^()]*\))?\s*(?:->\s*[\w:*&<> ]+?)?\s*\{"
    while (m := re.search(r"\bguard\s*\(|" + lam, body)):
        end = matching(body, m.end() - 1)
        if re.match(r"\s*\(", body[end:]) and m.group().startswith("["):  # called at once
            body = body[:m.start()] + body[m.end():end - 1] + body[end:]
        else:
            body = body[:m.start()] + body[end:]
    return body


def risks(body, safe):
    """What in `body`, outside guard(), may throw."""
    body = outside_guard(body)
    out = [name + "()" for name in CALL.findall(body)
           if name not in KEYWORDS | NOTHROW | STD_NOTHROW | safe
           and not re.match(r"_?Py|__builtin_", name)]
    # Methods of the standard types above, and the C slots of a type object.
    out += [f".{name}()" for name in METHOD.findall(body)
            if name not in NOTHROW_METHODS and not name.startswith("tp_")]
    out += [n for n in re.findall(r"\bstd::\w+", body) if n not in STD_NOTHROW | NOTHROW]
    out += re.findall(r"\b(?:new|throw)\b", body)
    return out


def nothrow_functions(found):
    """The names all of whose definitions cannot throw (greatest fixed point: mutual recursion
    among such functions is fine)."""
    safe = set(found) | {"guard"}
    while True:
        unsafe = {n for n in safe - {"guard"}
                  if any(risks(body, safe) for _, body in found[n])}
        if not unsafe:
            return safe
        safe -= unsafe


def registered(sources):
    """{(function, table kind)} for every function the tables hand to the interpreter."""
    out = set()
    for text in sources.values():
        for table in TABLE.finditer(text):
            kind = table.group(1)
            for entry in ENTRY.finditer(table.group(2)):
                fields = [f.strip() for f in entry.group(1).split(",")]
                if kind == "PyType_Slot":
                    if fields[0] in ("0", "Py_tp_doc", "Py_tp_methods", "Py_tp_getset"):
                        continue
                    picked = fields[1:2]
                elif kind == "PyMethodDef":
                    picked = fields[1:2]
                else:
                    picked = fields[1:3]
                for f in picked:
                    m = re.fullmatch(r"(?:method|reinterpret_cast<[\w*]+>)?\(?(\w+)(?:<.*>)?\)?", f)
                    if m and m.group(1) != "nullptr":
                        out.add((m.group(1), kind))
    return out


def violations(sources):
    sources = {path: strip(text) for path, text in sources.items()}
    found = definitions(sources)
    safe = nothrow_functions(found)
    problems = []
    for name, kind in sorted(registered(sources)):
        if name not in safe and not re.match(r"_?Py", name):
            bodies = found.get(name, [("?", "")])
            why = sorted({r for _, body in bodies for r in risks(body, safe)}) or ["not found"]
            problems.append(f"{bodies[0][0]}: {name} ({kind}) may throw outside guard(): "
                            + ", ".join(why))
    for name, bodies in found.items():
        for where, body in bodies:
            if DECREF.search(body) and not name.endswith("_dealloc"):
                problems.append(f"{where}: {name} releases a reference by hand (use Ref)")
            if re.search(r"\bPyArg_Parse", body):
                problems.append(f"{where}: {name} uses PyArg_Parse*")
    return problems


def binding_sources():
    return {p.name: p.read_text() for p in sorted(SRC.glob("*.[ch]pp"))}


def test_binding_follows_the_rules():
    sources = binding_sources()
    # The parser sees the tables (so the check below is not empty).
    names = {name for name, _ in registered({p: strip(t) for p, t in sources.items()})}
    assert {"Fasta_len", "Fasta_get_seq", "Faidx_fetch", "Sequence_neg", "get_text"} <= names
    assert violations(sources) == []


PLANTED = """
PyObject* ok(PyObject* self, PyObject*) {{ return guard([&] {{ return engine_call(self); }}); }}
PyObject* helper(PyObject* x) {{ return PyLong_FromLong(1); }}
PyObject* entry(PyObject* self, PyObject*) {{ {body} }}
PyMethodDef kMethods[] = {{
    {{"ok", ok, METH_NOARGS, "doc"}},
    {{"entry", entry, METH_NOARGS, "doc"}},
    {{nullptr, nullptr, 0, nullptr}},
}};
"""


@pytest.mark.parametrize("body, problem", [
    ("return helper(self);", None),
    ("return guard([&] { std::string s(\"x\"); return helper(self); });", None),
    ("return PyLong_FromSize_t(engine_of(self).index().rows().size());", "may throw"),
    ("std::string s; return helper(self);", "may throw"),
    ("return [&] { return engine_call(self); }();", "may throw"),
    ("Py_DECREF(self); return helper(self);", "by hand"),
    ("int x; PyArg_ParseTuple(self, \"i\", &x); return helper(self);", "PyArg_Parse"),
])
def test_planted_violations_are_found(body, problem):
    found = violations({"planted.cpp": PLANTED.format(body=body)})
    assert [problem in p for p in found] == ([True] if problem else [])
