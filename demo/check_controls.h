// CheckControls: the input checks of the product dialog. Each control (a QLineEdit or an
// editable QComboBox) is checked in order against the checks given; the first that fails gets
// a message box (caption "验证") naming it by its caption, and the focus.
//
//   icNotEmpty  the text, without blanks and control characters around it, is not empty
//               ("%s不能为空.")
//   icNumber    the text is a number other than -1 ("%s格式不正确."); "abc", "-1" and "-1.00"
//               fail, "-2" and "1e3" pass
//
// Thread-safety: main thread only.
#ifndef LARKSPIRE_DEMO_CHECK_CONTROLS_H_
#define LARKSPIRE_DEMO_CHECK_CONTROLS_H_

#include <string>
#include <vector>

class QWidget;

namespace larkspire {

enum TInputCheck : unsigned { icNotEmpty = 1, icNumber = 2 };
using TInputChecks = unsigned;

// The text as a floating-point number, or fallback when it is not one.
double StrToFloatDef(const std::string& text, double fallback);
// The text of a line edit or combo box; empty for any other widget.
std::string ControlText(const QWidget* control);

// False at the first control that fails (after its message); true when all pass.
bool CheckControls(const std::vector<QWidget*>& controls, const std::vector<std::string>& captions,
                   TInputChecks checks);

}  // namespace larkspire

#endif  // LARKSPIRE_DEMO_CHECK_CONTROLS_H_
