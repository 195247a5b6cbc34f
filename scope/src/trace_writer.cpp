#include "stage/scope/trace_writer.h"

#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <bit>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <ctime>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <optional>
#include <span>
#include <utility>

namespace stage::scope {
namespace {

using Outcome = poll::ExchangeResult::Outcome;

using Clock = std::chrono::steady_clock;

// The writer wakes this often to write what has come in, or to try a
// reader that took nothing again.
constexpr std::chrono::milliseconds kWritePeriod{20};
// Bytes handed to the sink at once: whole rows, and no more than a pipe
// takes in one piece, so that its reader never gets part of a row.
constexpr std::size_t kBatchBytes = PIPE_BUF;
// No row is longer (at their widest the fields come to about 400 bytes).
constexpr std::size_t kMaxRowBytes = 512;
// Once the end is asked, tries that the sink takes nothing from before the
// writer gives up: it waits one write period for a reader that might just
// be slow, not for one that has stopped.
constexpr int kIdleTriesAtEnd = 2;
// Whole rows remembered at the end of the file: when the disk is full, the
// last of them make room for the row that counts the lost ones.
constexpr std::size_t kRowsToGiveBack = 8;

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

// The names of the bits set in `bits`, lowest first, joined by '|'; a bit
// without a name is written as its value.
template <std::size_t N>
void AppendBitNames(std::string& text, std::uint8_t bits, const std::array<const char*, N>& names) {
  bool first = true;
  for (std::size_t k = 0; k < 8; ++k) {
    const auto bit = static_cast<std::uint8_t>(1U << k);
    if ((bits & bit) == 0) continue;
    if (!first) text += '|';
    first = false;
    if (k < N) {
      text += names[k];
    } else {
      text += std::to_string(bit);
    }
  }
}

constexpr std::array<const char*, 8> kControlNames = {"go",         "stop",          "zero", "active",
                                                      "speed-mode", "position-mode", "rel",  "toggle"};
constexpr std::array<const char*, 4> kConfigNames = {"limit-active-high", "reverse-limit", "reverse-polarity",
                                                     "cancel-on-error"};
constexpr std::array<const char*, 7> kFlagNames = {"limit1", "limit2",      "reverse", "max-speed",
                                                   "busy",   "active-high", "error"};

// control .. config: what the command packet says; empty fields for a
// packet that was never made (not-encodable) or does not decode.
void AppendCommand(std::string& text, const usb::Packet& sent) {
  const auto fields = usb::DecodeCommand(std::span<const std::uint8_t, usb::kPacketSize>(sent));
  if (!fields) {
    text += ",,,,,,,,,,,";
    return;
  }
  AppendBitNames(text, fields->control_byte, kControlNames);
  text += ',';
  text += std::to_string(static_cast<std::int64_t>(fields->target_counts));
  text += ',';
  text += std::to_string(fields->frame_marker);
  const usb::TuningValues& t = fields->tuning;
  // The frame's own three values; the other frame's three stay empty.
  const bool a = fields->frame_marker == usb::kFrameA;
  const std::array<std::optional<int>, 8> values = {
      a ? std::optional<int>(t.max_speed) : std::nullopt, a ? std::optional<int>(t.p) : std::nullopt,
      a ? std::optional<int>(t.i) : std::nullopt,         a ? std::nullopt : std::optional<int>(t.acc),
      a ? std::nullopt : std::optional<int>(t.torque),    a ? std::nullopt : std::optional<int>(t.f_error),
      t.d,                                                t.speed};
  for (const std::optional<int>& value : values) {
    text += ',';
    if (value) text += std::to_string(*value);
  }
  text += ',';
  AppendBitNames(text, fields->config_bits, kConfigNames);
}

// A file, pipe or FIFO, written without ever waiting for its reader.
class FdSink final : public TraceSink {
 public:
  FdSink(std::string path, int fd, TraceWriteFunction write)
      : path_(std::move(path)), fd_(fd), write_(write ? std::move(write) : TraceWriteFunction(SystemWrite)) {
    struct stat status {};
    regular_ = fd_ >= 0 && fstat(fd_, &status) == 0 && S_ISREG(status.st_mode);
  }
  ~FdSink() override {
    if (fd_ >= 0) close(fd_);
  }
  FdSink(const FdSink&) = delete;
  FdSink& operator=(const FdSink&) = delete;

