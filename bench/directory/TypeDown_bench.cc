// Type-down latency through a connected DirectoryServer (call to OnSearchEnd on the UI thread) beside a
// raw libldap search of the same filter from the same process, against a private slapd holding 10,000
// people; and how soon a superseded type-down ends once the next one is queued.
#include <benchmark/benchmark.h>
#include <ldap.h>
#include <signal.h>
#include <stdlib.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "DirectoryServer.h"
#include "ScriptedLdapServer.h"
#include "SlapdFixture.h"
#include "UILoop.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr int kPeople = 10000;
constexpr int kMaxResults = 10;
zr::test::Slapd* gSlapd = nullptr;

struct SearchState {
  int entries = 0;
  bool ended = false;
  bool released = false;
  Clock::time_point endedAt;
};

class TimingListener : public DirectorySearchListener {
 public:
  explicit TimingListener(SearchState* state) : mState(state) {}
  void OnSearchBegin() override {}
  void OnServerUnavailable(const char*) override {}
  void OnSearchEnd() override {
    mState->ended = true;
    mState->endedAt = Clock::now();
  }
  void OnSearchEntry(IPCMessage*) override { ++mState->entries; }
  void Release() override {
    mState->released = true;
    delete this;
  }

 private:
  SearchState* mState;
};

class ConnectListener : public ResultListener {
 public:
  explicit ConnectListener(int* result) : mResult(result) {}
  void OnSuccess() override { *mResult = 1; }
  void OnFailure(const char*) override { *mResult = 0; }

 private:
  int* mResult;
};

bool Pump(const SearchState& state) {
  return zr::UILoop::RunUntil([&] { return state.released; }, std::chrono::milliseconds(10000));
}

std::unique_ptr<DirectoryServer> ConnectedServer(int port) {
  std::unique_ptr<DirectoryServer> server(
      new DirectoryServer("127.0.0.1", port, zr::test::Slapd::Base(), 0, false, nullptr));
  int result = -1;
  server->Connect(new ConnectListener(&result));
  zr::UILoop::RunUntil([&] { return result != -1; }, std::chrono::milliseconds(10000));
  return result == 1 ? std::move(server) : nullptr;
}

void Percentiles(benchmark::State& state, std::vector<double>& micros) {
  if (micros.empty()) return;
  std::sort(micros.begin(), micros.end());
  state.counters["median_us"] = micros[micros.size() / 2];
  state.counters["p90_us"] = micros[micros.size() * 9 / 10];
}

const char* const kTexts[] = {"jo", "Mallory Q09"};

void BM_TypeDownToSearchEnd(benchmark::State& state) {
  const char* text = kTexts[state.range(0)];
  auto server = ConnectedServer(gSlapd->ldapPort());
  if (!server) {
    state.SkipWithError("connect failed");
    return;
  }
  std::vector<double> micros;
  int entries = 0;
  for (auto _ : state) {
    SearchState search;
    const auto start = Clock::now();
    server->TypeDownSearch(text, kMaxResults, new TimingListener(&search));
    if (!Pump(search)) {
      state.SkipWithError("search did not end");
      return;
    }
    const double us = std::chrono::duration<double, std::micro>(search.endedAt - start).count();
    state.SetIterationTime(us / 1e6);
    micros.push_back(us);
    entries = search.entries;
  }
  state.counters["entries"] = entries;
  Percentiles(state, micros);
}

