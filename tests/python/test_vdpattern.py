"""The Python module on real catalog files: units, ownership, errors, closing, columns and frames."""

import gc
import logging
import os
import sqlite3
import sys
import threading
import uuid

import numpy
import pytest

import vdpattern


@pytest.fixture
def catalog_path(tmp_path):
    """A catalog with IPE (h in mm, A in cm2, a text and an integer column) holding two beams."""
    path = str(tmp_path / "sections.mdb")
    vdpattern.create_catalog(path, "Steel sections", editor="tests")
    vdpattern.add_family(path, "IPE", "I", [("h", "DOUBLE", "mm"), ("A", "DOUBLE", "cm2"),
                                            ("grade", "TEXT", ""), ("rank", "INTEGER", "")])
    with vdpattern.Catalog(path) as c:
        c.insert(vdpattern.Pattern("IPE 200", "IPE", {"h": 200.0, "A": 28.48, "grade": "S235", "rank": 2}))
        c.insert(vdpattern.Pattern("IPE 100", "IPE", {"h": 100.0, "A": 10.32, "grade": "S355", "rank": None}))
    return path


def test_values_follow_the_host_metrics_everywhere(catalog_path):
    # Stored mm and cm2; a host in metres (metrics 1) and one in millimetres (metrics 1000).
    metres = vdpattern.Manager(metrics=1)
    assert metres.attach(catalog_path) == "sections"
    p = metres.get("IPE 200")
    assert (p.name, p.family.upper(), p.catalog) == ("IPE 200", "IPE", "sections")
    assert p["h"] == pytest.approx(0.2) and p["A"] == pytest.approx(28.48e-4)
    assert p.params["grade"] == "S235" and p["rank"] == 2
    assert p.units == {"h": "m", "a": "m2"}  # the units the values are in: the host's

    mm = vdpattern.Manager(metrics=1000)
    mm.attach(catalog_path)
    assert mm.get("ipe 200 mm")["A"] == pytest.approx(2848.0)  # names are normalised as the library does

    with vdpattern.Catalog(catalog_path) as stored:
        assert stored.units("IPE") == {"h": "mm", "a": "cm2"} == stored.get("IPE 200").units
    with vdpattern.Catalog(catalog_path, metrics=1000) as c:
        assert c.units("IPE") == {"h": "mm", "a": "mm2"} == c.get("IPE 200").units
        assert c.get("IPE 100")["A"] == pytest.approx(1032.0)
        assert [x["A"] for x in c.family("IPE")] == pytest.approx([1032.0, 2848.0])
        assert [x["rank"] for x in c.family("IPE")] == [None, 2]  # a missing value, not 0
        assert c.column("IPE", "A") == pytest.approx([1032.0, 2848.0])
        # A write in host units is stored in catalog units.
        c.insert(vdpattern.Pattern("IPE 300", "IPE", {"h": 300.0, "A": 5381.0}))
    with vdpattern.Catalog(catalog_path) as stored:  # no metrics: as stored
        assert stored.get("IPE 300")["A"] == pytest.approx(53.81)
    with pytest.raises(ValueError):
        vdpattern.Manager(metrics=0)


def test_unit_labels_name_the_units_of_the_values(tmp_path):
    path = str(tmp_path / "units.mdb")
    vdpattern.create_catalog(path, "Units")
    stored = {"l": "cm", "i": "cm4", "f": "MPa", "q": "kN/m", "m": "kNm", "w": "t/m", "r": "deg", "p": "%",
              "c": "1/m", "s": "N.mm^2", "n": ""}
    vdpattern.add_family(path, "U", "U", [(k, "DOUBLE", u) for k, u in stored.items()])
    with vdpattern.Catalog(path) as c:
        c.insert(vdpattern.Pattern("U 1", "U", {k: 1.0 for k in stored}))
    expected = {  # metrics: the label of each column, and the value that a stored 1 reads as
        1000: {"l": ("mm", 10), "i": ("mm4", 1e4), "f": ("N/mm2", 1), "q": ("N/mm", 1), "m": ("N.mm", 1e6),
               "w": ("kg/mm", 1), "r": ("rad", 0.017453292519943295), "p": ("", 0.01), "c": ("1/mm", 1e-3),
               "s": ("N.mm2", 1)},
        1: {"l": ("m", 0.01), "i": ("m4", 1e-8), "f": ("N/m2", 1e6), "m": ("N.m", 1e3), "c": ("1/m", 1)},
        1 / 0.0254: {"l": ("in", 1 / 2.54), "f": ("N/in2", 1e6 * 0.0254 ** 2)},
    }
    for metrics, columns in expected.items():
        with vdpattern.Catalog(path, metrics=metrics) as c:
            units, pattern = c.units("U"), c.get("U 1")
            for column, (label, value) in columns.items():
                assert (column, units[column], pattern[column]) == (column, label, pytest.approx(value))
            assert "n" not in units  # no unit, no label
    with vdpattern.Catalog(path, metrics=250) as c:  # a host length without a symbol is named through the metre
        assert c.units("U")["i"] == "(m/250)4"


