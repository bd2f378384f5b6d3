// The steps of calling a PostgreSQL stored procedure or function by the name a client gives:
// reading the name, choosing among overloads, writing the CALL or SELECT with the request's
// parameters, and filling the output values back into the parameters. The catalog look-ups
// between them are TPostgresDatabase's.
//
// Thread-safety: pure functions.
#ifndef LARKSPIRE_SERVER_BACKENDS_POSTGRES_POSTGRES_PROCEDURE_H_
#define LARKSPIRE_SERVER_BACKENDS_POSTGRES_POSTGRES_PROCEDURE_H_

#include <string>
#include <vector>

#include "dataset/recordset.h"
#include "platform/parameters.h"

namespace larkspire::server {

// "schema.name" as a client writes it: either part may be double-quoted (kept as written) or
// bare (folded to lower case); ADO's ";1" suffix is dropped. Schema is empty when not given.
struct TRoutineName {
  std::string Schema;
  std::string Name;
};
// Raises EServerDatabaseError when the text is no such name.
TRoutineName ParseRoutineName(const std::string& text);

struct TRoutineArgument {
  std::string Name;  // empty for an unnamed argument
  char Mode = 'i';   // i, o, b (in-out), v (variadic), t (table column)
};

struct TRoutine {
  std::string Schema;
  std::string Name;
  bool IsProcedure = false;  // CALL; otherwise a function, SELECT * FROM
  std::vector<TRoutineArgument> Arguments;
};

// The request's parameters passed to a routine: every one but the return value.
std::vector<const TParameter*> PassedParameters(const TParameters& parameters);

// Of several overloads (their argument lists), the first whose named arguments take every
// passed parameter; the first of all when none does.
size_t ChooseOverload(const std::vector<std::vector<TRoutineArgument>>& overloads,
                      const std::vector<const TParameter*>& passed);

// The statement that calls the routine, with $n placeholders for Values (null: NULL). Named
// arguments are passed by name; a procedure's OUT arguments as NULL; a function's OUT
// arguments not at all.
struct TRoutineCall {
  std::string Sql;
  std::vector<const TParameter*> Values;
};
TRoutineCall BuildRoutineCall(const TRoutine& routine, const TParameters& parameters);

// Fills the output, input-output and return values from the first row of the call's result
// (a column of the parameter's name; a function's own result is its return value). A value
// its parameter's type cannot carry gives the parameter the column's type.
void FillOutputParameters(const TRecordsetData& rows, bool is_procedure, TParameters& parameters);

}  // namespace larkspire::server

#endif  // LARKSPIRE_SERVER_BACKENDS_POSTGRES_POSTGRES_PROCEDURE_H_
