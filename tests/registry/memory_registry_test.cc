#include "support/memory_registry.h"

#include <gtest/gtest.h>

#include "support/values.h"

namespace halvane {
namespace {

using testing::Num;

TEST(MemoryRegistry, DeepTreesAreWalkedAndDestroyedWithoutRecursion) {
  auto registry = std::make_unique<MemoryRegistry>();
  MemoryRegistry::Node* node = registry->SetRoot("Root");
  MemoryRegistry::Node* top = node;
  for (int i = 0; i < 200000; ++i) node = registry->AddChild(node, "Level");
  registry->AddChild(node, "Level", {{"bottom", Num(7)}});
  auto found = registry->SearchProperty(MemoryRegistry::EntryFor(top), "bottom",
                                        SearchDirection::kDescendants);
  ASSERT_TRUE(found);
  EXPECT_TRUE(registry->MatchServices("Level").ok());
  registry.reset();
}

}  // namespace
}  // namespace halvane
