#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "model/kernels/cpu_features.h"
#include "model/kernels/kernels.h"

namespace bytemix::kernels {
namespace {

// Best first; the last runs everywhere.
const std::vector<const Table*>& built_tables() {
  static const std::vector<const Table*> tables = {
#if defined(__x86_64__) && !defined(__ILP32__)  // not x32: as CMakeLists.txt
      &avx512_table,
      &avx2_table,
#endif
#if defined(__x86_64__) || defined(__i386__)
      &sse4_table,
#endif
#if defined(__aarch64__)
      &neon_table,
#endif
      &scalar_table,
  };
  return tables;
}

bool cpu_runs(const Table& t) {
  static const std::uint32_t processor = processor_x86_features();
  return (processor & t.x86_features) == t.x86_features;
}

std::string joined_names(bool runnable_only) {
  std::string names;
  for (const Table* t : built_tables()) {
    if (runnable_only && !cpu_runs(*t)) continue;
    names += names.empty() ? "" : ", ";
    names += t->name;
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
  for (const Table* t : built_tables())
    if (cpu_runs(*t)) tables.push_back(t);
  return tables;
}

const Table* find(const char* name) {
  if (name == nullptr) return nullptr;
  for (const Table* t : built_tables())
    if (std::strcmp(name, t->name) == 0) return cpu_runs(*t) ? t : nullptr;
  return nullptr;
}

std::string requested_path_problem() {
  const char* name = std::getenv("BYTEMIX_SIMD");
  if (name == nullptr || find(name) != nullptr) return {};
  for (const Table* t : built_tables()) {
    if (std::strcmp(name, t->name) == 0)
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
