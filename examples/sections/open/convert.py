#!/usr/bin/env python3
"""Converts the open section tables this folder ships from their source repositories into CSV files.

    convert.py STRUCTURALCODES_CHECKOUT BLUEPRINTS_CHECKOUT [OUT_DIR]

Not needed to build or use the catalog: it documents where every row came from and lets them be converted
again from a newer checkout. The sources are read as text (Python's ast), never imported, so neither package
nor its dependencies need be installed. Families the sample catalog already carries with published properties
(IPE, HEA, HEB, UPN, L) are left out, so that no designation is in two families.
"""

import ast
import csv
import os
import re
import sys

SAMPLE_FAMILIES = {"IPE", "HEA", "HEB", "UPN", "L"}

# family -> (source file, class, shape code, standard as the source states it)
STRUCTURALCODES = [
    ("HD", "_hd.py", "HD", "I", "Euronorm 53-62 (as the source states; now EN 10365:2017)"),
    ("HEA", "_he.py", "HE", "I", "Euronorm 53-62 (as the source states; now EN 10365:2017)"),
    ("HEB", "_he.py", "HE", "I", "Euronorm 53-62 (as the source states; now EN 10365:2017)"),
    ("HEM", "_he.py", "HE", "I", "Euronorm 53-62 (as the source states; now EN 10365:2017)"),
    ("HP", "_hp.py", "HP", "I", "usually EN 10365:2017; the source names none"),
    ("IPE", "_ipe.py", "IPE", "I", "Euronorm 19-57 (as the source states)"),
    ("IPN", "_ipn.py", "IPN", "IT", "usually DIN 1025-1 or EN 10365:2017 (14 % flange slope); the source names none"),
    ("L", "_l.py", "L", "L", "usually EN 10056-1; the source names none"),
    ("LI", "_li.py", "LI", "L", "usually EN 10056-1; the source names none"),
    ("U", "_u.py", "U", "UT", "EN 10279 (as the source states; no edition)"),
    ("UB", "_ub.py", "UB", "I", "usually BS 4-1; the source names none"),
    ("UBP", "_ubp.py", "UBP", "I", "usually BS 4-1; the source names none"),
    ("UC", "_uc.py", "UC", "I", "usually BS 4-1; the source names none"),
    ("UPE", "_upe.py", "UPE", "U", "EN 10365:2017 (as the source states)"),
    ("UPN", "_upn.py", "UPN", "UT", "usually DIN 1026-1 or EN 10365:2017; the source names none"),
    ("W", "_w.py", "W", "I", "ASTM A 6/A 6M (as the source states; no edition)"),
]

BLUEPRINTS = [
    ("CHS", "chs.py", "CHS", "usually EN 10210-2 or EN 10219-2; the source names none"),
    ("RHS", "rhs.py", "RHS", "usually EN 10210-2 (hot-finished); the source names none"),
    ("RHSCF", "rhscf.py", "RHS", "usually EN 10219-2 (cold-formed); the source names none"),
    ("SHS", "shs.py", "RHS", "usually EN 10210-2 (hot-finished); the source names none"),
    ("SHSCF", "shscf.py", "RHS", "usually EN 10219-2 (cold-formed); the source names none"),
]

# Dimensions kept per shape, in the catalog's column order. IPN and UPN also give d, the straight web depth,
# which follows from the others and is left out.
COLUMNS = {
    "I": ["h", "b", "tw", "tf", "r"],
    "IT": ["h", "b", "tw", "tf", "r1", "r2"],
    "U": ["h", "b", "tw", "tf", "r"],
    "UT": ["h", "b", "tw", "tf", "r1", "r2"],
    "L": ["h", "b", "t", "r1", "r2"],
    "RHS": ["h", "b", "t", "ro", "ri"],
    "CHS": ["d", "t"],
}


