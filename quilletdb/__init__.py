"""The quilletdb command: look inside, check, repair and compact a QuilletDB
database directory. Run it as `quilletdb ...` or `python -m quilletdb ...`.

The work is done by the `_quilletdb` module's support functions (`_stat`,
`_check`, `_repair`, `_compact`, `_dump_records`, `_get`, `_resolve`,
`_backlinks`); this package only parses arguments and prints.
"""

from quilletdb.cli import main

__all__ = ["main"]
