"""The PostgreSQL connection text built by _pg_connection_string, and that
GDAL's PostgreSQL driver accepts the quoted values against a real server."""
from __future__ import annotations

import subprocess
import uuid
from pathlib import Path

import pytest

from voriviv.geofileops.gdb import GeoFileDatabase

conn = GeoFileDatabase._pg_connection_string
BASE = {"host": "db1", "dbname": "gis", "user": "etl", "password": "s3cret"}
PLAIN = "PG:host=db1 port=5432 dbname=gis user=etl password=s3cret schemas=public"


class StrSub(str):
    pass


class RecordingMapping:
    """A mapping that is not a dict: item lookup and get(), both recorded."""

    def __init__(self, data):
        self.data, self.reads = data, []

    def __getitem__(self, key):
        self.reads.append(key)
        return self.data[key]

    def get(self, key, default):
        self.reads.append("get:" + key)
        return self.data.get(key, default)


def test_plain_mapping_with_default_port_and_schema():
    assert conn(BASE) == PLAIN
    assert conn(dict(BASE, port=5432, schema="ignored", sslmode="require")) == PLAIN
    obj = GeoFileDatabase(Path("unused.gdb"), "create")
    assert obj._pg_connection_string(connection=BASE, schema="gis") == PLAIN.replace(
        "schemas=public", "schemas=gis")


@pytest.mark.parametrize("port, segment", [
    (6543, " port=6543 "), ("6543", " port=6543 "), (None, " port=None "),
    (5432.0, " port=5432.0 "), (True, " port=True "),
])
def test_port_is_formatted_as_given_and_defaults_only_when_absent(port, segment):
    assert segment in conn(dict(BASE, port=port))


@pytest.mark.parametrize("missing, key", [
    (("host", "dbname"), "host"), (("dbname",), "dbname"), (("user",), "user"),
    (("password",), "password"), (("host", "dbname", "user", "password"), "host"),
])
def test_missing_keys_raise_key_error_in_reading_order(missing, key):
    with pytest.raises(KeyError) as exc:
        conn({k: v for k, v in BASE.items() if k not in missing})
    assert exc.value.args == (key,)


def test_values_are_read_in_order_from_any_mapping():
    m = RecordingMapping(dict(BASE, port=7777))
    assert conn(m) == PLAIN.replace("5432", "7777")
    assert m.reads == ["host", "get:port", "dbname", "user", "password",
                       "get:connect_timeout"]
    partial = RecordingMapping({k: v for k, v in BASE.items() if k != "password"})
    with pytest.raises(KeyError):
        conn(partial)
    assert partial.reads == ["host", "get:port", "dbname", "user", "password"]


def test_errors_of_a_custom_mapping_propagate_unchanged():
    boom = LookupError("vault unavailable")

    class Vault(RecordingMapping):
        def __getitem__(self, key):
            if key == "user":
                raise boom
            return super().__getitem__(key)
    with pytest.raises(LookupError) as exc:
        conn(Vault(BASE))
    assert exc.value is boom
    with pytest.raises(TypeError):
        conn(None)


@pytest.mark.parametrize("text", ["", "not a dsn", PLAIN, "PG:dbname='a b'"])
def test_a_str_connection_is_returned_as_the_same_object(text):
    for schema in ("public", "", "elsewhere"):
        assert conn(text, schema) is text
    assert GeoFileDatabase(Path("unused.gdb"), "create")._pg_connection_string(text) is text


def test_a_str_subclass_connection_is_refused():
    with pytest.raises(TypeError) as exc:
        conn(StrSub(PLAIN))
    assert str(exc.value) == "Expected str, got StrSub"


@pytest.mark.parametrize("schema, got", [(None, "NoneType"), (StrSub("public"), "StrSub"),
                                         (b"public", "bytes"), (1, "int")])
