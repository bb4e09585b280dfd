// The address book's contact cache and a sorted index at list-display sizes (10,000 and 100,000
// contacts):
// - the full load: a service on a real channel answers "ab_getAllAddrs" with one "ab_eventAddrExists" per
//   contact and "ab_eventAddrEndExists"; timed from the request (the index's construction) to
//   OnItemsInserted(0, n), with the resident memory the loaded cache and index added per contact;
// - the floor beside it: only deserialising the same event messages (and the contacts inside them);
// - single contact events against the loaded cache and index: from the event's arrival on the UI thread
//   (where the client hands it to the address book) to the index's notification, median and 99th
//   percentile per event kind.
#include <benchmark/benchmark.h>
#include <malloc.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "AddressBook.h"
#include "AddressBookIndex.h"
#include "IPCChannel.h"
#include "IPCMessage.h"
#include "IPCServer.h"
#include "UILoop.h"
#include "ZorlinClientRef.h"

// Hands events to the book as the client frame does on the UI thread.
class AddressBookTestPeer {
 public:
  explicit AddressBookTestPeer(AddressBook* book) : mBook(book) {}
  void Deliver(IPCMessage* msg) { mBook->OnMessage(msg); }

 private:
  AddressBook* mBook;
};

namespace {

using Clock = std::chrono::steady_clock;
using MessagePtr = std::unique_ptr<IPCMessage, decltype(&IPC_DestroyMessage)>;

MessagePtr NewMessage() { return MessagePtr(IPC_NewMessage(), &IPC_DestroyMessage); }

const char* const kFirst[] = {"Anna", "Ben", "Clara", "David", "Eva", "Felix", "Greta", "Hugo",
                              "Ida",  "Jon", "Karin", "Lars",  "Mia", "Nils",  "Olga",  "Paul"};

// A typical contact of uid i: names, a screen name, three mails, two typed phones.
std::string ContactText(int i, std::mt19937& random) {
  char last[16];
  snprintf(last, sizeof(last), "Name%06u", static_cast<unsigned>(random() % 1000000));
  const std::string first = kFirst[random() % 16];
  const std::string uid = "uid-" + std::to_string(i);
  MessagePtr c = NewMessage();
  IPC_MessageSetValue(c.get(), "_xuid", uid.c_str());
  IPC_MessageSetValue(c.get(), "cn", (first + " " + last).c_str());
  IPC_MessageSetValue(c.get(), "givenname", first.c_str());
  IPC_MessageSetValue(c.get(), "sn", last);
  IPC_MessageSetValue(c.get(), "nuouid", (first + last).c_str());
  IPC_MessageSetValue(c.get(), "mail", (first + "." + last + "@example.org").c_str());
  IPC_MessageSetValue(c.get(), "mail1", (uid + "@example.com").c_str());
  IPC_MessageSetValue(c.get(), "mail2", (uid + "@example.net").c_str());
  IPC_MessageSetValue(c.get(), "phone1", "+44 20 7946 0001");
  IPC_MessageSetValue(c.get(), "phone1_type", "work");
  IPC_MessageSetValue(c.get(), "phone2", "+44 7700 900123");
  IPC_MessageSetValue(c.get(), "phone2_type", "cell");
  return IPC_Serialize(c.get());
}

// The full load's event messages for n contacts, made once per size.
const std::vector<IPCMessage*>& LoadEvents(int n) {
  static std::vector<std::pair<int, std::vector<IPCMessage*>>> made;
  for (auto& [size, events] : made)
    if (size == n) return events;
  std::mt19937 random(42);
  std::vector<IPCMessage*> events;
  for (int i = 0; i < n; ++i) {
    IPCMessage* e = IPC_NewMessage();
    IPC_MessageSetValue(e, "zr_event", "ab_eventAddrExists");
    IPC_MessageSetValue(e, "contact", ContactText(i, random).c_str());
    IPC_Serialize(e);  // the service sends the cached text
    events.push_back(e);
  }
  made.emplace_back(n, std::move(events));
  return made.back().second;
}

// The address book service: streams the current load on each "ab_getAllAddrs".
class LoadService : public zr::ipc::IPCServerListener {
 public:
  const std::vector<IPCMessage*>* load = nullptr;
  void OnMessage(const std::shared_ptr<zr::ipc::ServerConnection>& connection, IPCMessage* msg) override {
    const char* command = IPC_MessageGetValue(msg, "zr_command");
    if (!command || strcmp(command, "ab_getAllAddrs") != 0 || !load) return;
    for (IPCMessage* e : *load) connection->Send(e);
    MessagePtr end = NewMessage();
    IPC_MessageSetValue(end.get(), "zr_event", "ab_eventAddrEndExists");
    connection->Send(end.get());
  }
};

// The service in a child process of its own, as the real one is, so that the client's resident memory is
// the client's alone. It serves n contacts (none: it only takes requests).
class ServiceFixture {
 public:
  explicit ServiceFixture(int n) {
    char pattern[] = "/tmp/zrbench-XXXXXX";
    mDir = mkdtemp(pattern);
    IPC_SetRuntimeDirectory(mDir.c_str());
    const std::vector<IPCMessage*>* load = n > 0 ? &LoadEvents(n) : nullptr;
    int ready[2];
    if (pipe(ready) != 0) return;
    mChild = fork();
    if (mChild == 0) {
      close(ready[0]);
      LoadService service;
      service.load = load;
      zr::ipc::IPCServer server("kv_abook", &service);
      server.SetOutputLimit(size_t(1) << 30);
      const char ok = server.StartListening() == PR_SUCCESS ? 1 : 0;
      if (write(ready[1], &ok, 1) != 1 || !ok) _exit(1);
      for (;;) pause();  // until the parent kills it
    }
    close(ready[1]);
    char ok = 0;
    if (read(ready[0], &ok, 1) != 1) ok = 0;
    close(ready[0]);
    mOk = ok == 1;
    zr::UILoop::AttachCurrentThread();
  }
  ~ServiceFixture() {
    if (mChild > 0) {
      kill(mChild, SIGKILL);
      waitpid(mChild, nullptr, 0);
    }
    IPC_SetRuntimeDirectory(nullptr);
    unlink((mDir + "/kv_abook").c_str());
    rmdir(mDir.c_str());
  }
  bool Ok() const { return mOk; }

