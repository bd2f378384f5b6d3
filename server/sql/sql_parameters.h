// Parameters of SQL statements: the value a request's parameter gives the database, and the
// rewriting of ":name" placeholders into the "$n" form PostgreSQL binds.
//
// Placeholders are a colon and a name of letters, digits, "_" and non-ASCII characters (the
// first not a digit), or a colon and a double-quoted name. Nothing inside '...', E'...',
// "..." or $tag$...$tag$ quotes or inside -- and /* */ comments is a placeholder, and "::"
// (a cast) is none. A name used twice is bound to the same value; names compare without
// regard to case, as the request's parameters are found.
//
// Thread-safety: pure functions.
#ifndef LARKSPIRE_SERVER_SQL_PARAMETERS_H_
#define LARKSPIRE_SERVER_SQL_PARAMETERS_H_

#include <cstdint>
#include <string>
#include <vector>

#include "platform/parameters.h"

namespace larkspire::server {

// A parameter's value as the database receives it.
struct TSqlValue {
  enum TKind { svNull, svInteger, svDouble, svDecimal, svBoolean, svDateTime, svText, svBlob };
  TKind Kind = svNull;
  int64_t Integer = 0;  // svInteger; svBoolean as 0 or 1
  double Double = 0;    // svDouble
  std::string Text;     // svDecimal ("1.5"), svDateTime ("2026-12-09 13:45:00"), svText (UTF-8)
  TBytes Blob;          // svBlob
};

// Null and Empty give NULL; a date-time value, or a number whose type is a date or time
// type, gives its ISO text; a currency value its exact decimal text. Raises EVariantError for
// a value that does not convert.
TSqlValue SqlValueOf(const TParameter& parameter);

// A statement with its placeholders rewritten: Names[i] is the name bound to $(i+1), as
// written at its first use.
struct TRewrittenSql {
  std::string Text;
  std::vector<std::string> Names;
};

TRewrittenSql RewriteNamedParameters(const std::string& sql);

// The parameter of that name (ignoring case, a leading ':' or '@' on either side), or null.
const TParameter* FindSqlParameter(const TParameters& parameters, const std::string& name);

}  // namespace larkspire::server

#endif  // LARKSPIRE_SERVER_SQL_PARAMETERS_H_
