#include "stage/scope/trace_writer.h"

#include <unistd.h>

#include <algorithm>
#include <bit>
#include <cerrno>
#include <cstring>
#include <utility>

namespace stage::scope {
namespace {

using Outcome = poll::ExchangeResult::Outcome;

// The writer wakes this often to write what has come in.
constexpr std::chrono::milliseconds kWritePeriod{20};
// Bytes gathered before they are handed to the sink.
constexpr std::size_t kWriteChunk = std::size_t{64} * 1024;

const char* OutcomeName(Outcome outcome) {
  switch (outcome) {
    case Outcome::kOk:
      return "ok";
    case Outcome::kWriteFailed:
      return "write-failed";
    case Outcome::kReadFailed:
      return "read-failed";
    case Outcome::kInvalidReply:
      return "invalid-reply";
    case Outcome::kNotEncodable:
      return "not-encodable";
  }
  return "unknown";
}

void AppendHex(std::string& text, const usb::Packet& bytes) {
  static constexpr char kDigits[] = "0123456789ABCDEF";
  for (std::size_t i = 0; i < bytes.size(); ++i) {
    if (i != 0) text += ' ';
    text += kDigits[bytes[i] >> 4];
    text += kDigits[bytes[i] & 15];
  }
}

class FileSink final : public TraceSink {
 public:
  explicit FileSink(std::FILE* file) : file_(file) {}
  ~FileSink() override { std::fclose(file_); }
  FileSink(const FileSink&) = delete;
  FileSink& operator=(const FileSink&) = delete;

  bool Write(const char* data, std::size_t size) override { return std::fwrite(data, 1, size, file_) == size; }
  bool Flush(bool durable) override {
    if (std::fflush(file_) != 0) return false;
    return !durable || fsync(fileno(file_)) == 0;
  }

