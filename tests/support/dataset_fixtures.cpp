#include "support/dataset_fixtures.h"

namespace larkspire::testing {

std::unique_ptr<TRecordset> MakeProducts(int count) {
  auto recordset = std::make_unique<TRecordset>();
  TRecordsetField id = TRecordsetField::Make("ProId", TAdoDataType::adInteger);
  id.KeyColumn = true;
  id.AutoIncrement = true;
  recordset->CreateFields({id, TRecordsetField::Make("ProCode", TAdoDataType::adVarWChar, 15),
                           TRecordsetField::Make("ProName", TAdoDataType::adVarWChar, 50),
                           TRecordsetField::Make("PurPrice", TAdoDataType::adDouble)});
  for (int i = 1; i <= count; ++i)
    recordset->AppendRow({TVariant(i), TVariant("C0" + std::to_string(i)),
                          TVariant("Name " + std::to_string(i)), TVariant(i + 0.5)});
  recordset->MoveFirst();
  return recordset;
}

TRecordingDataSet::TRecordingDataSet(TComponent* owner) : TRecordsetDataSet(owner) {
  auto record = [this](const char* name) {
    return [this, name](TDataSet&) { Events.push_back(name); };
  };
  BeforeOpen = record("BeforeOpen");
  AfterOpen = record("AfterOpen");
  BeforeClose = record("BeforeClose");
  AfterClose = record("AfterClose");
  BeforeInsert = record("BeforeInsert");
  AfterInsert = record("AfterInsert");
  BeforeEdit = record("BeforeEdit");
  AfterEdit = record("AfterEdit");
  BeforePost = record("BeforePost");
  AfterPost = record("AfterPost");
  BeforeCancel = record("BeforeCancel");
  AfterCancel = record("AfterCancel");
  BeforeDelete = record("BeforeDelete");
  AfterDelete = record("AfterDelete");
  BeforeScroll = record("BeforeScroll");
  AfterScroll = record("AfterScroll");
  OnNewRecord = record("OnNewRecord");
}

void TRecordingLink::ActiveChanged() {
  Heard.push_back(Active() ? "active" : "inactive");
}
void TRecordingLink::DataSetChanged() {
  Heard.push_back("changed");
}
void TRecordingLink::DataSetScrolled(int distance) {
  Heard.push_back("scrolled " + std::to_string(distance));
}
void TRecordingLink::RecordChanged(TField* field) {
  Heard.push_back("record " + (field != nullptr ? field->FieldName() : std::string("*")));
}
void TRecordingLink::EditingChanged() {
  Heard.push_back(Editing() ? "editing" : "browsing");
}
void TRecordingLink::LayoutChanged() {
  Heard.push_back("layout");
}
void TRecordingLink::UpdateData() {
  Heard.push_back("update");
}

}  // namespace larkspire::testing
