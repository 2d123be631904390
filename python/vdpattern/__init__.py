"""Patterns, pattern catalogs and a pattern manager of the vdpattern library.

Catalogs are SQLite files, Access files (read-only), link files or PostgreSQL addresses. Values are in the
host's units when a metrics factor (host length units per metre) is given, else as the catalog stores them;
unit labels (Pattern.units, Catalog.units, a frame's attrs["units"]) name the units the values are in.
Database failures raise DatabaseError (its ``state`` is the five-character state, e.g. ``HYT00``); a name
that is not found raises KeyError. A str holding a NUL raises ValueError wherever it is given. A write stores
each value exactly as given or nothing: a parameter without a column raises KeyError, a value of another kind
than its column's ValueError, a number its column cannot hold exactly OverflowError, each naming the parameter.
Missing values read as None (NaN in arrays and frames). Frames and column arrays keep the family's column
order and spelling, and list patterns in natural order of their names ("IPE 80" before "IPE 100").

The library's reports (at level ERROR) and traces (DEBUG) go to the logger "vdpattern" and nowhere else: the
package prints nothing; configure logging to see them. Every failure is also raised as an exception.

    import vdpattern
    with vdpattern.Catalog("sections.mdb", metrics=1000) as c:   # a host in millimetres
        beam = c.get("IPE 200")
        beam["h"], beam.units["h"]                                # 200.0, "mm"
        frame = c.frame("IPE")                                    # pandas.DataFrame, attrs["units"]

See help(vdpattern.Catalog), help(vdpattern.Manager) and help(vdpattern.Pattern).
"""

import logging

from ._vdpattern import (
    Catalog,
    DatabaseError,
    Manager,
    Pattern,
    __version__,
    add_family,
    create_catalog,
    section_properties,
)

# A library's logger prints nothing by itself: without this, Python's last-resort handler would write every
# report to stderr beside the exception that carries it.
logging.getLogger("vdpattern").addHandler(logging.NullHandler())

__all__ = ["Catalog", "DatabaseError", "Manager", "Pattern", "__version__", "add_family", "create_catalog", "section_properties"]