void BM_RawLibldapSearch(benchmark::State& state) {
  const char* text = kTexts[state.range(0)];
  const std::string url = "ldap://127.0.0.1:" + std::to_string(gSlapd->ldapPort());
  LDAP* ld = nullptr;
  if (ldap_initialize(&ld, url.c_str()) != LDAP_SUCCESS) {
    state.SkipWithError("ldap_initialize");
    return;
  }
  int version = LDAP_VERSION3;
  ldap_set_option(ld, LDAP_OPT_PROTOCOL_VERSION, &version);
  ldap_set_option(ld, LDAP_OPT_REFERRALS, LDAP_OPT_OFF);
  if (ldap_simple_bind_s(ld, nullptr, nullptr) != LDAP_SUCCESS) {
    state.SkipWithError("bind");
    ldap_unbind(ld);
    return;
  }
  char* filter = nullptr;
  filter = static_cast<char*>(malloc(256));
  snprintf(filter, 256, "(|(cn=%s*)(mail=%s*))", text, text);
  char cn[] = "cn", mail[] = "mail";
  char* attrs[] = {cn, mail, nullptr};
  std::vector<double> micros;
  int entries = 0;
  for (auto _ : state) {
    const auto start = Clock::now();
    int msgid = 0;
    struct timeval limit = {0, 500000};
    if (ldap_search_ext(ld, zr::test::Slapd::Base(), LDAP_SCOPE_SUBTREE, filter, attrs, 0, nullptr, nullptr,
                        &limit, kMaxResults, &msgid) != LDAP_SUCCESS) {
      state.SkipWithError("search");
      break;
    }
    int count = 0;
    for (;;) {
      LDAPMessage* result = nullptr;
      struct timeval poll = {0, 100000};
      const int type = ldap_result(ld, msgid, LDAP_MSG_ONE, &poll, &result);
      if (type == LDAP_RES_SEARCH_ENTRY) {
        LDAPMessage* e = ldap_first_entry(ld, result);
        for (char** a = attrs; *a; ++a) {
          char** values = ldap_get_values(ld, e, *a);
          if (values) ldap_value_free(values);
        }
        ++count;
      }
      ldap_msgfree(result);
      if (type != 0 && type != LDAP_RES_SEARCH_ENTRY) break;
    }
    const double us = std::chrono::duration<double, std::micro>(Clock::now() - start).count();
    state.SetIterationTime(us / 1e6);
    micros.push_back(us);
    entries = count;
  }
  free(filter);
  ldap_unbind(ld);
  state.counters["entries"] = entries;
  Percentiles(state, micros);
}

// A type-down over every person (thousands of entries on their way) superseded by the next keystroke:
// time from queuing the second search to the first one's OnSearchEnd. Against slapd (0), a directory
// that never answers the search (1), and one that stops inside the first entry (2; every search then
// starts over on a new connection, which stalls the same way).
void BM_SupersededTypeDownEnd(benchmark::State& state) {
  using Script = zr::test::ScriptedLdapServer::Script;
  const bool stalled = state.range(0) != 0;
  std::unique_ptr<zr::test::ScriptedLdapServer> stall;
  int port = gSlapd->ldapPort();
  if (stalled) {
    stall.reset(
        new zr::test::ScriptedLdapServer(state.range(0) == 1 ? Script::kStall : Script::kStallInEntry));
    stall->SetEntries({{"uid=x,o=t", {{"cn", {"Xavier"}}, {"mail", {"x@t"}}}}});
    if (!stall->Start()) {
      state.SkipWithError("scripted server");
      return;
    }
    port = stall->port();
  }
  auto server = ConnectedServer(port);
  if (!server) {
    state.SkipWithError("connect failed");
    return;
  }
  std::vector<double> micros;
  for (auto _ : state) {
    SearchState first, second;
    server->TypeDownSearch(stalled ? "x" : "", kPeople, new TimingListener(&first));
    // Let the first search get under way (entries arriving, or the worker waiting on the directory).
    zr::UILoop::RunUntil([&] { return stalled ? false : first.entries >= 200; },
                         std::chrono::milliseconds(30));
    const auto queued = Clock::now();
    server->TypeDownSearch("zz", kMaxResults, new TimingListener(&second));
    if (!Pump(first) || !Pump(second)) {
      state.SkipWithError("search did not end");
      return;
    }
    const double us = std::chrono::duration<double, std::micro>(first.endedAt - queued).count();
    state.SetIterationTime(us / 1e6);
    micros.push_back(us);
  }
  Percentiles(state, micros);
}

BENCHMARK(BM_TypeDownToSearchEnd)
    ->Arg(0)
    ->Arg(1)
    ->UseManualTime()
    ->Unit(benchmark::kMicrosecond)
    ->MinTime(2.0);
BENCHMARK(BM_RawLibldapSearch)->Arg(0)->Arg(1)->UseManualTime()->Unit(benchmark::kMicrosecond)->MinTime(2.0);
BENCHMARK(BM_SupersededTypeDownEnd)
    ->Arg(0)
    ->Arg(1)
    ->Arg(2)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond)
    ->Iterations(30);

}  // namespace

int main(int argc, char** argv) {
  setenv("LDAPNOINIT", "1", 1);
  signal(SIGPIPE, SIG_IGN);
  zr::UILoop::AttachCurrentThread();
  benchmark::Initialize(&argc, argv);
  zr::test::Slapd slapd;
  std::string error;
  if (!slapd.Start(kPeople, &error)) {
    fprintf(stderr, "slapd: %s\n", error.c_str());
    return 1;
  }
  gSlapd = &slapd;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  gSlapd = nullptr;
  return 0;
}