 private:
  std::string mDir;
  pid_t mChild = -1;
  bool mOk = false;
};

class NameComparator : public AddressComparator {
 public:
  int Compare(const Address* a, const Address* b) const override {
    const char* x = a->GetName();
    const char* y = b->GetName();
    if (!x || !y) return (x ? 1 : 0) - (y ? 1 : 0);
    return strcmp(x, y);
  }
};

// Notes the time of each notification and the rows the last load inserted.
class TimingListener : public AddressBookIndexListener {
 public:
  void OnIndexReserved() override {}
  void OnItemsInserted(unsigned int index, unsigned int count) override {
    if (index == 0 && count > 1) loaded = count;
    Note();
  }
  void OnItemChanged(unsigned int) override { Note(); }
  void OnItemsRemoved(unsigned int, unsigned int) override { Note(); }
  void Release() override { delete this; }
  void Note() {
    ++notes;
    last = Clock::now();
  }
  unsigned int loaded = 0;
  long notes = 0;
  Clock::time_point last;
};

long ResidentBytes() {
  long pages = 0, resident = 0;
  FILE* f = fopen("/proc/self/statm", "r");
  if (!f) return 0;
  if (fscanf(f, "%ld %ld", &pages, &resident) != 2) resident = 0;
  fclose(f);
  return resident * sysconf(_SC_PAGESIZE);
}

// Bytes the heap hands out now: what is live, without the pages freed blocks still hold.
long HeapInUse() { return static_cast<long>(mallinfo2().uordblks); }

// A loaded index of n contacts on an open channel.
struct LoadedIndex {
  explicit LoadedIndex(int n) {
    index.reset(new AddressBookIndex(new NameComparator));
    listener = new TimingListener;
    index->AddIndexListener(listener);
    zr::UILoop::RunUntil([&] { return listener->loaded == static_cast<unsigned>(n); },
                         std::chrono::seconds(60));
  }
  ~LoadedIndex() {
    if (index) index->ReleaseIndexListener(listener);
  }
  bool Ok(int n) const { return listener->loaded == static_cast<unsigned>(n); }
  ZorlinClientRef<AddressBook> book;
  std::unique_ptr<AddressBookIndex> index;
  TimingListener* listener;
};

void BM_FullLoad(benchmark::State& state) {
  const int n = static_cast<int>(state.range(0));
  ServiceFixture service(n);
  ZorlinClientRef<AddressBook> book;
  long firstGrowth = -1, liveGrowth = 0;
  for (auto _ : state) {
    const long before = ResidentBytes();
    const long liveBefore = HeapInUse();
    const Clock::time_point start = Clock::now();
    AddressBookIndex index(new NameComparator);
    TimingListener* listener = new TimingListener;
    index.AddIndexListener(listener);
    zr::UILoop::RunUntil([&] { return listener->loaded == static_cast<unsigned>(n); },
                         std::chrono::seconds(60));
    state.SetIterationTime(std::chrono::duration<double>(listener->last - start).count());
    if (listener->loaded != static_cast<unsigned>(n)) state.SkipWithError("load incomplete");
    // Later loads reuse the memory the first one freed: the first tells the growth.
    if (firstGrowth < 0) firstGrowth = ResidentBytes() - before;
    liveGrowth = HeapInUse() - liveBefore;
    index.ReleaseIndexListener(listener);
  }
  state.SetItemsProcessed(state.iterations() * n);
  state.counters["rss_bytes_per_contact"] = static_cast<double>(firstGrowth) / n;
  state.counters["live_bytes_per_contact"] = static_cast<double>(liveGrowth) / n;
}
BENCHMARK(BM_FullLoad)
    ->Arg(10000)
    ->Arg(100000)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond)
    ->Iterations(5);