  long Write(const char* data, std::size_t size) override {
    if (fd_ < 0) {
      // A FIFO whose reader has not come yet: asked again at every write.
      fd_ = open(path_.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
      if (fd_ < 0) return errno == ENXIO ? 0 : -1;
    }
    const long taken = write_(fd_, data, size);
    if (taken < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) return 0;
    return taken;
  }
  void Wait(std::chrono::milliseconds timeout) override {
    if (fd_ < 0) {
      std::this_thread::sleep_for(timeout);
      return;
    }
    pollfd ready{fd_, POLLOUT, 0};
    ::poll(&ready, 1, static_cast<int>(timeout.count()));
  }
  std::string Stalled() const override {
    if (fd_ < 0) return "no reader opened the FIFO " + path_;
    if (regular_) return "the disk did not take them in time";
    return "the reader of " + path_ + " stopped reading";
  }
  bool Truncate(std::uint64_t size) override {
    const auto offset = static_cast<off_t>(size);
    return regular_ && ftruncate(fd_, offset) == 0 && lseek(fd_, offset, SEEK_SET) == offset;
  }
  bool Sync() override { return !regular_ || fsync(fd_) == 0; }

 private:
  static long SystemWrite(int fd, const void* data, std::size_t size) { return write(fd, data, size); }

  std::string path_;
  int fd_;
  bool regular_ = false;
  TraceWriteFunction write_;
};

// A reader that has gone raises SIGPIPE on the next write, which would end
// the whole program. The writer thread blocks it for itself alone (nothing
// else in the program changes) and takes back the one raised.
void BlockBrokenPipeSignal() {
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, SIGPIPE);
  pthread_sigmask(SIG_BLOCK, &set, nullptr);
}

void TakeBrokenPipeSignal() {
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, SIGPIPE);
  const timespec now{};
  while (sigtimedwait(&set, nullptr, &now) == SIGPIPE) {
  }
}

// Rows a trace row stands for: a dropped row counts the rows it replaces.
std::uint64_t RowsIn(const TraceRow& row) { return row.kind == TraceRow::Kind::kDropped ? row.dropped : 1; }

}  // namespace

std::string FormatTraceRow(const TraceRow& row) {
  std::string text = std::to_string(row.time_us);
  text += ',';
  if (row.kind == TraceRow::Kind::kDropped) {
    // Every field empty but the outcome and the count.
    text += ",,dropped";
    text.append(kTraceColumns - 4, ',');
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
  if (row.result.outcome == Outcome::kNotEncodable) {
    text += ",,,,,,,,,,,";  // the packet was never made: its zero bytes say nothing
  } else {
    AppendCommand(text, row.sent);
  }
  text += ',';
  AppendHex(text, row.received);
  text += ',';
  if (row.result.outcome == Outcome::kOk) {
    const usb::StatusReading& reading = row.result.reading;
    text += std::to_string(reading.position);
    text += ',';
    text += std::to_string(reading.ideal_position);
    text += ',';
    text += std::to_string(reading.flags);
    text += ',';
    AppendBitNames(text, reading.flags, kFlagNames);
    text += ",0,";
    text += std::to_string(poll::kTransferLength);
  } else {
    text += ",,,,";
    text += std::to_string(row.result.status);
    text += ',';
    text += std::to_string(row.result.count);
  }
  text += '\n';
  return text;
}

std::string FormatTraceHeader(std::int64_t start_unix_us) {
  // Floor division: a time before 1970 still gives its microseconds in 0..999999.
  std::int64_t seconds = start_unix_us / 1'000'000;
  std::int64_t micros = start_unix_us % 1'000'000;
  if (micros < 0) {
    micros += 1'000'000;
    --seconds;
  }
  const auto time = static_cast<std::time_t>(seconds);
  std::tm utc{};
  char when[64] = "unknown";
  if (gmtime_r(&time, &utc) != nullptr) {
    std::snprintf(when, sizeof when, "%04d-%02d-%02dT%02d:%02d:%02d.%06dZ", utc.tm_year + 1900, utc.tm_mon + 1,
                  utc.tm_mday, utc.tm_hour, utc.tm_min, utc.tm_sec, static_cast<int>(micros));
  }
  return std::string("# stage-console trace; time_us 0 is ") + when + "\n" + kTraceHeader;
}

TraceOpen OpenTraceFile(const std::string& path, TraceWriteFunction write) {
  TraceOpen opened;
  // Non-blocking: a FIFO with no reader fails at once (ENXIO) instead of
  // holding the program until one comes, and a full pipe refuses a write
  // instead of holding the writer thread.
  const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_NONBLOCK | O_CLOEXEC, 0666);
  if (fd < 0) {
    const int error = errno;
    struct stat status {};
    if (error == ENXIO && stat(path.c_str(), &status) == 0 && S_ISFIFO(status.st_mode)) {
      opened.sink = std::make_unique<FdSink>(path, -1, std::move(write));
      opened.message = "the trace FIFO " + path + " has no reader yet: its rows wait for one";
      return opened;
    }
    opened.message = "cannot write the trace file " + path + ": " + std::strerror(error);
    return opened;
  }
  opened.sink = std::make_unique<FdSink>(path, fd, std::move(write));
  return opened;
}

