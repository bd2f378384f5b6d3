// What the load benchmarks measure with: a percentile of latencies, and the CPU time a process
// (a server the benchmark started, or the benchmark itself) has used.
//
// Thread-safety: pure functions; the CPU time reads /proc.
#ifndef LARKSPIRE_BENCH_BENCH_MEASURES_H_
#define LARKSPIRE_BENCH_BENCH_MEASURES_H_

#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>
#include <vector>

namespace larkspire::bench {

// The value at share p (0 to 1) of values once sorted; 0 for none.
inline double Percentile(std::vector<double> values, double p) {
  if (values.empty()) return 0;
  std::sort(values.begin(), values.end());
  const size_t index =
      std::min(values.size() - 1, static_cast<size_t>(p * static_cast<double>(values.size())));
  return values[index];
}

// CPU time (user and system) process pid has used, in seconds, from /proc/PID/stat; 0 when
// it cannot be read.
inline double CpuSeconds(pid_t pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
  std::string stat((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  const size_t close = stat.rfind(')');  // the command name may hold spaces
  if (close == std::string::npos || close + 2 > stat.size()) return 0;
  // The fields after the command's closing parenthesis: state is the 3rd, utime the 14th.
  std::istringstream fields(stat.substr(close + 2));
  std::string field;
  double ticks = 0;
  for (int i = 3; i <= 15 && fields >> field; ++i)
    if (i >= 14) ticks += std::atof(field.c_str());  // utime, stime
  return ticks / static_cast<double>(::sysconf(_SC_CLK_TCK));
}

}  // namespace larkspire::bench

#endif  // LARKSPIRE_BENCH_BENCH_MEASURES_H_
