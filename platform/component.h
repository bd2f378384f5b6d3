// TComponent: the base of every non-visual component. An owner deletes the components it owns
// (in reverse order of insertion) when it is deleted; a component may ask to be told when
// another one is deleted (FreeNotification) and then receives Notification(other, opRemove).
// A window "loads its stored properties" between BeginLoading and EndLoading; EndLoading calls
// Loaded on every component of the owner.
//
// Thread-safety: components belong to the application's main thread.
#ifndef LARKSPIRE_PLATFORM_COMPONENT_H_
#define LARKSPIRE_PLATFORM_COMPONENT_H_

#include <cstdint>
#include <string>
#include <vector>

namespace larkspire {

enum TComponentStateFlag : uint32_t { csLoading = 1, csDesigning = 2, csDestroying = 4 };
enum class TOperation { opInsert, opRemove };

class TComponent {
 public:
  explicit TComponent(TComponent* owner = nullptr);
  TComponent(const TComponent&) = delete;
  TComponent& operator=(const TComponent&) = delete;
  virtual ~TComponent();

  const std::string& Name() const { return name_; }
  void SetName(const std::string& name) { name_ = name; }
  TComponent* Owner() const { return owner_; }
  const std::vector<TComponent*>& Components() const { return components_; }
  TComponent* FindComponent(const std::string& name) const;

  uint32_t ComponentState() const { return state_; }
  bool IsLoading() const { return (state_ & csLoading) != 0; }
  bool IsDesigning() const { return (state_ & csDesigning) != 0; }
  // Marks the component (and what it owns) as being designed; set before anything else.
  void SetDesigning(bool designing);

  // Stored properties are being applied from here to EndLoading, on this component and on
  // every component it owns.
  void BeginLoading();
  void EndLoading();

  // Asks to receive Notification(component, opRemove) when component is deleted.
  void FreeNotification(TComponent* component);
  void RemoveFreeNotification(TComponent* component);

 protected:
  virtual void Notification(TComponent* component, TOperation operation) {}
  // Called once the stored properties are loaded.
  virtual void Loaded() {}

 private:
  void InsertComponent(TComponent* component);
  void RemoveComponent(TComponent* component);

  std::string name_;
  TComponent* owner_ = nullptr;
  uint32_t state_ = 0;
  std::vector<TComponent*> components_;
  std::vector<TComponent*> free_notifies_;
};

}  // namespace larkspire

#endif  // LARKSPIRE_PLATFORM_COMPONENT_H_
