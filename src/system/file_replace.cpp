#include "system/file_replace.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace tapline::system {

const char* unreplaceable_file_kind(const char* path, Replacing how) {
  struct stat info {};
  if ((how == Replacing::by_rename ? lstat(path, &info) : stat(path, &info)) != 0)
    return nullptr;  // absent (or unreachable: the write says why)
  if (S_ISREG(info.st_mode) || S_ISLNK(info.st_mode)) return nullptr;
  if (S_ISDIR(info.st_mode)) return "a directory";
  if (S_ISFIFO(info.st_mode)) return "a FIFO";
  if (S_ISSOCK(info.st_mode)) return "a socket";
  return "a device node";
}

namespace {

bool fail(std::string& error, const char* reason) {
  error = reason;
  return false;
}

}  // namespace

bool write_file_replacing(const char* path, const std::vector<uint8_t>& bytes, std::string& error,
                          Readers readers) {
  // Written beside the target and renamed over it, so that a failed write leaves any
  // existing file as it was.
  std::string temporary;
  int fd = -1;
  for (int attempt = 0; attempt < 100 && fd < 0; ++attempt) {
    temporary =
        std::string(path) + ".tmp" + std::to_string(::getpid()) + "_" + std::to_string(attempt);
    fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC,
                readers == Readers::owner_only ? 0600 : 0666);
    if (fd < 0 && errno != EEXIST) break;
  }
  if (fd < 0) return fail(error, std::strerror(errno));
  bool ok = true;
  // A umask may take the owner's own bits away too; the mode is set before the file has
  // its name, so no one else can open it in between.
  if (readers == Readers::owner_only && ::fchmod(fd, 0600) != 0)
    ok = fail(error, std::strerror(errno));
  size_t done = 0;
  while (ok && done < bytes.size()) {
    const ssize_t wrote = ::write(fd, bytes.data() + done, bytes.size() - done);
    if (wrote >= 0) {
      done += static_cast<size_t>(wrote);
    } else if (errno != EINTR) {
      ok = fail(error, std::strerror(errno));
    }
  }
  if (::close(fd) != 0 && ok) ok = fail(error, std::strerror(errno));
  if (ok && ::rename(temporary.c_str(), path) != 0) ok = fail(error, std::strerror(errno));
  if (!ok) ::unlink(temporary.c_str());
  return ok;
}

}  // namespace tapline::system
