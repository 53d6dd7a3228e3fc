#include "system/command_lock.h"

#include <mutex>

namespace tapline::system {
namespace {

std::recursive_mutex& command_mutex() {
  static std::recursive_mutex mutex;
  return mutex;
}

}  // namespace

CommandLock::CommandLock() { command_mutex().lock(); }
CommandLock::~CommandLock() { command_mutex().unlock(); }

}  // namespace tapline::system
