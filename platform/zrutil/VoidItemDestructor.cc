#include "VoidItemDestructor.h"

#include <prmem.h>

VoidItemDestructor::~VoidItemDestructor() {}

// PL_strfree and PR_smprintf_free are PR_Free underneath, so one destructor serves every NSPR allocation.
void FreeVoidItemDestructor::Destroy(void* item) { PR_Free(item); }
