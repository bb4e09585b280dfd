#include "IPCMessage.h"

#include <charconv>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "IPCMessageInternal.h"

// Serialised text: "@<count>;" then, per entry in order, "<key length>:<key><value length>:<value>".
// Lengths are decimal byte counts without leading zeros. Nothing is escaped, so a serialised message
// nests inside another as an ordinary value at the cost of a few length digits per level, and a parser
// reads each byte once.

namespace {

// Up to this many keys a linear scan beats hashing; past it an open-addressing index keeps look-ups
// constant.
constexpr size_t kIndexThreshold = 16;

struct Entry {
  std::string key;
  std::string value;
};

uint64_t HashBytes(const char* p, size_t n) {
  uint64_t h = 1469598103934665603ull;
  for (size_t i = 0; i < n; ++i) {
    h ^= static_cast<unsigned char>(p[i]);
    h *= 1099511628211ull;
  }
  return h;
}

}  // namespace

struct IPCMessage {
  // Entries never move once made (the first few inside the message, the rest in blocks of growing
  // size), so a value handed out stays where it is until its own key is set again or removed, whatever
  // happens to the other keys.
  static constexpr size_t kInline = 8;
  Entry inlineEntries[kInline];
  size_t inlineUsed = 0;
  std::vector<std::unique_ptr<Entry[]>> blocks;  // block b holds 8 << b entries
  size_t lastBlockUsed = 0;
  std::vector<Entry*> order;  // the live entries, in insertion order
  std::vector<Entry*> spare;  // removed entries, kept with their string storage for reuse
  // Open-addressing index of positions in order (-1 = empty slot); empty while few keys.
  std::vector<int32_t> slots;
  std::string serialized;
  bool serializedValid = false;

  Entry* NewEntry() {
    if (!spare.empty()) {
      Entry* e = spare.back();
      spare.pop_back();
      return e;
    }
    if (inlineUsed < kInline) return &inlineEntries[inlineUsed++];
    if (blocks.empty() || lastBlockUsed == (size_t{8} << (blocks.size() - 1))) {
      blocks.emplace_back(new Entry[size_t{8} << blocks.size()]);
      lastBlockUsed = 0;
    }
    return &blocks.back()[lastBlockUsed++];
  }

  size_t Count() const { return order.size(); }

  long Find(const char* key, size_t len) const {
    if (slots.empty()) {
      for (size_t i = 0; i < order.size(); ++i) {
        const std::string& k = order[i]->key;
        if (k.size() == len && std::memcmp(k.data(), key, len) == 0) return static_cast<long>(i);
      }
      return -1;
    }
    size_t mask = slots.size() - 1;
    for (size_t s = HashBytes(key, len) & mask;; s = (s + 1) & mask) {
      int32_t idx = slots[s];
      if (idx < 0) return -1;
      const std::string& k = order[idx]->key;
      if (k.size() == len && std::memcmp(k.data(), key, len) == 0) return idx;
    }
  }

  void IndexEntry(size_t i) {
    size_t mask = slots.size() - 1;
    const std::string& k = order[i]->key;
    size_t s = HashBytes(k.data(), k.size()) & mask;
    while (slots[s] >= 0) s = (s + 1) & mask;
    slots[s] = static_cast<int32_t>(i);
  }

  void RebuildIndex() {
    if (order.size() <= kIndexThreshold) {
      slots.clear();
      slots.shrink_to_fit();
      return;
    }
    size_t size = 64;
    while (size < order.size() * 2) size *= 2;
    slots.assign(size, -1);
    for (size_t i = 0; i < order.size(); ++i) IndexEntry(i);
  }

  // Appends a key known to be absent.
  void Append(const char* key, size_t klen, const char* value, size_t vlen) {
    Entry* e = NewEntry();
    e->key.assign(key, klen);
    e->value.assign(value, vlen);
    order.push_back(e);
    if (order.size() > kIndexThreshold) {
      if (slots.empty() || order.size() * 2 > slots.size()) {
        RebuildIndex();
      } else {
        IndexEntry(order.size() - 1);
      }
    }
  }

