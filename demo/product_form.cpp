#include "demo/product_form.h"

#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>

#include "dataset/dataset.h"
#include "demo/check_controls.h"
#include "demo/form_layout.h"
#include "demo/main_form.h"
#include "platform/string_list.h"
#include "qt/exception_handler.h"
#include "qt/message_boxes.h"

namespace larkspire {
namespace {

constexpr int kInputWidth = 121;
constexpr int kInputHeight = 20;

QString Q(const std::string& text) {
  return QString::fromStdString(text);
}

// Keeps the dataset's controls disabled for the scope.
class TControlsDisabled {
 public:
  explicit TControlsDisabled(TDataSet& dataset) : dataset_(dataset) { dataset_.DisableControls(); }
  ~TControlsDisabled() { dataset_.EnableControls(); }
  TControlsDisabled(const TControlsDisabled&) = delete;
  TControlsDisabled& operator=(const TControlsDisabled&) = delete;

 private:
  TDataSet& dataset_;
};

}  // namespace

TlkDemoProductForm::TlkDemoProductForm(TlkDemoMainForm* main_form)
    : QDialog(main_form, Qt::Dialog | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                             Qt::WindowCloseButtonHint | Qt::MSWindowsFixedSizeDialogHint),
      main_form_(main_form) {
  setObjectName("lkDemoProductForm");
  setFont(DemoFont());
  setFixedSize(444, 230);
  setModal(true);

  Label1 = PlaceLabel(this, "Label1", "商品编号", 16, 17);
  edProCode = PlaceEdit(this, "edProCode", "", 88, 13, kInputWidth, kInputHeight);
  Label2 = PlaceLabel(this, "Label2", "商品名称", 232, 17);
  edProName = PlaceEdit(this, "edProName", "", 304, 13, kInputWidth, kInputHeight);
  Label3 = PlaceLabel(this, "Label3", "商品类别", 16, 50);
  cbProKind = PlaceComboBox(this, "cbProKind", true, 88, 46, kInputWidth, kInputHeight);
  cbProKind->setInsertPolicy(QComboBox::NoInsert);
  Label4 = PlaceLabel(this, "Label4", "计量单位", 232, 50);
  edProUnit = PlaceEdit(this, "edProUnit", "", 304, 46, kInputWidth, kInputHeight);
  Label5 = PlaceLabel(this, "Label5", "包装规格", 16, 83);
  edProSpec = PlaceEdit(this, "edProSpec", "", 88, 79, kInputWidth, kInputHeight);
  Label6 = PlaceLabel(this, "Label6", "商品条码", 232, 83);
  edBarCode = PlaceEdit(this, "edBarCode", "", 304, 79, kInputWidth, kInputHeight);
  Label7 = PlaceLabel(this, "Label7", "进货价(￥)", 16, 116);
  edPurPrice = PlaceEdit(this, "edPurPrice", "", 88, 111, kInputWidth, kInputHeight);
  Label8 = PlaceLabel(this, "Label8", "零售价(￥)", 232, 116);
  edRetaiPrice = PlaceEdit(this, "edRetaiPrice", "", 304, 111, kInputWidth, kInputHeight);
  Label9 = PlaceLabel(this, "Label9", "批发价(￥)", 16, 150);
  edTradePrice = PlaceEdit(this, "edTradePrice", "", 88, 143, kInputWidth, kInputHeight);
  btnOK = PlaceButton(this, "btnOK", "确定", 264, 192, 75, 25);
  btnCancel = PlaceButton(this, "btnCancel", "取消", 352, 192, 75, 25);
  // Neither button is the default: Enter does not close the dialog; Esc cancels.
  btnOK->setDefault(false);
  btnCancel->setDefault(false);

  QWidget* order[] = {edProCode, edProName, cbProKind,  edProUnit,    edProSpec,   edBarCode,
                      btnOK,     btnCancel, edPurPrice, edRetaiPrice, edTradePrice};
  for (size_t i = 1; i < std::size(order); ++i) setTabOrder(order[i - 1], order[i]);

  connect(btnOK, &QPushButton::clicked, this, [this] { RunGuarded([this] { btnOKClick(); }); });
  connect(btnCancel, &QPushButton::clicked, this, &QDialog::reject);
}

void TlkDemoProductForm::btnOKClick() {
  if (ValidateInput()) accept();
}

bool TlkDemoProductForm::ValidateInput() {
  return CheckControls({edProCode, edProName, cbProKind, edProUnit},
                       {"商品编号", "商品名称", "商品类型", "计量单位"}, icNotEmpty) &&
         CheckControls({edProSpec, edPurPrice, edRetaiPrice, edTradePrice},
                       {"包装规格", "进货价", "零售价", "批发价"}, icNotEmpty | icNumber);
}

void TlkDemoProductForm::LoadInputs(TDataSet& dataset, TProductEditMode mode) {
  if (mode == pemAdd) {
    setWindowTitle("增加商品");
    for (QLineEdit* edit : {edProCode, edProName, edProUnit, edBarCode}) edit->clear();
    cbProKind->setEditText("");
    edProSpec->setText("0");
    for (QLineEdit* edit : {edPurPrice, edRetaiPrice, edTradePrice}) edit->setText("0.00");
    return;
  }
  setWindowTitle("编辑商品");
  auto text = [&](const char* field) { return Q(dataset.FieldByName(field).AsString()); };
  edProCode->setText(text("ProCode"));
  edProName->setText(text("ProName"));
  cbProKind->setEditText(text("ProKind"));
  edProUnit->setText(text("ProUnit"));
  edProSpec->setText(text("ProSpec"));
  edBarCode->setText(text("BarCode"));
  edPurPrice->setText(text("PurPrice"));
  edRetaiPrice->setText(text("RetaiPrice"));
  edTradePrice->setText(text("TradePrice"));
}

void TlkDemoProductForm::SaveInputs(TDataSet& dataset, TProductEditMode mode) {
  if (mode == pemAdd) {
    dataset.Append();
  } else {
    dataset.Edit();
  }
  auto set_text = [&](const char* field, const QWidget* control) {
    dataset.FieldByName(field).SetAsString(ControlText(control));
  };
  auto set_float = [&](const char* field, const QLineEdit* edit) {
    dataset.FieldByName(field).SetAsFloat(StrToFloatDef(ControlText(edit), -1));
  };
  set_text("ProCode", edProCode);
  set_text("ProName", edProName);
  set_text("ProKind", cbProKind);
  set_text("ProUnit", edProUnit);
  set_text("BarCode", edBarCode);
  set_float("ProSpec", edProSpec);
  set_float("PurPrice", edPurPrice);
  set_float("RetaiPrice", edRetaiPrice);
  set_float("TradePrice", edTradePrice);
  dataset.Post();
}

bool TlkDemoProductForm::ShowProductDialog(TDataSet& dataset, TProductEditMode mode) {
  if (cbProKind->count() == 0) {
    TStringList kinds;
    main_form_->LoadProductKinds(kinds);
    for (const std::string& kind : kinds.Strings()) cbProKind->addItem(Q(kind));
  }
  LoadInputs(dataset, mode);
  edProCode->setFocus();
  if (exec() != QDialog::Accepted) return false;

  std::string refusal;
  {
    TControlsDisabled quiet(dataset);
    try {
      SaveInputs(dataset, mode);
    } catch (...) {
      // The change is dropped, as before, but the user learns why instead of losing the edit
      // without a word.
      refusal = ExceptionMessage(std::current_exception());
      try {
        dataset.Cancel();
      } catch (...) {
      }
    }
  }
  if (!refusal.empty()) MessageBoxes().Error(refusal, "错误");
  return true;
}

}  // namespace larkspire