@pytest.mark.parametrize("connection", [PLAIN, StrSub(PLAIN), {}, None])
def test_schema_is_checked_first(schema, got, connection):
    with pytest.raises(TypeError) as exc:
        conn(connection, schema)
    assert str(exc.value) == f"Argument 'schema' has incorrect type (expected str, got {got})"


# --- quoting -----------------------------------------------------------------

@pytest.mark.parametrize("value, written", [
    ("", "''"),
    ("a b", "'a b'"),
    ("tab\there", "'tab\there'"),
    ("line\nbreak", "'line\nbreak'"),
    ("it's", r"'it\'s'"),
    ("back\\slash", r"'back\\slash'"),
    ("x host=other", "'x host=other'"),
    ("p@ss=w;rd\"", "p@ss=w;rd\""),   # nothing libpq reads specially: as it is
    ("pässwörd", "pässwörd"),
])
@pytest.mark.parametrize("key", ["host", "port", "dbname", "user", "password", "schema"])
def test_values_that_would_break_the_text_are_quoted(key, value, written):
    expected = {"host": "db1", "port": "5432", "dbname": "gis", "user": "etl",
                "password": "s3cret", "schemas": "public"}
    if key == "schema":
        text = conn(BASE, value)
        expected["schemas"] = written
    else:
        text = conn(dict(BASE, **{key: value}))
        expected[key] = written
    assert text == "PG:" + " ".join(f"{k}={v}" for k, v in expected.items())


# --- against the server --------------------------------------------------------

def lister():
    return GeoFileDatabase(Path("unused.gdb"), "create").get_layers_from_db


def test_a_schema_with_a_blank_reaches_gdal_as_one_value(pg, psql):
    schema = f"my s {uuid.uuid4().hex[:6]}"
    psql(f'CREATE SCHEMA "{schema}"; '
         f'CREATE TABLE "{schema}".roads (id int, geom geometry(LineString, 4326))')
    try:
        assert lister()(pg, schema) == ["roads"]
    finally:
        psql(f'DROP SCHEMA "{schema}" CASCADE')


@pytest.fixture
def odd_role(pg, psql):
    """A login role whose name and password need quoting, or a skip."""
    name = f"odd user {uuid.uuid4().hex[:6]}"
    password = "a b'c\\d e"
    sql_password = password.replace("'", "''")
    try:
        psql(f"CREATE ROLE \"{name}\" LOGIN PASSWORD '{sql_password}'")
    except subprocess.CalledProcessError as exc:
        pytest.skip(f"cannot create a role on this server: {exc.stderr.strip()}")
    yield name, password
    psql(f'DROP ROLE "{name}"')


def test_user_and_password_with_blanks_quotes_and_backslashes_log_in(pg, odd_role):
    user, password = odd_role
    assert lister()(dict(pg, user=user, password=password)) == []
    with pytest.raises(RuntimeError, match=f'password authentication failed for user "{user}"'):
        lister()(dict(pg, user=user, password=password[:-1]))


def test_a_password_cannot_redirect_the_connection(pg):
    # Written verbatim, "x host=other" would send libpq to a host named other.
    with pytest.raises(RuntimeError) as exc:
        lister()(dict(pg, password="x host=other"))
    message = str(exc.value)
    assert f'password authentication failed for user "{pg["user"]}"' in message
    assert "other" not in message


def test_a_database_name_with_a_blank_opens(pg, psql):
    dbname = f"gis db {uuid.uuid4().hex[:6]}"
    try:
        psql(f'CREATE DATABASE "{dbname}"')
    except subprocess.CalledProcessError as exc:
        pytest.skip(f"cannot create a database on this server: {exc.stderr.strip()}")
    try:
        assert lister()(dict(pg, dbname=dbname)) == []
        with pytest.raises(RuntimeError, match=f'database "{dbname}x" does not exist'):
            lister()(dict(pg, dbname=dbname + "x"))
    finally:
        psql(f'DROP DATABASE "{dbname}"')
