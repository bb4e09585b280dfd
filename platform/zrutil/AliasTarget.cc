#include "AliasTarget.h"

AliasTarget::AliasTarget() {}

AliasTarget::~AliasTarget() {
  while (mAliases.GetSize() > 0) {
    void** pointer = static_cast<void**>(mAliases.RemoveHead());
    *pointer = nullptr;
  }
}

void AliasTarget::AddAlias(void** pointer) {
  if (pointer) mAliases.Append(pointer);
}

void AliasTarget::RemoveAlias(void** pointer) { mAliases.Remove(pointer); }
