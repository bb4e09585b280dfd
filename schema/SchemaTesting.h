// Test support: puts the schema back into its unloaded state, freeing everything the registry and loader
// hold, so that one test program can load many schema files. Not exported, not installed; never call it
// while another thread may query the schema. The error listener registration is left alone.
#ifndef ZRAPPAPI_SCHEMATESTING_H
#define ZRAPPAPI_SCHEMATESTING_H

void ResetSchemaForTesting();

#endif
