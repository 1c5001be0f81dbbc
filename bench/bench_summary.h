// The line a benchmark prints for each figure that has an aim, which `./kvkit bench` collects
// into the table it ends with:
//   kvbench|<benchmark>|<figure>|<value>|<aim>
// The value and the aim are ratios (ours against a floor, or a growth per tenfold step); a value
// above its aim is marked there.
#pragma once

#include <cstdio>

namespace kv::bench {

inline void Summary(const char* benchmark, const char* figure, double value, double aim) {
    std::printf("kvbench|%s|%s|%.2f|%.2f\n", benchmark, figure, value, aim);
    std::fflush(stdout);
}

}  // namespace kv::bench
