#!/usr/bin/env python3
"""Checks every #include of the tree against the layout table of README.md.

Usage: check_layers.py [ROOT]   (ROOT defaults to the project folder)

The table under the heading "Layout" is the only allow-list: which of our
folders a folder may include, and which headers from outside the project it
may use. This script knows only the C++ standard library's headers. Prints
one line per violation and exits 1 when there is any, 2 when the table
itself cannot be read.
"""
import fnmatch
import os
import posixpath
import re
import sys

# Headers of the C++20 standard library (and the <c...> forms of the C
# library), allowed in every folder.
STANDARD_CXX_HEADERS = frozenset("""
    algorithm any array atomic barrier bit bitset charconv chrono codecvt
    compare complex concepts condition_variable coroutine deque exception
    execution filesystem format forward_list fstream functional future
    initializer_list iomanip ios iosfwd iostream istream iterator latch limits
    list locale map memory memory_resource mutex new numbers numeric optional
    ostream queue random ranges ratio regex scoped_allocator semaphore set
    shared_mutex source_location span sstream stack stdexcept stop_token
    streambuf string string_view strstream syncstream system_error thread
    tuple type_traits typeindex typeinfo unordered_map unordered_set utility
    valarray variant vector version
    cassert cctype cerrno cfenv cfloat cinttypes climits clocale cmath
    csetjmp csignal cstdarg cstddef cstdint cstdio cstdlib cstring ctime
    cuchar cwchar cwctype
""".split())

# C library headers whose <c...> form is the one to use above platform/.
C_HEADERS = frozenset("""
    assert.h ctype.h errno.h fenv.h float.h inttypes.h limits.h locale.h
    math.h setjmp.h signal.h stdarg.h stddef.h stdint.h stdio.h stdlib.h
    string.h time.h uchar.h wchar.h wctype.h
""".split())

SOURCE_SUFFIXES = (".h", ".cpp", ".inc")
INCLUDE_RE = re.compile(r'^\s*#\s*include\s*(?:"([^"]+)"|<([^>]+)>)')
TICKED_RE = re.compile(r"`([^`]+)`")


class TableError(Exception):
    pass


class Row:
    def __init__(self, folder, may_include, outside):
        self.folder = folder            # "lowlevel/heap/"
        self.may_include = may_include  # folders, or ["*"]
        self.outside = outside          # fnmatch patterns


def split_cells(line):
    cells = line.strip().strip("|").split("|")
    return [c.strip() for c in cells]


def read_table(readme_path):
    """Rows of the first table under the "## Layout" heading."""
    try:
        with open(readme_path, encoding="utf-8") as f:
            lines = f.read().splitlines()
    except OSError as e:
        raise TableError(f"{readme_path}: cannot read ({e.strerror})")
    try:
        start = next(i for i, l in enumerate(lines)
                     if re.match(r"^##\s+Layout\s*$", l))
    except StopIteration:
        raise TableError(f"{readme_path}: no section \"## Layout\"")
    table = []
    for lineno, line in enumerate(lines[start + 1:], start + 2):
        if line.startswith("## "):
            break
        if line.lstrip().startswith("|"):
            table.append((lineno, line))
        elif table:
            break
    if len(table) < 2:
        raise TableError(f"{readme_path}: no table in section \"Layout\"")

    header = [c.lower() for c in split_cells(table[0][1])]
    try:
        col_folder = header.index("folder")
        col_include = header.index("may include")
        col_outside = header.index("outside headers")
    except ValueError:
        raise TableError(f"{readme_path}:{table[0][0]}: the layout table needs "
                         "the columns \"folder\", \"may include\" and "
                         "\"outside headers\"")

    rows = {}
    for lineno, line in table[2:]:
        where = f"{readme_path}:{lineno}"
        cells = split_cells(line)
        if len(cells) != len(header):
            raise TableError(f"{where}: {len(cells)} cells, the header has "
                             f"{len(header)}")
        folders = TICKED_RE.findall(cells[col_folder])
        if len(folders) != 1 or not folders[0].endswith("/"):
            raise TableError(f"{where}: the folder cell must hold one "
                             "`folder/`")
        folder = folders[0]
        may_include = TICKED_RE.findall(cells[col_include])
        for entry in may_include:
            if entry != "*" and not entry.endswith("/"):
                raise TableError(f"{where}: \"{entry}\" in \"may include\" "
                                 "is no `folder/`")
        if folder in rows:
            raise TableError(f"{where}: a second row for {folder}")
        rows[folder] = Row(folder, may_include,
                           TICKED_RE.findall(cells[col_outside]))
    return rows


