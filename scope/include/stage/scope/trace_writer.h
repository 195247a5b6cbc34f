// The exchange trace: one CSV row per exchange, written by a thread of its
// own so that the polling tick never waits for the disk. The tick copies a
// fixed-size row into a preallocated ring; the writer thread formats and
// writes what it finds there every few milliseconds. When the disk or the
// reader of a pipe cannot keep up the ring fills, further rows are dropped
// and counted, and a row saying how many went missing is written once there
// is room again. Rows go out whole: a pipe's reader never gets part of one,
// and a disk that fills up leaves the file ending on its last whole row,
// then a row counting the rows that were lost. Nothing waits for a reader
// or the disk: not the tick, and not the end of the program.
//
// The format (docs/trace.md has every column and the packets' layout): a
// first line "# stage-console trace; time_us 0 is <UTC time>", the column
// names, then one row per exchange: the time, the axis, the outcome, the
// bytes sent in hex and what they say (command bits and configuration bits
// by name, the target in counts, the frame and its tuning values, D and the
// speed), the bytes received in hex and what they say (position, ideal
// position, the flags as a number and by name), and a failing call's status
// and byte count. A "dropped" row counts rows that could not be written. The
// first line and the names are written when the first row comes, since the
// wall time of the first exchange is not known before.
#pragma once

#include <array>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
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

// The column names (the file's second line).
inline constexpr const char* kTraceHeader =
    "time_us,axis,name,outcome,sent,control,target_counts,frame,max_speed,p,i,acc,torque,f_error,d,speed,config,"
    "received,position_counts,ideal_position_counts,flags,flag_names,status,count\n";
inline constexpr std::size_t kTraceColumns = 24;

// The row as it appears in the file, newline included.
std::string FormatTraceRow(const TraceRow& row);

// The file's first two lines: when time_us 0 was, in microseconds since
// 1970 UTC (ISO 8601 in the file), then the column names.
std::string FormatTraceHeader(std::int64_t start_unix_us);

// Where the rows go: a file, a pipe or a FIFO in the program; something
// slower or failing in tests. Called on the writer thread only.
class TraceSink {
 public:
  virtual ~TraceSink() = default;
  // Hands over as much of `data` as is taken without waiting for a reader:
  // the bytes taken (0 when none are taken now: try again after Wait), or
  // -1 with errno set when the trace cannot be written any more. A slow
  // disk may still keep the call for a while.
  virtual long Write(const char* data, std::size_t size) = 0;
  // Waits up to `timeout` for the reader to take bytes again.
  virtual void Wait(std::chrono::milliseconds timeout) { std::this_thread::sleep_for(timeout); }
  // Why Write takes nothing now, for the operator: "its reader stopped
  // reading".
  virtual std::string Stalled() const { return "its reader stopped reading"; }
  // Cuts the file back to its first `size` bytes and writes on from there;
  // false when that is not possible (a pipe).
  virtual bool Truncate(std::uint64_t /*size*/) { return false; }
  // At the end: pushes the written bytes onto the disk (the file is
  // complete then).
  virtual bool Sync() { return true; }
};

// write(2), or a stand-in for it in tests.
using TraceWriteFunction = std::function<long(int fd, const void* data, std::size_t size)>;

struct TraceOpen {
  std::unique_ptr<TraceSink> sink;  // empty when the file cannot be written
  std::string message;              // why not; with a sink, a note for the operator (or empty)
};

// Opens (truncates) `path` without ever waiting: a FIFO that no reader has
// opened yet is opened by the writer thread once one comes, and its rows
// wait in the ring until then. Writes never wait for a reader either.
TraceOpen OpenTraceFile(const std::string& path, TraceWriteFunction write = {});

class TraceWriter {
 public:
  static constexpr std::size_t kDefaultCapacity = 16384;  // 160 s of one axis, 9 s of 17
  // How long the end of the program gives the rows still on their way to
  // the file; Finish returns within this and kFinishMargin, whatever the
  // reader or the disk does.
  static constexpr std::chrono::milliseconds kFinishBound{500};
  static constexpr std::chrono::milliseconds kFinishMargin{250};

  // `report` receives what the operator should know (from the writer
  // thread, or from Finish): a sink that failed, rows that could not be
  // written at the end. The rows after a failure are discarded, never
  // blocking the tick.
  TraceWriter(std::unique_ptr<TraceSink> sink, std::function<void(const std::string&)> report,
              std::size_t capacity = kDefaultCapacity, std::chrono::milliseconds finish_bound = kFinishBound);
  ~TraceWriter();
  TraceWriter(const TraceWriter&) = delete;
  TraceWriter& operator=(const TraceWriter&) = delete;

  // Copies the row into the ring; false when it was dropped (ring full, or
  // the trace finished). Never blocks, never allocates. The first row fixes
  // the wall time of time_us 0: the system clock now, less its time_us.
  bool Push(const TraceRow& row);

  // Writes what it can of every row pushed so far, then a row counting the
  // rows that did not make it, flushes the file to disk and lets the thread
  // go; later rows are ignored. Returns within the finish bound and margin:
  // a reader or a disk that does not take the rows in time costs the rows
  // (and `report` says how many), never the end of the program; a reader
  // that takes nothing over one write period is not waited for any longer.
  // Called by the thread that pushes.
  void Finish();
  bool Finished() const { return finished_; }

  // Rows lost to a full ring so far (producer side).
  std::uint64_t Dropped() const { return dropped_total_; }

 private:
  struct Shared;
  bool PushSlot(const TraceRow& row);

  // What the writer thread works on: shared with it, so that a thread stuck
  // in the sink when the program ends never touches freed memory.
  std::shared_ptr<Shared> shared_;
  std::chrono::milliseconds finish_bound_;

  // Producer side only.
  bool finished_ = false;
  std::uint64_t dropped_pending_ = 0;
  std::uint64_t dropped_total_ = 0;
  std::int64_t last_time_us_ = 0;
  bool pushed_ = false;

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
