// Helpers shared by the benchmark programs: fixture files and deterministic payloads.
#ifndef QIV_BENCH_BENCH_UTIL_H_
#define QIV_BENCH_BENCH_UTIL_H_

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace qiv::bench {

// The whole content of bench/data/<name>; exits the program when it cannot be read, since a
// benchmark without its input measures nothing.
inline std::string ReadDataFile(const std::string& name) {
  std::ifstream in(std::string(QIV_BENCH_DATA_DIR) + "/" + name, std::ios::binary);
  if (!in) {
    std::fprintf(stderr, "cannot read bench data file %s\n", name.c_str());
    std::exit(2);
  }
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

// `size` bytes of a fixed pattern, the same in every run.
inline std::vector<std::uint8_t> Payload(std::size_t size) {
  std::vector<std::uint8_t> bytes(size);
  std::uint32_t state = 0x9e3779b9u;
  for (auto& b : bytes) {
    state = state * 1664525u + 1013904223u;
    b = static_cast<std::uint8_t>(state >> 24);
  }
  return bytes;
}

// A fixed 32-byte seed for the signing benchmarks.
inline std::vector<std::uint8_t> Seed() {
  std::vector<std::uint8_t> seed(32);
  for (std::size_t i = 0; i < seed.size(); ++i) seed[i] = static_cast<std::uint8_t>(i * 7 + 1);
  return seed;
}

}  // namespace qiv::bench

#endif  // QIV_BENCH_BENCH_UTIL_H_
