"""Checks that the engine's shared library exports exactly what its installed headers
declare: every dynamic symbol belongs to a class or function that an installed header
declares, and every global symbol of such a class or function is exported.

  exported_symbols_test.py SHARED_LIBRARY STATIC_LIBRARY INCLUDE_DIR HEADER...

The static library, made of the same objects, shows the global symbols that the shared
one holds before its export list makes the others local; the headers are named relative
to INCLUDE_DIR, as they are installed.
"""
import re
import subprocess
import sys

# The demangler's names for the data of a class, before the class's name.
SPECIAL_PREFIXES = ("vtable for ", "typeinfo name for ", "typeinfo for ", "VTT for ",
                    "guard variable for ", "non-virtual thunk to ", "virtual thunk to ")


def owner(symbol):
    """The outermost name a demangled symbol belongs to: its class, namespace, or the
    function or variable itself."""
    for prefix in SPECIAL_PREFIXES:
        if symbol.startswith(prefix):
            symbol = symbol[len(prefix):]
    symbol = re.sub(r"\[abi:\w+\]", "", symbol)
    # An operator's own characters are no brackets; what stands before it is its scope.
    symbol = symbol.split("operator", 1)[0] + ("operator" if "operator" in symbol else "")
    depth, name = 0, ""
    for c in symbol:
        if c in "<(":
            if c == "(" and depth == 0:
                break
            depth += 1
        elif c in ">)":
            depth -= 1
        elif depth == 0:
            name += c
    return name.split()[-1].split("::")[0] if name.strip() else symbol


def defined_symbols(library, dynamic):
    """{demangled name} of the global symbols that the library defines (with dynamic,
    those that it exports)."""
    command = ["nm", "--defined-only", "-C"] + (["-D"] if dynamic else []) + [library]
    names = set()
    for line in subprocess.run(command, check=True, capture_output=True, text=True).stdout.splitlines():
        fields = line.split(maxsplit=2)
        if len(fields) == 3 and (fields[1].isupper() or fields[1] == "u"):
            names.add(fields[2].split("@")[0])
    return names


def declarations(include_dir, headers):
    """The headers' text without comments."""
    text = "\n".join(open(f"{include_dir}/{header}", encoding="utf-8").read() for header in headers)
    return re.sub(r"//[^\n]*|/\*.*?\*/", "", text, flags=re.S)


def declares(text, name):
    """Whether the text defines the class or namespace name, or declares the function or
    variable name (a forward declaration of a class declares none of its members)."""
    name = re.escape(name)
    return bool(re.search(rf"\b(class|struct|union|namespace)\s+{name}\b(?!\s*;)", text) or
                re.search(rf"\b{name}\s*\(", text) or
                re.search(rf"\bextern\b[^;]*\b{name}\s*;", text))


def main(library, static_library, include_dir, *headers):
    text = declarations(include_dir, headers)
    exported = defined_symbols(library, dynamic=True)
    public = {symbol for symbol in defined_symbols(static_library, dynamic=False)
              if declares(text, owner(symbol))}
    undeclared = sorted(symbol for symbol in exported if not declares(text, owner(symbol)))
    hidden = sorted(public - exported)
    for symbol in undeclared:
        print(f"exported, but no installed header declares {owner(symbol)}: {symbol}")
    for symbol in hidden:
        print(f"declared in an installed header, but not exported: {symbol}")
    if undeclared or hidden:
        print(f"{library}: {len(undeclared)} symbol(s) exported that no installed header "
              f"declares, {len(hidden)} declared but hidden (library/exports.map)")
        return 1
    print(f"{library}: {len(exported)} symbols exported, each declared in an installed header")
    return 0


if __name__ == "__main__":
    sys.exit(main(*sys.argv[1:]))
