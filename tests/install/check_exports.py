#!/usr/bin/env python3
"""Every function declared in an installed header must link: its symbol must
be exported by the installed library. Declarations are read with clang's AST
dump of a file that includes every installed header; functions defined in a
header (inline, constexpr, templates), deleted, defaulted and pure virtual
ones need no symbol.

    check_exports.py INCLUDE_DIR LIBRARY
"""
import json
import pathlib
import subprocess
import sys
import tempfile

# The library's namespaces: the AST dump is limited to these, since a dump of
# the standard headers as well runs to hundreds of megabytes.
NAMESPACES = ["QmHand", "hand_ws", "BaseHandProtocol", "CommSocket", "HandProtocol", "Diagnostics",
              "tessaro_dexhand"]
FUNCTION_KINDS = {"FunctionDecl", "CXXMethodDecl", "CXXConstructorDecl", "CXXDestructorDecl"}


def dumped_decls(text):
    decoder = json.JSONDecoder()
    position = text.find("{")
    while position >= 0:
        value, position = decoder.raw_decode(text, position)
        yield value
        position = text.find("{", position)


def needs_symbol(node):
    if node.get("kind") not in FUNCTION_KINDS or node.get("isImplicit"):
        return False
    if any(node.get(flag) for flag in ("inline", "constexpr", "pure", "explicitlyDeleted", "explicitlyDefaulted")):
        return False
    return not any(child.get("kind") == "CompoundStmt" for child in node.get("inner", []))


def required_symbols(node, include_dir, state, found, in_template=False):
    # The dump names a location's file only where it changes; carry it along.
    for where in (node.get("loc", {}), node.get("range", {}).get("begin", {}), node.get("range", {}).get("end", {})):
        for part in (where, where.get("spellingLoc", {}), where.get("expansionLoc", {})):
            if "file" in part:
                state["file"] = part["file"]
    kind = node.get("kind", "")
    in_template = in_template or kind in ("FunctionTemplateDecl", "ClassTemplateDecl",
                                          "ClassTemplatePartialSpecializationDecl")
    if (not in_template and needs_symbol(node) and "mangledName" in node
            and state.get("file", "").startswith(include_dir)):
        found.add(node["mangledName"])
    for child in node.get("inner", []):
        required_symbols(child, include_dir, state, found, in_template)


def main():
    include_dir = str(pathlib.Path(sys.argv[1]).resolve())
    library = sys.argv[2]
    headers = sorted(p.relative_to(include_dir).as_posix() for p in pathlib.Path(include_dir).rglob("*.h"))
    with tempfile.NamedTemporaryFile("w", suffix=".cpp") as source:
        source.write("".join(f'#include "{h}"\n' for h in headers))
        source.flush()
        required = set()
        for namespace in NAMESPACES:
            dump = subprocess.run(
                ["clang++", "-std=c++17", "-fsyntax-only", "-I", str(pathlib.Path(include_dir).parent), "-I",
                 include_dir, "-Xclang", "-ast-dump=json",
                 "-Xclang", f"-ast-dump-filter={namespace}", source.name],
                capture_output=True, text=True, check=True).stdout
            for decl in dumped_decls(dump):
                required_symbols(decl, include_dir, {}, required)
    nm = subprocess.run(["nm", "-D", "--defined-only", library], capture_output=True, text=True, check=True).stdout
    exported = {line.split()[-1] for line in nm.splitlines() if line.strip()}
    missing = sorted(required - exported)
    if not required:
        print("check_exports: found no declarations; the AST dump did not work")
        return 1
    if missing:
        names = subprocess.run(["c++filt"], input="\n".join(missing), capture_output=True, text=True).stdout
        print(f"check_exports: {len(missing)} of {len(required)} functions declared in the installed headers "
              f"are not exported by {library}:")
        print(names, end="")
        return 1
    print(f"check_exports: all {len(required)} functions declared in the installed headers are exported")
    return 0


if __name__ == "__main__":
    sys.exit(main())
