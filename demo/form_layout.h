// Placing the demonstration's controls where its stored forms put them: each helper creates a
// control under a parent at Left, Top (and Width x Height where the form gives a size) and
// names it after its design name. DemoFont is the forms' font, "宋体" at 12 pixels, which falls
// back to an installed CJK font where the machine has no such font.
//
// Thread-safety: main thread only.
#ifndef LARKSPIRE_DEMO_FORM_LAYOUT_H_
#define LARKSPIRE_DEMO_FORM_LAYOUT_H_

#include <QFont>
#include <QString>

class QCheckBox;
class QComboBox;
class QLabel;
class QLineEdit;
class QPushButton;
class QWidget;

namespace larkspire {

QFont DemoFont();

QLabel* PlaceLabel(QWidget* parent, const char* name, const QString& caption, int left, int top);
QLineEdit* PlaceEdit(QWidget* parent, const char* name, const QString& text, int left, int top,
                     int width, int height);
QPushButton* PlaceButton(QWidget* parent, const char* name, const QString& caption, int left,
                         int top, int width, int height);
QCheckBox* PlaceCheckBox(QWidget* parent, const char* name, const QString& caption, int left,
                         int top, int width, int height);
// editable: a drop-down with an edit box; otherwise a selection-only list.
QComboBox* PlaceComboBox(QWidget* parent, const char* name, bool editable, int left, int top,
                         int width, int height);
// A panel without bevel of the given height, for the top or the bottom of a page.
QWidget* MakePanel(QWidget* parent, const char* name, int height);

}  // namespace larkspire

#endif  // LARKSPIRE_DEMO_FORM_LAYOUT_H_
