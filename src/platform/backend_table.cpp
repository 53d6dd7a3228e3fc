#include "platform/backend_table.h"

namespace tapline::platform {

std::string list_reasons(const std::vector<BackendRefusal>& refusals) {
  if (refusals.size() == 1) return refusals.front().why_not;
  std::string text;
  for (const BackendRefusal& refusal : refusals)
    text += (text.empty() ? "" : "; ") + refusal.name + ": " + refusal.why_not;
  return text;
}

}  // namespace tapline::platform
