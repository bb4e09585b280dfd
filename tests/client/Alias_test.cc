#include "Alias.h"

#include <gtest/gtest.h>

#include <new>

namespace {

class Target : public AliasTarget {
 public:
  int value = 42;
};

TEST(Alias, ReadsNullOnceItsTargetIsDestroyed) {
  Target* target = new Target;
  Alias<Target> a(target);
  Alias<Target> b(a);
  Alias<Target> c;
  EXPECT_TRUE(c.IsNull());
  c = b;
  c = c;  // self-assignment keeps the one registration
  EXPECT_EQ(42, a->value);
  EXPECT_EQ(target, static_cast<Target*>(c));
  delete target;
  EXPECT_TRUE(a.IsNull());
  EXPECT_TRUE(b.IsNull());
  EXPECT_EQ(nullptr, static_cast<Target*>(c));
}

TEST(Alias, ReassignmentMovesTheRegistrationAndAnUnregisteredAliasKeepsItsValue) {
  Target* first = new Target;
  Target* second = new Target;
  Alias<Target> moved(first);
  moved = Alias<Target>(second);  // leaves first's list
  delete first;
  EXPECT_EQ(second, static_cast<Target*>(moved));

  Alias<Target> again(second);
  again.RemoveAlias();
  again.AddAlias();
  // Unregistered, it is not nulled; its destructor would then unregister from a dead target, so it lives
  // in storage of its own and is never destroyed.
  alignas(Alias<Target>) unsigned char storage[sizeof(Alias<Target>)];
  Alias<Target>* detached = new (storage) Alias<Target>(second);
  detached->RemoveAlias();
  delete second;
  EXPECT_TRUE(moved.IsNull());
  EXPECT_TRUE(again.IsNull());
  EXPECT_FALSE(detached->IsNull());
}

}  // namespace
