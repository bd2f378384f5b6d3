// The forward-only read of a remote dataset: rows handed out as the reply streams in.
#include <string>

#include "components/remote_dataset_ex.h"
#include "platform/codepage.h"
#include "platform/exception.h"

namespace larkspire {

int64_t TCustomLarkspireDataSetEx::ReadForwardOnly(
    const TAdoXmlRowStream::TRowHandler& on_row,
    const TAdoXmlRowStream::TSchemaHandler& on_schema) {
  CheckConnection();
  CheckCommandText();
  TLarkspireConnection& connection = *Connection();
  if (connection.Busy())
    throw EDatabaseError(Name() + ": the connection is running another command");
  FillParamsFromMaster();

  TRemoteCommand request;
  request.Code = cmdOpenQuery;
  {
    const TCursorType cursor_type = CursorType();
    SetCursorType(ctOpenForwardOnly);
    try {
      WriteQuery(request);
    } catch (...) {
      SetCursorType(cursor_type);
      throw;
    }
    SetCursorType(cursor_type);
  }

  TAdoXmlRowStream rows(on_schema, on_row);
  // The rows' own fault, worded as Open words a reply whose rows do not load.
  std::string rows_error;
  const auto feed = [&rows, &rows_error](const char* bytes, size_t count) {
    try {
      rows.Feed(std::string_view(bytes, count));
    } catch (const EMalformedData& e) {
      rows_error = e.what();
      throw;
    }
  };
  std::string message;
  try {
    TRemoteCommand& reply = connection.ExecuteStreamed(request, feed);
    struct TResetReply {
      TRemoteCommand& reply;
      ~TResetReply() { reply.Reset(); }
    } reset{reply};
    if (reply.Success) {
      try {
        rows.Finish();
      } catch (const EMalformedData& e) {
        rows_error = e.what();
      }
      if (rows_error.empty() && CommandType() == cmdStoredProc) reply.ReadParameters(Parameters());
      message = rows_error;
    } else {
      message = AnsiToWide(reply.Message);
      if (message.empty()) message = "the server gave no rows and no reason";
    }
  } catch (const EMalformedData&) {
    if (rows_error.empty()) RethrowAtComponentBoundary(Name());
    message = rows_error;
  }
  if (!message.empty()) RaiseDataSetError(connection.ErrorCode(), message);
  return rows.RowCount();
}

}  // namespace larkspire
