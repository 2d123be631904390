"""Patterns, pattern catalogs and a pattern manager of the vdpattern library.

Catalogs are SQLite files, Access files (read-only), link files or PostgreSQL addresses. Values are in the
host's units when a metrics factor (host length units per metre) is given, else as the catalog stores them.
Database failures raise DatabaseError (its ``state`` is the five-character state, e.g. ``HYT00``); a name
that is not found raises KeyError. A str holding a NUL raises ValueError wherever it is given. A write stores
each value exactly as given or nothing: a parameter without a column raises KeyError, a value of another kind
than its column's ValueError, a number its column cannot hold exactly OverflowError, each naming the parameter.
The library's reports and traces go to the logger "vdpattern".
"""

from ._vdpattern import (
    Catalog,
    DatabaseError,
    Manager,
    Pattern,
    add_family,
    create_catalog,
    section_properties,
)

__all__ = ["Catalog", "DatabaseError", "Manager", "Pattern", "add_family", "create_catalog", "section_properties"]
