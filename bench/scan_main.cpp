// Scans a folder with the engine alone and prints its totals, for timing
// the walk without the Python module.
// Build: g++ -std=c++20 -O2 -I. bench/scan_main.cpp core/*.cpp -lfmt -lz -lutf8proc -o scan_main
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "core/scan.h"

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: scan_main PATH [THREADS]\n");
    return 2;
  }
  tallmap::ScanOptions options;
  if (argc > 2) options.threads = unsigned(std::atoi(argv[2]));
  auto result = tallmap::scan_once(argv[1], options);
  if (!result.ok()) {
    std::fprintf(stderr, "scan_main: %s\n", result.error().text().c_str());
    return 1;
  }
  const tallmap::Tree& tree = **result;
  const tallmap::TreeIndex& index = tree.index();
  std::printf("%u folders, %llu bytes, %zu large files\n", tree.folder_count(),
              (unsigned long long)index.totals[0], tree.largest_files().size());
  return 0;
}
