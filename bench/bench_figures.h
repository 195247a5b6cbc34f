// What every benchmark prints about its samples: mean, median, p99, maximum.
#pragma once

#include <algorithm>
#include <numeric>
#include <vector>

namespace stage::bench {

struct Figures {
  double mean_us = 0;
  double median_us = 0;
  double p99_us = 0;
  double max_us = 0;
};

inline Figures Summarise(std::vector<double> samples_us) {
  std::sort(samples_us.begin(), samples_us.end());
  Figures f;
  f.mean_us = std::accumulate(samples_us.begin(), samples_us.end(), 0.0) / static_cast<double>(samples_us.size());
  f.median_us = samples_us[samples_us.size() / 2];
  f.p99_us = samples_us[samples_us.size() * 99 / 100];
  f.max_us = samples_us.back();
  return f;
}

}  // namespace stage::bench
