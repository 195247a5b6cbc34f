#include "stage/scope/scope_csv.h"

#include <array>
#include <charconv>

#include "stage/usb/packet_codec.h"

namespace stage::scope {
namespace {

void Append(std::string& out, double value, std::chars_format format, int digits) {
  std::array<char, 64> buffer{};
  const std::to_chars_result r = std::to_chars(buffer.data(), buffer.data() + buffer.size(), value, format, digits);
  out.append(buffer.data(), r.ec == std::errc() ? r.ptr : buffer.data());
}

}  // namespace

void AppendFixed(std::string& out, double value, int digits) { Append(out, value, std::chars_format::fixed, digits); }

void AppendGeneral(std::string& out, double value, int digits) {
  Append(out, value, std::chars_format::general, digits);
}

void AppendCsvRow(std::string& out, const ScopeSample& sample, std::size_t axis, std::string_view quoted_name,
                  std::string_view unit, double per_unit) {
  AppendFixed(out, static_cast<double>(sample.time_us) / 1e6, 6);
  out += ',';
  std::array<char, 24> number{};
  const std::to_chars_result r = std::to_chars(number.data(), number.data() + number.size(), axis);
  out.append(number.data(), r.ptr);
  out += ',';
  out += quoted_name;
  out += ',';
  out += unit;
  out += ',';
  AppendGeneral(out, sample.position / per_unit, 10);
  out += ',';
  AppendGeneral(out, sample.ideal_position / per_unit, 10);
  out += ',';
  AppendGeneral(out, (static_cast<double>(sample.position) - sample.ideal_position) / per_unit, 10);
  out += (sample.flags & usb::kFlagBusy) != 0 ? ",1," : ",0,";
  out += (sample.flags & usb::kFlagError) != 0 ? "1\n" : "0\n";
}

std::string QuotedCsvField(std::string_view name) {
  std::string quoted = "\"";
  for (char c : name) {
    if (c == '"') quoted += '"';
    quoted += c;
  }
  quoted += '"';
  return quoted;
}

}  // namespace stage::scope
