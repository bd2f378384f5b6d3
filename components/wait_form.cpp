#include "components/wait_form.h"

#include <algorithm>

namespace larkspire {
namespace {

constexpr int kTimerInterval = 10;

}  // namespace

TLarkspireWaitForm::TLarkspireWaitForm() : TLarkspireWaitForm(CreateWaitWindowBackend()) {}

TLarkspireWaitForm::TLarkspireWaitForm(std::unique_ptr<IWaitWindowBackend> backend)
    : backend_(std::move(backend)) {
  backend_->Apply(layout_);
}

TLarkspireWaitForm::~TLarkspireWaitForm() {
  timer_enabled_ = false;
}

void TLarkspireWaitForm::ShowText(const std::string& text) {
  layout_.Caption = text;
  layout_.Width = std::max(backend_->TextWidth(text) + 30, layout_.MinWidth);
  layout_.InnerWidth = layout_.Width - 6;
  backend_->Apply(layout_);
}

void TLarkspireWaitForm::WaitModal() {
  timer_enabled_ = true;
  backend_->RunModal(kTimerInterval, [this] { return CheckDone(); });
  timer_enabled_ = false;
}

bool TLarkspireWaitForm::CheckDone() {
  if (Running) return false;
  timer_enabled_ = false;
  return true;
}

}  // namespace larkspire
