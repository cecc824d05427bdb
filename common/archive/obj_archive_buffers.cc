// Byte buffers of the archive formats and the whole-file read they share.
#include "common/archive/obj_archive_buffers.h"

#ifdef _WIN32
#include <windows.h>

#include "common/platform/paths.h"
#include "common/platform/win_text.h"
#else
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <new>
#include <stdexcept>

#include "common/platform/text.h"

namespace {
constexpr size_t kFirstChunk = size_t(64) << 10;  // small archives stay small
constexpr size_t kChunk = size_t(8) << 20;
constexpr size_t kHugePage = size_t(2) << 20;
constexpr size_t kHugeFrom = size_t(2) << 20;
}  // namespace

TObsBlock::TObsBlock(size_t n) {
  // Large blocks get a huge page of slack and start on a huge page boundary, so that all
  // of the block can be on huge pages (the slack is never touched). A plain allocation
  // keeps the allocator's own reuse of large blocks from one archive to the next.
  const bool huge = n >= kHugeFrom;
  base_ = std::malloc(huge ? n + kHugePage : (n ? n : 1));
  if (!base_) throw std::bad_alloc();
  data_ = static_cast<char*>(base_);
  if (huge) {
    data_ = reinterpret_cast<char*>((reinterpret_cast<uintptr_t>(base_) + kHugePage - 1) & ~(kHugePage - 1));
#ifndef _WIN32
    ::madvise(data_, (n + kHugePage - 1) & ~(kHugePage - 1), MADV_HUGEPAGE);
#endif
  }
}

void TObsBytes::Reserve(size_t n) {
  if (n <= cap_) return;
  const size_t cap = std::max({n, 2 * cap_, size_t(64)});
  TObsBlock bigger(cap);
  if (size_) std::memcpy(bigger.Data(), data_.Data(), size_);
  data_ = std::move(bigger);
  cap_ = cap;
}

bool ObsReadWholeFile(const std::string& path, TObsBlock& out, size_t& size) {
#ifdef _WIN32
  // The platform's file read, then one copy into the block.
  std::string bytes;
  if (!ReadFileBytes(path, bytes)) return false;
  TObsBlock buf(bytes.size() + 1);
  if (!bytes.empty()) std::memcpy(buf.Data(), bytes.data(), bytes.size());
  out = std::move(buf);
  size = bytes.size();
  return true;
#else
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  struct stat st {};
  // One byte of room past the expected end lets the read that sees the end return 0
  // without growing the buffer.
  size_t cap = ::fstat(fd, &st) == 0 && st.st_size > 0 ? size_t(st.st_size) + 1 : 65536;
  TObsBlock buf(cap);
  size_t n = 0;
  for (;;) {
    if (n == cap) {
      TObsBlock bigger(2 * cap);
      std::memcpy(bigger.Data(), buf.Data(), n);
      buf = std::move(bigger);
      cap *= 2;
    }
    const ssize_t r = ::read(fd, buf.Data() + n, cap - n);
    if (r < 0 && errno == EINTR) continue;
    if (r < 0) {
      ::close(fd);
      return false;
    }
    if (r == 0) break;
    n += size_t(r);
  }
  ::close(fd);
  out = std::move(buf);
  size = n;
  return true;
#endif
}


char* TObsArena::Room(size_t n) {
  if (n > left_) {
    const size_t size = std::max(n, chunks_.empty() ? kFirstChunk : kChunk);
    chunks_.emplace_back(size);
    at_ = chunks_.back().Data();
    left_ = size;
  }
  char* p = at_;
  at_ += n;
  left_ -= n;
  return p;
}

void ObsWriteFile(const std::string& path, const std::vector<std::string_view>& pieces, unsigned mode,
                  const std::string& createFailure, const std::string& writeFailure) {
#ifdef _WIN32
  (void)mode;  // the file takes the folder's access list
  HANDLE h = CreateFileW(WideText(path).c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL,
                         nullptr);
  if (h == INVALID_HANDLE_VALUE) throw std::runtime_error(createFailure);
  for (std::string_view piece : pieces) {
    while (!piece.empty()) {
      DWORD n = 0;
      if (!WriteFile(h, piece.data(), DWORD(std::min<size_t>(piece.size(), 1u << 30)), &n, nullptr) || n == 0) {
        CloseHandle(h);
        throw std::runtime_error(writeFailure);
      }
      piece.remove_prefix(n);
    }
  }
  if (!CloseHandle(h)) throw std::runtime_error(writeFailure);
#else
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, mode);
  if (fd < 0) throw std::runtime_error(createFailure);
  for (const std::string_view piece : pieces) {
    const char* data = piece.data();
    size_t size = piece.size();
    while (size > 0) {
      const ssize_t n = ::write(fd, data, size);
      if (n < 0) {
        if (errno == EINTR) continue;
        ::close(fd);
        throw std::runtime_error(writeFailure);
      }
      data += n;
      size -= size_t(n);
    }
  }
  if (::close(fd) != 0) throw std::runtime_error(writeFailure);
#endif
}

bool ObsUtf16LeToUtf8(const char* p, size_t size, TObsBytes& text, bool keepMark) {
  const auto b = [p](size_t i) { return static_cast<unsigned char>(p[i]); };
  if (size < 4 || size % 2 != 0 || b(0) != 0xFF || b(1) != 0xFE || (b(2) == 0 && b(3) == 0)) return false;
  if (keepMark) std::memcpy(text.Grow(3), "\xEF\xBB\xBF", 3);
  const size_t units = size / 2 - 1;
  char* d = text.Grow(3 * units);  // the most a unit can take
  text.Truncate(text.Size() - 3 * units + Utf16LeToUtf8(p + 2, units, d));
  return true;
}
