#include "platform/component.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

namespace larkspire {
namespace {

// Records what it hears into a shared log and clears its reference to a removed peer.
class TProbe : public TComponent {
 public:
  TProbe(TComponent* owner, std::string name, std::vector<std::string>* log)
      : TComponent(owner), log_(log) {
    SetName(std::move(name));
  }
  ~TProbe() override { log_->push_back("free " + Name()); }

  void Refer(TProbe* peer) {
    peer_ = peer;
    if (peer != nullptr) FreeNotification(peer);
  }
  TProbe* peer() const { return peer_; }
  int loaded_calls = 0;
  bool loading_seen_in_loaded = true;

 protected:
  void Notification(TComponent* component, TOperation operation) override {
    if (operation != TOperation::opRemove) return;
    log_->push_back(Name() + " hears " + component->Name());
    if (component == peer_) peer_ = nullptr;
  }
  void Loaded() override {
    ++loaded_calls;
    loading_seen_in_loaded = IsLoading();
  }

 private:
  std::vector<std::string>* log_;
  TProbe* peer_ = nullptr;
};

TEST(TComponent, OwnerFreesItsComponentsInReverseOrder) {
  std::vector<std::string> log;
  auto* window = new TProbe(nullptr, "Window", &log);
  new TProbe(window, "A", &log);
  new TProbe(window, "B", &log);
  new TProbe(window, "C", &log);
  EXPECT_EQ(window->Components().size(), 3u);
  EXPECT_EQ(window->FindComponent("B")->Owner(), window);
  EXPECT_EQ(window->FindComponent("D"), nullptr);
  delete window;
  std::vector<std::string> frees;
  for (const std::string& line : log)
    if (line.rfind("free ", 0) == 0) frees.push_back(line);
  EXPECT_EQ(frees, (std::vector<std::string>{"free Window", "free C", "free B", "free A"}));
}

TEST(TComponent, FreeNotificationWorksBothWays) {
  std::vector<std::string> log;
  auto* query = new TProbe(nullptr, "Query", &log);
  auto* connection = new TProbe(nullptr, "Connection", &log);
  query->Refer(connection);
  connection->Refer(query);
  delete connection;
  EXPECT_EQ(query->peer(), nullptr);
  EXPECT_EQ(log, (std::vector<std::string>{"free Connection", "Query hears Connection"}));
  log.clear();
  delete query;  // the connection is gone: nobody is told, nothing dangles
  EXPECT_EQ(log, (std::vector<std::string>{"free Query"}));

  auto* a = new TProbe(nullptr, "A", &log);
  auto* b = new TProbe(nullptr, "B", &log);
  a->Refer(b);
  a->RemoveFreeNotification(b);
  log.clear();
  delete b;
  EXPECT_EQ(log, (std::vector<std::string>{"free B"}));
  delete a;
}

TEST(TComponent, SiblingsHearOfARemovedComponent) {
  std::vector<std::string> log;
  auto* window = new TProbe(nullptr, "Window", &log);
  auto* connection = new TProbe(window, "Connection", &log);
  auto* query = new TProbe(window, "Query", &log);
  query->Refer(connection);
  delete connection;
  EXPECT_EQ(query->peer(), nullptr);
  EXPECT_EQ(window->Components().size(), 1u);
  // The owner and the sibling heard of it (the sibling twice: as a sibling and as a referrer).
  EXPECT_NE(std::find(log.begin(), log.end(), "Window hears Connection"), log.end());
  EXPECT_NE(std::find(log.begin(), log.end(), "Query hears Connection"), log.end());
  delete window;
}

TEST(TComponent, FreeingAWindowClearsReferencesBetweenItsComponents) {
  std::vector<std::string> log;
  auto* window = new TProbe(nullptr, "Window", &log);
  auto* connection = new TProbe(window, "Connection", &log);
  auto* query = new TProbe(window, "Query", &log);
  auto* other = new TProbe(nullptr, "Other", &log);
  query->Refer(connection);
  other->Refer(query);
  delete window;  // Query goes first, then Connection: no one touches a freed peer
  EXPECT_EQ(other->peer(), nullptr);
  delete other;
}

TEST(TComponent, LoadingStateSpansTheOwnedComponents) {
  std::vector<std::string> log;
  TProbe window(nullptr, "Window", &log);
  auto* child = new TProbe(&window, "Child", &log);
  window.BeginLoading();
  EXPECT_TRUE(window.IsLoading());
  EXPECT_TRUE(child->IsLoading());
  EXPECT_NE(child->ComponentState() & csLoading, 0u);
  window.EndLoading();
  EXPECT_FALSE(window.IsLoading());
  EXPECT_FALSE(child->IsLoading());
  EXPECT_EQ(window.loaded_calls, 1);
  EXPECT_EQ(child->loaded_calls, 1);
  EXPECT_FALSE(child->loading_seen_in_loaded);
}

TEST(TComponent, DesigningStateIsInherited) {
  std::vector<std::string> log;
  TProbe window(nullptr, "Window", &log);
  auto* before = new TProbe(&window, "Before", &log);
  window.SetDesigning(true);
  auto* after = new TProbe(&window, "After", &log);
  EXPECT_TRUE(before->IsDesigning());
  EXPECT_TRUE(after->IsDesigning());
  window.SetDesigning(false);
  EXPECT_FALSE(after->IsDesigning());
}

}  // namespace
}  // namespace larkspire