// The writer thread's side of the trace, and what it shares with the
// producer.
struct TraceWriter::Shared {
  Shared(std::unique_ptr<TraceSink> owned_sink, std::function<void(const std::string&)> report_to,
         std::size_t capacity)
      : sink(std::move(owned_sink)),
        report(std::move(report_to)),
        ring(std::bit_ceil(std::max<std::size_t>(capacity, 2))),
        mask(ring.size() - 1) {
    batch_.text.reserve(kBatchBytes);
    batch_.rows.reserve(kBatchBytes / 16);
  }

  void Run();

  std::unique_ptr<TraceSink> sink;
  std::function<void(const std::string&)> report;
  std::vector<TraceRow> ring;
  std::size_t mask;
  std::atomic<std::uint64_t> head{0};  // next slot the producer fills
  std::atomic<std::uint64_t> tail{0};  // next slot the writer takes
  // The wall time of time_us 0, microseconds since 1970 UTC: set with the
  // first row, before its slot is handed over.
  std::atomic<std::int64_t> start_unix_us{0};
  // Rows the writer has taken from the ring and not yet handed over whole.
  std::atomic<std::uint64_t> rows_in_hand{0};
  // Set by whoever says the last word on the trace: the writer, or Finish
  // when the writer is stuck in the sink.
  std::atomic<bool> end_reported{false};

  std::mutex mutex;
  std::condition_variable wake;   // the writer: rows are waiting, or the end has come
  std::condition_variable ended;  // Finish: the writer is done
  // Guarded by mutex.
  bool stop = false;
  Clock::time_point deadline;
  std::uint64_t lost_at_end = 0;  // rows the producer dropped that no row in the ring counts
  std::int64_t last_time_us = 0;  // of the last row the producer was given
  bool done = false;

 private:
  enum class Sent : std::uint8_t { kAll, kStalled, kFailed };
  enum class State : std::uint8_t { kWriting, kReaderGone, kFailed };

  void Fill();
  Sent Send();
  void Fail(int error);
  void DropBatch();
  bool WriteLossRow();
  void End();

  // Whole rows, formatted, not yet all taken by the sink.
  struct Batch {
    std::string text;
    std::size_t sent = 0;         // bytes of text taken
    std::uint64_t offset = 0;     // where text starts in the file
    struct Row {
      std::size_t end;            // in text
      std::uint64_t rows;         // rows it stands for (0 for the header)
    };
    std::vector<Row> rows;
    std::size_t rows_sent = 0;    // rows wholly taken
  };
  // A whole row at the end of the file: where it starts and what it stands for.
  struct FileRow {
    std::uint64_t start = 0;
    std::uint64_t rows = 0;
  };

