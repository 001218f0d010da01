// A second thread that reads an XDT stream one piece ahead of its caller,
// for the library's own loops (the conversion, the comparison of maps). Not
// installed.
#pragma once

#include <mapconv/errors.h>
#include <mapconv/print.h>
#include <mapconv/xdt_reader.h>
#include <pthread.h>

#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <mutex>

#include "quiet_thread.h"
#include "retrying_io.h"
#include "xdt_stream_internal.h"

// Reads the pieces of a grid on a second thread, up to PIECE_READER_SLOTS - 1
// pieces ahead of the caller, who meanwhile converts and writes the piece
// before: reading then overlaps converting and writing, and a piece that
// takes one side longer than usual does not stall the other. Where no thread
// can be started the caller reads each piece itself; the pieces, and every
// message, are the same.
inline constexpr std::size_t PIECE_READER_SLOTS = 8;

// The form the reader's thread hands a piece over in, for a caller that
// takes records as well as heights (a caller's records buffer).
enum class PieceForm {
  // Records while the caller keeps up, heights while it falls behind: the
  // heights are taken on whichever thread has time for it.
  EITHER,
  HEIGHTS,
  RECORDS,  // whenever the records are in the host's byte order
};

// A piece handed over: its points as heights or, from a reader given a
// records buffer, as the file's records in the host's byte order (one of the
// two is null).
struct Piece {
  const float* heights = nullptr;
  const unsigned char* records = nullptr;
  std::size_t count = 0;
};

class PieceReader {
 public:
  // buffer holds PIECE_READER_SLOTS pieces of capacity heights each.
  PieceReader(XdtStream* reader, float* buffer, std::size_t capacity)
      : reader_(reader), capacity_(capacity), form_(PieceForm::HEIGHTS) {
    for (std::size_t i = 0; i < PIECE_READER_SLOTS; ++i) slots_[i].heights = buffer + i * capacity;
  }
  // records holds PIECE_READER_SLOTS pieces of capacity records each, on a
  // multiple of four bytes; a piece handed over as heights takes the place
  // of its records.
  PieceReader(XdtStream* reader, unsigned char* records, std::size_t capacity, PieceForm form)
      : reader_(reader), capacity_(capacity), form_(form) {
    for (std::size_t i = 0; i < PIECE_READER_SLOTS; ++i) {
      slots_[i].records = records + i * capacity * XDT_RECORD_SIZE;
      // Storage from the allocator takes any trivial type.
      slots_[i].heights = reinterpret_cast<float*>(slots_[i].records);
    }
  }
  ~PieceReader() { stop(); }
  PieceReader(const PieceReader&) = delete;
  PieceReader& operator=(const PieceReader&) = delete;

  void start() { started_ = start_quiet_thread(&thread_, &PieceReader::run, this); }

  // The next piece, as heights: 0 with *count 0 at the end of the grid, or
  // a read failure's code. The piece stays valid until the next call.
  ErrorCode next(const float** heights, std::size_t* count) {
    Piece piece;
    const ErrorCode code = next(&piece);
    *heights = piece.heights;
    *count = piece.count;
    return code;
  }

  // The next piece in either form (always heights without a records buffer).
  ErrorCode next(Piece* piece) {
    const std::size_t taken = taken_++;
    Slot& slot = slots_[taken % PIECE_READER_SLOTS];
    *piece = Piece{slot.heights, nullptr, 0};
    if (!started_) return xdt_stream_read(reader_, slot.heights, capacity_, &piece->count);
    std::unique_lock lock(mutex_);
    // The piece handed out before is done with: its slot may be refilled.
    if (taken > 0) {
      slots_[(taken - 1) % PIECE_READER_SLOTS].full = false;
      --queued_;
    }
    changed_.notify_all();
    // The caller's check is asked while it waits: a signal reaches this
    // thread, not the reader's, whose read it cannot cut short.
    while (!changed_.wait_for(lock, std::chrono::milliseconds(5), [&] { return slot.full; })) {
      if (reader_->interrupt == nullptr) continue;
      lock.unlock();
      const bool stop = stop_asked(reader_->interrupt);
      lock.lock();
      if (stop) return ERR_INTERRUPTED;
    }
    piece->count = slot.count;
    if (slot.as_records) *piece = Piece{nullptr, slot.records, slot.count};
    // The reader's diagnostic is printed here, on the caller's thread, so
    // it goes where the caller's own messages go.
    if (slot.note.text[0] != '\0') u_print("%s", slot.note.text);
    // The reader's thread has its own errno: a read's reason comes with it.
    if (slot.code != NO_ERROR) errno = slot.reason;
    return slot.code;
  }

  // Ends the second thread; the stream is the caller's again afterwards.
  void stop() {
    if (!started_) return;
    {
      const std::lock_guard lock(mutex_);
      stopping_ = true;
    }
    changed_.notify_all();
    pthread_join(thread_, nullptr);
    started_ = false;
  }

 private:
  struct Slot {
    float* heights = nullptr;
    unsigned char* records = nullptr;
    bool as_records = false;  // handed over as records, not heights
    std::size_t count = 0;
    ErrorCode code = NO_ERROR;
    int reason = 0;
    XdtNote note{};
    bool full = false;
  };

  static void* run(void* self) {
    static_cast<PieceReader*>(self)->fill();
    return nullptr;
  }

  void fill() {
    for (std::size_t filled = 0;; ++filled) {
      Slot& slot = slots_[filled % PIECE_READER_SLOTS];
      std::size_t waiting = 0;
      {
        std::unique_lock lock(mutex_);
        changed_.wait(lock, [&] { return !slot.full || stopping_; });
        if (stopping_) return;
        waiting = queued_;
      }
      std::size_t count = 0;
      XdtNote note;
      // Half the ring waiting means the caller is the slower: this thread
      // then takes the heights out of the records itself, reading them into
      // the stream's buffer, which stays in the processor's cache. Records
      // in reversed byte order are never handed over.
      const bool behind = waiting >= PIECE_READER_SLOTS / 2;
      slot.as_records = slot.records != nullptr && !reader_->swap &&
                        (form_ == PieceForm::RECORDS || (form_ == PieceForm::EITHER && !behind));
      const ErrorCode code =
          slot.as_records ? xdt_stream_read_records_noted(reader_, slot.records, capacity_, &count, &note)
                          : xdt_stream_read_noted(reader_, slot.heights, capacity_, &count, &note);
      const int reason = errno;
      {
        const std::lock_guard lock(mutex_);
        ++queued_;
        slot.count = count;
        slot.code = code;
        slot.reason = reason;
        slot.note = note;
        slot.full = true;
      }
      changed_.notify_all();
      if (code != NO_ERROR || count == 0) return;
    }
  }

  XdtStream* reader_;
  std::size_t capacity_;
  PieceForm form_;
  Slot slots_[PIECE_READER_SLOTS];
  std::size_t taken_ = 0;
  std::size_t queued_ = 0;  // pieces read and not yet done with
  std::mutex mutex_;
  std::condition_variable changed_;
  pthread_t thread_{};
  bool started_ = false;
  bool stopping_ = false;
};
