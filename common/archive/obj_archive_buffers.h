// Byte buffers of the archive formats and the whole-file read they share.
#pragma once
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

// Little-endian words at any alignment inside a checked buffer (the formats are only
// built and read on little-endian machines).
inline uint16_t LoadU16(const char* p) {
  uint16_t v;
  std::memcpy(&v, p, 2);
  return v;
}
inline uint32_t LoadU32(const char* p) {
  uint32_t v;
  std::memcpy(&v, p, 4);
  return v;
}
inline uint64_t LoadU64(const char* p) {
  uint64_t v;
  std::memcpy(&v, p, 8);
  return v;
}

// An uninitialised byte block. Large ones ask for huge pages: touching tens of megabytes
// page by page costs more in page faults than the archive spends on the bytes.
class TObsBlock {
 public:
  TObsBlock() = default;
  explicit TObsBlock(size_t n);
  TObsBlock(TObsBlock&& o) noexcept : data_(o.data_), base_(o.base_) { o.data_ = nullptr, o.base_ = nullptr; }
  TObsBlock& operator=(TObsBlock&& o) noexcept {
    if (this != &o) {
      Release();
      data_ = o.data_;
      base_ = o.base_;
      o.data_ = nullptr;
      o.base_ = nullptr;
    }
    return *this;
  }
  TObsBlock(const TObsBlock&) = delete;
  TObsBlock& operator=(const TObsBlock&) = delete;
  ~TObsBlock() { Release(); }
  char* Data() const { return data_; }
  void Release() {
    std::free(base_);
    data_ = nullptr;
    base_ = nullptr;
  }

 private:
  char* data_ = nullptr;
  void* base_ = nullptr;  // what the allocator handed out (data_ may start further on)
};

// A growable byte buffer that hands out uninitialised room (the archive fills every byte
// it asks for, so zero-filling first would only cost a pass over the memory).
class TObsBytes {
 public:
  char* Grow(size_t n) {
    if (cap_ - size_ < n) Reserve(size_ + n);
    char* p = data_.Data() + size_;
    size_ += n;
    return p;
  }
  void Reserve(size_t n);
  void Clear() { size_ = 0; }
  void Truncate(size_t n) { size_ = n < size_ ? n : size_; }
  void Release() {
    data_.Release();
    size_ = cap_ = 0;
  }
  char* Data() { return data_.Data(); }
  const char* Data() const { return data_.Data(); }
  size_t Size() const { return size_; }

 private:
  TObsBlock data_;
  size_t size_ = 0;
  size_t cap_ = 0;
};

// Room handed out piece after piece from large chunks that never move, so that pieces
// made one after another lie side by side (and go out as one run).
class TObsArena {
 public:
  char* Room(size_t n);
  // Returns the last n bytes of the room handed out last.
  void GiveBack(size_t n) {
    at_ -= n;
    left_ += n;
  }
  void Release() {
    chunks_.clear();
    at_ = nullptr;
    left_ = 0;
  }

 private:
  std::vector<TObsBlock> chunks_;
  char* at_ = nullptr;
  size_t left_ = 0;
};

// Appends a piece to a list of pieces, joining it to the last one when it follows it.
inline void ObsAddPiece(std::vector<std::string_view>& pieces, const char* p, size_t n) {
  if (n == 0) return;
  if (!pieces.empty() && pieces.back().data() + pieces.back().size() == p)
    pieces.back() = std::string_view(pieces.back().data(), pieces.back().size() + n);
  else
    pieces.emplace_back(p, n);
}

// Writes the pieces in order as the whole file (created with the mode, less the umask);
// failures raise std::runtime_error with the first message when the file cannot be
// created, else with the second.
void ObsWriteFile(const std::string& path, const std::vector<std::string_view>& pieces, unsigned mode,
                  const std::string& createFailure, const std::string& writeFailure);

// Text of UTF-16LE with its byte-order mark (the XML archive's file form) as UTF-8, made by
// the programs' own converter (a lone surrogate becomes U+FFFD), with the mark as EF BB BF
// when keepMark. False, text untouched, for any other input: shorter than four bytes (not
// told apart by its mark), of odd length, or with the mark of UTF-32LE.
[[nodiscard]] bool ObsUtf16LeToUtf8(const char* p, size_t size, TObsBytes& text, bool keepMark);

// Reads the whole file into one block; false when it cannot be opened or read.
[[nodiscard]] bool ObsReadWholeFile(const std::string& path, TObsBlock& out, size_t& size);
