#include "registry/memory_registry.h"

#include <gtest/gtest.h>

#include "support/values.h"

namespace halvane {
namespace {

using testing::Num;
using testing::Str;

class MemoryRegistryTest : public ::testing::Test {
 protected:
  MemoryRegistryTest() {
    registry_.DeclareClass("Leaf", "Base");
    registry_.DeclareClass("Base", "Root");
    root_ = registry_.SetRoot("Root", {{"k", Str("root")}});
    a_ = registry_.AddChild(root_, "Base", {{"only-a", Num(1)}});
    a1_ = registry_.AddChild(a_, "Leaf", {{"deep", Str("a1")}});
    b_ = registry_.AddChild(root_, "Leaf", {{"deep", Str("b")}});
  }

  MemoryRegistry registry_;
  MemoryRegistry::Node *root_, *a_, *a1_, *b_;
};

TEST_F(MemoryRegistryTest, SearchesOwnTableFirstThenTheWalk) {
  auto value = [&](MemoryRegistry::Node* n, const char* key, SearchDirection d) {
    auto v = registry_.SearchProperty(MemoryRegistry::EntryFor(n), key, d);
    return v && v->AsString() ? *v->AsString() : std::string("-");
  };
  EXPECT_EQ(value(root_, "deep", SearchDirection::kDescendants), "a1");
  EXPECT_EQ(value(b_, "deep", SearchDirection::kDescendants), "b");
  EXPECT_EQ(value(a1_, "k", SearchDirection::kAncestors), "root");
  EXPECT_EQ(value(a_, "k", SearchDirection::kDescendants), "-");
  EXPECT_FALSE(registry_.ReadProperty(MemoryRegistry::EntryFor(root_), "deep"));
}

TEST(MemoryRegistry, DeepTreesAreWalkedAndDestroyedWithoutRecursion) {
  auto registry = std::make_unique<MemoryRegistry>();
  MemoryRegistry::Node* node = registry->SetRoot("Root");
  MemoryRegistry::Node* top = node;
  for (int i = 0; i < 200000; ++i) node = registry->AddChild(node, "Level");
  registry->AddChild(node, "Level", {{"bottom", Num(7)}});
  auto found = registry->SearchProperty(MemoryRegistry::EntryFor(top), "bottom",
                                        SearchDirection::kDescendants);
  ASSERT_TRUE(found);
  RegistryIterator it;
  EXPECT_EQ(registry->MatchServices("Level", &it), kRegistrySuccess);
  registry.reset();
}

}  // namespace
}  // namespace halvane
