// How long the one schema load takes (the sample file, and a 10 MB file of attribute lines), and the
// cost of the lookups applications make afterwards.
#include <benchmark/benchmark.h>
#include <stdlib.h>
#include <unistd.h>

#include <fstream>
#include <string>

#include "Prefs.h"
#include "SchemaRegistry.h"
#include "SchemaTesting.h"

namespace {

void BM_LoadSampleSchema(benchmark::State& state) {
  Prefs::SetInstallDirectory(ZR_SCHEMA_SAMPLE_DIR);
  for (auto _ : state) {
    ResetSchemaForTesting();
    benchmark::DoNotOptimize(GetSchemaTabList());
  }
  ResetSchemaForTesting();
  Prefs::SetInstallDirectory(nullptr);
}
BENCHMARK(BM_LoadSampleSchema)->Unit(benchmark::kMicrosecond);

// A valid schema whose list section holds about 10 MB of attribute lines.
std::string WriteLargeSchema() {
  char dir[] = "/tmp/zr_schema_bench.XXXXXX";
  if (!mkdtemp(dir)) return std::string();
  std::ofstream out(std::string(dir) + "/kv_abook.sch", std::ios::binary);
  out << "personal { }\ndirectory { }\nlist {\n";
  size_t size = 0;
  for (int i = 0; size < 10u * 1024u * 1024u; i++) {
    std::string line = "  attr \"attr" + std::to_string(i) + "\" \"display\" size = \"20\";\n";
    out << line;
    size += line.size();
  }
  out << "}\nedit { }\nuab { }\nmap { }\n";
  return dir;
}

void BM_LoadTenMegabyteSchema(benchmark::State& state) {
  std::string dir = WriteLargeSchema();
  if (dir.empty()) {
    state.SkipWithError("no temporary directory");
    return;
  }
  Prefs::SetInstallDirectory(dir.c_str());
  for (auto _ : state) {
    ResetSchemaForTesting();
    benchmark::DoNotOptimize(GetSchemaAttrList());
  }
  state.SetBytesProcessed(int64_t(state.iterations()) * 10 * 1024 * 1024);
  ResetSchemaForTesting();
  Prefs::SetInstallDirectory(nullptr);
  unlink((dir + "/kv_abook.sch").c_str());
  rmdir(dir.c_str());
}
BENCHMARK(BM_LoadTenMegabyteSchema)->Unit(benchmark::kMillisecond);

void BM_GetSchemaAttr(benchmark::State& state) {
  Prefs::SetInstallDirectory(ZR_SCHEMA_SAMPLE_DIR);
  ResetSchemaForTesting();
  GetSchemaAttrNameList();
  const char* names[] = {"cn", "mail", "homecity", "nosuch"};
  size_t i = 0;
  for (auto _ : state) benchmark::DoNotOptimize(GetSchemaAttr(names[i++ & 3]));
  ResetSchemaForTesting();
  Prefs::SetInstallDirectory(nullptr);
}
BENCHMARK(BM_GetSchemaAttr);

}  // namespace

BENCHMARK_MAIN();
