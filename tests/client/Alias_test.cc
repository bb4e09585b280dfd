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
  EXPECT_TRUE(c.IsNull());
  EXPECT_EQ(nullptr, static_cast<Target*>(a));
}

TEST(Alias, UnregisteredAliasKeepsItsValueAndReassignmentMovesTheRegistration) {
  Target* first = new Target;
  Target* second = new Target;
  Alias<Target> moved(first);
  moved = Alias<Target>(second);  // leaves first's list
  delete first;
  EXPECT_EQ(second, static_cast<Target*>(moved));

  // An unregistered alias is not nulled. Its destructor would unregister from a dead target, so it is
  // built in storage of its own and never destroyed.
  alignas(Alias<Target>) unsigned char storage[sizeof(Alias<Target>)];
  Alias<Target>* detached = new (storage) Alias<Target>(second);
  detached->RemoveAlias();
  delete second;
  EXPECT_TRUE(moved.IsNull());
  EXPECT_FALSE(detached->IsNull());

  Target* third = new Target;
  Alias<Target> again(third);
  again.RemoveAlias();
  again.AddAlias();
  delete third;
  EXPECT_TRUE(again.IsNull());
}

}  // namespace
