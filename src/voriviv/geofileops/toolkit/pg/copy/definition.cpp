// Step 1 of the COPY load: GDAL creates the empty table with the options of
// its own load; what the rows need (the writer's field definitions, the
// geometry column's type and SRID) and the table's definition as SQL are read
// back, and the table is dropped again at once (copy_internal.hpp).
#include "toolkit/pg/copy/copy_internal.hpp"

#include <cstdlib>
#include <cstring>

#include <cpl_string.h>
#include <ogr_api.h>

#include "toolkit/core/dataset.hpp"
#include "toolkit/pg/table_swap.hpp"

namespace voriviv::geofileops {

namespace {

// The layer GDAL created for <schema>.<table> in `ds`.
OGRLayerH created_layer(GDALDatasetH ds, const std::string &schema, const std::string &table) {
    if (OGRLayerH l = GDALDatasetGetLayerByName(ds, table.c_str())) return l;
    return GDALDatasetGetLayerByName(ds, (schema + "." + table).c_str());
}

// Creates the empty table with GDAL and returns the writer's view of it.
void create_table(const CopyJob &job, const TranslateOptions &create, TableShape &shape) {
    const CopyTarget &t = job.target;
    Dataset out(vector_translate_open(t.dest, job.source.dataset, create, job.sink, job.cancel));
    ErrorScope scope(job.sink);
    OGRLayerH layer = created_layer(out.get(), t.schema, t.table);
    scope.raise_if_failed();
    if (layer == nullptr) throw NotCovered{};
    OGRFeatureDefn *defn = OGRFeatureDefn::FromHandle(OGR_L_GetLayerDefn(layer));
    shape.defn = defn->Clone();
    shape.defn->Reference();
    shape.fid_column = OGR_L_GetFIDColumn(layer);
    shape.geom_column = OGR_L_GetGeometryColumn(layer);
    out.close();  // runs the deferred CREATE TABLE and the index
    scope.raise_if_failed();
}

// The definition of the table `qualified`, read from the catalog through
// `s`, whose search path the SQL assumes. Tables with anything beyond what a
// GDAL load creates (triggers, rules, row security, privileges, tablespaces,
// identity or generated columns, unlogged or partitioned tables, foreign
// keys) throw NotCovered.
TableDefinition read_definition(PgSession &s, const std::string &qualified) {
    const std::string rel = quote_literal(qualified) + "::regclass";
    TableDefinition def;
    const auto table = s.query(
        "SELECT c.relkind, c.relpersistence, c.reltablespace <> 0, c.relhastriggers, "
        "c.relhasrules, c.relrowsecurity, c.relacl IS NOT NULL, c.reloptions IS NOT NULL, "
        "coalesce(obj_description(c.oid, 'pg_class'), '') FROM pg_catalog.pg_class c "
        "WHERE c.oid = " + rel);
    if (table.size() != 1) throw NotCovered{};
    const auto &t = table[0];
    if (t[0] != "r" || t[1] != "p" || t[2] == "t" || t[3] == "t" || t[4] == "t" || t[5] == "t" ||
        t[6] == "t" || t[7] == "t")
        throw NotCovered{};

    // Sequences owned by a column (serial FIDs): made first, owned once the
    // table exists.
    std::string owned;
    for (const auto &q : s.query(
             "SELECT quote_ident(n.nspname) || '.' || quote_ident(q.relname), quote_ident(a.attname), "
             "format_type(s.seqtypid, NULL), s.seqincrement, s.seqmin, s.seqmax, s.seqstart, "
             "s.seqcache, s.seqcycle, coalesce(obj_description(q.oid, 'pg_class'), '') "
             "FROM pg_catalog.pg_depend d "
             "JOIN pg_catalog.pg_class q ON q.oid = d.objid AND q.relkind = 'S' "
             "JOIN pg_catalog.pg_namespace n ON n.oid = q.relnamespace "
             "JOIN pg_catalog.pg_sequence s ON s.seqrelid = q.oid "
             "JOIN pg_catalog.pg_attribute a ON a.attrelid = d.refobjid AND a.attnum = d.refobjsubid "
             "WHERE d.classid = 'pg_catalog.pg_class'::regclass AND d.refobjid = " + rel +
             " AND d.deptype IN ('a', 'i') ORDER BY 1")) {
        def.create += "CREATE SEQUENCE " + q[0] + " AS " + q[2] + " INCREMENT BY " + q[3] +
                      " MINVALUE " + q[4] + " MAXVALUE " + q[5] + " START WITH " + q[6] +
                      " CACHE " + q[7] + (q[8] == "t" ? " CYCLE" : " NO CYCLE") + ";\n";
        owned += "ALTER SEQUENCE " + q[0] + " OWNED BY " + qualified + "." + q[1] + ";\n";
        if (!q[9].empty()) owned += "COMMENT ON SEQUENCE " + q[0] + " IS " + quote_literal(q[9]) + ";\n";
    }

    std::string columns, per_column;
    for (const auto &a : s.query(
             "SELECT quote_ident(a.attname), format_type(a.atttypid, a.atttypmod), a.attnotnull, "
             "d.adbin IS NOT NULL, coalesce(pg_get_expr(d.adbin, d.adrelid), ''), "
             "coalesce((SELECT quote_ident(cn.nspname) || '.' || quote_ident(co.collname) "
             "FROM pg_catalog.pg_collation co JOIN pg_catalog.pg_namespace cn "
             "ON cn.oid = co.collnamespace WHERE co.oid = a.attcollation "
             "AND a.attcollation <> t.typcollation), ''), "
             "a.attidentity <> '' OR a.attgenerated <> '', "
             "CASE WHEN a.attstorage <> t.typstorage THEN a.attstorage::text ELSE '' END, "
             "a.attstattarget <> -1, coalesce(col_description(a.attrelid, a.attnum), '') "
             "FROM pg_catalog.pg_attribute a JOIN pg_catalog.pg_type t ON t.oid = a.atttypid "
             "LEFT JOIN pg_catalog.pg_attrdef d ON d.adrelid = a.attrelid AND d.adnum = a.attnum "
             "WHERE a.attrelid = " + rel + " AND a.attnum > 0 AND NOT a.attisdropped "
             "ORDER BY a.attnum")) {
        if (a[6] == "t" || a[8] == "t") throw NotCovered{};
        columns += (columns.empty() ? "\n    " : ",\n    ") + a[0] + " " + a[1];
        if (!a[5].empty()) columns += " COLLATE " + a[5];
        if (a[3] == "t") columns += " DEFAULT " + a[4];
        if (a[2] == "t") columns += " NOT NULL";
        static const char *storage[][2] = {{"p", "PLAIN"}, {"e", "EXTERNAL"}, {"m", "MAIN"},
                                           {"x", "EXTENDED"}};
        for (const auto &st : storage)
            if (a[7] == st[0])
                per_column += "ALTER TABLE " + qualified + " ALTER COLUMN " + a[0] +
                              " SET STORAGE " + st[1] + ";\n";
        if (!a[9].empty())
            per_column += "COMMENT ON COLUMN " + qualified + "." + a[0] + " IS " +
                          quote_literal(a[9]) + ";\n";
    }
    def.create += "CREATE TABLE " + qualified + " (" + columns + "\n);\n" + owned + per_column;
    if (!t[8].empty()) def.create += "COMMENT ON TABLE " + qualified + " IS " + quote_literal(t[8]) + ";\n";

    for (const auto &k : s.query(
             "SELECT quote_ident(conname), pg_get_constraintdef(oid), contype, "
             "coalesce(obj_description(oid, 'pg_constraint'), '') FROM pg_catalog.pg_constraint "
             "WHERE conrelid = " + rel + " ORDER BY conname")) {
        if (k[2] != "p" && k[2] != "u" && k[2] != "c") throw NotCovered{};
        def.after_rows += "ALTER TABLE " + qualified + " ADD CONSTRAINT " + k[0] + " " + k[1] + ";\n";
        if (!k[3].empty())
            def.after_rows += "COMMENT ON CONSTRAINT " + k[0] + " ON " + qualified + " IS " +
                              quote_literal(k[3]) + ";\n";
    }
    for (const auto &ix : s.query(
             "SELECT pg_get_indexdef(i.indexrelid), i.indexrelid::regclass::text, i.indisclustered, "
             "coalesce(obj_description(i.indexrelid, 'pg_class'), '') FROM pg_catalog.pg_index i "
             "WHERE i.indrelid = " + rel + " AND NOT EXISTS (SELECT 1 FROM pg_catalog.pg_constraint k "
             "WHERE k.conrelid = i.indrelid AND k.conindid = i.indexrelid) ORDER BY 2")) {
        if (ix[2] == "t") throw NotCovered{};
        def.after_rows += ix[0] + ";\n";
        if (!ix[3].empty())
            def.after_rows += "COMMENT ON INDEX " + ix[1] + " IS " + quote_literal(ix[3]) + ";\n";
    }
    return def;
}

// Fills `f` from the table GDAL created (`table.shape`) and the catalog:
// the fields map one to one onto the source's, the geometry column's type,
// dimensions and SRID, and the PostGIS version the EWKB is written for.
void describe_rows(const CopyJob &job, const EmptyTable &table, RowFormat &f) {
    PgSession &s = job.target.session;
    OGRFeatureDefnH src_defn = OGR_L_GetLayerDefn(job.layer);
    f.defn = table.shape.defn;
    f.fid_column = table.shape.fid_column;
    const char *src_fid = OGR_L_GetFIDColumn(job.layer);
    f.preserve_fid = src_fid != nullptr && *src_fid != '\0';
    // Source fields map one to one onto the table's, in order.
    if (OGR_FD_GetFieldCount(src_defn) != f.defn->GetFieldCount() || f.fid_column.empty())
        throw NotCovered{};
    for (int i = 0; i < f.defn->GetFieldCount(); ++i) {
        OGRFieldDefnH sf = OGR_FD_GetFieldDefn(src_defn, i);
        if (OGR_Fld_GetType(sf) != f.defn->GetFieldDefn(i)->GetType() ||
            EQUAL(f.defn->GetFieldDefn(i)->GetNameRef(), f.fid_column.c_str()))
            throw NotCovered{};
    }
    f.has_geom = f.defn->GetGeomFieldCount() == 1;
    if (f.defn->GetGeomFieldCount() > 1) throw NotCovered{};
    if (!f.has_geom) return;
    const OGRwkbGeometryType gt = f.defn->GetGeomFieldDefn(0)->GetType();
    f.geom_type = OGR_GT_Flatten(gt);
    f.z = OGR_GT_HasZ(gt);
    f.m = OGR_GT_HasM(gt);
    if (!covered_layer_type(gt) || f.geom_type == wkbPoint || f.geom_type == wkbLineString ||
        f.geom_type == wkbPolygon)
        throw NotCovered{};
    const CopyTarget &t = job.target;
    const auto srid = s.query("SELECT srid FROM geometry_columns WHERE f_table_schema = " +
                              quote_literal(t.schema) + " AND f_table_name = " +
                              quote_literal(t.table) + " AND f_geometry_column = " +
                              quote_literal(table.shape.geom_column));
    if (srid.size() != 1) throw NotCovered{};
    f.srid = std::atoi(srid[0][0].c_str());
    const auto version = s.query("SELECT postgis_lib_version()");
    f.postgis_major = std::atoi(version.at(0).at(0).c_str());
    const char *dot = std::strchr(version[0][0].c_str(), '.');
    f.postgis_minor = dot ? std::atoi(dot + 1) : 0;
}

}  // namespace

bool covered_layer_type(OGRwkbGeometryType t) {
    switch (OGR_GT_Flatten(t)) {
    case wkbNone: case wkbUnknown: case wkbPoint: case wkbLineString: case wkbPolygon:
    case wkbMultiPoint: case wkbMultiLineString: case wkbMultiPolygon:
    case wkbGeometryCollection:
        return true;
    default:
        return false;
    }
}

bool read_empty_table(const CopyJob &job, const TranslateOptions &create, EmptyTable &table,
                      RowFormat &f) {
    const CopyTarget &t = job.target;
    PgSession &s = t.session;
    table.qualified = quote_ident(t.schema) + "." + quote_ident(t.table);
    try {
        create_table(job, create, table.shape);
        describe_rows(job, table, f);
        table.definition = read_definition(s, table.qualified);
        table.column_types = s.query(
            "SELECT attname, atttypid::regtype::text FROM pg_catalog.pg_attribute WHERE attrelid = " +
            quote_literal(table.qualified) + "::regclass AND attnum > 0 AND NOT attisdropped");
        s.exec("DROP TABLE " + table.qualified, job.cancel);
    } catch (const NotCovered &) {
        drop_table_quietly(s, t.dest, t.schema, t.table);
        return false;
    } catch (...) {
        drop_table_quietly(s, t.dest, t.schema, t.table);
        throw;
    }
    return true;
}

}  // namespace voriviv::geofileops