 private:
  std::FILE* file_;
};

}  // namespace

std::string FormatTraceRow(const TraceRow& row) {
  std::string text = std::to_string(row.time_us);
  text += ',';
  if (row.kind == TraceRow::Kind::kDropped) {
    text += ",,dropped,,,,,,,";
    text += std::to_string(row.dropped);
    text += '\n';
    return text;
  }
  text += std::to_string(row.axis);
  text += ",\"";
  for (const char c : row.name) {
    if (c == '\0') break;
    if (c == '"') text += '"';
    text += c;
  }
  text += "\",";
  text += OutcomeName(row.result.outcome);
  text += ',';
  AppendHex(text, row.sent);
  text += ',';
  AppendHex(text, row.received);
  text += ',';
  if (row.result.outcome == Outcome::kOk) {
    text += std::to_string(row.result.reading.position);
    text += ',';
    text += std::to_string(row.result.reading.ideal_position);
    text += ',';
    text += std::to_string(row.result.reading.flags);
    text += ",0,";
    text += std::to_string(poll::kTransferLength);
  } else {
    text += ",,,";
    text += std::to_string(row.result.status);
    text += ',';
    text += std::to_string(row.result.count);
  }
  text += '\n';
  return text;
}

std::unique_ptr<TraceSink> OpenTraceFile(const std::string& path, std::string& error) {
  std::FILE* file = std::fopen(path.c_str(), "w");
  if (file == nullptr) {
    error = "cannot write the trace file " + path + ": " + std::strerror(errno);
    return nullptr;
  }
  return std::make_unique<FileSink>(file);
}

TraceWriter::TraceWriter(std::unique_ptr<TraceSink> sink, std::function<void(const std::string&)> report,
                         std::size_t capacity)
    : sink_(std::move(sink)),
      report_(std::move(report)),
      ring_(std::bit_ceil(std::max<std::size_t>(capacity, 2))),
      mask_(ring_.size() - 1),
      thread_([this] { Run(); }) {}

TraceWriter::~TraceWriter() { Finish(); }

bool TraceWriter::PushSlot(const TraceRow& row) {
  const std::uint64_t head = head_.load(std::memory_order_relaxed);
  const std::uint64_t used = head - tail_.load(std::memory_order_acquire);
  if (used == ring_.size()) return false;
  ring_[head & mask_] = row;
  head_.store(head + 1, std::memory_order_release);
  // Half full: the writer is woken early rather than at its next period.
  if (used + 1 == ring_.size() / 2) wake_.notify_one();
  return true;
}

bool TraceWriter::Push(const TraceRow& row) {
  if (finished_) return false;
  if (dropped_pending_ != 0) {
    TraceRow dropped;
    dropped.kind = TraceRow::Kind::kDropped;
    dropped.time_us = row.time_us;
    dropped.dropped = dropped_pending_;
    // Room for the note and the row, or the row is lost too.
    if (head_.load(std::memory_order_relaxed) - tail_.load(std::memory_order_acquire) + 2 > ring_.size() ||
        !PushSlot(dropped)) {
      ++dropped_pending_;
      ++dropped_total_;
      return false;
    }
    dropped_pending_ = 0;
  }
  if (!PushSlot(row)) {
    ++dropped_pending_;
    ++dropped_total_;
    return false;
  }
  return true;
}

void TraceWriter::Finish() {
  if (finished_) return;
  if (dropped_pending_ != 0) {
    TraceRow dropped;
    dropped.kind = TraceRow::Kind::kDropped;
    dropped.dropped = dropped_pending_;
    if (head_.load(std::memory_order_relaxed) != 0) dropped.time_us = ring_[(head_ - 1) & mask_].time_us;
    // The program is ending: waiting for room is allowed here.
    while (!PushSlot(dropped)) std::this_thread::yield();
    dropped_pending_ = 0;
  }
  finished_ = true;
  {
    const std::lock_guard lock(mutex_);
    stop_ = true;
  }
  wake_.notify_one();
  thread_.join();
}

void TraceWriter::Run() {
  std::string text;
  text.reserve(kWriteChunk + 1024);
  bool failed = false;
  auto write = [&] {
    if (!failed && !text.empty() && !sink_->Write(text.data(), text.size())) {
      failed = true;
      report_("cannot write the trace: " + std::string(std::strerror(errno)) + "; the console goes on without it");
    }
    text.clear();
  };

  text = kTraceHeader;
  for (;;) {
    bool stopping = false;
    {
      std::unique_lock lock(mutex_);
      wake_.wait_for(lock, kWritePeriod, [this] { return stop_; });
      stopping = stop_;
    }
    std::uint64_t tail = tail_.load(std::memory_order_relaxed);
    const std::uint64_t head = head_.load(std::memory_order_acquire);
    while (tail != head) {
      if (!failed) text += FormatTraceRow(ring_[tail & mask_]);
      ++tail;
      // The slot is free once its row is formatted.
      tail_.store(tail, std::memory_order_release);
      if (text.size() >= kWriteChunk) write();
    }
    write();
    if (!failed && !sink_->Flush(stopping)) {
      failed = true;
      report_("cannot write the trace: " + std::string(std::strerror(errno)) + "; the console goes on without it");
    }
    if (stopping) break;
  }
}

TraceObserver::TraceObserver(TraceWriter& writer, const modKVT_USB& tables, ExchangeClock clock)
    : writer_(writer), tables_(tables), clock_(std::move(clock)) {}

void TraceObserver::OnExchange(AxisIndex axis, const usb::Packet& command, const usb::Packet& reply,
                               const poll::ExchangeResult& result) {
  const std::chrono::nanoseconds now = clock_();
  if (!started_) {
    started_ = true;
    origin_ = now;
  }
  TraceRow row;
  row.time_us = std::chrono::duration_cast<std::chrono::microseconds>(now - origin_).count();
  row.axis = axis;
  const std::string& name = tables_.AxisName.at(static_cast<std::size_t>(axis));
  // npos + 1 is 0: a name of blanks only is empty.
  const std::size_t length = std::min(name.find_last_not_of(' ') + 1, row.name.size() - 1);
  std::copy_n(name.begin(), length, row.name.begin());
  row.sent = command;
  row.received = reply;
  row.result = result;
  writer_.Push(row);
}

// The program ends right after a failed tick: the file is finished now,
// with the tick's rows as its last.
void TraceObserver::OnTickFailed() { writer_.Finish(); }

}  // namespace stage::scope
