// The rows of the Scope's CSV export, formatted without Qt and without the
// slow exact conversion Qt's number formatting falls back to: a full 60 s
// window of 32 axes is 192,000 rows, written while the controllers are
// polled. Numbers come out as printf's "%.6f" (times) and "%.10g" (values).
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "stage/scope/scope_recorder.h"

namespace stage::scope {

inline constexpr std::string_view kScopeCsvHeader =
    "time_s,axis,name,unit,position,ideal_position,following_error,busy,error\n";

// `value` as printf's "%.<digits>f" (fixed) or "%.<digits>g" (general).
void AppendFixed(std::string& out, double value, int digits);
void AppendGeneral(std::string& out, double value, int digits);

// One row for a sample of `axis`; `quoted_name` is the axis name already
// quoted for CSV, `unit` its unit, `per_unit` its counts per unit.
void AppendCsvRow(std::string& out, const ScopeSample& sample, std::size_t axis, std::string_view quoted_name,
                  std::string_view unit, double per_unit);

// `name` between double quotes, a quote inside doubled.
std::string QuotedCsvField(std::string_view name);

}  // namespace stage::scope
