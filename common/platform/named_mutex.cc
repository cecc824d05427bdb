#include "common/platform/named_mutex.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include "common/platform/paths.h"

static std::string LockFile(const std::string& name) { return RuntimeDir() + "/" + name + ".lock"; }

TNamedMutex::~TNamedMutex() {
  if (fd_ >= 0) close(fd_);
}

bool TNamedMutex::Acquire(const std::string& name) {
  if (fd_ >= 0) return true;
  int fd = open(LockFile(name).c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0666);
  if (fd < 0) return false;
  if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
    close(fd);
    return false;
  }
  fd_ = fd;
  return true;
}

bool NamedMutexHeld(const std::string& name) {
  int fd = open(LockFile(name).c_str(), O_RDWR | O_CLOEXEC);
  if (fd < 0) return false;
  bool held = flock(fd, LOCK_EX | LOCK_NB) != 0;
  close(fd);
  return held;
}
