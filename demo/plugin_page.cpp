// The third page of the main window, "插件例题": calls of the server's sample plug-in
// "PluginSample": a sum, a product, the server's time and a picture of the server's screen.
#include <QLabel>
#include <QLineEdit>
#include <QPixmap>
#include <QPushButton>
#include <QScrollArea>
#include <charconv>

#include "demo/form_layout.h"
#include "demo/main_form.h"
#include "platform/exception.h"
#include "qt/exception_handler.h"

namespace larkspire {
namespace {

constexpr const char* kPlugin = "PluginSample";

// The text as a 32-bit integer; 0 for anything else (blanks around it are allowed).
int32_t StrToIntDef0(const QString& text) {
  const std::string digits = text.trimmed().toStdString();
  const char* begin = digits.data();
  const char* end = begin + digits.size();
  if (begin != end && *begin == '+') ++begin;
  int32_t value = 0;
  auto [ptr, error] = std::from_chars(begin, end, value);
  return error == std::errc() && ptr == end && begin != end ? value : 0;
}

// The answer's "Result" when it has the type expected; null otherwise (the page then shows
// nothing rather than failing).
ILarkspirePluginParam* Result(TLarkspirePluginCall& call, TPluginDataType type) {
  TLarkspirePluginParam* result = call.Response().FindParam("Result");
  return result != nullptr && result->DataType() == type ? result : nullptr;
}

}  // namespace

void TlkDemoMainForm::BuildPluginPage() {
  QWidget* page = TabSheet4;
  Label3 = PlaceLabel(page, "Label3", "A=", 8, 12);
  Edit1 = PlaceEdit(page, "Edit1", "123", 40, 8, 80, 20);
  Label5 = PlaceLabel(page, "Label5", "B=", 152, 12);
  Edit2 = PlaceEdit(page, "Edit2", "124", 184, 8, 80, 20);
  btnPluginDemo1 = PlaceButton(page, "btnPluginDemo1", "A,B求和", 8, 48, 100, 25);
  edResult1 = PlaceEdit(page, "edResult1", "", 120, 50, 150, 20);
  btnPluginDemo2 = PlaceButton(page, "btnPluginDemo2", "A,B求积", 8, 80, 100, 25);
  edResult2 = PlaceEdit(page, "edResult2", "", 120, 82, 150, 20);
  btnPluginDemo3 = PlaceButton(page, "btnPluginDemo3", "获取服务器时间", 8, 112, 100, 25);
  edResult3 = PlaceEdit(page, "edResult3", "", 120, 114, 150, 20);
  btnPluginDemo4 = PlaceButton(page, "btnPluginDemo4", "截屏服务器屏幕", 8, 184, 100, 25);

  ScrollBox1 = new QScrollArea(page);
  ScrollBox1->setObjectName("ScrollBox1");
  ScrollBox1->setGeometry(304, 7, 609, 506);
  ScrollBox1->setWidgetResizable(false);
  Image1 = new QLabel;
  Image1->setObjectName("Image1");
  Image1->setGeometry(1, 2, 825, 585);
  Image1->setAlignment(Qt::AlignLeft | Qt::AlignTop);
  ScrollBox1->setWidget(Image1);
}

void TlkDemoMainForm::ConnectPluginPage() {
  ConnectClick(btnPluginDemo1, &TlkDemoMainForm::btnPluginDemo1Click);
  ConnectClick(btnPluginDemo2, &TlkDemoMainForm::btnPluginDemo2Click);
  ConnectClick(btnPluginDemo3, &TlkDemoMainForm::btnPluginDemo3Click);
  ConnectClick(btnPluginDemo4, &TlkDemoMainForm::btnPluginDemo4Click);
}

void TlkDemoMainForm::CallArithmetic(int request_type, QLineEdit* result) {
  ILarkspirePluginData& request = LarkspirePluginCall1->RequestData();
  request.Clear();
  request.Param("ReqType").SetAsInteger(request_type);
  request.Param("a").SetAsInteger(StrToIntDef0(Edit1->text()));
  request.Param("b").SetAsInteger(StrToIntDef0(Edit2->text()));
  if (!LarkspirePluginCall1->Execute(kPlugin)) return;
  ILarkspirePluginParam* answer = Result(*LarkspirePluginCall1, pdtInteger);
  result->setText(answer != nullptr ? QString::number(answer->GetAsInteger()) : QString());
}

void TlkDemoMainForm::btnPluginDemo1Click() {
  CallArithmetic(0, edResult1);
}
void TlkDemoMainForm::btnPluginDemo2Click() {
  CallArithmetic(1, edResult2);
}

void TlkDemoMainForm::btnPluginDemo3Click() {
  ILarkspirePluginData& request = LarkspirePluginCall1->RequestData();
  request.Clear();
  request.Param("ReqType").SetAsInteger(2);
  if (!LarkspirePluginCall1->Execute(kPlugin)) return;
  ILarkspirePluginParam* answer = Result(*LarkspirePluginCall1, pdtString);
  edResult3->setText(answer != nullptr ? QString::fromStdString(answer->GetAsString()) : QString());
}

void TlkDemoMainForm::btnPluginDemo4Click() {
  ILarkspirePluginData& request = LarkspirePluginCall1->RequestData();
  request.Clear();
  request.Param("ReqType").SetAsInteger(3);
  if (!LarkspirePluginCall1->Execute(kPlugin)) return;
  ILarkspirePluginParam* answer = Result(*LarkspirePluginCall1, pdtStream);
  if (answer == nullptr) return;
  TStream& stream = answer->GetAsStream();
  std::string bytes(static_cast<size_t>(stream.Size()), '\0');
  stream.SetPosition(0);
  if (!bytes.empty()) stream.ReadBuffer(bytes.data(), static_cast<int64_t>(bytes.size()));
  QPixmap picture;
  if (!picture.loadFromData(reinterpret_cast<const uchar*>(bytes.data()),
                            static_cast<uint>(bytes.size()), "BMP")) {
    throw Exception("Bitmap image is not valid");
  }
  Image1->setPixmap(picture);
  Image1->resize(picture.size());
}

}  // namespace larkspire