def designation(key):
    """'IPE80' -> 'IPE 80', 'L120x80x8' -> 'L 120x80x8': a space after the letters, as the sample names are."""
    m = re.match(r"([A-Z]+)(.*)", key)
    return f"{m.group(1)} {m.group(2)}"


def parameters(path, cls):
    tree = ast.parse(open(path, encoding="utf-8").read())
    for node in tree.body:
        if isinstance(node, ast.ClassDef) and node.name == cls:
            for stmt in node.body:
                if isinstance(stmt, ast.Assign) and getattr(stmt.targets[0], "id", "") == "parameters":
                    return ast.literal_eval(stmt.value)
    raise SystemExit(f"{path}: no parameters table in class {cls}")


def database(path):
    tree = ast.parse(open(path, encoding="utf-8").read())
    for node in ast.walk(tree):
        if isinstance(node, ast.Assign) and isinstance(node.value, ast.Dict):
            if getattr(node.targets[0], "id", "").endswith("_PROFILES_DATABASE"):
                return [[ast.literal_eval(a) for a in v.args] for v in node.value.values]
    raise SystemExit(f"{path}: no profile database")


def number(v):
    text = repr(float(v))
    return text[:-2] if text.endswith(".0") else text


def write(out_dir, family, shape, standard, rows):
    cols = COLUMNS[shape]
    with open(os.path.join(out_dir, family + ".csv"), "w", newline="", encoding="utf-8") as f:
        w = csv.writer(f, lineterminator="\n")
        w.writerow(["Name", "Shape", "Standard"] + cols)
        for name, dims in rows:
            w.writerow([name, shape, standard] + [number(dims[c]) for c in cols])
    return len(rows)


def main():
    if len(sys.argv) not in (3, 4):
        raise SystemExit(__doc__)
    sc, bp = sys.argv[1], sys.argv[2]
    out_dir = sys.argv[3] if len(sys.argv) == 4 else os.path.dirname(os.path.abspath(__file__))
    families = []
    profiles = os.path.join(sc, "structuralcodes", "geometry", "profiles")
    for family, file, cls, shape, standard in STRUCTURALCODES:
        if family in SAMPLE_FAMILIES:
            continue
        table = parameters(os.path.join(profiles, file), cls)
        rows = [(designation(k), v) for k, v in table.items() if cls != "HE" or k.startswith(family)]
        n = write(out_dir, family, shape, standard, rows)
        families.append((family, shape, standard, "structuralcodes", "Apache-2.0", n))
    std = os.path.join(bp, "blueprints", "structural_sections", "steel", "standard_profiles")
    for family, file, shape, standard in BLUEPRINTS:
        rows = []
        for r in database(os.path.join(std, file)):
            name = r[0] if " " in r[0] else designation(r[0])
            if shape == "CHS":
                rows.append((name, {"d": r[1], "t": r[2]}))
                continue
            # Blueprints gives each wall and corner its own value; the standard sections have one of each.
            walls, outer, inner = set(r[3:7]), set(r[7:11]), set(r[11:15])
            if len(walls) != 1 or len(outer) != 1 or len(inner) != 1:
                raise SystemExit(f"{file}: {r[0]} has walls or corners of different sizes")
            rows.append((name, {"h": r[1], "b": r[2], "t": r[3], "ro": r[7], "ri": r[11]}))
        n = write(out_dir, family, shape, standard, rows)
        families.append((family, shape, standard, "Blueprints", "MIT", n))
    with open(os.path.join(out_dir, "families.csv"), "w", newline="", encoding="utf-8") as f:
        w = csv.writer(f, lineterminator="\n")
        w.writerow(["Family", "Code", "Shape", "Standard", "Source", "Licence", "Rows"])
        for family, shape, standard, source, licence, n in families:
            w.writerow([family, family, shape, standard, source, licence, n])
    print(f"{sum(f[-1] for f in families)} rows in {len(families)} families")


if __name__ == "__main__":
    main()
