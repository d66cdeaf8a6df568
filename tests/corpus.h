#pragma once

// The Calgary corpus that ships with the repository (testdata/calgary),
// read for tests and benchmarks. The corpus is part of every checkout, so a
// file that cannot be read is an error naming its path, never a reason to
// skip: the exception fails whatever test asked for it.
#include <cstddef>
#include <cstdint>
#include <fstream>
#include <iterator>
#include <stdexcept>
#include <string>
#include <vector>

namespace bytemix::test {

// The first `limit` bytes of the corpus file `name` (all of them by default).
inline std::vector<std::uint8_t> read_corpus(const std::string& name, std::size_t limit = SIZE_MAX) {
  const std::string path = std::string(BYTEMIX_CORPUS_DIR) + "/" + name;
  std::ifstream in(path, std::ios::binary);
  if (!in) throw std::runtime_error("cannot open the test corpus file " + path);
  std::vector<std::uint8_t> data(std::istreambuf_iterator<char>(in), {});
  if (data.empty()) throw std::runtime_error("the test corpus file " + path + " is empty");
  if (data.size() > limit) data.resize(limit);
  return data;
}

}  // namespace bytemix::test