def test_each_pattern_has_one_owner(catalog_path):
    m = vdpattern.Manager(metrics=1000)
    m.attach(catalog_path)
    p = m.get("IPE 200")
    guid = p.guid
    assert m.keep(p) and len(m) == 1
    assert not m.keep(p)  # the pool refuses a second pattern of that name
    p["h"] = 1.0  # Python's pattern is not the pool's
    del p
    gc.collect()
    pooled = m.get("IPE 200")  # a pool hit comes back as a copy with the pool pattern's GUID
    assert pooled.guid == guid and pooled["h"] == 200.0
    pooled["h"] = 2.0
    assert m.get("IPE 200")["h"] == 200.0

    # Patterns read from a catalog outlive it, the manager and each other.
    with vdpattern.Catalog(catalog_path) as c:
        beams = c.family("IPE")
        single = c.get("IPE 100")
    del m, pooled
    gc.collect()
    assert [b.name for b in beams] == ["IPE 100", "IPE 200"]
    assert single["h"] == 100.0 and len({b.guid for b in beams}) == 2
    # A pattern inserted stays Python's: the catalog only reads it.
    extra = vdpattern.Pattern("IPE 80", "IPE", {"h": 80.0})
    with vdpattern.Catalog(catalog_path) as c:
        c.insert(extra)
        c.insert(extra)  # the same name again overwrites
        assert len(c.family("IPE")) == 3
    assert extra["h"] == 80.0 and "h" in extra and len(extra) == 1 and extra.units == {}


def test_not_found_and_database_failures_raise(catalog_path, tmp_path, caplog):
    m = vdpattern.Manager()
    m.attach(catalog_path)
    with vdpattern.Catalog(catalog_path) as c:
        for call in (lambda: m.get("HEB 999"), lambda: c.get("HEB 999"), lambda: c.remove("HEB 999"),
                     lambda: c.family("HEB"), lambda: c.column("IPE", "tw"), lambda: m.detach("other"),
                     lambda: c.get("IPE 200", family="HEA")):
            with pytest.raises(KeyError):
                call()
        with pytest.raises(TypeError):
            vdpattern.Pattern("X", "IPE", {"h": [1]})
        with pytest.raises(ValueError):
            c.insert(vdpattern.Pattern("no family", ""))
    with pytest.raises(ValueError):
        m.attach(catalog_path)  # one catalog of that name per manager

    damaged = tmp_path / "damaged.mdb"
    damaged.write_bytes(b"not a database at all" * 100)
    with caplog.at_level(logging.ERROR, logger="vdpattern"):
        with pytest.raises(vdpattern.DatabaseError) as error:
            vdpattern.Catalog(str(damaged))
    assert len(error.value.state) == 5 and "damaged.mdb" in str(error.value)
    assert any(r.name == "vdpattern" for r in caplog.records)  # the library's report, through logging
    with pytest.raises(vdpattern.DatabaseError):
        vdpattern.create_catalog(catalog_path, "Steel sections")  # never over an existing file

    # A report raised on another thread, while the GIL is released, reaches logging too.
    caplog.clear()
    errors = []

    def worker():
        try:
            vdpattern.Catalog(str(damaged))
        except vdpattern.DatabaseError as e:
            errors.append(e.state)

    with caplog.at_level(logging.ERROR, logger="vdpattern"):
        thread = threading.Thread(target=worker)
        thread.start()
        thread.join(60)
    assert not thread.is_alive() and len(errors) == 1 and caplog.records


