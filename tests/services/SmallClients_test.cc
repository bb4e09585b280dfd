// The launcher, help viewer and identity manager clients: each request's exact message on its channel.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "CertTool.h"
#include "CountingListeners.h"
#include "FakeService.h"
#include "Platform.h"
#include "SecurityManager.h"
#include "TestRuntimeDir.h"
#include "UIPump.h"
#include "ZorlinLauncher.h"

namespace {

using zr::test::CountingResultListener;
using zr::test::FakeService;
using zr::test::ListenerRecord;
using zr::test::NotReleased;
using zr::test::PumpUntil;
using zr::test::ReceivedMessage;
using zr::test::ReleasedOnceOnUIThread;
using zr::test::Responder;
using Record = std::shared_ptr<ListenerRecord>;

std::vector<long> gWindows;
void RecordWindow(long window) { gWindows.push_back(window); }

CountingResultListener* MakeResult(Record* record) {
  CountingResultListener* listener = new CountingResultListener;
  *record = listener->record();
  return listener;
}

class SmallClientsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    gWindows.clear();
    zr::Platform::SetForegroundWindowHook(RecordWindow);
  }
  void TearDown() override { zr::Platform::SetForegroundWindowHook(nullptr); }
  zr::test::TestRuntimeDir mDir;
};

TEST_F(SmallClientsTest, LauncherSavesPrefsAsOneTextInArrayOrder) {
  FakeService service("kv_launch");
  ZorlinClientRef<ZorlinLauncher> launcher;
  ZorlinLauncherPrefValue values[] = {{"a", true}, {"b", false}, {"x.y", true}};
  Record saved, none, nulls;
  launcher->SavePrefs(values, 2, MakeResult(&saved));
  launcher->SavePrefs(values, 3, nullptr);
  CountingResultListener* untouched = MakeResult(&none);
  launcher->SavePrefs(values, 0, untouched);
  CountingResultListener* untouchedToo = MakeResult(&nulls);
  launcher->SavePrefs(nullptr, 2, untouchedToo);
  ASSERT_TRUE(service.WaitForMessages(2));
  ASSERT_TRUE(PumpUntil([&] { return saved->Released(); }));

  std::vector<ReceivedMessage> got = service.Messages();
  ASSERT_EQ(2u, got.size());
  EXPECT_EQ("saveprefs", got[0].Command());
  EXPECT_EQ("a:1;b:0;", got[0].Value("prefvalues"));
  EXPECT_EQ(2, got[0].Count());
  EXPECT_EQ("a:1;b:0;x.y:1;", got[1].Value("prefvalues"));
  EXPECT_EQ(std::vector<std::string>{"OnSuccess"}, saved->Calls());
  EXPECT_TRUE(ReleasedOnceOnUIThread(*saved));
  // Nothing was sent for an empty request, and its listener was left to the caller.
  EXPECT_TRUE(NotReleased(*none));
  EXPECT_TRUE(NotReleased(*nulls));
  EXPECT_EQ(0, none->CallCount());
  untouched->Release();
  untouchedToo->Release();
}

TEST_F(SmallClientsTest, LauncherStartsTheSuiteWithNumberedSignOnTexts) {
  FakeService service("kv_launch");
  ZorlinClientRef<ZorlinLauncher> launcher;
  Array<const char*> info;
  info.Append("user");
  info.Append("secret");
  info.Append("realm");
  Array<const char*> empty;
  Record launched, launchedEmpty;
  launcher->LaunchZorlin(info, MakeResult(&launched));
  launcher->LaunchZorlin(empty, MakeResult(&launchedEmpty));
  ASSERT_TRUE(service.WaitForMessages(2));
  std::vector<ReceivedMessage> got = service.Messages();
  EXPECT_EQ("launchzorlin", got[0].Command());
  EXPECT_EQ(4, got[0].Count());
  EXPECT_EQ("user", got[0].Value("signoninfo1"));
  EXPECT_EQ("secret", got[0].Value("signoninfo2"));
  EXPECT_EQ("realm", got[0].Value("signoninfo3"));
  EXPECT_FALSE(got[0].Has("signoninfo0"));
  EXPECT_EQ("launchzorlin", got[1].Command());
  EXPECT_EQ(1, got[1].Count());
  ASSERT_TRUE(PumpUntil([&] { return launched->Released() && launchedEmpty->Released(); }));
  EXPECT_EQ(std::vector<std::string>{"OnSuccess"}, launched->Calls());
}

TEST_F(SmallClientsTest, LauncherOptionsDialogComesToTheFrontWhenItAnswers) {
  FakeService service("kv_launch");
  service.OnCommand("launchOptionsDialog", [](const ReceivedMessage& request, Responder& r) {
    r.Reply(request, {{"zr_hwnd", "0x99"}});
  });
  ZorlinClientRef<ZorlinLauncher> launcher;
  Record opened;
  launcher->LaunchOptionsDialog(MakeResult(&opened));
  ASSERT_TRUE(PumpUntil([&] { return opened->Released() && !gWindows.empty(); }));
  EXPECT_EQ(std::vector<long>{0x99}, gWindows);
  EXPECT_EQ(std::vector<std::string>{"OnSuccess"}, opened->Calls());
  auto request = service.WaitForCommand("launchOptionsDialog");
  ASSERT_TRUE(request);
  EXPECT_EQ(2, request->Count());
  EXPECT_EQ("1", request->Value("zr_cookie"));
}

TEST_F(SmallClientsTest, HelpViewerOpensAtTheAddress) {
  FakeService service("kv_help");
  ZorlinClientRef<CertTool> help;
  help->ShowHelpViewer("http://help.example/index.html#certs");
  auto request = service.WaitForCommand("help_viewer_show");
  ASSERT_TRUE(request);
  EXPECT_EQ(2, request->Count());
  EXPECT_EQ("http://help.example/index.html#certs", request->Value("help_viewer_show_url"));
}

TEST_F(SmallClientsTest, IdentityManagerOpensTheTabTextUnchanged) {
  FakeService service("kv_idmgr");
  service.OnCommand("-tab", [](const ReceivedMessage& request, Responder& r) {
    r.Reply(request, {{"zr_hwnd", request.Value("tabNumber") == "2" ? "12" : "0"}});
  });
  ZorlinClientRef<SecurityManager> manager;
  Record numbered, named;
  manager->LaunchTab(MakeResult(&numbered), "2");
  manager->LaunchTab(MakeResult(&named), "certificates ");
  ASSERT_TRUE(service.WaitForMessages(2));
  std::vector<ReceivedMessage> got = service.Messages();
  EXPECT_EQ("-tab", got[0].Command());
  EXPECT_EQ("2", got[0].Value("tabNumber"));
  EXPECT_EQ(3, got[0].Count());
  EXPECT_EQ("certificates ", got[1].Value("tabNumber"));
  EXPECT_EQ("2", got[1].Value("zr_cookie"));
  ASSERT_TRUE(PumpUntil([&] { return numbered->Released() && named->Released() && !gWindows.empty(); }));
  zr::test::PumpFor(std::chrono::milliseconds(20));
  EXPECT_EQ(std::vector<long>{12}, gWindows);
  EXPECT_TRUE(ReleasedOnceOnUIThread(*numbered));
  EXPECT_TRUE(ReleasedOnceOnUIThread(*named));
}

}  // namespace
