#include "support/sql_shortcuts.h"

#include "components/query.h"

namespace larkspire::test {

std::string ValueOf(TLarkspireConnection& connection, const std::string& sql,
                    int32_t timeout_seconds) {
  TLarkspireQuery query;
  query.SetConnection(&connection);
  query.SetCommandTimeout(timeout_seconds);
  query.SQL().SetText(sql);
  query.Open();
  return query.Fields(0).AsString();
}

void Exec(TLarkspireConnection& connection, const std::string& sql) {
  TLarkspireQuery query;
  query.SetConnection(&connection);
  query.SQL().SetText(sql);
  query.ExecSQL();
}

}  // namespace larkspire::test