def test_closing_lets_go_of_the_file(catalog_path):
    with vdpattern.Catalog(catalog_path) as c:
        assert c.families() == ["IPE"] and c.name == "sections"
        c.remove("IPE 100")
        with pytest.raises(KeyError):
            c.get("IPE 100")
    for call in (c.families, lambda: c.get("IPE 200"), lambda: c.frame("IPE")):
        with pytest.raises(ValueError):
            call()
    c.close()  # twice is harmless
    # Nothing holds the file: another program takes its write lock at once.
    db = sqlite3.connect(catalog_path, timeout=0)
    db.execute("BEGIN EXCLUSIVE")
    db.execute("DELETE FROM [IPE]")
    db.commit()
    db.close()
    with vdpattern.Catalog(catalog_path) as again:
        assert again.family("IPE") == []


def test_columns_and_frames_keep_types_and_units(catalog_path, monkeypatch):
    with vdpattern.Catalog(catalog_path, metrics=1000) as c:
        c.insert(vdpattern.Pattern("IPE 80", "IPE", {"h": 80.0, "A": 764.0, "grade": None, "rank": 1}))
        c.insert(vdpattern.Pattern("ipe 9", "IPE", {"h": 9.0, "A": 1.0, "rank": 3}))
        columns = c.columns("IPE")
        # The table's columns in its order and spelling; rows in natural order, case ignored.
        assert list(columns) == ["Name", "h", "A", "grade", "rank"]
        assert list(columns["Name"]) == ["ipe 9", "IPE 80", "IPE 100", "IPE 200"]
        assert columns["h"].dtype == numpy.float64 and list(columns["grade"]) == [None, None, "S355", "S235"]
        # A missing value is NaN, so an integer column with one is float64; without one it stays int64.
        assert columns["rank"].dtype == numpy.float64 and numpy.isnan(columns["rank"][2])
        assert list(c.column("IPE", "a")) == pytest.approx([1.0, 764.0, 1032.0, 2848.0])
        c.remove("IPE 100")
        assert c.column("IPE", "RANK").dtype == numpy.int64
        df = c.frame("IPE")
        assert list(df.columns) == ["Name", "h", "A", "grade", "rank"] and len(df) == 3
        assert df.attrs["units"] == {"h": "mm", "A": "mm2"}
        assert df.loc[df["Name"] == "IPE 200", "A"].iloc[0] == pytest.approx(2848.0)
        monkeypatch.setitem(sys.modules, "pandas", None)  # as if pandas were not installed
        with pytest.raises(ImportError, match="pandas"):
            c.frame("IPE")


def test_server_catalog(tmp_path):
    base = os.environ.get("VDPATTERN_TEST_PG")
    if not base:
        if os.environ.get("CI") == "true":
            pytest.fail("no PostgreSQL server (set VDPATTERN_TEST_PG)")
        pytest.skip("no PostgreSQL server configured (VDPATTERN_TEST_PG)")
    # A schema of its own on the throwaway server, which goes away with the server.
    address = base + ("&" if "?" in base else "?") + "catalog=pytest_" + uuid.uuid4().hex[:12]
    vdpattern.create_catalog(address, "Steel sections")
    vdpattern.add_family(address, "HEA", "H", [("h", "DOUBLE", "mm")])
    with vdpattern.Catalog(address) as c:
        c.insert(vdpattern.Pattern("HEA 100", "HEA", {"h": 96.0}))
    link = tmp_path / "steel.mdb"  # a link file, under the name a host expects of a catalog file
    link.write_text("# vdpattern catalog link\n" + address + "\n")
    m = vdpattern.Manager(metrics=1)
    m.attach(str(link))
    assert m.get("HEA 100")["h"] == pytest.approx(0.096)
    with vdpattern.Catalog(address, metrics=1000) as c:
        assert list(c.frame("HEA")["h"]) == [96.0]