def row_of(rows, path):
    """The longest row whose folder holds path, or None."""
    best = None
    for folder, row in rows.items():
        if path.startswith(folder) and (best is None or
                                        len(folder) > len(best.folder)):
            best = row
    return best


def source_files(root):
    for dirpath, dirnames, filenames in os.walk(root):
        rel_dir = os.path.relpath(dirpath, root)
        # Build output and hidden folders (.git, editor caches) are not ours.
        dirnames[:] = sorted(d for d in dirnames if not d.startswith(".")
                             and not (rel_dir == "." and (d == "build" or d.startswith("build-"))))
        for name in sorted(filenames):
            if name.endswith(SOURCE_SUFFIXES):
                yield posixpath.normpath(
                    posixpath.join(rel_dir.replace(os.sep, "/"), name))


def resolve_ours(root, rel_file, target, quoted):
    """The tree path an include names, or None for a header from outside.

    Like the compiler, a quoted name is looked up beside the including file
    first; then every name from the project folder (the include path of
    every target)."""
    if quoted:
        beside = posixpath.normpath(
            posixpath.join(posixpath.dirname(rel_file), target))
        if not beside.startswith("../") and os.path.isfile(
                os.path.join(root, beside)):
            return beside
    from_root = posixpath.normpath(target)
    if from_root.startswith("../"):
        return None
    first = from_root.split("/")[0]
    if "/" in from_root and os.path.isdir(os.path.join(root, first)):
        return from_root
    return None


def may_include_ours(rows, row, target):
    if "*" in row.may_include:
        return True
    # Its own folder and subfolders without a row of their own.
    if row_of(rows, target) is row:
        return True
    return any(target.startswith(entry) for entry in row.may_include)


def may_include_outside(row, header):
    if header in STANDARD_CXX_HEADERS:
        return True
    return any(fnmatch.fnmatchcase(header, p) for p in row.outside)


def check_file(root, rows, rel_file):
    row = row_of(rows, rel_file)
    if row is None:
        folder = posixpath.dirname(rel_file) + "/" if "/" in rel_file else "./"
        return [f"{rel_file}:1: folder {folder} has no row in the layout "
                "table"]
    out = []
    try:
        with open(os.path.join(root, rel_file), encoding="utf-8",
                  errors="replace") as f:
            lines = f.read().splitlines()
    except OSError as e:
        return [f"{rel_file}:1: cannot read ({e.strerror})"]
    for lineno, line in enumerate(lines, 1):
        m = INCLUDE_RE.match(line)
        if not m:
            continue
        quoted, angled = m.group(1), m.group(2)
        name = quoted if quoted is not None else angled
        shown = f'"{name}"' if quoted is not None else f"<{name}>"
        ours = resolve_ours(root, rel_file, name, quoted is not None)
        if ours is not None:
            if not may_include_ours(rows, row, ours):
                target_row = row_of(rows, ours)
                target = (target_row.folder if target_row
                          else posixpath.dirname(ours) + "/")
                out.append(f"{rel_file}:{lineno}: include of {shown} "
                           f"(folder {row.folder} may not include {target})")
        elif not may_include_outside(row, name):
            if name in C_HEADERS:
                what = f"C header {shown}, use <c{name[:-2]}>"
            else:
                what = f"outside header {shown}"
            out.append(f"{rel_file}:{lineno}: {what} "
                       f"(folder {row.folder} may not include {name})")
    return out


def main(argv):
    if len(argv) > 2:
        print("usage: check_layers.py [ROOT]", file=sys.stderr)
        return 2
    root = argv[1] if len(argv) == 2 else os.path.join(
        os.path.dirname(os.path.abspath(__file__)), "..")
    root = os.path.abspath(root)
    try:
        rows = read_table(os.path.join(root, "README.md"))
    except TableError as e:
        print(f"check_layers: {e}", file=sys.stderr)
        return 2
    violations = []
    for rel_file in source_files(root):
        violations += check_file(root, rows, rel_file)
    for v in violations:
        print(v)
    if violations:
        print(f"check_layers: {len(violations)} violation(s) of the layout "
              "table in README.md", file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