  Batch batch_;
  std::uint64_t whole_ = 0;  // bytes in the file up to the end of its last whole row
  std::array<FileRow, kRowsToGiveBack> last_rows_{};
  std::size_t last_row_count_ = 0;  // in last_rows_, the newest last
  std::uint64_t unwritten_ = 0;     // rows neither in the file nor counted by a row in it
  std::int64_t last_time_us_ = 0;
  State state_ = State::kWriting;
  bool header_put_ = false;  // the first line and the column names are in a batch
  bool cut_ = false;  // the stream ends inside a row (a pipe cannot be cut back)
};

void TraceWriter::Shared::Fill() {
  if (batch_.sent != batch_.text.size()) return;
  batch_.offset += batch_.sent;
  batch_.text.clear();
  batch_.sent = 0;
  batch_.rows.clear();
  batch_.rows_sent = 0;
  std::uint64_t in_hand = 0;
  std::uint64_t taken = tail.load(std::memory_order_relaxed);
  const std::uint64_t filled = head.load(std::memory_order_acquire);
  // The header goes first, alone, once the first row has brought the start
  // time: the rows stay in the ring while it is on its way.
  if (!header_put_) {
    if (taken == filled) return;
    header_put_ = true;
    if (state_ == State::kWriting) {
      batch_.text = FormatTraceHeader(start_unix_us.load(std::memory_order_relaxed));
      batch_.rows.push_back({batch_.text.size(), 0});
      return;
    }
  }
  while (taken != filled && batch_.text.size() + kMaxRowBytes <= kBatchBytes) {
    const TraceRow& row = ring[taken & mask];
    last_time_us_ = row.time_us;
    if (state_ == State::kWriting) {
      batch_.text += FormatTraceRow(row);
      batch_.rows.push_back({batch_.text.size(), RowsIn(row)});
      in_hand += RowsIn(row);
    } else {
      unwritten_ += RowsIn(row);
    }
    ++taken;
    // The slot is free once its row is formatted.
    tail.store(taken, std::memory_order_release);
  }
  rows_in_hand.store(in_hand, std::memory_order_relaxed);
}

TraceWriter::Shared::Sent TraceWriter::Shared::Send() {
  while (batch_.sent < batch_.text.size()) {
    const long taken = sink->Write(batch_.text.data() + batch_.sent, batch_.text.size() - batch_.sent);
    if (taken < 0) {
      Fail(errno);
      return Sent::kFailed;
    }
    if (taken == 0) return Sent::kStalled;
    batch_.sent += static_cast<std::size_t>(taken);
    while (batch_.rows_sent < batch_.rows.size() && batch_.rows[batch_.rows_sent].end <= batch_.sent) {
      const Batch::Row& row = batch_.rows[batch_.rows_sent++];
      if (row.rows != 0) {
        if (last_row_count_ == last_rows_.size()) {
          std::move(last_rows_.begin() + 1, last_rows_.end(), last_rows_.begin());
          --last_row_count_;
        }
        last_rows_[last_row_count_++] = {whole_, row.rows};
      }
      whole_ = batch_.offset + row.end;
      rows_in_hand.fetch_sub(row.rows, std::memory_order_relaxed);
    }
  }
  return Sent::kAll;
}

// The rows of the batch not yet taken whole are lost; a row cut in two is
// cut off the file.
void TraceWriter::Shared::DropBatch() {
  for (std::size_t i = batch_.rows_sent; i < batch_.rows.size(); ++i) unwritten_ += batch_.rows[i].rows;
  const std::uint64_t taken = batch_.offset + batch_.sent;
  if (taken != whole_) {
    if (sink->Truncate(whole_)) {
      batch_.sent = static_cast<std::size_t>(whole_ - batch_.offset);
    } else {
      cut_ = true;
    }
  }
  batch_.offset += batch_.sent;
  batch_.text.clear();
  batch_.sent = 0;
  batch_.rows.clear();
  batch_.rows_sent = 0;
  rows_in_hand.store(0, std::memory_order_relaxed);
}

void TraceWriter::Shared::Fail(int error) {
  DropBatch();
  if (error == EPIPE) {
    TakeBrokenPipeSignal();
    state_ = State::kReaderGone;
    report("the trace's reader has gone (" + std::string(std::strerror(error)) +
           "): the console goes on without the trace");
    return;
  }
  state_ = State::kFailed;
  report("cannot write the trace: " + std::string(std::strerror(error)) +
         (cut_ ? "" : "; it ends on its last whole row") + "; the console goes on without it");
}

