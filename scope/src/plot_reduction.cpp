#include "stage/scope/plot_reduction.h"

namespace stage::scope {

ValueRange AutoscaleRange(double low, double high, double min_half_span) {
  if (low > high) return {-min_half_span, min_half_span};
  const double margin = (high - low) * 0.05;
  if ((high - low) / 2 + margin >= min_half_span) return {low - margin, high + margin};
  const double middle = low / 2 + high / 2;
  return {middle - min_half_span, middle + min_half_span};
}

}  // namespace stage::scope
