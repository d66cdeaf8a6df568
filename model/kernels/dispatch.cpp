#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "model/kernels/kernels.h"

namespace bytemix::kernels {
namespace {

struct Path {
  const Table* table;
  bool (*cpu_runs)();
};

bool always() { return true; }
#if defined(__x86_64__) || defined(__i386__)
bool has_avx2_fma() {
  __builtin_cpu_init();
  return __builtin_cpu_supports("avx2") && __builtin_cpu_supports("fma");
}
bool has_avx512() {
  __builtin_cpu_init();
  return __builtin_cpu_supports("avx512f");
}
#endif

// Best first; the last runs everywhere.
const std::vector<Path>& built_paths() {
  static const std::vector<Path> paths = {
#if defined(__x86_64__) || defined(__i386__)
      {&avx512_table, has_avx512},
      {&avx2_table, has_avx2_fma},
#endif
      {&portable_table, always},
  };
  return paths;
}

std::string joined_names(bool runnable_only) {
  std::string names;
  for (const Path& p : built_paths()) {
    if (runnable_only && !p.cpu_runs()) continue;
    names += names.empty() ? "" : ", ";
    names += p.table->name;
  }
  return names;
}

const Table* choose() {
  if (const Table* forced = find(std::getenv("BYTEMIX_SIMD"))) return forced;
  return runnable().front();
}

}  // namespace

std::vector<const Table*> runnable() {
  std::vector<const Table*> tables;
  for (const Path& p : built_paths())
    if (p.cpu_runs()) tables.push_back(p.table);
  return tables;
}

const Table* find(const char* name) {
  if (name == nullptr) return nullptr;
  for (const Path& p : built_paths())
    if (std::strcmp(name, p.table->name) == 0) return p.cpu_runs() ? p.table : nullptr;
  return nullptr;
}

std::string requested_path_problem() {
  const char* name = std::getenv("BYTEMIX_SIMD");
  if (name == nullptr || find(name) != nullptr) return {};
  for (const Path& p : built_paths()) {
    if (std::strcmp(name, p.table->name) == 0)
      return std::string("BYTEMIX_SIMD=") + name + ": this processor cannot run that path (it runs " +
             joined_names(true) + ")";
  }
  return std::string("BYTEMIX_SIMD=") + name + ": no such vector path (accepted: " + joined_names(false) + ")";
}

const Table& active() {
  // Chosen once; a function-local static is initialised thread-safely.
  static const Table* const chosen = choose();
  return *chosen;
}

}  // namespace bytemix::kernels
