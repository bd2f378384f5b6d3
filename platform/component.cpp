#include "platform/component.h"

#include <algorithm>

namespace larkspire {
namespace {

void Erase(std::vector<TComponent*>& list, TComponent* item) {
  list.erase(std::remove(list.begin(), list.end(), item), list.end());
}

}  // namespace

TComponent::TComponent(TComponent* owner) {
  if (owner != nullptr) {
    owner->InsertComponent(this);
    if (owner->IsDesigning()) state_ |= csDesigning;
  }
}

TComponent::~TComponent() {
  state_ |= csDestroying;
  // Tell everyone who asked; they may remove themselves from our list while being told.
  while (!free_notifies_.empty()) {
    TComponent* other = free_notifies_.back();
    free_notifies_.pop_back();
    Erase(other->free_notifies_, this);
    other->Notification(this, TOperation::opRemove);
  }
  // Each child removes itself from the list (and tells its remaining siblings) as it goes.
  while (!components_.empty()) delete components_.back();
  if (owner_ != nullptr) {
    // The owner and every sibling hear of the removal, so references between components of
    // one window are cleared even without a free notification.
    TComponent* owner = owner_;
    owner->RemoveComponent(this);
    owner->Notification(this, TOperation::opRemove);
    for (TComponent* sibling : std::vector<TComponent*>(owner->components_))
      sibling->Notification(this, TOperation::opRemove);
  }
}

TComponent* TComponent::FindComponent(const std::string& name) const {
  for (TComponent* c : components_)
    if (c->Name() == name) return c;
  return nullptr;
}

void TComponent::SetDesigning(bool designing) {
  if (designing)
    state_ |= csDesigning;
  else
    state_ &= ~csDesigning;
  for (TComponent* c : components_) c->SetDesigning(designing);
}

void TComponent::BeginLoading() {
  state_ |= csLoading;
  for (TComponent* c : components_) c->BeginLoading();
}

void TComponent::EndLoading() {
  state_ &= ~csLoading;
  for (TComponent* c : components_) c->EndLoading();
  Loaded();
}

void TComponent::FreeNotification(TComponent* component) {
  if (component == nullptr || component == this) return;
  if (std::find(free_notifies_.begin(), free_notifies_.end(), component) == free_notifies_.end())
    free_notifies_.push_back(component);
  if (std::find(component->free_notifies_.begin(), component->free_notifies_.end(), this) ==
      component->free_notifies_.end())
    component->free_notifies_.push_back(this);
}

void TComponent::RemoveFreeNotification(TComponent* component) {
  if (component == nullptr) return;
  Erase(free_notifies_, component);
  Erase(component->free_notifies_, this);
}

void TComponent::InsertComponent(TComponent* component) {
  components_.push_back(component);
  component->owner_ = this;
}

void TComponent::RemoveComponent(TComponent* component) {
  Erase(components_, component);
  component->owner_ = nullptr;
}

}  // namespace larkspire
