// query_and_edit HOST PORT: connects to a Larkspire server, prints the first products, then
// changes the unit of the first one and posts the edit back inside a transaction.
#include <larkspire/components/connection.h>
#include <larkspire/components/query.h>
#include <larkspire/components/transaction.h>

#include <cstdlib>
#include <exception>
#include <iostream>
#include <string>

int main(int argc, char** argv) {
  if (argc != 3) {
    std::cerr << "usage: query_and_edit HOST PORT\n";
    return 2;
  }
  try {
    larkspire::TLarkspireConnection connection;
    connection.SetRemoteIP(argv[1]);
    connection.SetRemotePort(std::atoi(argv[2]));
    connection.SetClientName("example");

    larkspire::TLarkspireQuery query;
    query.SetConnection(&connection);
    query.SQL().SetText("select ProId, ProName, ProUnit from products where ProId <= :last");
    query.Parameters().ParamByName("last").Value = 3;
    query.Open();
    for (; !query.Eof(); query.Next()) {
      std::cout << query.FieldByName("ProId").AsString() << '\t'
                << query.FieldByName("ProName").AsString() << '\t'
                << query.FieldByName("ProUnit").AsString() << '\n';
    }

    query.First();
    {
      // Rolled back when the scope is left without Commit (a refused post, for one).
      larkspire::TLarkspireTransaction transaction(connection);
      query.Edit();
      query.FieldByName("ProUnit").SetAsString("箱");
      query.Post();  // sends the change to the server; raises if it refuses
      transaction.Commit();
    }
    std::cout << "product " << query.FieldByName("ProId").AsString() << " now sold by the "
              << query.FieldByName("ProUnit").AsString() << '\n';
  } catch (const std::exception& e) {
    std::cerr << e.what() << '\n';
    return 1;
  }
  return 0;
}
