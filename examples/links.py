"""Links between records: users, their addresses and their posts.

    python3 examples/links.py [directory]     # default: a fresh temporary one

A Link("collection/key") names another record. resolve() walks field names
across links; backlinks() lists the records that link to a record.
"""
import sys
import tempfile

import _quilletdb
from _quilletdb import Link

directory = sys.argv[1] if len(sys.argv) > 1 else tempfile.mkdtemp(prefix="links-")
db = _quilletdb.open(directory)

# Write the whole data set in one transaction: records go out in bulk and the
# backlink index is brought up to date at commit.
db.begin()
db.set_many(
    [
        ("addresses", "a1", {"street": "1 Rue de Rivoli", "city": "Paris"}),
        ("addresses", "a2", {"street": "221B Baker Street", "city": "London"}),
        ("users", "alice", {"name": "Alice", "address": Link("addresses/a1")}),
        ("users", "bob", {"name": "Bob", "address": Link("addresses/a2")}),
    ]
)
db.set("posts", "p1", {"title": "Hello", "author": Link("users/alice")})
db.set("posts", "p2", {"title": "Re: Hello", "author": Link("users/bob"), "reply_to": Link("posts/p1")})
# A link can carry values of its own; they stand in for the target's fields.
db.set("posts", "p3", {"title": "Guest post", "author": Link("users/alice", {"name": "Alice (guest editor)"})})
print("inside the transaction, backlinks of users/alice:", db.backlinks("users", "alice"))
db.commit()

# Follow links: post -> author -> address -> city.
for post in ("p1", "p2", "p3"):
    title = db.resolve("posts", post, ["title"])
    author = db.resolve("posts", post, ["author", "name"])
    city = db.resolve("posts", post, ["author", "address", "city"])
    print(f"{post}: {title!r} by {author} from {city}")
print("p2 replies to:", db.resolve("posts", "p2", ["reply_to", "title"]))

# Who links to alice, and from which field?
for entry in db.backlinks("users", "alice"):
    print(f"users/alice is linked from {entry['source_collection']}/{entry['source_key']} ({entry['source_path']})")
print("posts replying to p1:", [entry["source_key"] for entry in db.backlinks("posts", "p1")])
print(f"data in {directory}")
