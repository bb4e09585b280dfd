// Building Address records from contact messages, the per-contact step of the address book's full load:
// a typical 20-key contact (with and without a phone catalogue, from a message and from its serialised
// text, beside the cost of only deserialising it), and a contact with 100,000 numbered mails.
#include <benchmark/benchmark.h>
#include <wx/init.h>
#include <wx/intl.h>
#include <wx/log.h>
#include <wx/translation.h>

#include <cstdio>
#include <memory>
#include <string>

#include "Address.h"
#include "IPCMessage.h"

namespace {

using MessagePtr = std::unique_ptr<IPCMessage, decltype(&IPC_DestroyMessage)>;

MessagePtr TypicalContact() {
  static const char* const keys[][2] = {{"_xuid", "4f1c2a9e-0001"},
                                        {"cn", "Annabel Leeward"},
                                        {"givenname", "Annabel"},
                                        {"sn", "Leeward"},
                                        {"nuouid", "annabel.leeward"},
                                        {"mobileNumber", "+44 7700 900123"},
                                        {"mail", "annabel@example.org"},
                                        {"mail1", "a.leeward@example.com"},
                                        {"mail2", "al@example.net"},
                                        {"phone1", "+44 20 7946 0001"},
                                        {"phone1_type", "home"},
                                        {"phone2", "+44 20 7946 0002"},
                                        {"phone2_type", "work"},
                                        {"phone3", "+44 7700 900123"},
                                        {"phone3_type", "cell"},
                                        {"o", "Example Ltd"},
                                        {"title", "Engineer"},
                                        {"street", "1 High Street"},
                                        {"l", "London"},
                                        {"postalcode", "N1 9GU"}};
  MessagePtr msg(IPC_NewMessage(), &IPC_DestroyMessage);
  for (const auto& kv : keys) IPC_MessageSetValue(msg.get(), kv[0], kv[1]);
  return msg;
}

// A current locale with the phone catalogue, or none.
class Catalogue {
 public:
  explicit Catalogue(bool use) {
    if (!use) return;
    wxLogNull quiet;
    mLocale.reset(new wxLocale);
    mLocale->Init(wxString::FromUTF8("French"), wxString::FromUTF8("fr"), wxString::FromUTF8("C"), false);
    wxTranslations::Get()->SetLanguage(wxString::FromUTF8("fr"));
    mOk = mLocale->AddCatalog(wxString::FromUTF8("address_phones"));
  }
  bool Ok() const { return mOk; }

 private:
  std::unique_ptr<wxLocale> mLocale;
  bool mOk = true;
};

// Arg: 1 with the phone catalogue as the current locale, 0 without a locale.
void BM_AddressFromTypicalContact(benchmark::State& state) {
  Catalogue catalogue(state.range(0) != 0);
  if (!catalogue.Ok()) return state.SkipWithError("no catalogue");
  MessagePtr msg = TypicalContact();
  for (auto _ : state) {
    Address address(msg.get());
    benchmark::DoNotOptimize(address.GetPhone(2));
  }
}
BENCHMARK(BM_AddressFromTypicalContact)->Arg(0)->Arg(1);

// What the full load pays per contact: deserialise the contact's text, build the Address.
void BM_AddressFromSerialisedContact(benchmark::State& state) {
  Catalogue catalogue(true);
  if (!catalogue.Ok()) return state.SkipWithError("no catalogue");
  MessagePtr msg = TypicalContact();
  const std::string text = IPC_Serialize(msg.get());
  for (auto _ : state) {
    MessagePtr contact(IPC_NewMessage(), &IPC_DestroyMessage);
    IPC_Deserialize(contact.get(), text.c_str());
    Address address(contact.get());
    benchmark::DoNotOptimize(address.GetName());
  }
}
BENCHMARK(BM_AddressFromSerialisedContact);

// The floor of the previous one: deserialising only.
void BM_DeserialiseContactOnly(benchmark::State& state) {
  MessagePtr msg = TypicalContact();
  const std::string text = IPC_Serialize(msg.get());
  for (auto _ : state) {
    MessagePtr contact(IPC_NewMessage(), &IPC_DestroyMessage);
    IPC_Deserialize(contact.get(), text.c_str());
    benchmark::DoNotOptimize(contact.get());
  }
}
BENCHMARK(BM_DeserialiseContactOnly);

// A contact with state.range(0) numbered mails, set in descending order.
void BM_AddressFromNumberedMails(benchmark::State& state) {
  const int mails = static_cast<int>(state.range(0));
  MessagePtr msg(IPC_NewMessage(), &IPC_DestroyMessage);
  char key[32], value[32];
  for (int n = mails; n >= 1; --n) {
    snprintf(key, sizeof key, "mail%d", n);
    snprintf(value, sizeof value, "user%d@example.org", n);
    IPC_MessageSetValue(msg.get(), key, value);
  }
  for (auto _ : state) {
    Address address(msg.get());
    if (address.GetNumMails() != static_cast<unsigned int>(mails)) state.SkipWithError("mails lost");
  }
  state.SetItemsProcessed(state.iterations() * mails);
}
BENCHMARK(BM_AddressFromNumberedMails)->Arg(10000)->Arg(100000)->Unit(benchmark::kMillisecond);

}  // namespace

int main(int argc, char** argv) {
  wxInitializer initializer;
  if (!initializer.IsOk()) return 1;
  wxFileTranslationsLoader::AddCatalogLookupPathPrefix(wxString::FromUTF8(ZR_ADDRESS_BENCH_LOCALE_DIR));
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
