// The launcher, help viewer and identity manager clients: each request's exact message on its channel.
#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "CertTool.h"
#include "ChildProcess.h"
#include "CountingListeners.h"
#include "FakeService.h"
#include "Platform.h"
#include "SecurityManager.h"
#include "SharedPrefs.h"
#include "TestRuntimeDir.h"
#include "UIPump.h"
#include "ZorlinLauncher.h"

namespace {

using zr::test::CountingResultListener;
using zr::test::FakeService;
using zr::test::NotReleased;
using zr::test::PumpUntil;
using zr::test::ReceivedMessage;
using zr::test::ReleasedOnceOnUIThread;
using zr::test::Responder;
using Record = std::shared_ptr<zr::test::ListenerRecord>;

std::vector<long> gWindows;
std::function<void()> gOnWindow;  // after a window was recorded

CountingResultListener* Result(Record* record) {
  CountingResultListener* listener = new CountingResultListener;
  *record = listener->record();
  return listener;
}

class SmallClientsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    gWindows.clear();
    gOnWindow = nullptr;
    zr::Platform::SetForegroundWindowHook([](long window) {
      gWindows.push_back(window);
      if (gOnWindow) gOnWindow();
    });
  }
  void TearDown() override { zr::Platform::SetForegroundWindowHook(nullptr); }
  zr::test::TestRuntimeDir mDir;
};

TEST_F(SmallClientsTest, LauncherRequests) {
  FakeService service("kv_launch");
  service.OnCommand("launchOptionsDialog", [](const ReceivedMessage& request, Responder& r) {
    r.Reply(request, {{"zr_hwnd", "0x99"}});
  });
  ZorlinClientRef<ZorlinLauncher> launcher;
  ZorlinLauncherPrefValue values[] = {{"a", true}, {"b", false}, {"x.y", true}};
  Record saved, none, nulls, launched, launchedEmpty, opened;
  launcher->SavePrefs(values, 2, Result(&saved));
  launcher->SavePrefs(values, 3, nullptr);
  // Nothing is sent for an empty request, and its listener is left to the caller.
  CountingResultListener* untouched = Result(&none);
  CountingResultListener* untouchedToo = Result(&nulls);
  launcher->SavePrefs(values, 0, untouched);
  launcher->SavePrefs(nullptr, 2, untouchedToo);
  Array<const char*> info, empty;
  info.Append("user");
  info.Append("secret");
  info.Append("realm");
  launcher->LaunchZorlin(info, Result(&launched));
  launcher->LaunchZorlin(empty, Result(&launchedEmpty));
  launcher->LaunchOptionsDialog(Result(&opened));

  ASSERT_TRUE(service.WaitForMessages(5));
  ASSERT_TRUE(PumpUntil([&] { return opened->Released() && !gWindows.empty(); }));
  std::vector<ReceivedMessage> got = service.Messages();
  ASSERT_EQ(5u, got.size());
  EXPECT_EQ("{zr_command=saveprefs, prefvalues=a:1;b:0;}", got[0].ToString());
  EXPECT_EQ("{zr_command=saveprefs, prefvalues=a:1;b:0;x.y:1;}", got[1].ToString());
  EXPECT_EQ("{zr_command=launchzorlin, signoninfo1=user, signoninfo2=secret, signoninfo3=realm}",
            got[2].ToString());
  EXPECT_EQ("{zr_command=launchzorlin}", got[3].ToString());
  EXPECT_EQ("{zr_command=launchOptionsDialog, zr_cookie=1}", got[4].ToString());
  EXPECT_EQ(std::vector<long>{0x99}, gWindows);
  for (const Record& r : {saved, launched, launchedEmpty, opened}) {
    EXPECT_EQ(std::vector<std::string>{"OnSuccess"}, r->Calls());
    EXPECT_TRUE(ReleasedOnceOnUIThread(*r));
  }
  EXPECT_TRUE(NotReleased(*none));
  EXPECT_TRUE(NotReleased(*nulls));
  EXPECT_EQ(0, none->CallCount() + nulls->CallCount());
  untouched->Release();
  untouchedToo->Release();
}

