"""resolve() agrees with a small reference walker written from the rules.

The reference keeps the data sets as plain Python values (dicts, lists,
scalars, and ("link", path, local) tuples for links) and walks them the way
the store documents: maps by key, link local values standing in for fields,
links followed with their own extra segments, "$self" keys computed from the
start record, dangling links as None, at most 32 links.
"""

import random

import pytest

import _quilletdb as q

MAX_LINKS = 32


class Failure(Exception):
    pass


class Reference:
    def __init__(self, records):
        self.records = records  # {(collection, key): value}

    def get_field(self, collection, key, path):
        if (collection, key) not in self.records:
            raise Failure("storage: key not found")
        self.root = (collection, key)
        return self.navigate(self.records[(collection, key)], list(path), 0)

    def navigate(self, value, path, depth):
        if depth > MAX_LINKS:
            raise Failure("cyclic link detected")
        if not path:
            if is_link(value):
                return self.follow(value, [], depth + 1)
            return value
        head, tail = path[0], path[1:]
        if value is None:
            return None
        if isinstance(value, dict):
            return self.navigate(value.get(head), tail, depth)
        if is_link(value):
            if head in value[2]:
                return self.navigate(value[2][head], tail, depth)
            return self.follow(value, path, depth + 1)
        raise Failure("field not found")

    def follow(self, link, rest, depth):
        if depth > MAX_LINKS:
            raise Failure("cyclic link detected")
        segments = link[1].split("/")
        if len(segments) < 2:
            raise Failure("invalid path: " + link[1])
        key_spec = segments[1]
        if key_spec == "$self":
            key = self.root[1]
        elif key_spec.startswith("$self."):
            fields = key_spec[len("$self."):]
            found = self.navigate(self.records[self.root], fields.split("."), depth)
            if not isinstance(found, str):
                raise Failure(f"invalid path: $self.{fields} resolved to {render(found)}, expected TEXT")
            key = found
        else:
            key = key_spec
        target = self.records.get((segments[0], key), MISSING)
        if target is MISSING:
            return None
        return self.navigate(target, segments[2:] + rest, depth)


MISSING = object()


def is_link(value):
    return isinstance(value, tuple) and value and value[0] == "link"


def render(value):
    """The store's debug rendering, for the values the generator makes."""
    if value is None:
        return "Null"
    if isinstance(value, bool):
        return f"Bool({'true' if value else 'false'})"
    if isinstance(value, int):
        return f"Int({value})"
    if isinstance(value, float):
        return f"Float({value!r})"
    if isinstance(value, str):
        return f'Text("{value}")'
    if isinstance(value, bytes):
        return "Blob([" + ", ".join(str(b) for b in value) + "])"
    if isinstance(value, list):
        return "Array([" + ", ".join(render(v) for v in value) + "])"
    if isinstance(value, dict):
        return "Map(" + render_entries(value) + ")"
    assert is_link(value)
    return f'Link(Link {{ path: "{value[1]}", local: {render_entries(value[2])} }})'


def render_entries(mapping):
    return "{" + ", ".join(f'"{k}": {render(v)}' for k, v in mapping.items()) + "}"


def to_store(value):
    if is_link(value):
        return q.Link(value[1], {k: to_store(v) for k, v in value[2].items()})
    if isinstance(value, dict):
        return {k: to_store(v) for k, v in value.items()}
    if isinstance(value, list):
        return [to_store(v) for v in value]
    return value


def from_store(value):
    if isinstance(value, q.Link):
        return ("link", value.path, {k: from_store(v) for k, v in value.local.items()})
    if isinstance(value, dict):
        return {k: from_store(v) for k, v in value.items()}
    if isinstance(value, list):
        return [from_store(v) for v in value]
    return value


COLLECTIONS = ["a", "b"]
KEYS = ["k0", "k1", "k2", "k3"]
FIELDS = ["x", "y", "name"]


def random_link(rng):
    collection = rng.choice(COLLECTIONS + ["missing"])
    key = rng.choice(KEYS + ["$self", "$self.name", "$self.x", "nokey"])
    path = f"{collection}/{key}"
    if rng.random() < 0.3:
        path += "/" + rng.choice(FIELDS)
    if rng.random() < 0.05:
        path = collection  # no "/"
    local = {}
    if rng.random() < 0.3:
        local[rng.choice(FIELDS)] = rng.choice([1, "k1", None])
    return ("link", path, local)


def random_value(rng, depth):
    roll = rng.random()
    if depth <= 0 or roll < 0.3:
        return rng.choice([None, True, 7, 2.5, "k0", "k2", b"\x00", "text"])
    if roll < 0.55:
        return {f: random_value(rng, depth - 1) for f in rng.sample(FIELDS, rng.randint(0, 3))}
    if roll < 0.65:
        return [random_value(rng, depth - 1) for _ in range(rng.randint(0, 2))]
    return random_link(rng)


def random_path(rng):
    return [rng.choice(FIELDS + ["zzz"]) for _ in range(rng.randint(0, 4))]


def outcome(fn):
    try:
        return ("ok", fn())
    except Failure as e:
        return ("error", str(e))
    except RuntimeError as e:
        return ("error", str(e))


@pytest.mark.parametrize("seed", range(40))
def test_resolve_agrees_with_reference(tmp_path, seed):
    rng = random.Random(seed)
    records = {}
    db = q.open(str(tmp_path / "db"))
    for collection in COLLECTIONS:
        for key in KEYS:
            if rng.random() < 0.85:
                value = random_value(rng, 3)
                records[(collection, key)] = value
                db.set(collection, key, to_store(value))
    reference = Reference(records)
    for _ in range(60):
        collection = rng.choice(COLLECTIONS)
        key = rng.choice(KEYS)
        path = random_path(rng)
        expected = outcome(lambda: reference.get_field(collection, key, path))
        got = outcome(lambda: from_store(db.resolve(collection, key, path)))
        assert got == expected, (collection, key, path)