def test_objects_refuse_other_threads(catalog_path):
    """A catalog or manager runs its calls without the GIL: a second thread is refused, never let race them."""
    m = vdpattern.Manager(metrics=1000)
    m.attach(catalog_path)
    refused = []
    with vdpattern.Catalog(catalog_path) as c:
        pattern = c.get("IPE 200")

        def worker():
            for call in (c.families, lambda: c.get("IPE 200"), c.close, lambda: m.get("IPE 200"), m.catalogs):
                try:
                    call()
                except RuntimeError:
                    refused.append(call)
            pattern["h"] = 1.0  # a pattern is plain data: any thread may change it

        thread = threading.Thread(target=worker)
        thread.start()
        thread.join(60)
        assert len(refused) == 5 and c.families() == ["IPE"] and m.get("IPE 200")["h"] == 200.0


@pytest.fixture(params=["file", "server"])
def typed(request, tmp_path):
    """A catalog (a file, or a schema on the test server) whose family T has a column of each kind."""
    if request.param == "file":
        path = str(tmp_path / "typed.mdb")
    else:
        base = os.environ.get("VDPATTERN_TEST_PG")
        if not base:
            pytest.skip("no PostgreSQL server configured (VDPATTERN_TEST_PG)")
        path = base + ("&" if "?" in base else "?") + "catalog=pytest_" + uuid.uuid4().hex[:12]
    vdpattern.create_catalog(path, "Typed")
    vdpattern.add_family(path, "T", "T", [("h", "DOUBLE", "mm"), ("n", "LONG", ""), ("b", "BIGINT", ""),
                                          ("s", "SHORT", ""), ("f", "SINGLE", ""), ("ok", "BIT", ""),
                                          ("txt", "TEXT", ""), ("d", "DATETIME", "")])
    with vdpattern.Catalog(path) as c:
        c.insert(vdpattern.Pattern("x", "T", {"h": 1.0, "n": 1, "txt": "one"}))
    return request.param, path


def test_numbers_are_stored_exactly_or_refused(typed):
    engine, path = typed
    stored = [("h", 2**32, 2.0**32), ("h", 2**31, 2.0**31), ("h", 2**40 + 7, 2.0**40 + 7), ("h", 2**53, 2.0**53),
              ("h", -2**53, -2.0**53), ("h", -2**63, -2.0**63), ("h", 2**64, 2.0**64), ("h", True, 1.0), ("n", 2**31 - 1, 2**31 - 1),
              ("n", -2**31, -2**31), ("n", 7.0, 7), ("s", -2**15, -2**15), ("f", 2**24, 2.0**24),
              ("ok", True, True), ("ok", 0, False), ("b", -2**63, None), ("b", 2**63 - 1, None)]
    overflow = [("h", 2**53 + 1), ("h", 2**63 - 1), ("h", -2**63 + 1), ("h", 10**30), ("h", -(10**30)), ("n", 2**31),
                ("n", -2**31 - 1), ("n", 2**40 + 7), ("n", 2.0**40), ("b", 2**63), ("b", 2.0**63), ("s", 2**15),
                ("f", 2**24 + 1), ("f", 1e39)]
    with vdpattern.Catalog(path) as c:
        for param, value, expected in stored:
            c.insert(vdpattern.Pattern("x", "T", {param: value}))
            got = c.get("x")[param]
            if expected is not None:  # one beyond a double reads back as its digits: checked in the file below
                assert got == expected and type(got) is type(expected), (param, value, got)
        before = c.get("x").params
        for param, value in overflow:
            with pytest.raises(OverflowError, match="parameter " + param):
                c.insert(vdpattern.Pattern("x", "T", {param: value}))
        assert c.get("x").params == before  # nothing refused was stored
    if engine == "file":
        db = sqlite3.connect(path)
        assert db.execute("SELECT b, typeof(b) FROM [T]").fetchone() == (2**63 - 1, "integer")
        db.close()
    # An int is converted into the column's unit as a float is.
    with vdpattern.Catalog(path, metrics=1) as c:
        c.insert(vdpattern.Pattern("y", "T", {"h": 3}))
    with vdpattern.Catalog(path) as c:
        assert c.get("y")["h"] == pytest.approx(3000.0)


