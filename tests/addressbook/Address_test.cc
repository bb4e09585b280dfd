// Address records built from contact messages and loose strings, the small records, the comparator.
#include "Address.h"

#include <gtest/gtest.h>
#include <plstr.h>

#include <memory>

namespace {

using MessagePtr = std::unique_ptr<IPCMessage, decltype(&IPC_DestroyMessage)>;

MessagePtr MakeMessage(std::initializer_list<std::pair<const char*, const char*>> keys) {
  MessagePtr msg(IPC_NewMessage(), &IPC_DestroyMessage);
  for (const auto& [key, value] : keys) IPC_MessageSetValue(msg.get(), key, value);
  return msg;
}

TEST(AddressTest, ReadsNamesFromMessage) {
  MessagePtr msg = MakeMessage({{"givenname", "Ann"}, {"sn", "Lee"}, {"_xuid", "7"}});
  Address address(msg.get());
  EXPECT_STREQ("Ann Lee", address.GetName());
  EXPECT_STREQ("7", address.GetUID());
}

}  // namespace
