#!/usr/bin/env python3
"""Checks the folders against the CMake target links, from three sides:

  1. every `#include "dir/file.h"` of a file of ours names a header of the
     including target itself or of a target it links (directly or through
     others): a file never reaches a floor its target does not link;
  2. the folders are floors: a library links only libraries of its own
     folder or of folders added before it by the top CMakeLists.txt, which
     adds them from the bottom floor up;
  3. a library compiles only sources of its own folder (generated sources
     in that folder's build tree aside).

Which file belongs to which target comes from compile_commands.json; a
header belongs to the target that compiles the source of the same name
beside it, a header without one to the libraries of its folder (the
nearest folder above it that has any; one in a folder without libraries
serves only that folder). The links come from the target
graph that `cmake --graphviz` writes. Tests, fuzzers, benchmarks and test
addons are targets like any other for check 1 and may link any floor.

usage: include_links.py SOURCE_DIR BUILD_DIR TARGETS.dot
"""
import json
import os
import re
import shlex
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from target_cycles import read_graph  # noqa: E402

LIBRARY = re.compile(r"^(?!\w+_(test|addon|fuzz|bench)$)(risk_\w+|QuonRiskComm)$")
OBJECT_PATH = re.compile(r"^(?:(.*)/)?CMakeFiles/([^/]+)\.dir/")
INCLUDE = re.compile(r'^\s*#\s*include\s*"([^"]+)"')
SUBDIRECTORY = re.compile(r"^\s*add_subdirectory\(\s*([\w/.-]+)")
SOURCE_EXTENSIONS = (".cc", ".c", ".h")


def closure(graph):
    reach = {}

    def visit(target):
        if target not in reach:
            reach[target] = set()
            for used in graph.get(target, ()):
                reach[target] |= {used} | visit(used)
        return reach[target]

    for target in graph:
        visit(target)
    return reach


def read_compile_commands(build_dir):
    """[(absolute source path, target, folder of the defining CMakeLists,
    include roots)] for every compiled file."""
    with open(os.path.join(build_dir, "compile_commands.json")) as f:
        entries = json.load(f)
    units = []
    for entry in entries:
        args = entry.get("arguments") or shlex.split(entry["command"])
        output = entry.get("output")
        roots = []
        for i, arg in enumerate(args):
            if arg == "-o" and i + 1 < len(args) and not output:
                output = args[i + 1]
            for flag in ("-I", "-isystem"):
                if arg == flag and i + 1 < len(args):
                    roots.append(args[i + 1])
                elif arg.startswith(flag) and len(arg) > len(flag):
                    roots.append(arg[len(flag):])
        directory = entry["directory"]
        path = os.path.normpath(os.path.join(directory, entry["file"]))
        output = os.path.relpath(os.path.normpath(os.path.join(directory, output)), build_dir)
        found = OBJECT_PATH.match(output)
        if not found:
            raise SystemExit("no target in the object path %s of %s" % (output, path))
        roots = [os.path.normpath(os.path.join(directory, r)) for r in roots]
        units.append((path, found.group(2), found.group(1) or "", roots))
    return units


def folder_order(source_dir):
    """The folders in the order the top CMakeLists.txt adds them; the top
    folder itself ("") last."""
    order = []
    with open(os.path.join(source_dir, "CMakeLists.txt")) as f:
        for line in f:
            found = SUBDIRECTORY.match(line)
            if found:
                order.append(os.path.normpath(found.group(1)))
    return order + [""]


def inside(path, root):
    return os.path.commonpath([path, root]) == root