  void Set(const char* key, size_t klen, const char* value, size_t vlen) {
    serializedValid = false;
    long i = Find(key, klen);
    if (i >= 0) {
      order[i]->value.assign(value, vlen);
    } else {
      Append(key, klen, value, vlen);
    }
  }

  void RemoveAt(size_t i) {
    spare.push_back(order[i]);
    order.erase(order.begin() + static_cast<long>(i));
    RebuildIndex();
    serializedValid = false;
  }

  void Clear() {
    spare.insert(spare.end(), order.begin(), order.end());
    order.clear();
    if (!slots.empty()) slots.clear();
    serializedValid = false;
  }
};

namespace {

void AppendNumber(std::string& out, size_t n) {
  char digits[24];
  auto r = std::to_chars(digits, digits + sizeof digits, n);
  out.append(digits, r.ptr);
}

void WriteText(const IPCMessage* msg, std::string* out) {
  out->clear();
  size_t total = 16;
  for (const Entry* e : msg->order) total += e->key.size() + e->value.size() + 8;
  out->reserve(total);
  out->push_back('@');
  AppendNumber(*out, msg->order.size());
  out->push_back(';');
  for (const Entry* e : msg->order) {
    AppendNumber(*out, e->key.size());
    out->push_back(':');
    out->append(e->key);
    AppendNumber(*out, e->value.size());
    out->push_back(':');
    out->append(e->value);
  }
}

// Reads a decimal length ending with terminator at *pos; fails on no digits, a leading zero, or a value
// above limit (which also rules out overflow).
bool ReadLength(const char* text, size_t size, size_t* pos, char terminator, size_t limit, size_t* out) {
  size_t p = *pos;
  size_t start = p;
  size_t value = 0;
  while (p < size && text[p] >= '0' && text[p] <= '9') {
    value = value * 10 + static_cast<size_t>(text[p] - '0');
    if (value > limit) return false;
    ++p;
    if (p - start > 20) return false;
  }
  if (p == start || p >= size || text[p] != terminator) return false;
  if (p - start > 1 && text[start] == '0') return false;
  *pos = p + 1;
  *out = value;
  return true;
}

// Parses into an empty message; on failure the message is emptied again.
bool ParseInto(IPCMessage* msg, const char* text, size_t size) {
  size_t pos = 0;
  size_t count = 0;
  if (size < 3 || text[0] != '@') return false;
  pos = 1;
  // Every entry takes at least four bytes ("0:0:"), which bounds the count by the text's size.
  if (!ReadLength(text, size, &pos, ';', size / 4, &count)) return false;
  if (std::memchr(text, '\0', size) != nullptr) return false;
  msg->order.reserve(count);
  for (size_t i = 0; i < count; ++i) {
    size_t klen = 0;
    size_t vlen = 0;
    if (!ReadLength(text, size, &pos, ':', size - pos, &klen) || klen > size - pos) break;
    const char* key = text + pos;
    pos += klen;
    if (!ReadLength(text, size, &pos, ':', size - pos, &vlen) || vlen > size - pos) break;
    const char* value = text + pos;
    pos += vlen;
    if (msg->Find(key, klen) >= 0) break;  // a serialised message never repeats a key
    msg->Append(key, klen, value, vlen);
  }
  if (msg->order.size() != count || pos != size) {
    msg->Clear();
    return false;
  }
  return true;
}

}  // namespace