def test_values_that_would_be_lost_are_refused(typed):
    _, path = typed
    refused = [({"ly": 45.1}, KeyError, "ly"), ({"h": 2.0, "zz": 1}, KeyError, "zz"), ({"Name": "y"}, KeyError, "name"),
               ({"h": "12"}, ValueError, "h"), ({"n": "7"}, ValueError, "n"), ({"n": 2.5}, ValueError, "n"),
               ({"ok": 2}, ValueError, "ok"), ({"ok": 1.0}, ValueError, "ok"), ({"txt": 5}, ValueError, "txt"),
               ({"txt": True}, ValueError, "txt"), ({"d": "1st of May"}, ValueError, "d"), ({"d": 45000}, ValueError, "d")]
    with vdpattern.Catalog(path) as c:
        before = c.get("x").params
        for params, error, param in refused:
            with pytest.raises(error, match="parameter " + param):
                c.insert(vdpattern.Pattern("x", "T", params))
            with pytest.raises(error):
                c.insert(vdpattern.Pattern("new", "T", params))
        assert c.get("x").params == before
        with pytest.raises(KeyError):
            c.get("new")
        for value in (float("nan"), float("inf"), -float("inf")):
            with pytest.raises(ValueError, match="parameter h"):
                vdpattern.Pattern("x", "T", {"h": value})
        c.insert(vdpattern.Pattern("x", "T", {"d": "2024-05-01 12:30:00", "txt": "two"}))
        assert (c.get("x")["d"], c.get("x")["txt"]) == ("2024-05-01 12:30:00", "two")


def test_a_nul_in_any_text_is_refused(catalog_path, tmp_path):
    nul = "\x00junk"
    m = vdpattern.Manager()
    m.attach(catalog_path)
    p = vdpattern.Pattern("x", "IPE")
    fresh = str(tmp_path / "fresh.mdb")
    with vdpattern.Catalog(catalog_path) as c:
        calls = [lambda: vdpattern.Catalog(catalog_path + nul), lambda: vdpattern.Catalog(catalog_path + nul, 1.0),
                 lambda: m.attach(catalog_path + nul), lambda: m.get("IPE 200" + nul), lambda: m.detach("sections" + nul),
                 lambda: c.get("IPE 200" + nul), lambda: c.get("IPE 200", "IPE" + nul), lambda: c.remove("IPE 200" + nul),
                 lambda: c.remove("IPE 200", "IPE" + nul), lambda: c.family("IPE" + nul), lambda: c.units("IPE" + nul),
                 lambda: c.columns("IPE" + nul), lambda: c.column("IPE", "h" + nul), lambda: c.frame("IPE" + nul),
                 lambda: vdpattern.Pattern("x7" + nul, "IPE"), lambda: vdpattern.Pattern("x", "IPE" + nul),
                 lambda: vdpattern.Pattern("x", "IPE", {"h" + nul: 1.0}),
                 lambda: vdpattern.Pattern("x", "IPE", {"grade": "S" + nul}), lambda: setattr(p, "name", "x" + nul),
                 lambda: p.__setitem__("grade", "S" + nul), lambda: p["h" + nul], lambda: ("h" + nul) in p,
                 lambda: vdpattern.create_catalog(fresh + nul, "T"), lambda: vdpattern.create_catalog(fresh, "T" + nul),
                 lambda: vdpattern.create_catalog(fresh, "T", editor=nul),
                 lambda: vdpattern.add_family(catalog_path + nul, "F", "F", []),
                 lambda: vdpattern.add_family(catalog_path, "F" + nul, "F", []),
                 lambda: vdpattern.add_family(catalog_path, "F", "F" + nul, []),
                 lambda: vdpattern.add_family(catalog_path, "F", "F", [("h" + nul, "DOUBLE", "mm")]),
                 lambda: vdpattern.add_family(catalog_path, "F", "F", [("h", "DOUBLE" + nul, "mm")]),
                 lambda: vdpattern.add_family(catalog_path, "F", "F", [("h", "DOUBLE", "mm" + nul)])]
        for call in calls:
            with pytest.raises(ValueError, match="NUL"):
                call()
        assert c.families() == ["IPE"] and c.get("IPE 200")["grade"] == "S235" and p.name == "x"
    assert m.catalogs() == ["sections"] and not os.path.exists(fresh)


