// What the X3P reader and writer share: the fixed names and namespace, the
// MD5 sums, the type sizes and the number text both sides use. Not
// installed.
#pragma once

#include <mapconv/x3p.h>
#include <openssl/evp.h>
#include <pthread.h>

#include <array>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string_view>

#include "quiet_thread.h"

namespace x3p {

inline constexpr std::string_view NAMESPACE = "http://www.opengps.eu/2008/ISO5436_2";
inline constexpr std::string_view MAIN_XML = "main.xml";
inline constexpr std::string_view CHECKSUM_FILE = "md5checksum.hex";
inline constexpr std::string_view DATA_BIN = "bindata/data.bin";
inline constexpr std::string_view VALID_BIN = "bindata/valid.bin";
inline constexpr std::string_view REVISION = "ISO5436 - 2000";

// Values handled at a time, by either side: 64 Ki points of up to 8 bytes.
inline constexpr std::size_t PIECE_POINTS = 65536;

// A value as little-endian bytes, as the data and the XDT files keep them.
template <typename T>
inline void store_little(T value, unsigned char* bytes) {
  if constexpr (std::endian::native == std::endian::big) {
    unsigned char reversed[sizeof(T)];
    std::memcpy(reversed, &value, sizeof(T));
    for (std::size_t i = 0; i < sizeof(T); ++i) bytes[i] = reversed[sizeof(T) - 1 - i];
  } else {
    std::memcpy(bytes, &value, sizeof(T));
  }
}

inline std::size_t type_size(X3pDataType type) {
  switch (type) {
    case X3P_INT16:
      return 2;
    case X3P_INT32:
      return 4;
    case X3P_FLOAT32:
      return 4;
    case X3P_FLOAT64:
      return 8;
  }
  return 0;
}

// One running MD5 sum. Only a failed allocation inside OpenSSL can make it
// unusable; ok() tells.
class Md5 {
 public:
  Md5() : context_(EVP_MD_CTX_new()) {
    if (context_ != nullptr && EVP_DigestInit_ex(context_, EVP_md5(), nullptr) != 1) {
      EVP_MD_CTX_free(context_);
      context_ = nullptr;
    }
  }
  ~Md5() { EVP_MD_CTX_free(context_); }
  Md5(const Md5&) = delete;
  Md5& operator=(const Md5&) = delete;
  bool ok() const { return context_ != nullptr; }
  void add(const void* bytes, std::size_t size) {
    if (context_ != nullptr && size > 0) EVP_DigestUpdate(context_, bytes, size);
  }
  void wait() {}
  // 32 lower-case hex digits and a NUL; the sum cannot be added to afterwards.
  std::array<char, 33> hex() {
    std::array<char, 33> text{};
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    if (context_ == nullptr || EVP_DigestFinal_ex(context_, digest, &length) != 1 || length != 16)
      return text;
    static constexpr char digits[] = "0123456789abcdef";
    for (unsigned i = 0; i < 16; ++i) {
      text[2 * i] = digits[digest[i] >> 4];
      text[2 * i + 1] = digits[digest[i] & 15];
    }
    return text;
  }

 private:
  EVP_MD_CTX* context_;
};

// Work done on a helper thread beside the caller's, a piece at a time:
// Work::add(bytes, size) for each piece, in order. Where no thread can be
// had, the pieces are worked on the caller's thread.
template <typename Work>
class PieceThread {
 public:
  PieceThread() { started_ = start_quiet_thread(&thread_, &PieceThread::run, this); }
  ~PieceThread() {
    if (!started_) return;
    pthread_mutex_lock(&lock_);
    quit_ = true;
    pthread_cond_signal(&work_);
    pthread_mutex_unlock(&lock_);
    pthread_join(thread_, nullptr);
  }
  PieceThread(const PieceThread&) = delete;
  PieceThread& operator=(const PieceThread&) = delete;

  // Hands the bytes over once the piece before is done; they must stay as
  // they are until the next add or wait returns.
  void add(const void* bytes, std::size_t size) {
    if (!started_) {
      worker_.add(bytes, size);
      return;
    }
    pthread_mutex_lock(&lock_);
    while (pending_) pthread_cond_wait(&done_, &lock_);
    bytes_ = bytes;
    size_ = size;
    pending_ = true;
    pthread_cond_signal(&work_);
    pthread_mutex_unlock(&lock_);
  }
  void wait() {
    if (!started_) return;
    pthread_mutex_lock(&lock_);
    while (pending_) pthread_cond_wait(&done_, &lock_);
    pthread_mutex_unlock(&lock_);
  }
  // The work, every piece handed over done.
  Work& worker() {
    wait();
    return worker_;
  }

 private:
  static void* run(void* self) {
    auto* me = static_cast<PieceThread*>(self);
    pthread_mutex_lock(&me->lock_);
    for (;;) {
      while (!me->pending_ && !me->quit_) pthread_cond_wait(&me->work_, &me->lock_);
      if (!me->pending_) break;
      pthread_mutex_unlock(&me->lock_);
      me->worker_.add(me->bytes_, me->size_);
      pthread_mutex_lock(&me->lock_);
      me->pending_ = false;
      pthread_cond_signal(&me->done_);
    }
    pthread_mutex_unlock(&me->lock_);
    return nullptr;
  }

  Work worker_;
  pthread_t thread_{};
  pthread_mutex_t lock_ = PTHREAD_MUTEX_INITIALIZER;
  pthread_cond_t work_ = PTHREAD_COND_INITIALIZER;
  pthread_cond_t done_ = PTHREAD_COND_INITIALIZER;
  const void* bytes_ = nullptr;
  std::size_t size_ = 0;
  bool pending_ = false;
  bool quit_ = false;
  bool started_ = false;
};

// An MD5 sum taken beside the caller's work: the sum of a point data part
// costs as much as everything else done with it.
class SumThread : public PieceThread<Md5> {
 public:
  bool ok() { return worker().ok(); }
  std::array<char, 33> hex() { return worker().hex(); }
};

}  // namespace x3p

// Whether the writer writes straight into the final file (a device, or an
// old file in a folder that refuses new ones), which stopping would cut.
bool x3p_writer_in_place(const X3pWriter* writer);