namespace zr {
namespace ipc {

PRStatus DeserializeBytes(IPCMessage* msg, const char* text, size_t size) {
  if (msg == nullptr || text == nullptr) return PR_FAILURE;
  if (msg->order.empty()) {
    msg->serializedValid = false;
    return ParseInto(msg, text, size) ? PR_SUCCESS : PR_FAILURE;
  }
  // A message that already holds keys takes the parsed ones as if each were set in turn.
  IPCMessage parsed;
  if (!ParseInto(&parsed, text, size)) return PR_FAILURE;
  for (const Entry* e : parsed.order)
    msg->Set(e->key.data(), e->key.size(), e->value.data(), e->value.size());
  return PR_SUCCESS;
}

const char* SerializeForWrite(const IPCMessage* msg, std::string* scratch, size_t* size) {
  if (msg->serializedValid) {
    *size = msg->serialized.size();
    return msg->serialized.c_str();
  }
  WriteText(msg, scratch);
  *size = scratch->size();
  return scratch->c_str();
}

PRStatus DeserializeFrame(IPCMessage* msg, const char* text, size_t size) {
  msg->Clear();
  if (!ParseInto(msg, text, size)) return PR_FAILURE;
  msg->serialized.assign(text, size);
  msg->serializedValid = true;
  return PR_SUCCESS;
}

}  // namespace ipc
}  // namespace zr

extern "C" {

IPCMessage* IPC_NewMessage(void) { return new IPCMessage(); }

void IPC_DestroyMessage(IPCMessage* msg) { delete msg; }

IPCMessage* IPC_CloneMessage(const IPCMessage* msg) {
  if (msg == nullptr) return nullptr;
  IPCMessage* copy = new IPCMessage();
  copy->order.reserve(msg->order.size());
  for (const Entry* e : msg->order) {
    Entry* c = copy->NewEntry();
    *c = *e;
    copy->order.push_back(c);
  }
  copy->RebuildIndex();
  return copy;
}

PRStatus IPC_MessageSetValue(IPCMessage* msg, const char* key, const char* value) {
  if (msg == nullptr || key == nullptr || value == nullptr) return PR_FAILURE;
  msg->Set(key, std::strlen(key), value, std::strlen(value));
  return PR_SUCCESS;
}

const char* IPC_MessageGetValue(const IPCMessage* msg, const char* key) {
  if (msg == nullptr || key == nullptr) return nullptr;
  long i = msg->Find(key, std::strlen(key));
  return i < 0 ? nullptr : msg->order[i]->value.c_str();
}

PRStatus IPC_MessageSetInt(IPCMessage* msg, const char* key, int n) {
  if (msg == nullptr || key == nullptr) return PR_FAILURE;
  char digits[16];
  auto r = std::to_chars(digits, digits + sizeof digits, n);
  msg->Set(key, std::strlen(key), digits, static_cast<size_t>(r.ptr - digits));
  return PR_SUCCESS;
}

PRStatus IPC_MessageRemoveValue(IPCMessage* msg, const char* key) {
  if (msg == nullptr || key == nullptr) return PR_FAILURE;
  long i = msg->Find(key, std::strlen(key));
  if (i < 0) return PR_FAILURE;
  msg->RemoveAt(static_cast<size_t>(i));
  return PR_SUCCESS;
}

int IPC_MessageGetCount(const IPCMessage* msg) { return msg == nullptr ? 0 : static_cast<int>(msg->Count()); }

const char* IPC_MessageGetKeyAt(const IPCMessage* msg, int index) {
  if (msg == nullptr || index < 0 || static_cast<size_t>(index) >= msg->Count()) return nullptr;
  return msg->order[index]->key.c_str();
}

const char* IPC_MessageGetValueAt(const IPCMessage* msg, int index) {
  if (msg == nullptr || index < 0 || static_cast<size_t>(index) >= msg->Count()) return nullptr;
  return msg->order[index]->value.c_str();
}

const char* IPC_Serialize(IPCMessage* msg) {
  if (msg == nullptr) return nullptr;
  if (!msg->serializedValid) {
    WriteText(msg, &msg->serialized);
    msg->serializedValid = true;
  }
  return msg->serialized.c_str();
}

PRStatus IPC_Deserialize(IPCMessage* msg, const char* text) {
  if (msg == nullptr || text == nullptr) return PR_FAILURE;
  return zr::ipc::DeserializeBytes(msg, text, std::strlen(text));
}

}  // extern "C"