// The row counting the rows lost, as the file's last; on a full disk the
// last whole rows are given back (and counted) to make room for it. Never
// waits: a reader that takes nothing now gets nothing.
bool TraceWriter::Shared::WriteLossRow() {
  // A file without its header row gets no row after it either.
  if (whole_ == 0) return false;
  for (;;) {
    TraceRow loss;
    loss.kind = TraceRow::Kind::kDropped;
    loss.time_us = last_time_us_;
    loss.dropped = unwritten_;
    const std::string text = FormatTraceRow(loss);
    std::size_t sent = 0;
    long taken = 0;
    while (sent < text.size() && (taken = sink->Write(text.data() + sent, text.size() - sent)) > 0) {
      sent += static_cast<std::size_t>(taken);
    }
    if (sent == text.size()) return true;
    const int error = taken < 0 ? errno : 0;
    if (error == EPIPE) TakeBrokenPipeSignal();
    if (!sink->Truncate(whole_)) {
      cut_ = cut_ || sent != 0;
      return false;
    }
    const bool full = error == ENOSPC || error == EDQUOT;
    if (!full || last_row_count_ == 0) return false;
    const FileRow given_back = last_rows_[--last_row_count_];
    if (!sink->Truncate(given_back.start)) return false;
    whole_ = given_back.start;
    unwritten_ += given_back.rows;
  }
}

void TraceWriter::Shared::End() {
  const std::uint64_t lost_before = unwritten_;
  if (state_ == State::kWriting) DropBatch();
  // What is still in the ring stays out: the time is up.
  std::uint64_t taken = tail.load(std::memory_order_relaxed);
  for (const std::uint64_t filled = head.load(std::memory_order_acquire); taken != filled; ++taken) {
    unwritten_ += RowsIn(ring[taken & mask]);
    last_time_us_ = ring[taken & mask].time_us;
  }
  tail.store(taken, std::memory_order_release);
  // Rows the sink did not take in time (rather than rows a full ring cost,
  // which the file counts as it goes).
  const bool left_behind = unwritten_ != lost_before;
  {
    const std::lock_guard lock(mutex);
    unwritten_ += lost_at_end;
    if (lost_at_end != 0) last_time_us_ = std::max(last_time_us_, last_time_us);
  }
  const bool counted = unwritten_ != 0 && state_ != State::kReaderGone && !cut_ && WriteLossRow();

  std::string message;
  if (unwritten_ != 0 && state_ == State::kWriting && (left_behind || !counted)) {
    message = std::to_string(unwritten_) + " trace rows were not written: " + sink->Stalled();
    if (counted) message += "; the trace's last row counts them";
  } else if (unwritten_ != 0 && state_ == State::kFailed && !counted) {
    message = std::to_string(unwritten_) + " trace rows were lost, and the disk has no room for the row counting them";
  }
  if (cut_ && state_ != State::kReaderGone) {
    message += message.empty() ? "the trace ends inside a row" : "; the trace ends inside a row";
  }
  // Finish says nothing once this point is passed, even if the sync below
  // keeps the thread past its wait.
  if (!end_reported.exchange(true) && !message.empty()) report(message);
  if (state_ != State::kReaderGone && !sink->Sync() && state_ == State::kWriting) {
    report("cannot write the trace: " + std::string(std::strerror(errno)));
  }
}