// The floor: deserialising the load's event messages, and the contacts inside them.
void BM_DeserialiseLoad(benchmark::State& state) {
  const int n = static_cast<int>(state.range(0));
  const bool inner = state.range(1) != 0;
  std::vector<std::string> frames;
  for (IPCMessage* e : LoadEvents(n)) frames.push_back(IPC_Serialize(e));
  for (auto _ : state) {
    for (const std::string& frame : frames) {
      IPCMessage* e = IPC_NewMessage();
      IPC_Deserialize(e, frame.c_str());
      if (inner) {
        IPCMessage* c = IPC_NewMessage();
        IPC_Deserialize(c, IPC_MessageGetValue(e, "contact"));
        IPC_DestroyMessage(c);
      }
      IPC_DestroyMessage(e);
    }
  }
  state.SetItemsProcessed(state.iterations() * n);
}
BENCHMARK(BM_DeserialiseLoad)
    ->ArgsProduct({{10000, 100000}, {0, 1}})
    ->ArgNames({"n", "contacts_too"})
    ->Unit(benchmark::kMillisecond);

// The UI thread's part of the load alone: the same events handed straight to the book (no channel), from
// the request to OnItemsInserted(0, n).
void BM_DeliverLoad(benchmark::State& state) {
  const int n = static_cast<int>(state.range(0));
  const std::vector<IPCMessage*>& events = LoadEvents(n);
  MessagePtr end = NewMessage();
  IPC_MessageSetValue(end.get(), "zr_event", "ab_eventAddrEndExists");
  ServiceFixture service(0);  // takes the request; serves nothing
  ZorlinClientRef<AddressBook> book;
  AddressBookTestPeer peer(book);
  for (auto _ : state) {
    const Clock::time_point start = Clock::now();
    AddressBookIndex index(new NameComparator);
    TimingListener* listener = new TimingListener;
    index.AddIndexListener(listener);
    for (IPCMessage* e : events) peer.Deliver(e);
    peer.Deliver(end.get());
    state.SetIterationTime(std::chrono::duration<double>(listener->last - start).count());
    if (listener->loaded != static_cast<unsigned>(n)) state.SkipWithError("load incomplete");
    index.ReleaseIndexListener(listener);
  }
  state.SetItemsProcessed(state.iterations() * n);
}
BENCHMARK(BM_DeliverLoad)
    ->Arg(10000)
    ->Arg(100000)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond)
    ->Iterations(5);

