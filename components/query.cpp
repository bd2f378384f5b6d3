#include "components/query.h"

#include "platform/codepage.h"

namespace larkspire {

TLarkspireQuery::TLarkspireQuery(TComponent* owner) : TCustomLarkspireDataSetEx(owner) {
  sql_.OnChange = [this] { SQLChanged(); };
  SetCommandType(cmdText);
  SetCommandTextName("SQL");
}

TLarkspireQuery::~TLarkspireQuery() {
  BeginDestroy();
  sql_.OnChange = nullptr;
}

void TLarkspireQuery::SQLChanged() {
  if (!IsLoading()) Close();
  SetQueryText(sql_.Text());
}

void TLarkspireQuery::FillPagingRecord(int32_t record[4]) const {
  record[0] = 0;
  record[1] = 0;
  record[2] = paging_.PageSize();
  record[3] = paging_.PageIndex();
}

void TLarkspireQuery::UpdatePagingRecordCount(int32_t count) {
  paging_.UpdateRecordCount(count);
}

int32_t TLarkspireQuery::ExecSQL() {
  rows_affected_ = 0;
  CheckConnection();
  CheckCommandText();
  FillParamsFromMaster();
  TLarkspireConnection& connection = *Connection();
  if (connection.Busy()) return 0;
  std::string message;
  try {
    TRemoteCommand request;
    request.Code = cmdExecSQL;
    WriteQuery(request);
    const TLarkspireReply reply = connection.Exchange(request);
    if (reply->Success)
      rows_affected_ = reply->Value;
    else
      message = AnsiToWide(reply->Message);
  } catch (...) {
    RethrowAtComponentBoundary(Name());
  }
  if (!message.empty()) RaiseDataSetError(connection.ErrorCode(), message);
  return rows_affected_;
}

}  // namespace larkspire