def test_section_properties_compute_from_dimensions_with_units():
    # IPE 200 as the tables give it: A 28.48 cm2, Iy 1943 cm4.
    ipe = vdpattern.section_properties("I", h=200, b=100, tw=5.6, tf=8.5, r=12)
    assert ipe["A"][1] == "mm2" and abs(ipe["A"][0] - 2848) < 0.005 * 2848
    assert abs(ipe["Iy"][0] - 1943e4) < 0.005 * 1943e4
    assert abs(vdpattern.section_properties("CHS", d=100, t=5, density=1000)["G"][0] - 1.4923) < 1e-3
    for shape, dims in [("I", {"h": 200}), ("Z", {"h": 1}), ("CHS", {"d": 10, "t": 5})]:
        with pytest.raises(ValueError):
            vdpattern.section_properties(shape, **dims)


def pandas_or_a_stand_in(monkeypatch):
    """pandas when it is installed; otherwise a stand-in that keeps the records a DataFrame is made of."""
    try:
        import pandas  # noqa: F401
    except ImportError:
        import types

        class Frame:
            def __init__(self, records, columns, dtype=None):
                self.records, self.columns = list(records), columns

            def astype(self, types):
                return self

            def __len__(self):
                return len(self.records)

            @property
            def iloc(self):
                return self.records

        monkeypatch.setitem(sys.modules, "pandas", types.SimpleNamespace(DataFrame=Frame))


def test_verify_lists_the_stored_properties_that_disagree(tmp_path, monkeypatch):
    # IPE 200 as published, and IPE 240 with Iy in mm4 under a cm4 label; a host in metres must not matter.
    pandas_or_a_stand_in(monkeypatch)
    path = str(tmp_path / "v.mdb")
    vdpattern.create_catalog(path, "Steel sections", editor="tests")
    dims = [(n, "DOUBLE", "mm") for n in ("h", "b", "tw", "tf", "r")]
    vdpattern.add_family(path, "IPE", "I", [("Shape", "TEXT", "")] + dims + [("A", "DOUBLE", "cm2"),
                                                                              ("Iy", "DOUBLE", "cm4")])
    vdpattern.add_family(path, "Plates", "P", [("h", "DOUBLE", "mm")])
    with vdpattern.Catalog(path, metrics=1) as c:
        for name, h, b, tw, tf, r, a, iy in [("IPE 200", 200, 100, 5.6, 8.5, 12, 28.48, 1943),
                                             ("IPE 240", 240, 120, 6.2, 9.8, 15, 39.12, 38920000)]:
            c.insert(vdpattern.Pattern(name, "IPE", {"Shape": "I", "h": h / 1000, "b": b / 1000, "tw": tw / 1000,
                                                     "tf": tf / 1000, "r": r / 1000, "A": a * 1e-4, "Iy": iy * 1e-8}))
        found = c.verify()
        assert list(found.columns) == ["family", "name", "property", "stored", "computed", "difference_pct", "cause"]
        assert len(found) == 1
        row = found.iloc[0]
        assert (row["family"], row["name"], row["property"]) == ("IPE", "IPE 240", "Iy")
        assert row["stored"] == pytest.approx(38920000) and row["computed"] == pytest.approx(3892, rel=0.005)
        assert "10000" in row["cause"]
        assert len(c.verify("IPE", tolerance=1e6)) == 0
        for call, error in [(lambda: c.verify("Plates"), ValueError), (lambda: c.verify("None"), KeyError),
                            (lambda: c.verify(tolerance=-1), ValueError)]:
            with pytest.raises(error):
                call()


