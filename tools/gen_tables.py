#!/usr/bin/env python3
"""Generates the C++ table sources from the plain-text tables in tools/tables.

Every module in tools/tablegen/ exposes
    generate(tables: Tables) -> dict[str, str]
mapping a path relative to the repository root to the file's content.

    gen_tables.py           write the generated sources
    gen_tables.py --check   exit 1 if a committed source differs from the output
"""
import importlib.util
import pathlib
import sys

ROOT = pathlib.Path(__file__).resolve().parent.parent
TABLES = ROOT / "tools" / "tables"
MODULES = ROOT / "tools" / "tablegen"


class Table:
    """One .tbl file: description, column names and rows of strings."""

    def __init__(self, path):
        lines = path.read_text(encoding="utf-8").splitlines()
        self.name = path.stem
        self.description = lines[0].lstrip("# ").strip()
        count = int(lines[1].split(":", 1)[1])
        self.columns = lines[2].split(":", 1)[1].split()
        self.rows = [l.split() for l in lines[3:] if l.strip() and not l.startswith("#")]
        if len(self.rows) != count:
            raise ValueError(f"{path}: {len(self.rows)} rows, header says {count}")

    def column(self, name, conv=str):
        i = self.columns.index(name)
        return [conv(r[i]) for r in self.rows]


class Tables:
    def __init__(self, folder):
        self.folder = folder
        self._cache = {}

    def __getitem__(self, name):
        if name not in self._cache:
            self._cache[name] = Table(self.folder / f"{name}.tbl")
        return self._cache[name]


def load_module(path):
    spec = importlib.util.spec_from_file_location(path.stem, path)
    mod = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(mod)
    return mod


def generate_all():
    sys.path.insert(0, str(MODULES))
    tables = Tables(TABLES)
    out = {}
    for path in sorted(MODULES.glob("*.py")):
        if path.name.startswith("_"):
            continue
        for rel, content in load_module(path).generate(tables).items():
            if rel in out:
                raise ValueError(f"{rel} generated twice")
            # Generated sources keep the generator's layout.
            out[rel] = "// clang-format off\n" + content
    return out


def main(argv):
    check = "--check" in argv
    stale = []
    for rel, content in generate_all().items():
        target = ROOT / rel
        if check:
            if not target.exists() or target.read_text(encoding="utf-8") != content:
                stale.append(rel)
        else:
            target.parent.mkdir(parents=True, exist_ok=True)
            if not target.exists() or target.read_text(encoding="utf-8") != content:
                target.write_text(content, encoding="utf-8")
                print(f"wrote {rel}")
    if stale:
        print("generated sources out of date (run tools/gen_tables.py):", *stale, sep="\n  ")
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
