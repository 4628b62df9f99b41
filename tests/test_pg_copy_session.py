"""A layer's load into PostgreSQL and the connections it uses; the COPY load's
settings from the environment.

A layer claims its temporary table with a session-level advisory lock, sends
its rows through COPY and swaps the table into place, all through one session
of its own (GDAL's writer connects beside it to create the empty table). An
event trigger records, for every DDL command, the backend that ran it and
whether that backend holds an advisory lock: only the load's own session does.
"""
from __future__ import annotations

import pytest

from filedb_twins import schema  # noqa: F401
from voriviv.geofileops.gdb import GeoFileDatabase
from voriviv.geofileops.shp import ShapefileDatabase

WATCH = "vv_ddl_watch"


@pytest.fixture
def ddl_log(pg, psql):
    """Records every DDL command as (pid, tag, held): held says whether its
    backend holds an advisory lock. A tag written into <WATCH>.fail makes the
    command fail on such a backend. Returns a reader of the records in order."""
    if psql("SELECT rolsuper FROM pg_roles WHERE rolname = current_user") != "t":
        pytest.skip("event triggers need a superuser")
    psql(f"""
        DROP EVENT TRIGGER IF EXISTS {WATCH};
        DROP SCHEMA IF EXISTS {WATCH} CASCADE;
        CREATE SCHEMA {WATCH};
        CREATE TABLE {WATCH}.events (n serial, pid int, tag text, held bool);
        CREATE TABLE {WATCH}.fail (tag text);
        CREATE FUNCTION {WATCH}.record() RETURNS event_trigger LANGUAGE plpgsql AS $$
        DECLARE
            held bool := EXISTS (SELECT 1 FROM pg_locks WHERE locktype = 'advisory'
                                 AND pid = pg_backend_pid() AND granted);
        BEGIN
            IF held AND tg_tag IN (SELECT tag FROM {WATCH}.fail) THEN
                RAISE EXCEPTION 'injected failure of %', tg_tag;
            END IF;
            INSERT INTO {WATCH}.events (pid, tag, held) VALUES (pg_backend_pid(), tg_tag, held);
        END $$;
        CREATE EVENT TRIGGER {WATCH} ON ddl_command_end EXECUTE FUNCTION {WATCH}.record();
    """)

    def records():
        out = psql(f"SELECT pid, tag, held FROM {WATCH}.events ORDER BY n")
        return [(int(p), t, h == "t") for p, t, h in (line.split("|") for line in out.splitlines())]

    try:
        yield records
    finally:
        psql(f"DROP EVENT TRIGGER IF EXISTS {WATCH}; DROP SCHEMA IF EXISTS {WATCH} CASCADE")


def sessions_holding_the_claim(records):
    return {pid for pid, _, held in records if held}


# naturalearth_lowres has a value too wide for its declared field: its first
# COPY is rolled back on the session, which then loads it again.
@pytest.mark.parametrize("layer", ["naturalearth_cities", "naturalearth_lowres"])
def test_claim_copy_and_swap_share_one_session(pg, psql, schema, ddl_log, naturalearth, layer):
    ShapefileDatabase(naturalearth).shp2pg(pg, schema=schema, tables=[layer])
    records = ddl_log()
    ours = sessions_holding_the_claim(records)
    assert len(ours) == 1, records
    tags = {tag for pid, tag, _ in records if pid in ours}
    # The empty table GDAL made dropped again, the table made again and
    # indexed in the COPY's transaction, then renamed into place.
    assert {"DROP TABLE", "CREATE TABLE", "CREATE INDEX", "ALTER TABLE"} <= tags, records
    # GDAL's writer made the empty table on a connection of its own.
    assert any(tag == "CREATE TABLE" and not held for _, tag, held in records), records
    assert psql(f"SELECT count(*) FROM {schema}.{layer}") in ("243", "177")


def test_failed_copy_leaves_its_session_usable_for_the_cleanup(pg, psql, schema, ddl_log,
                                                               naturalearth):
    # The spatial index, built after the rows inside the COPY's transaction,
    # fails: the transaction is left failed on the session.
    psql(f"INSERT INTO {WATCH}.fail VALUES ('CREATE INDEX')")
    with pytest.raises(RuntimeError, match="injected failure of CREATE INDEX"):
        ShapefileDatabase(naturalearth).shp2pg(pg, schema=schema, tables=["naturalearth_cities"])
    records = ddl_log()
    ours = sessions_holding_the_claim(records)
    assert len(ours) == 1, records
    # Step 1's drop of GDAL's empty table, then (the failed transaction rolled
    # back, so none of its records stay) the cleanup's drop, on the same
    # session: rolled back, it was idle again.
    assert [(tag, held) for pid, tag, held in records if pid in ours] == \
        [("DROP TABLE", True), ("DROP TABLE", True)], records
    assert records[-1][0] in ours
    assert psql(f"SELECT count(*) FROM pg_tables WHERE schemaname = '{schema}'") == "0"


# --- VORIVIV_PG_COPY_PARTS -------------------------------------------------------------

@pytest.mark.parametrize("value", ["0", "-1", "two", "2x", "1.5", " 3", "99999999999999999999"])
def test_junk_parts_setting_fails_the_load_before_it_starts(pg, psql, schema, naturalearth,
                                                           monkeypatch, value):
    monkeypatch.setenv("VORIVIV_PG_COPY_PARTS", value)
    with pytest.raises(ValueError) as info:
        ShapefileDatabase(naturalearth).shp2pg(pg, schema=schema, tables=["naturalearth_cities"])
    assert str(info.value) == \
        f"VORIVIV_PG_COPY_PARTS must be a whole number of at least 1, not '{value}'"
    assert psql(f"SELECT count(*) FROM pg_tables WHERE schemaname = '{schema}'") == "0"


@pytest.mark.parametrize("copy", ["1", "0"], ids=["copy", "gdal"])
def test_junk_parts_setting_fails_every_kind_of_load(pg, psql, schema, ne_gdb, monkeypatch,
                                                     copy):
    monkeypatch.setenv("VORIVIV_BENCH_PG_COPY", copy)
    monkeypatch.setenv("VORIVIV_PG_COPY_PARTS", "many")
    with pytest.raises(ValueError, match="VORIVIV_PG_COPY_PARTS .* not 'many'"):
        GeoFileDatabase(ne_gdb).gdb2pg(pg, schema=schema)
    assert psql(f"SELECT count(*) FROM pg_tables WHERE schemaname = '{schema}'") == "0"


@pytest.mark.parametrize("value", ["", "1", "3"])
def test_valid_parts_setting_loads(pg, psql, schema, naturalearth, monkeypatch, value):
    monkeypatch.setenv("VORIVIV_PG_COPY_PARTS", value)
    ShapefileDatabase(naturalearth).shp2pg(pg, schema=schema, tables=["naturalearth_cities"])
    assert psql(f"SELECT count(*), max(ogc_fid) FROM {schema}.naturalearth_cities") == "243|243"