void TraceWriter::Shared::Run() {
  BlockBrokenPipeSignal();
  // Once the end is asked, a sink that takes nothing twice running (a
  // reader that is not reading, or none at all) ends the trace at once.
  int idle_tries_at_end = 0;
  for (;;) {
    bool stopping = false;
    Clock::time_point end_by;
    {
      const std::lock_guard lock(mutex);
      stopping = stop;
      end_by = deadline;
    }
    // Everything that has come in, batch after batch, as far as the sink
    // takes it.
    bool waiting = false;  // for the sink to take bytes again
    for (;;) {
      if (batch_.sent == batch_.text.size()) Fill();
      if (batch_.sent == batch_.text.size()) break;
      if (Send() == Sent::kStalled) {
        waiting = true;
        break;
      }
    }
    const Clock::time_point now = Clock::now();
    if (stopping && waiting) ++idle_tries_at_end;
    if (stopping && (!waiting || now >= end_by || idle_tries_at_end == kIdleTriesAtEnd)) break;
    if (waiting) {
      const auto left = stopping ? std::chrono::ceil<std::chrono::milliseconds>(end_by - now) : kWritePeriod;
      sink->Wait(std::min(left, kWritePeriod));
    } else {
      std::unique_lock lock(mutex);
      wake.wait_for(lock, kWritePeriod, [this] { return stop; });
    }
  }
  End();
  {
    const std::lock_guard lock(mutex);
    done = true;
  }
  ended.notify_all();
}

TraceWriter::TraceWriter(std::unique_ptr<TraceSink> sink, std::function<void(const std::string&)> report,
                         std::size_t capacity, std::chrono::milliseconds finish_bound)
    : shared_(std::make_shared<Shared>(std::move(sink), std::move(report), capacity)),
      finish_bound_(finish_bound),
      thread_([shared = shared_] { shared->Run(); }) {}

TraceWriter::~TraceWriter() { Finish(); }

bool TraceWriter::PushSlot(const TraceRow& row) {
  Shared& shared = *shared_;
  const std::uint64_t head = shared.head.load(std::memory_order_relaxed);
  const std::uint64_t used = head - shared.tail.load(std::memory_order_acquire);
  if (used == shared.ring.size()) return false;
  shared.ring[head & shared.mask] = row;
  shared.head.store(head + 1, std::memory_order_release);
  // Half full: the writer is woken early rather than at its next period.
  if (used + 1 == shared.ring.size() / 2) shared.wake.notify_one();
  return true;
}

bool TraceWriter::Push(const TraceRow& row) {
  if (finished_) return false;
  if (!pushed_) {
    pushed_ = true;
    const auto now_us = std::chrono::duration_cast<std::chrono::microseconds>(
                            std::chrono::system_clock::now().time_since_epoch())
                            .count();
    shared_->start_unix_us.store(now_us - row.time_us, std::memory_order_relaxed);
  }
  last_time_us_ = row.time_us;
  if (dropped_pending_ != 0) {
    TraceRow dropped;
    dropped.kind = TraceRow::Kind::kDropped;
    dropped.time_us = row.time_us;
    dropped.dropped = dropped_pending_;
    // Room for the note and the row, or the row is lost too.
    const Shared& shared = *shared_;
    if (shared.head.load(std::memory_order_relaxed) - shared.tail.load(std::memory_order_acquire) + 2 >
            shared.ring.size() ||
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
  finished_ = true;
  Shared& shared = *shared_;
  const Clock::time_point deadline = Clock::now() + finish_bound_;
  {
    const std::lock_guard lock(shared.mutex);
    shared.stop = true;
    shared.deadline = deadline;
    // Rows dropped since the ring last had room: the writer's last row
    // counts them.
    shared.lost_at_end = dropped_pending_;
    shared.last_time_us = last_time_us_;
  }
  dropped_pending_ = 0;
  shared.wake.notify_one();
  bool done = false;
  {
    std::unique_lock lock(shared.mutex);
    done = shared.ended.wait_until(lock, deadline + kFinishMargin, [&shared] { return shared.done; });
  }
  if (done) {
    thread_.join();
    return;
  }
  // The writer is stuck in the sink (a disk that does not answer): it is
  // left to finish on its own, or to end with the program.
  thread_.detach();
  if (shared.end_reported.exchange(true)) return;
  std::uint64_t left = shared.rows_in_hand.load(std::memory_order_relaxed);
  const std::uint64_t filled = shared.head.load(std::memory_order_acquire);
  for (std::uint64_t slot = shared.tail.load(std::memory_order_acquire); slot != filled; ++slot) {
    left += RowsIn(shared.ring[slot & shared.mask]);
  }
  {
    const std::lock_guard lock(shared.mutex);
    left += shared.lost_at_end;
  }
  shared.report("up to " + std::to_string(left) +
                " trace rows were not written: the trace's file did not take them in time");
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
