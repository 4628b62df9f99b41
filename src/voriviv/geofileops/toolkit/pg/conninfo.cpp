#include "toolkit/pg/conninfo.hpp"

#include <libpq-fe.h>

#include "toolkit/core/errors.hpp"

#include <cstdlib>
#include <vector>


namespace voriviv::geofileops {

std::string libpq_value(std::string_view value) {
    bool quote = value.empty();
    for (char c : value) {
        if (c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v' || c == '\f' ||
            c == '\'' || c == '\\') {
            quote = true;
            break;
        }
    }
    if (!quote) return std::string(value);
    std::string out = "'";
    for (char c : value) {
        if (c == '\'' || c == '\\') out += '\\';
        out += c;
    }
    out += '\'';
    return out;
}

std::string pg_connection_text(const ConnectionValues &v) {
    return "PG:host=" + libpq_value(v.host) + " port=" + libpq_value(v.port) +
           " dbname=" + libpq_value(v.dbname) + " user=" + libpq_value(v.user) +
           " password=" + libpq_value(v.password) + " schemas=" + libpq_value(v.schema);
}


bool is_conninfo_space(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v' || c == '\f';
}

std::size_t conninfo_value_end(const std::string &s, std::size_t i) {
    if (i < s.size() && s[i] == '\'') {
        for (++i; i < s.size(); ++i) {
            if (s[i] == '\\') { ++i; continue; }
            if (s[i] == '\'') return i + 1;
        }
        return s.size();
    }
    while (i < s.size() && !is_conninfo_space(s[i])) ++i;
    return i;
}

std::string restrict_to_schema(const std::string &text, const std::string &schema) {
    std::string out;
    size_t i = 0;
    while (i < text.size()) {
        // Copy whitespace as it is.
        if (is_conninfo_space(text[i])) { out += text[i++]; continue; }
        size_t start = i;
        size_t eq = text.find('=', i);
        size_t token_end;
        std::string key;
        if (eq != std::string::npos) {
            key = text.substr(i, eq - i);
            token_end = conninfo_value_end(text, eq + 1);
        } else {
            token_end = conninfo_value_end(text, i);
        }
        // "PG:schemas=..." carries the prefix on its key.
        std::string bare = key.rfind("PG:", 0) == 0 ? key.substr(3) : key;
        if (bare == "schemas") {
            if (key != bare) out += "PG:";
        } else {
            out += text.substr(start, token_end - start);
        }
        i = token_end;
    }
    while (!out.empty() && is_conninfo_space(out.back())) out.pop_back();
    if (out.empty() || out == "PG:") return out + "schemas=" + libpq_value(schema);
    return out + " schemas=" + libpq_value(schema);
}

namespace {

struct Token {
    std::string key;   // empty for a token without '='
    std::string text;  // the whole token as written
};

std::vector<Token> tokens(const std::string &s) {
    std::vector<Token> out;
    size_t i = 0;
    while (i < s.size()) {
        if (is_conninfo_space(s[i])) { ++i; continue; }
        const size_t start = i;
        size_t end = conninfo_value_end(s, i);
        const size_t eq = s.find('=', i);
        std::string key;
        if (eq != std::string::npos && eq < end) {
            key = s.substr(i, eq - i);
            end = conninfo_value_end(s, eq + 1);
        }
        out.push_back({key, s.substr(start, end - start)});
        i = end;
    }
    return out;
}

std::string strip_prefix(const std::string &text) {
    return text.size() >= 3 && (text[0] == 'P' || text[0] == 'p') &&
                   (text[1] == 'G' || text[1] == 'g') && text[2] == ':'
               ? text.substr(3)
               : text;
}


bool is_uri(const std::string &body) {
    return body.rfind("postgresql://", 0) == 0 || body.rfind("postgres://", 0) == 0;
}
}  // namespace


bool is_pg_text(const std::string &text) {
    return text.size() >= 3 && (text[0] == 'P' || text[0] == 'p') &&
           (text[1] == 'G' || text[1] == 'g') && text[2] == ':';
}

namespace {
bool is_gdal_key(const std::string &key) {
    return key == "schemas" || key == "tables" || key == "active_schema";
}

// Adds libpq's reading of `conninfo` (a keyword string or a URI) to `out`.
void parse_libpq(const std::string &conninfo, std::vector<ConnParam> &out) {
    char *error = nullptr;
    PQconninfoOption *options = PQconninfoParse(conninfo.c_str(), &error);
    if (options == nullptr) {
        std::string message = error != nullptr ? error : "out of memory";
        PQfreemem(error);
        while (!message.empty() && (message.back() == '\n' || message.back() == ' '))
            message.pop_back();
        throw Failure::value("not a PostgreSQL connection: " + message);
    }
    for (const PQconninfoOption *o = options; o->keyword != nullptr; ++o)
        if (o->val != nullptr) out.push_back({o->keyword, o->val});
    PQconninfoFree(options);
}
}  // namespace

std::vector<ConnParam> connection_params(const std::string &text) {
    const std::string body = strip_prefix(text);
    std::vector<ConnParam> gdal_keys;
    std::string libpq;
    std::size_t i = 0;
    while (i < body.size() && is_conninfo_space(body[i])) ++i;
    if (is_uri(body.substr(i))) {
        // A URI is one word; GDAL's keys may follow it.
        std::size_t end = i;
        while (end < body.size() && !is_conninfo_space(body[end])) ++end;
        libpq = body.substr(i, end - i);
        i = end;
    }
    std::string keywords;
    for (const Token &t : tokens(body.substr(i))) {
        if (is_gdal_key(t.key)) {
            // The value as libpq would read it: the same quoting rules.
            std::vector<ConnParam> one;
            parse_libpq("dbname=" + t.text.substr(t.key.size() + 1), one);
            gdal_keys.push_back({t.key, one.empty() ? "" : one[0].value});
            continue;
        }
        keywords += (keywords.empty() ? "" : " ") + t.text;
    }
    std::vector<ConnParam> out;
    if (!libpq.empty()) parse_libpq(libpq, out);
    if (!keywords.empty()) {
        if (!libpq.empty())
            throw Failure::value("not a PostgreSQL connection: a URI cannot be followed by "
                                 "connection parameters (" + keywords + ")");
        parse_libpq(keywords, out);
    }
    out.insert(out.end(), gdal_keys.begin(), gdal_keys.end());
    return out;
}

bool names_param(const std::string &text, const std::string &key) {
    try {
        for (const ConnParam &p : connection_params(text))
            if (p.key == key) return true;
    } catch (const Failure &) {
    }
    return false;
}

std::string with_connect_timeout(const std::string &text) {
    const std::string body = strip_prefix(text);
    if (!is_pg_text(text) || is_uri(body)) return text;
    if (names_param(text, "connect_timeout")) return text;
    const char *env = std::getenv("PGCONNECT_TIMEOUT");
    if (env != nullptr && *env != '\0') return text;
    std::string out = text;
    while (!out.empty() && is_conninfo_space(out.back())) out.pop_back();
    if (!out.empty() && out != "PG:") out += ' ';
    return out + "connect_timeout=" + std::to_string(kDefaultConnectTimeout);
}

std::string text_for_schema(const std::string &text, const std::string &schema) {
    const std::string body = strip_prefix(text);
    if (!is_pg_text(text) || is_uri(body)) return text;
    if (names_param(text, "schemas")) return with_connect_timeout(text);
    return with_connect_timeout(restrict_to_schema(text, schema));
}

std::string libpq_conninfo(const std::string &gdal_text) {
    const std::string body = strip_prefix(gdal_text);
    if (is_uri(body)) return body;
    std::string out;
    for (const Token &t : tokens(body)) {
        if (t.key == "schemas" || t.key == "tables" || t.key == "active_schema") continue;
        if (!out.empty()) out += ' ';
        out += t.text;
    }
    return out;
}

}  // namespace voriviv::geofileops
