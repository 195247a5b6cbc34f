// The exchange trace: one CSV row per exchange, written by a thread of its
// own so that the polling tick never waits for the disk. The tick copies a
// fixed-size row into a preallocated ring; the writer thread formats and
// writes what it finds there every few milliseconds. When the disk cannot
// keep up the ring fills, further rows are dropped and counted, and a row
// saying how many went missing is written once there is room again.
//
// The format (one header row, then one row per exchange):
//   time_us                microseconds since the first exchange (monotonic)
//   axis                   axis index
//   name                   axis name, quoted
//   outcome                ok, write-failed, read-failed, invalid-reply,
//                          not-encodable, or dropped (rows lost to a slow disk)
//   sent, received         the 12 bytes, hex, separated by blanks
//   position_counts        decoded position (ok rows only)
//   ideal_position_counts  decoded ideal position (ok rows only)
//   flags                  decoded status flags, decimal: limit 1 = 1,
//                          limit 2 = 2, reverse = 4, max speed = 8, busy = 16,
//                          active high = 32, error = 64 (ok rows only)
//   status                 status of the failing call (0 on ok rows)
//   count                  bytes moved by the failing transfer (12 on ok
//                          rows); on a dropped row, the rows lost
#pragma once

#include <array>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "stage/scope/scope_recorder.h"
#include "stage/poll/poll_exchange.h"

namespace stage::scope {

struct TraceRow {
  enum class Kind : std::uint8_t { kExchange, kDropped };
  Kind kind = Kind::kExchange;
  std::int64_t time_us = 0;
  AxisIndex axis = 0;
  std::array<char, 8> name{};  // zero-terminated, trailing blanks removed
  usb::Packet sent{};
  usb::Packet received{};
  poll::ExchangeResult result;
  std::uint64_t dropped = 0;  // Kind::kDropped: rows lost
};

inline constexpr const char* kTraceHeader =
    "time_us,axis,name,outcome,sent,received,position_counts,ideal_position_counts,flags,status,count\n";

// The row as it appears in the file, newline included.
std::string FormatTraceRow(const TraceRow& row);

// Where the rows go; a file in the program, something slower or failing in
// tests. Called on the writer thread only.
class TraceSink {
 public:
  virtual ~TraceSink() = default;
  // False when the bytes could not be written.
  virtual bool Write(const char* data, std::size_t size) = 0;
  // Pushes written bytes toward the disk; `durable` asks for them to be on
  // it (the file is complete then).
  virtual bool Flush(bool durable) = 0;
};

// Opens (truncates) `path`; empty with `error` set when it cannot.
std::unique_ptr<TraceSink> OpenTraceFile(const std::string& path, std::string& error);

class TraceWriter {
 public:
  static constexpr std::size_t kDefaultCapacity = 16384;  // 160 s of one axis, 9 s of 17

  // `report` receives a message when the sink fails (from the writer
  // thread); the rows after that are discarded, never blocking the tick.
  TraceWriter(std::unique_ptr<TraceSink> sink, std::function<void(const std::string&)> report,
              std::size_t capacity = kDefaultCapacity);
  ~TraceWriter();
  TraceWriter(const TraceWriter&) = delete;
  TraceWriter& operator=(const TraceWriter&) = delete;

  // Copies the row into the ring; false when it was dropped (ring full, or
  // the trace finished). Never blocks, never allocates.
  bool Push(const TraceRow& row);

  // Writes every row pushed so far, flushes the file to disk and stops the
  // thread; later rows are ignored. Called by the thread that pushes.
  void Finish();
  bool Finished() const { return finished_; }

  // Rows lost to a full ring so far (producer side).
  std::uint64_t Dropped() const { return dropped_total_; }

 private:
  void Run();
  bool PushSlot(const TraceRow& row);

  std::unique_ptr<TraceSink> sink_;
  std::function<void(const std::string&)> report_;
  std::vector<TraceRow> ring_;
  std::size_t mask_;
  std::atomic<std::uint64_t> head_{0};  // next slot the producer fills
  std::atomic<std::uint64_t> tail_{0};  // next slot the writer takes

  // Producer side only.
  bool finished_ = false;
  std::uint64_t dropped_pending_ = 0;
  std::uint64_t dropped_total_ = 0;

  std::mutex mutex_;
  std::condition_variable wake_;
  bool stop_ = false;  // guarded by mutex_
  std::thread thread_;
};

// Turns every exchange into a row of the trace. A failed tick is the last
// thing the program does before it ends: once its exchanges are rows (the
// failed one, and any later axis's that was on the wire with it), the file
// is finished at once, before the message appears.
class TraceObserver final : public poll::ExchangeObserver {
 public:
  TraceObserver(TraceWriter& writer, const modKVT_USB& tables, ExchangeClock clock);

  void OnExchange(AxisIndex axis, const usb::Packet& command, const usb::Packet& reply,
                  const poll::ExchangeResult& result) override;
  void OnTickFailed() override;

 private:
  TraceWriter& writer_;
  const modKVT_USB& tables_;
  ExchangeClock clock_;
  bool started_ = false;
  std::chrono::nanoseconds origin_{0};
};

}  // namespace stage::scope
