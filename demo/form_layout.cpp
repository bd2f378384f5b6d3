#include "demo/form_layout.h"

#include <QCheckBox>
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QWidget>

namespace larkspire {
namespace {

constexpr const char* kFormFont = "宋体";

void InstallFontFallbacks() {
  static bool installed = false;
  if (installed) return;
  installed = true;
  // Machines without the forms' font get a CJK font that has the same characters.
  QFont::insertSubstitutions(kFormFont,
                             {"SimSun", "NSimSun", "WenQuanYi Micro Hei", "WenQuanYi Zen Hei",
                              "Noto Sans CJK SC", "Droid Sans Fallback", "AR PL UMing CN"});
}

template <class W>
W* Named(W* widget, const char* name) {
  widget->setObjectName(name);
  return widget;
}

}  // namespace

QFont DemoFont() {
  InstallFontFallbacks();
  QFont font(kFormFont);
  font.setPixelSize(12);
  return font;
}

QLabel* PlaceLabel(QWidget* parent, const char* name, const QString& caption, int left, int top) {
  auto* label = Named(new QLabel(caption, parent), name);
  label->move(left, top);
  label->adjustSize();
  return label;
}

QLineEdit* PlaceEdit(QWidget* parent, const char* name, const QString& text, int left, int top,
                     int width, int height) {
  auto* edit = Named(new QLineEdit(text, parent), name);
  edit->setGeometry(left, top, width, height);
  return edit;
}

QPushButton* PlaceButton(QWidget* parent, const char* name, const QString& caption, int left,
                         int top, int width, int height) {
  auto* button = Named(new QPushButton(caption, parent), name);
  button->setGeometry(left, top, width, height);
  button->setAutoDefault(false);
  return button;
}

QCheckBox* PlaceCheckBox(QWidget* parent, const char* name, const QString& caption, int left,
                         int top, int width, int height) {
  auto* box = Named(new QCheckBox(caption, parent), name);
  box->setGeometry(left, top, width, height);
  return box;
}

QComboBox* PlaceComboBox(QWidget* parent, const char* name, bool editable, int left, int top,
                         int width, int height) {
  auto* box = Named(new QComboBox(parent), name);
  box->setEditable(editable);
  box->setGeometry(left, top, width, height);
  return box;
}

QWidget* MakePanel(QWidget* parent, const char* name, int height) {
  auto* panel = Named(new QWidget(parent), name);
  panel->setFixedHeight(height);
  return panel;
}

}  // namespace larkspire
