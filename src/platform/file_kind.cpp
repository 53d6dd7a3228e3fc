#include "platform/file_kind.h"

#include <sys/stat.h>

namespace tapline::platform {

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

}  // namespace tapline::platform
