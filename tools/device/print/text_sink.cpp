#include <type_traits>

#include "core/usage_names.h"
#include "print/print_sinks.h"

namespace tapline::device {
namespace {

// Reports shown in text are padded to the width of the keyboard report so that the
// decoded fields of the common reports line up.
constexpr int kReportColumnWidth = 8 * 3 - 1;
// A malformed datagram can be long; the text line shows its start.
constexpr size_t kShownBadBytes = 32;

void append_key_list(LineBuffer& line, uint8_t modifiers, const uint8_t* keys, size_t count) {
  bool first = true;
  auto separate = [&] {
    if (!first) line.append_char(' ');
    first = false;
  };
  for (unsigned bit = 0; bit < 8; ++bit) {
    if ((modifiers & (1u << bit)) == 0) continue;
    separate();
    line.append(modifier_name(bit));
  }
  for (size_t i = 0; i < count; ++i) {
    if (keys[i] == 0) continue;
    separate();
    line.append(key_label(keys[i]).c_str());
  }
}

// Buttons named for the mouse, numbered for the joystick.
void append_buttons(LineBuffer& line, unsigned bits, bool joystick) {
  bool first = true;
  for (unsigned bit = 0; bit < 16; ++bit) {
    if ((bits & (1u << bit)) == 0) continue;
    if (!first) line.append_char(' ');
    first = false;
    if (joystick)
      line.appendf("%u", bit);
    else
      line.append(mouse_button_name(bit));
  }
}

void append_consumer(LineBuffer& line, uint16_t usage) {
  if (const char* name = consumer_usage_name(usage))
    line.append(name);
  else
    line.appendf("0x%04x", usage);
}

void describe_fields(LineBuffer& line, const Frame& frame) {
  std::visit(
      [&](const auto& f) {
        using Fields = std::decay_t<decltype(f)>;
        if constexpr (std::is_same_v<Fields, KeyboardFields>) {
          line.append("keys: ");
          const bool any = f.modifiers != 0 || f.keys != decltype(f.keys){};
          if (any)
            append_key_list(line, f.modifiers, f.keys.data(), f.keys.size());
          else
            line.append("none");
        } else if constexpr (std::is_same_v<Fields, MouseFields>) {
          line.append("buttons: ");
          if (f.buttons != 0)
            append_buttons(line, f.buttons, false);
          else
            line.append("none");
          line.appendf("  wheel %d  dx %d  dy %d", f.wheel, f.dx, f.dy);
        } else if constexpr (std::is_same_v<Fields, AbsoluteMouseFields>) {
          line.appendf("at %u,%u  buttons: ", f.x, f.y);
          if (f.buttons != 0)
            append_buttons(line, f.buttons, false);
          else
            line.append("none");
          line.appendf("  wheel %d", f.wheel);
        } else if constexpr (std::is_same_v<Fields, JoystickFields>) {
          line.append("buttons: ");
          if (f.buttons != 0)
            append_buttons(line, f.buttons, true);
          else
            line.append("none");
        } else if constexpr (std::is_same_v<Fields, ConsumerFields>) {
          line.appendf("usage 0x%04x", f.usage);
          if (f.usage == 0) {
            line.append(" (no key)");
          } else if (const char* name = consumer_usage_name(f.usage)) {
            line.append_char(' ');
            line.append(name);
          }
        } else if constexpr (std::is_same_v<Fields, SystemControlFields>) {
          line.appendf("request %u ", f.request);
          const char* name = system_request_name(f.request);
          line.append(name != nullptr ? name : f.request == 0 ? "(none)" : "(unknown)");
        } else if constexpr (std::is_same_v<Fields, TouchFields>) {
          if (f.state != 0)
            line.appendf("contact %u touching at %u,%u", f.contact, f.x, f.y);
          else
            line.appendf("contact %u lifted", f.contact);
        } else if constexpr (std::is_same_v<Fields, DeviceCommandFields>) {
          line.appendf("command %02x %02x ", f.command, f.complement);
          const char* name = device_command_name(f.command, f.complement);
          line.append(name != nullptr ? name : "(unknown)");
        }
      },
      frame.fields);
}

// "  (release a; press b)" for what the frame changed on its target; nothing when the
// frame repeats the held state.
void describe_change(LineBuffer& line, const Frame& frame, const StateChange& change) {
  bool opened = false;
  auto open = [&](const char* verb) {
    line.append(opened ? "; " : "  (");
    opened = true;
    line.append(verb);
  };
  switch (frame.type) {
    case ReportType::Keyboard:
      if (change.modifiers_released != 0 || change.keys_released.count != 0) {
        open("release ");
        append_key_list(line, change.modifiers_released, change.keys_released.begin(),
                        change.keys_released.count);
      }
      if (change.modifiers_pressed != 0 || change.keys_pressed.count != 0) {
        open("press ");
        append_key_list(line, change.modifiers_pressed, change.keys_pressed.begin(),
                        change.keys_pressed.count);
      }
      break;
    case ReportType::Mouse:
    case ReportType::AbsoluteMouse:
    case ReportType::Joystick: {
      const bool joystick = frame.type == ReportType::Joystick;
      if (change.buttons_released != 0) {
        open("release ");
        append_buttons(line, change.buttons_released, joystick);
      }
      if (change.buttons_pressed != 0) {
        open("press ");
        append_buttons(line, change.buttons_pressed, joystick);
      }
      break;
    }
    case ReportType::Consumer:
      if (change.consumer_released != 0) {
        open("release ");
        append_consumer(line, change.consumer_released);
      }
      if (change.consumer_pressed != 0) {
        open("press ");
        append_consumer(line, change.consumer_pressed);
      }
      break;
    case ReportType::Touch:
      open(touch_event_name(change.touch));
      break;
    case ReportType::SystemControl:
    case ReportType::DeviceCommand:
      break;
  }
  if (opened) line.append_char(')');
}

void append_held(LineBuffer& line, const TargetState& target) {
  const char* separator = "";
  if (target.modifiers != 0 || target.keys != decltype(target.keys){}) {
    line.append("keys ");
    append_key_list(line, target.modifiers, target.keys.data(), target.keys.size());
    separator = "; ";
  }
  auto buttons = [&](const char* what, unsigned bits, bool joystick) {
    if (bits == 0) return;
    line.append(separator);
    line.append(what);
    append_buttons(line, bits, joystick);
    separator = "; ";
  };
  buttons("mouse ", target.mouse_buttons, false);
  buttons("absolute mouse ", target.absolute_buttons, false);
  buttons("joystick ", target.joystick_buttons, true);
  if (target.consumer_usage != 0) {
    line.append(separator);
    line.append("consumer ");
    append_consumer(line, target.consumer_usage);
    separator = "; ";
  }
  if (target.contacts_down() != 0) {
    line.append(separator);
    line.append("contacts");
    for (size_t c = 0; c < target.contacts.size(); ++c)
      if (target.contacts[c].down) line.appendf(" %zu", c);
  }
}

}  // namespace

void TextSink::on_frame(const ReceivedFrame& received) {
  const Frame& frame = received.frame;
  line_.appendf("%10.3f ms  ch%u %-13s ", received.time_ms, frame.channel,
                report_type_name(static_cast<uint8_t>(frame.type)));
  line_.append_hex(frame.report.data(), frame.report_length, ' ');
  for (int pad = frame.report_length * 3 - 1; pad < kReportColumnWidth; ++pad)
    line_.append_char(' ');
  line_.append("  ");
  describe_fields(line_, frame);
  describe_change(line_, frame, received.change);
  line_.write_line(out_);
}

void TextSink::on_rejected(const RejectedDatagram& rejected) {
  line_.appendf("%10.3f ms  bad frame (%s): %s", rejected.time_ms, fault_name(rejected.fault),
                rejected.detail);
  if (rejected.kept > 0) {
    line_.append("; datagram ");
    const size_t shown = rejected.kept < kShownBadBytes ? rejected.kept : kShownBadBytes;
    line_.append_hex(rejected.data, shown, ' ');
    if (shown < rejected.size) line_.append(" ...");
  }
  line_.write_line(out_);
}

void TextSink::on_leds(const LedReport& report) {
  line_.appendf("%10.3f ms  ch%u %-13s %02x", report.time_ms, report.channel, "LEDs", report.leds);
  for (int pad = 2; pad < kReportColumnWidth; ++pad) line_.append_char(' ');
  line_.append("  lit:");
  for (unsigned bit = 0; led_name(bit) != nullptr; ++bit)
    if ((report.leds & (1u << bit)) != 0) line_.appendf(" %s", led_name(bit));
  if (report.leds == 0) line_.append(" none");
  line_.write_line(out_);
}

void TextSink::on_finish(const Summary& summary) {
  const Counters& counters = summary.counters;
  line_.appendf("summary: %llu frame%s, %llu bad frame%s",
                static_cast<unsigned long long>(counters.frames), counters.frames == 1 ? "" : "s",
                static_cast<unsigned long long>(counters.bad_frames),
                counters.bad_frames == 1 ? "" : "s");
  line_.write_line(out_);
  if (counters.frames != 0) {
    line_.append("  frames by type:");
    for (size_t code = 1; code < kReportTypeCount; ++code)
      if (counters.per_type[code] != 0)
        line_.appendf(" %s %llu", report_type_name(static_cast<uint8_t>(code)),
                      static_cast<unsigned long long>(counters.per_type[code]));
    line_.write_line(out_);
  }
  if (counters.bad_frames != 0) {
    line_.append("  bad frames by reason:");
    const char* separator = " ";
    for (size_t fault = 0; fault < kFrameFaultCount; ++fault) {
      if (counters.per_fault[fault] == 0) continue;
      line_.appendf("%s%s %llu", separator, fault_name(static_cast<FrameFault>(fault)),
                    static_cast<unsigned long long>(counters.per_fault[fault]));
      separator = ", ";
    }
    line_.write_line(out_);
  }
  if (counters.kernel_drops != 0) {
    line_.appendf("  dropped by the kernel before reading: %llu",
                  static_cast<unsigned long long>(counters.kernel_drops));
    line_.write_line(out_);
  }
  for (uint8_t channel = 0; channel < kChannelCount; ++channel) {
    const TargetState& target = summary.state.target(channel);
    if (!target.anything_held()) continue;
    line_.appendf("  still held on ch%u: ", channel);
    append_held(line_, target);
    line_.write_line(out_);
  }
}

}  // namespace tapline::device
