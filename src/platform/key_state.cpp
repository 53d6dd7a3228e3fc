#include "platform/key_state.h"

#include "platform/x11/key_state.h"

namespace tapline::platform {
namespace {

KeyStateSource* current = nullptr;

}  // namespace

KeyStateSource& key_state() { return current ? *current : x11_key_state(); }

void set_key_state(KeyStateSource* replacement) { current = replacement; }

}  // namespace tapline::platform
