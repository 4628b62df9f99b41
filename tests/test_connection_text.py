"""Connection text as users type it: read by libpq's rules, and written back
so that libpq reads the very same values."""
from __future__ import annotations

import pytest

from voriviv.connection import database, keywords, looks_like_connection, render, with_schema
from voriviv.errors import UsageError


@pytest.mark.parametrize("text, pairs", [
    ("host=db dbname=gis", {"host": "db", "dbname": "gis"}),
    ("  host = db\tport= 5433 ", {"host": "db", "port": "5433"}),
    (r"password='a b\'c\\d' user=x", {"password": "a b'c\\d", "user": "x"}),
    ("dbname='' host=db", {"dbname": "", "host": "db"}),
    ("host=db dbname=gis host=other", {"host": "other", "dbname": "gis"}),
    ("PG:host=db schemas='a b' tables=t", {"host": "db", "schemas": "a b", "tables": "t"}),
    ("postgresql://u:p%40ss@h:7000/d?sslmode=require",
     {"user": "u", "password": "p@ss", "host": "h", "port": "7000", "dbname": "d",
      "sslmode": "require"}),
    ("", {}),
])
def test_keywords_read_values_as_libpq_does(text, pairs):
    assert dict(keywords(text)) == pairs


@pytest.mark.parametrize("text", ["lonely host=db", "password='open", "hots=db",
                                  "postgresql://db/x host=y"])
def test_text_libpq_refuses_is_refused_with_its_words(text):
    with pytest.raises(UsageError, match="not a PostgreSQL connection"):
        keywords(text)


def test_rendered_values_read_back_unchanged():
    values = ["", "plain", "a b", "it's", "back\\slash", "x host=other", "tab\there", "=",
              "'", "\\", "pässwörd", "p@ss=w;rd\""]
    for v in values:
        for key in ("password", "schemas"):
            assert dict(keywords(render([("host", "db"), (key, v)]))) == {"host": "db", key: v}, v
    assert render([("host", "db"), ("password", "a b")]) == "host=db password='a b'"


@pytest.mark.parametrize("conn, schema, expected", [
    ("PG:", "public", "PG:schemas=public"),
    ("PG:host=db dbname=gis schemas=b", "c", "PG:dbname=gis host=db schemas=c"),
    # Blanks around '=' and escapes outside quotes keep their meaning.
    ("PG:host = db dbname=gis", "s", "PG:dbname=gis host=db schemas=s"),
    (r"PG:password=p\ w", "my s", r"PG:password='p w' schemas='my s'"),
])
def test_with_schema_replaces_the_schema_and_keeps_every_other_value(conn, schema, expected):
    assert with_schema(conn, schema) == expected


def test_database_names_server_and_database_with_libpqs_defaults(monkeypatch):
    monkeypatch.setenv("PGHOST", "envhost")
    monkeypatch.setenv("PGPORT", "6000")
    monkeypatch.setenv("PGDATABASE", "envdb")
    assert database("PG:") == ("envhost", "6000", "envdb")
    assert database("host=h dbname=d") == ("h", "6000", "d")
    assert database("postgresql://u:p@h:7000/d?sslmode=require") == ("h", "7000", "d")
    for var in ("PGHOST", "PGPORT", "PGDATABASE"):
        monkeypatch.delenv(var)
    assert database("PG:user=x") == ("", "5432", "")
    # One database however it is written.
    assert database("PG:dbname='gis' host = db") == database("host=db dbname=gis") \
        == database("postgres://db/gis")
    assert database("PG:dbname=gis") != database("PG:dbname=gis port=5433")


def test_what_looks_like_a_connection(tmp_path, monkeypatch):
    for text in ("PG:", "pg:dbname=x", " postgresql://db/gis", "POSTGRES://db", "host=db"):
        assert looks_like_connection(text), text
    monkeypatch.chdir(tmp_path)
    (tmp_path / "a=b").mkdir()
    for text in ("roads.gdb", "a=b", "http://x?y=z", "file=x://y"):
        assert not looks_like_connection(text), text
