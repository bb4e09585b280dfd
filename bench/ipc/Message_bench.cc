// Serialising and reading back messages: a 20-key contact, and a reply carrying a source carrying
// contacts (three levels). Times are per message.
#include <benchmark/benchmark.h>

#include <string>

#include "IPCMessage.h"

namespace {

IPCMessage* Contact(int n) {
  static const char* const kKeys[] = {"cn",
                                      "givenName",
                                      "sn",
                                      "mail",
                                      "mail2",
                                      "uid",
                                      "screenName",
                                      "telephoneNumber",
                                      "mobile",
                                      "pager",
                                      "facsimileTelephoneNumber",
                                      "homePhone",
                                      "o",
                                      "ou",
                                      "title",
                                      "street",
                                      "l",
                                      "st",
                                      "postalCode",
                                      "c"};
  IPCMessage* m = IPC_NewMessage();
  for (int i = 0; i < 20; ++i) {
    std::string value = std::string(kKeys[i]) + "-value-" + std::to_string(n * 31 + i);
    IPC_MessageSetValue(m, kKeys[i], value.c_str());
  }
  return m;
}

void BM_SerializeContact20(benchmark::State& state) {
  IPCMessage* m = Contact(1);
  int n = 0;
  for (auto _ : state) {
    // Changing a value drops the cached text, so every iteration really serialises.
    IPC_MessageSetInt(m, "uid", ++n);
    benchmark::DoNotOptimize(IPC_Serialize(m));
  }
  state.SetItemsProcessed(state.iterations());
  state.counters["bytes"] = static_cast<double>(std::string(IPC_Serialize(m)).size());
  IPC_DestroyMessage(m);
}
BENCHMARK(BM_SerializeContact20);

void BM_DeserializeContact20(benchmark::State& state) {
  IPCMessage* m = Contact(1);
  std::string text = IPC_Serialize(m);
  for (auto _ : state) {
    IPCMessage* back = IPC_NewMessage();
    if (IPC_Deserialize(back, text.c_str()) != PR_SUCCESS) state.SkipWithError("deserialise failed");
    benchmark::DoNotOptimize(back);
    IPC_DestroyMessage(back);
  }
  state.SetItemsProcessed(state.iterations());
  IPC_DestroyMessage(m);
}
BENCHMARK(BM_DeserializeContact20);

// Serialise then read back: one contact's whole trip through text.
void BM_RoundTripContact20(benchmark::State& state) {
  IPCMessage* m = Contact(1);
  int n = 0;
  for (auto _ : state) {
    IPC_MessageSetInt(m, "uid", ++n);
    IPCMessage* back = IPC_NewMessage();
    if (IPC_Deserialize(back, IPC_Serialize(m)) != PR_SUCCESS) state.SkipWithError("deserialise failed");
    IPC_DestroyMessage(back);
  }
  state.SetItemsProcessed(state.iterations());
  IPC_DestroyMessage(m);
}
BENCHMARK(BM_RoundTripContact20);

// A reply holding a source holding three contacts: built and serialised level by level, then read
// back level by level.
void BM_RoundTripNested3(benchmark::State& state) {
  IPCMessage* contacts[3] = {Contact(1), Contact(2), Contact(3)};
  int n = 0;
  size_t bytes = 0;
  for (auto _ : state) {
    IPC_MessageSetInt(contacts[0], "uid", ++n);
    IPCMessage* source = IPC_NewMessage();
    IPC_MessageSetValue(source, "name", "Personal Address Book");
    IPC_MessageSetValue(source, "ab_addr1", IPC_Serialize(contacts[0]));
    IPC_MessageSetValue(source, "ab_addr2", IPC_Serialize(contacts[1]));
    IPC_MessageSetValue(source, "ab_addr3", IPC_Serialize(contacts[2]));
    IPCMessage* reply = IPC_NewMessage();
    IPC_MessageSetValue(reply, "zr_command", "ab_reply");
    IPC_MessageSetInt(reply, "zr_cookie", n);
    IPC_MessageSetValue(reply, "ab_source", IPC_Serialize(source));
    const char* text = IPC_Serialize(reply);
    bytes = std::char_traits<char>::length(text);

    IPCMessage* r = IPC_NewMessage();
    IPCMessage* s = IPC_NewMessage();
    bool ok = IPC_Deserialize(r, text) == PR_SUCCESS &&
              IPC_Deserialize(s, IPC_MessageGetValue(r, "ab_source")) == PR_SUCCESS;
    for (int i = 1; ok && i <= 3; ++i) {
      IPCMessage* c = IPC_NewMessage();
      ok = IPC_Deserialize(c, IPC_MessageGetValue(s, ("ab_addr" + std::to_string(i)).c_str())) == PR_SUCCESS;
      IPC_DestroyMessage(c);
    }
    if (!ok) state.SkipWithError("deserialise failed");
    IPC_DestroyMessage(s);
    IPC_DestroyMessage(r);
    IPC_DestroyMessage(reply);
    IPC_DestroyMessage(source);
  }
  state.SetItemsProcessed(state.iterations());
  state.counters["bytes"] = static_cast<double>(bytes);
  for (IPCMessage* c : contacts) IPC_DestroyMessage(c);
}
BENCHMARK(BM_RoundTripNested3);

}  // namespace
