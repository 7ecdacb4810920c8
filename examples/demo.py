"""Writes a few records, reads them back and prints them.

    python3 examples/demo.py            # uses ./demo-db
    python3 examples/demo.py /tmp/mydb  # or any directory

Run it twice: the records written the first time are found again, and the
visit counter goes up.
"""
import sys

import _quilletdb

directory = sys.argv[1] if len(sys.argv) > 1 else "demo-db"
db = _quilletdb.open(directory)  # creates the directory when it is missing
print(f"opened {db!r}")

db.set("books", "dune", {"title": "Dune", "author": "Frank Herbert", "year": 1965, "tags": ["sf", "classic"]})
db.set("books", "emma", {"title": "Emma", "author": "Jane Austen", "year": 1815, "tags": ["novel"]})
db.set("books", "draft", {"title": "Untitled"})
db.delete("books", "draft")

try:
    visits = db.get("stats", "visits")
except KeyError:  # the first run: nothing stored yet
    visits = 0
db.set("stats", "visits", visits + 1)

for key in ("dune", "emma", "draft"):
    try:
        book = db.get("books", key)
    except KeyError as error:
        print(f"books/{key}: {error.args[0]}")
        continue
    print(f"books/{key}: {book['title']} by {book['author']} ({book['year']}), tags {', '.join(book['tags'])}")
print(f"this demo has run {db.get('stats', 'visits')} time(s) on {directory}")
