// Counting listeners of the directory interfaces. Each may also copy its calls, as "<tag>:<call>", into a
// journal shared by several listeners, which shows the order in which they were called.
#ifndef ZR_TESTS_DIRECTORY_DIRECTORYTESTLISTENERS_H
#define ZR_TESTS_DIRECTORY_DIRECTORYTESTLISTENERS_H

#include <string>

#include "CountingListeners.h"
#include "DirectorySearchListener.h"
#include "IPCMessage.h"

namespace zr {
namespace test {

// "key=value;key=value" in the message's order.
inline std::string Describe(IPCMessage* entry) {
  std::string text;
  for (int i = 0; i < IPC_MessageGetCount(entry); ++i) {
    if (i) text += ";";
    text += std::string(IPC_MessageGetKeyAt(entry, i)) + "=" + IPC_MessageGetValueAt(entry, i);
  }
  return text;
}

template <typename Interface>
class Journaled : public Counting<Interface> {
 public:
  explicit Journaled(ListenerRecord* journal = nullptr, std::string tag = "")
      : mJournal(journal), mTag(std::move(tag)) {}

 protected:
  void Note(const std::string& call) {
    this->Record(call);
    if (mJournal) mJournal->AddCall(mTag + ":" + call, CurrentThreadIsUIThread());
  }

 private:
  ListenerRecord* mJournal;
  std::string mTag;
};

class CountingSearchListener : public Journaled<DirectorySearchListener> {
 public:
  using Journaled::Journaled;
  void OnSearchBegin() override { Note("OnSearchBegin"); }
  void OnServerUnavailable(const char* host) override { Note("OnServerUnavailable(" + Text(host) + ")"); }
  void OnSearchEnd() override { Note("OnSearchEnd"); }
  void OnSearchEntry(IPCMessage* entry) override { Note("OnSearchEntry(" + Describe(entry) + ")"); }
};

// Certificates are recorded by name when they equal one of the two known ones.
class CountingCertListener : public Journaled<DirectoryCertLookupListener> {
 public:
  CountingCertListener(const std::string* certA, const std::string* certB) : mCertA(certA), mCertB(certB) {}
  void OnSearchBegin() override { Note("OnSearchBegin"); }
  void OnServerUnavailable(const char* host) override { Note("OnServerUnavailable(" + Text(host) + ")"); }
  void OnSearchEnd() override { Note("OnSearchEnd"); }
  void OnCertFound(const char* address, const char* data, unsigned long length) override {
    const std::string bytes(data, length);
    const char* name = (mCertA && bytes == *mCertA) ? "A" : (mCertB && bytes == *mCertB) ? "B" : "?";
    Note("OnCertFound(" + Text(address) + "," + name + ")");
  }
  void OnCertNotFound(const char* address) override { Note("OnCertNotFound(" + Text(address) + ")"); }

 private:
  const std::string* mCertA;
  const std::string* mCertB;
};

class CountingReplicateListener : public Journaled<DirectoryReplicateListener> {
 public:
  using Journaled::Journaled;
  void OnReplicateUnavailable(const char* host) override {
    Note("OnReplicateUnavailable(" + Text(host) + ")");
  }
  void OnReplicateBegin() override { Note("OnReplicateBegin"); }
  void OnReplicateEnd() override { Note("OnReplicateEnd"); }
  void OnReplicateEntry(IPCMessage* entry) override { Note("OnReplicateEntry(" + Describe(entry) + ")"); }
};

}  // namespace test
}  // namespace zr

#endif
