#include "server/sql/backends/postgres/postgres_procedure.h"

#include <cctype>

#include "protocol/memory_stream.h"
#include "protocol/param_encoding.h"
#include "server/rowsets/rowset_builder.h"
#include "server/sql/database.h"
#include "server/sql/sql_parameters.h"
#include "server/sql/sql_text.h"

namespace larkspire::server {

namespace {

bool IsSpace(char c) {
  return std::isspace(static_cast<unsigned char>(c)) != 0;
}

// Whether the parameter's value can travel in the form of its type.
bool Encodes(const TParameter& parameter) {
  if (parameter.Value.IsClear() || parameter.Value.Type() == TVarType::vtBytes) return true;
  try {
    TLarkspireMemoryStream scratch;
    WriteParamValue(parameter.Value, scratch, parameter.DataType);
    return true;
  } catch (const EVariantError&) {
    return false;
  }
}

}  // namespace

TRoutineName ParseRoutineName(const std::string& name) {
  std::string text = name;
  if (auto semicolon = text.rfind(';');
      semicolon != std::string::npos && text.find('"', semicolon) == std::string::npos) {
    text.erase(semicolon);
  }
  std::vector<std::string> parts;
  size_t i = 0;
  while (i < text.size()) {
    while (i < text.size() && IsSpace(text[i])) ++i;
    std::string part;
    if (i < text.size() && text[i] == '"') {
      size_t end = text.find('"', i + 1);
      if (end == std::string::npos) break;
      part = text.substr(i + 1, end - i - 1);
      i = end + 1;
    } else {
      size_t end = i;
      while (end < text.size() && text[end] != '.' && !IsSpace(text[end])) ++end;
      part = LowerAscii(text.substr(i, end - i));
      i = end;
    }
    while (i < text.size() && IsSpace(text[i])) ++i;
    parts.push_back(part);
    if (i < text.size() && text[i] == '.') {
      ++i;
    } else {
      break;
    }
  }
  if (i < text.size() || parts.empty() || parts.size() > 2 || parts.back().empty()) {
    throw EServerDatabaseError("\"" + name + "\" is not the name of a stored procedure");
  }
  return {parts.size() == 2 ? parts[0] : std::string(), parts.back()};
}

std::vector<const TParameter*> PassedParameters(const TParameters& parameters) {
  std::vector<const TParameter*> passed;
  for (int p = 0; p < parameters.Count(); ++p) {
    if (parameters[p].Direction != pdReturnValue) passed.push_back(&parameters[p]);
  }
  return passed;
}

size_t ChooseOverload(const std::vector<std::vector<TRoutineArgument>>& overloads,
                      const std::vector<const TParameter*>& passed) {
  for (size_t c = 0; c < overloads.size(); ++c) {
    bool all = !overloads[c].empty();
    for (const TParameter* parameter : passed) {
      bool match = false;
      for (const TRoutineArgument& argument : overloads[c]) {
        if (EqualsIgnoringCase(argument.Name, BareParameterName(parameter->Name))) match = true;
      }
      all = all && match;
    }
    if (all) return c;
  }
  return 0;
}

TRoutineCall BuildRoutineCall(const TRoutine& routine, const TParameters& parameters) {
  TRoutineCall call;
  call.Sql = (routine.IsProcedure ? "CALL " : "SELECT * FROM ") + QuoteIdentifier(routine.Schema) +
             "." + QuoteIdentifier(routine.Name) + "(";
  auto add = [&](const std::string& argument, const TParameter* value) {
    if (!call.Values.empty()) call.Sql += ", ";
    if (!argument.empty()) call.Sql += QuoteIdentifier(argument) + " => ";
    call.Values.push_back(value);
    call.Sql += "$" + std::to_string(call.Values.size());
  };
  bool named = !routine.Arguments.empty();
  for (const TRoutineArgument& argument : routine.Arguments)
    named = named && !argument.Name.empty();
  if (named) {
    for (const TRoutineArgument& argument : routine.Arguments) {
      if (argument.Mode == 't' || (!routine.IsProcedure && argument.Mode == 'o')) continue;
      const TParameter* value = FindSqlParameter(parameters, argument.Name);
      if (value && value->Direction == pdReturnValue) value = nullptr;
      if (argument.Mode == 'o') {
        add(argument.Name, nullptr);  // a procedure's OUT argument is passed as NULL
      } else if (value) {
        add(argument.Name, value->Direction == pdOutput ? nullptr : value);
      }
    }
  } else {
    for (const TParameter* parameter : PassedParameters(parameters)) {
      if (!routine.IsProcedure && parameter->Direction == pdOutput) continue;
      add(std::string(), parameter->Direction == pdOutput ? nullptr : parameter);
    }
  }
  call.Sql += ")";
  return call;
}

void FillOutputParameters(const TRecordsetData& rows, bool is_procedure, TParameters& parameters) {
  if (rows.Rows.empty()) return;
  const TRecordsetRow& first = *rows.Rows.front();
  for (int p = 0; p < parameters.Count(); ++p) {
    TParameter& parameter = parameters[p];
    if (parameter.Direction != pdOutput && parameter.Direction != pdInputOutput &&
        parameter.Direction != pdReturnValue) {
      continue;
    }
    int column = -1;
    const std::string wanted = BareParameterName(parameter.Name);
    for (size_t c = 0; c < rows.Schema.Fields.size(); ++c) {
      if (EqualsIgnoringCase(rows.Schema.Fields[c].Name, wanted)) column = static_cast<int>(c);
    }
    // A function's own result is its return value.
    if (column < 0 && parameter.Direction == pdReturnValue && !is_procedure) column = 0;
    if (column < 0) continue;
    parameter.Value = first.Values[column];
    if (parameter.DataType == ftUnknown || !Encodes(parameter)) {
      // The request's type cannot carry the value (or named none): take the column's.
      parameter.DataType = FieldTypeOfField(rows.Schema.Fields[column]);
    }
  }
}

}  // namespace larkspire::server
