// TlkDemoProductForm: the modal dialog in which a product is added or edited. The main window
// creates it once, hidden, and shows it for every add and edit. OK validates the inputs and
// keeps the dialog open on the first that fails; the confirmed values are then written into
// the dataset's new or current row and posted. A post the server refuses is cancelled and the
// refusal is shown in a message box (caption "错误"), so no edit disappears without a word.
//
// Thread-safety: main thread only.
#ifndef LARKSPIRE_DEMO_PRODUCT_FORM_H_
#define LARKSPIRE_DEMO_PRODUCT_FORM_H_

#include <QDialog>

class QComboBox;
class QLabel;
class QLineEdit;
class QPushButton;

namespace larkspire {

class TDataSet;
class TlkDemoMainForm;

enum TProductEditMode { pemAdd = 0, pemEdit = 1 };

class TlkDemoProductForm : public QDialog {
 public:
  explicit TlkDemoProductForm(TlkDemoMainForm* main_form);

  // Shows the dialog for a new row (pemAdd) or the current row (pemEdit) of dataset; true when
  // the user confirmed it, whether or not the post succeeded.
  bool ShowProductDialog(TDataSet& dataset, TProductEditMode mode);
  // True when every input passes its checks.
  bool ValidateInput();
  void btnOKClick();

  QLabel* Label1;
  QLabel* Label2;
  QLabel* Label3;
  QLabel* Label4;
  QLabel* Label5;
  QLabel* Label6;
  QLabel* Label7;
  QLabel* Label8;
  QLabel* Label9;
  QLineEdit* edProCode;
  QLineEdit* edProName;
  QComboBox* cbProKind;
  QLineEdit* edProUnit;
  QLineEdit* edProSpec;
  QLineEdit* edBarCode;
  QLineEdit* edPurPrice;
  QLineEdit* edRetaiPrice;
  QLineEdit* edTradePrice;
  QPushButton* btnOK;
  QPushButton* btnCancel;

 private:
  void LoadInputs(TDataSet& dataset, TProductEditMode mode);
  void SaveInputs(TDataSet& dataset, TProductEditMode mode);

  TlkDemoMainForm* main_form_;
};

}  // namespace larkspire

#endif  // LARKSPIRE_DEMO_PRODUCT_FORM_H_
