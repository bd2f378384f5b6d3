// read_forward_only HOST PORT: reads every product forward-only, handed over one row at a time
// as the reply arrives, and prints a running total; memory stays the same for any number of
// rows, since no row is kept.
#include <larkspire/components/connection.h>
#include <larkspire/components/query.h>

#include <cstdlib>
#include <exception>
#include <iostream>
#include <string>

int main(int argc, char** argv) {
  if (argc != 3) {
    std::cerr << "usage: read_forward_only HOST PORT\n";
    return 2;
  }
  try {
    larkspire::TLarkspireConnection connection;
    connection.SetRemoteIP(argv[1]);
    connection.SetRemotePort(std::atoi(argv[2]));
    connection.SetClientName("example");

    larkspire::TLarkspireQuery query;
    query.SetConnection(&connection);
    query.SQL().SetText("select ProId, ProName, RetaiPrice from products order by ProId");
    int name_column = -1, price_column = -1;
    double total = 0;
    const int64_t rows = query.ReadForwardOnly(
        [&](larkspire::TRecordsetRow& row) {
          const larkspire::TVariant& price = row.Values[price_column];
          if (!price.IsNull()) total += price.AsDouble();
          std::cout << row.Values[name_column].AsString() << '\n';
        },
        [&](const larkspire::TRecordsetSchema& schema) {
          // The columns come first: find the ones wanted by name.
          for (size_t i = 0; i < schema.Fields.size(); ++i) {
            if (schema.Fields[i].Name == "ProName") name_column = static_cast<int>(i);
            if (schema.Fields[i].Name == "RetaiPrice") price_column = static_cast<int>(i);
          }
        });
    std::cout << rows << " products, prices adding up to " << total << '\n';
  } catch (const std::exception& e) {
    std::cerr << e.what() << '\n';
    return 1;
  }
  return 0;
}
