#include "ZorlinClientRef.h"

#include <gtest/gtest.h>

#include "TestRuntimeDir.h"
#include "UIPump.h"
#include "ZorlinClient.h"

namespace {

// A client whose destructor can take a reference to its own kind, as code run during a client's
// teardown might.
class RefProbe : public ZorlinClient {
 public:
  static int constructed;
  static int destroyed;
  static bool reenterOnDestroy;
  static bool instanceWasNullInDestructor;
  static RefProbe* builtDuringDestruction;

 protected:
  RefProbe() : ZorlinClient("kv_refprobe") { ++constructed; }
  ~RefProbe() override {
    ++destroyed;
    instanceWasNullInDestructor = theInstance == nullptr;
    if (reenterOnDestroy) {
      reenterOnDestroy = false;
      ZorlinClientRef<RefProbe> fresh;
      builtDuringDestruction = fresh;
    }
  }

 private:
  friend class ZorlinClientRef<RefProbe>;
  static RefProbe* theInstance;
};

int RefProbe::constructed = 0;
int RefProbe::destroyed = 0;
bool RefProbe::reenterOnDestroy = false;
bool RefProbe::instanceWasNullInDestructor = false;
RefProbe* RefProbe::builtDuringDestruction = nullptr;
RefProbe* RefProbe::theInstance = nullptr;

class ZorlinClientRefTest : public ::testing::Test {
 protected:
  void SetUp() override {
    RefProbe::constructed = RefProbe::destroyed = 0;
    RefProbe::reenterOnDestroy = RefProbe::instanceWasNullInDestructor = false;
    RefProbe::builtDuringDestruction = nullptr;
  }
  zr::test::TestRuntimeDir mDir;
};

TEST_F(ZorlinClientRefTest, ReferencesShareOneInstanceAndTheLastOneDestroysIt) {
  {
    ZorlinClientRef<RefProbe> a;
    RefProbe* first = a;
    EXPECT_NE(nullptr, first);
    {
      ZorlinClientRef<RefProbe> b;
      EXPECT_EQ(first, static_cast<RefProbe*>(b));
      EXPECT_EQ(first, b.operator->());
      EXPECT_EQ(1, RefProbe::constructed);
    }
    EXPECT_EQ(0, RefProbe::destroyed);
    EXPECT_EQ(first, static_cast<RefProbe*>(a));
  }
  EXPECT_EQ(1, RefProbe::destroyed);
  EXPECT_TRUE(RefProbe::instanceWasNullInDestructor);

  ZorlinClientRef<RefProbe> later;
  EXPECT_EQ(2, RefProbe::constructed);
  EXPECT_NE(nullptr, static_cast<RefProbe*>(later));
}

TEST_F(ZorlinClientRefTest, AReferenceTakenDuringDestructionBuildsAFreshClient) {
  RefProbe* first;
  {
    ZorlinClientRef<RefProbe> a;
    first = a;
    RefProbe::reenterOnDestroy = true;
  }
  // The nested reference built a second client inside the first one's destructor and dropped it there.
  EXPECT_EQ(2, RefProbe::constructed);
  EXPECT_EQ(2, RefProbe::destroyed);
  EXPECT_NE(nullptr, RefProbe::builtDuringDestruction);
  EXPECT_NE(first, RefProbe::builtDuringDestruction);
  zr::test::PumpPending();
}

}  // namespace