def test_failures_print_nothing_beside_the_exception(tmp_path):
    """A fresh interpreter without logging set up: the exception carries the report, stderr stays empty."""
    import subprocess

    script = (
        "import vdpattern\n"
        "for call in (lambda: vdpattern.Catalog(%r), lambda: vdpattern.Manager().attach(%r)):\n"
        "    try:\n"
        "        call()\n"
        "    except vdpattern.DatabaseError as e:\n"
        "        print('raised', 'does not exist' in str(e))\n"
        "import importlib.metadata as m\n"
        "print(vdpattern.__version__, m.version('vdpattern'), m.metadata('vdpattern')['License'])\n"
    ) % (str(tmp_path / "missing.mdb"), str(tmp_path / "missing.mdb"))
    run = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, timeout=120)
    assert run.returncode == 0 and run.stderr == ""
    lines = run.stdout.split("\n")
    assert lines[:2] == ["raised True", "raised True"]
    # The version is the project's, in the module and its metadata alike, with the project's licence.
    version, metadata_version, licence = lines[2].split()
    cmake = open(os.path.join(os.path.dirname(__file__), "..", "..", "CMakeLists.txt")).read()
    assert "project(vdpattern VERSION " + version + " " in cmake
    assert (metadata_version, licence) == (version, "Apache-2.0")
def test_refresh_brings_the_pool_up_to_date_with_another_connection(catalog_path):
    m = vdpattern.Manager(metrics=1000)
    m.attach(catalog_path)
    kept = m.get("IPE 200")
    assert m.keep(kept)
    with vdpattern.Catalog(catalog_path) as other:  # another connection, values as stored (mm)
        other.insert(vdpattern.Pattern("IPE 200", "IPE", {"h": 201.0, "A": 28.48}))
        assert m.refresh() == {"updated": ["IPE 200"], "removed": [], "failed": []}
        fresh = m.get("IPE 200")
        assert fresh["h"] == pytest.approx(201.0) and fresh["A"] == pytest.approx(2848.0)  # host units again
        assert fresh.guid == kept.guid
        assert m.refresh() == {"updated": [], "removed": [], "failed": []}
        other.remove("IPE 200")
        assert m.refresh()["removed"] == [kept.guid] and len(m) == 0


def test_names_are_found_by_their_spellings_never_by_a_guess(catalog_path):
    with vdpattern.Catalog(catalog_path) as c:
        m = vdpattern.Manager()
        m.attach(catalog_path)
        for lookup in (c.get, m.get):
            assert lookup("ipe200").name == "IPE 200"  # the row's real name
        c.insert(vdpattern.Pattern("IPE 200.0", "IPE", {"h": 1.0}))
        m = vdpattern.Manager()  # the first one keeps what it read in its pool
        m.attach(catalog_path)
        for lookup in (c.get, m.get):
            assert lookup("IPE 200").name == "IPE 200"  # an exact name stays exact
            with pytest.raises(KeyError, match="matches IPE 200 and IPE 200.0"):
                lookup("ipe200")


def test_history_gives_every_recorded_edit_typed_newest_first(catalog_path, monkeypatch):
    pandas_or_a_stand_in(monkeypatch)
    with vdpattern.Catalog(catalog_path) as c:
        p = c.get("IPE 200")
        p["h"] = 201.5
        p["rank"] = None
        c.insert(p)
        rows = c.history("ipe 200")  # the name ignores case
        assert list(rows.columns)[-3:] == ["column", "before", "after"]
        records = [rows.iloc[i] for i in range(len(rows))]
        assert records[-1]["kind"] == "insert" and records[0]["kind"] != "insert"
        assert records[0]["change"] > records[-1]["change"]
        edit = {r["column"]: (r["before"], r["after"]) for r in records if r["change"] == records[0]["change"]}
        assert edit["h"] == (200.0, 201.5) and isinstance(edit["h"][1], float)
        assert edit["rank"] == (2, None) and isinstance(edit["rank"][0], int)  # NULL is None, never 0
        assert {r["name"] for r in records} == {"IPE 200"}
        assert len(c.history(family="IPE")) > len(rows)
        assert len(c.history(by="nobody-at-all")) == 0
    con = sqlite3.connect(catalog_path)  # a file made without a history, as before this version
    con.execute("DROP TABLE vd_history")
    con.commit()
    con.close()
    with vdpattern.Catalog(catalog_path) as c, pytest.raises(ValueError, match="no history"):
        c.history()