def main():
    if len(sys.argv) != 4:
        print(__doc__.strip(), file=sys.stderr)
        return 2
    source_dir, build_dir = (os.path.realpath(p) for p in sys.argv[1:3])
    graph = read_graph(sys.argv[3])
    reach = closure(graph)
    units = read_compile_commands(build_dir)
    order = folder_order(source_dir)
    errors = []

    # Who owns what: by include name (path below an include root, without
    # its extension), and the libraries of each source folder.
    owners, targets_of, folder_libraries, library_folder = {}, {}, {}, {}
    for path, target, folder, roots in units:
        if target not in graph:
            continue
        targets_of.setdefault(path, set()).add(target)
        for root in roots + [source_dir]:
            if (inside(root, source_dir) or inside(root, build_dir)) and inside(path, root):
                name = os.path.splitext(os.path.relpath(path, root))[0]
                owners.setdefault(name, set()).add(target)
        if LIBRARY.match(target):
            library_folder[target] = folder
            if inside(path, source_dir) and not inside(path, build_dir):
                here = os.path.dirname(os.path.relpath(path, source_dir))
                folder_libraries.setdefault(here, set()).add(target)
                if here != folder:
                    errors.append("%s (folder %s/) compiles %s of another folder" %
                                  (target, folder, os.path.relpath(path, source_dir)))
            elif not inside(path, os.path.join(build_dir, folder)):
                errors.append("%s compiles %s outside its folder" % (target, path))

    def libraries_owning(name):
        """The libraries a header belongs to."""
        mine = {t for t in owners.get(os.path.splitext(name)[0], ()) if LIBRARY.match(t)}
        if mine:
            return mine
        folder = os.path.dirname(name)
        while folder not in folder_libraries and folder:
            folder = os.path.dirname(folder)
        return folder_libraries.get(folder, set())

    checked = []

    def check(file_name, including):
        checked.append(file_name)
        with open(os.path.join(source_dir, file_name), errors="replace") as f:
            for number, line in enumerate(f, 1):
                found = INCLUDE.match(line)
                if not found:
                    continue
                name = os.path.normpath(found.group(1))
                ours = os.path.isfile(os.path.join(source_dir, name)) or \
                    os.path.splitext(name)[0] in owners
                if not ours:
                    continue
                providers = libraries_owning(name)
                if not providers:
                    # A helper of a folder without libraries (the fuzz
                    # targets' checks) serves only its own folder.
                    if name.split(os.sep)[0] != file_name.split(os.sep)[0]:
                        errors.append("%s:%d: includes %s, a helper of another folder" %
                                      (file_name, number, name))
                    continue
                allowed = any(providers & ({t} | reach.get(t, set())) for t in including)
                if not allowed:
                    errors.append("%s:%d: includes %s (%s), which %s does not link" %
                                  (file_name, number, name, " ".join(sorted(providers)),
                                   " / ".join(sorted(including))))

    # 1. Includes: every compiled file against its targets, every header
    # against the targets it belongs to.
    for path, including in sorted(targets_of.items()):
        if inside(path, source_dir) and not inside(path, build_dir):
            check(os.path.relpath(path, source_dir), including)
    for folder, dirs, files in os.walk(source_dir):
        dirs[:] = [d for d in dirs if not d.startswith(("build", ".")) and d != "node_modules"]
        for name in files:
            if name.endswith(".h"):
                header = os.path.relpath(os.path.join(folder, name), source_dir)
                owning = libraries_owning(header)
                if owning:
                    check(header, owning)

    # 2. Floors: a library links libraries of its folder or of earlier ones.
    def rank(folder):
        while folder not in order and folder:
            folder = os.path.dirname(folder)
        return order.index(folder) if folder in order else len(order)

    for library, folder in sorted(library_folder.items()):
        for used in sorted(graph.get(library, ())):
            if used in library_folder and rank(library_folder[used]) > rank(folder):
                errors.append("%s (folder %s/) links %s of the higher folder %s/" %
                              (library, folder, used, library_folder[used]))

    for error in errors:
        print(error, file=sys.stderr)
    if errors:
        return 1
    floors = {}
    for library, folder in library_folder.items():
        floors.setdefault(folder, []).append(library)
    for folder in sorted(floors, key=rank):
        print("%-20s %s" % ((folder or ".") + "/", " ".join(sorted(floors[folder]))))
    print("%d files: every include follows the links of its target; the folders are floors" %
          len(checked))
    return 0


if __name__ == "__main__":
    sys.exit(main())