enum EventKind { kChangedSameRow, kChangedMoves, kAdded, kRemoved };

// One contact event at a time against a loaded cache and index: latency from the delivery on the UI
// thread to the index's notification. Removals are followed (untimed) by adding a contact back, and
// additions by removing it again, so the size stays n.
void BM_ContactEvent(benchmark::State& state) {
  const int n = static_cast<int>(state.range(0));
  const EventKind kind = static_cast<EventKind>(state.range(1));
  ServiceFixture service(n);
  LoadedIndex loaded(n);
  if (!loaded.Ok(n)) {
    state.SkipWithError("load incomplete");
    return;
  }
  AddressBookTestPeer peer(loaded.book);
  std::mt19937 random(7);
  std::vector<double> latencies;
  int nextUid = n;
  auto deliver = [&](const char* event, const char* key, const std::string& contact, const char* key2,
                     const std::string& contact2) {
    MessagePtr m = NewMessage();
    IPC_MessageSetValue(m.get(), "zr_event", event);
    IPC_MessageSetValue(m.get(), key, contact.c_str());
    if (key2) IPC_MessageSetValue(m.get(), key2, contact2.c_str());
    const long notes = loaded.listener->notes;
    const Clock::time_point start = Clock::now();
    peer.Deliver(m.get());
    return loaded.listener->notes > notes
               ? std::chrono::duration<double>(loaded.listener->last - start).count()
               : -1.0;
  };
  for (auto _ : state) {
    double seconds = -1;
    if (kind == kAdded) {
      const int uid = nextUid++;
      const std::string c = ContactText(uid, random);
      seconds = deliver("contactAdded", "newContact", c, nullptr, "");
      deliver("contactRemoved", "oldContact", c, nullptr, "");
    } else {
      // An existing contact, found by uid; its old fields do not matter.
      const int uid = static_cast<int>(random() % static_cast<unsigned>(n));
      const std::string old = ContactText(uid, random);
      if (kind == kRemoved) {
        seconds = deliver("contactRemoved", "oldContact", old, nullptr, "");
        deliver("contactAdded", "newContact", old, nullptr, "");
      } else {
        // Same row: the name of the row's own contact again (the phone changes). Moves: a new name.
        std::string fresh = ContactText(uid, random);
        if (kind == kChangedSameRow) {
          const Address* current = loaded.index->GetAddress(random() % loaded.index->GetSize());
          MessagePtr c = NewMessage();
          IPC_MessageSetValue(c.get(), "_xuid", current->GetUID());
          IPC_MessageSetValue(c.get(), "cn", current->GetName());
          IPC_MessageSetValue(c.get(), "phone1", "+44 20 7946 9999");
          fresh = IPC_Serialize(c.get());
        }
        seconds = deliver("contactChanged", "oldContact", kind == kChangedSameRow ? fresh : old, "newContact",
                          fresh);
      }
    }
    if (seconds < 0) {
      state.SkipWithError("no notification");
      break;
    }
    latencies.push_back(seconds);
    state.SetIterationTime(seconds);
  }
  if (latencies.empty()) return;
  std::sort(latencies.begin(), latencies.end());
  state.counters["median_us"] = latencies[latencies.size() / 2] * 1e6;
  state.counters["p99_us"] = latencies[latencies.size() * 99 / 100] * 1e6;
}
BENCHMARK(BM_ContactEvent)
    ->ArgsProduct({{10000, 100000}, {kChangedSameRow, kChangedMoves, kAdded, kRemoved}})
    ->ArgNames({"n", "kind"})
    ->UseManualTime()
    ->Unit(benchmark::kMicrosecond)
    ->Iterations(3000);

}  // namespace

BENCHMARK_MAIN();
