#include "ZorlinClientRef.h"

#include <gtest/gtest.h>

#include "TestRuntimeDir.h"
#include "UIPump.h"
#include "ZorlinClient.h"

namespace {

// A client whose destructor may take a reference to its own kind, as code run during a client's teardown
// might.
class RefProbe : public ZorlinClient {
 public:
  static int constructed, destroyed;
  static bool reenterOnDestroy, instanceWasNullInDestructor;
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

int RefProbe::constructed = 0, RefProbe::destroyed = 0;
bool RefProbe::reenterOnDestroy = false, RefProbe::instanceWasNullInDestructor = false;
RefProbe* RefProbe::builtDuringDestruction = nullptr;
RefProbe* RefProbe::theInstance = nullptr;

TEST(ZorlinClientRef, ReferencesShareOneInstanceAndTheLastOneDestroysIt) {
  zr::test::TestRuntimeDir dir;
  RefProbe::constructed = RefProbe::destroyed = 0;
  RefProbe* first;
  {
    ZorlinClientRef<RefProbe> a;
    first = a;
    {
      ZorlinClientRef<RefProbe> b;
      EXPECT_EQ(first, b.operator->());
    }
    EXPECT_EQ(1, RefProbe::constructed);
    EXPECT_EQ(0, RefProbe::destroyed);
    EXPECT_EQ(first, static_cast<RefProbe*>(a));
    RefProbe::reenterOnDestroy = true;
  }
  EXPECT_TRUE(RefProbe::instanceWasNullInDestructor);
  // A reference taken inside the destructor built a second client there and dropped it.
  EXPECT_EQ(2, RefProbe::constructed);
  EXPECT_EQ(2, RefProbe::destroyed);
  EXPECT_NE(nullptr, RefProbe::builtDuringDestruction);
  EXPECT_NE(first, RefProbe::builtDuringDestruction);
  {
    ZorlinClientRef<RefProbe> later;
    EXPECT_EQ(3, RefProbe::constructed);
  }
  EXPECT_EQ(3, RefProbe::destroyed);
  zr::test::PumpPending();
}

}  // namespace