TEST_F(SmallClientsTest, HelpViewerOpensAtTheAddress) {
  FakeService service("kv_help");
  ZorlinClientRef<CertTool> help;
  help->ShowHelpViewer("http://help.example/index.html#certs");
  auto request = service.WaitForCommand("help_viewer_show");
  ASSERT_TRUE(request);
  EXPECT_EQ("{zr_command=help_viewer_show, help_viewer_show_url=http://help.example/index.html#certs}",
            request->ToString());
}

TEST_F(SmallClientsTest, IdentityManagerOpensTheTabTextUnchanged) {
  FakeService service("kv_idmgr");
  service.OnCommand("-tab", [](const ReceivedMessage& request, Responder& r) {
    if (request.Value("tabNumber") == "2") r.Reply(request, {{"zr_hwnd", "12"}});
  });
  ZorlinClientRef<SecurityManager> manager;
  Record numbered, named;
  manager->LaunchTab(Result(&numbered), "2");
  manager->LaunchTab(Result(&named), "certificates ");
  ASSERT_TRUE(service.WaitForMessages(2));
  std::vector<ReceivedMessage> got = service.Messages();
  EXPECT_EQ("{zr_command=-tab, tabNumber=2, zr_cookie=1}", got[0].ToString());
  EXPECT_EQ("{zr_command=-tab, tabNumber=certificates , zr_cookie=2}", got[1].ToString());
  ASSERT_TRUE(PumpUntil([&] { return numbered->Released() && named->Released() && !gWindows.empty(); }));
  EXPECT_EQ(std::vector<long>{12}, gWindows);
  EXPECT_TRUE(ReleasedOnceOnUIThread(*numbered));
  EXPECT_TRUE(ReleasedOnceOnUIThread(*named));
}

class HookResult : public CountingResultListener {
 public:
  void OnFailure(const char* text) override {
    CountingResultListener::OnFailure(text);
    if (onFailure) onFailure();
  }
  std::function<void()> onFailure;
};

// The last reference of a T goes from inside a call its frame makes: the window reply to a request
// (through the foreground-window hook), or the failure of a launch when the service goes away with the
// launch pending. The UI thread comes back, the client is gone and the listener released once.
template <typename T>
void ExpectTheLastReferenceMayGoFromInside(const char* channel, void (*openWindow)(T*, ResultListener*)) {
  for (bool atClose : {false, true}) {
    SCOPED_TRACE(atClose ? "launch fails at the close" : "window reply");
    auto scenario = [&] {
      FakeService service(channel);
      service.OnOtherMessage([atClose](const ReceivedMessage& request, Responder& r) {
        if (!atClose && request.Has("zr_cookie")) r.Reply(request, {{"zr_hwnd", "5"}});
      });
      auto ref = std::make_unique<ZorlinClientRef<T>>();
      HookResult* result = new HookResult;
      Record record = result->record();
      if (atClose) {
        result->onFailure = [&] { ref.reset(); };
        (*ref)->Launch(result);
        ASSERT_TRUE(service.WaitForMessages(1));
        service.DropConnections();
      } else {
        gOnWindow = [&] { ref.reset(); };
        openWindow(*ref, result);
      }
      ASSERT_TRUE(PumpUntil([&] { return !ref && record->Released(); }));
      EXPECT_TRUE(ReleasedOnceOnUIThread(*record));
      if (atClose) {
        EXPECT_EQ(std::vector<std::string>{"OnFailure(zorlinClient.writeMessageFailed)"}, record->Calls());
      }
      ASSERT_TRUE(service.WaitForOpenConnections(0));
    };
    EXPECT_TRUE(zr::test::FinishesInChild(scenario));
  }
}

TEST_F(SmallClientsTest, TheLastReferenceMayGoFromInsideACallOfEachClient) {
  ExpectTheLastReferenceMayGoFromInside<ZorlinLauncher>(
      "kv_launch", [](ZorlinLauncher* c, ResultListener* r) { c->LaunchOptionsDialog(r); });
  ExpectTheLastReferenceMayGoFromInside<SecurityManager>(
      "kv_idmgr", [](SecurityManager* c, ResultListener* r) { c->LaunchTab(r, "1"); });
  ExpectTheLastReferenceMayGoFromInside<CertTool>("kv_help",
                                                  [](CertTool* c, ResultListener* r) { c->Launch(r); });
  ExpectTheLastReferenceMayGoFromInside<SharedPrefs>("kv_secdbm",
                                                     [](SharedPrefs* c, ResultListener* r) { c->Launch(r); });
}

}  // namespace
