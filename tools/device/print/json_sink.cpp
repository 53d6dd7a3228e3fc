#include <type_traits>

#include "core/usage_names.h"
#include "print/print_sinks.h"

namespace tapline::device {
namespace {

// ["LShift","a"]: modifier names then key labels.
void append_key_names(LineBuffer& line, uint8_t modifiers, const uint8_t* keys, size_t count) {
  line.append_char('[');
  bool first = true;
  auto item = [&](const char* name) {
    if (!first) line.append_char(',');
    first = false;
    line.append_json_string(name);
  };
  for (unsigned bit = 0; bit < 8; ++bit)
    if ((modifiers & (1u << bit)) != 0) item(modifier_name(bit));
  for (size_t i = 0; i < count; ++i)
    if (keys[i] != 0) item(key_label(keys[i]).c_str());
  line.append_char(']');
}

// ["left","middle"] for the mouse, [0,3] for the joystick.
void append_button_list(LineBuffer& line, unsigned bits, bool joystick) {
  line.append_char('[');
  bool first = true;
  for (unsigned bit = 0; bit < 16; ++bit) {
    if ((bits & (1u << bit)) == 0) continue;
    if (!first) line.append_char(',');
    first = false;
    if (joystick)
      line.appendf("%u", bit);
    else
      line.append_json_string(mouse_button_name(bit));
  }
  line.append_char(']');
}

void append_consumer_list(LineBuffer& line, uint16_t usage) {
  line.append_char('[');
  if (usage != 0) {
    const char* name = consumer_usage_name(usage);
    if (name != nullptr) {
      line.append_json_string(name);
    } else {
      char hex[8];
      std::snprintf(hex, sizeof hex, "0x%04x", usage);
      line.append_json_string(hex);
    }
  }
  line.append_char(']');
}

void append_name_or_null(LineBuffer& line, const char* name) {
  if (name != nullptr)
    line.append_json_string(name);
  else
    line.append("null");
}

void append_fields(LineBuffer& line, const Frame& frame) {
  std::visit(
      [&](const auto& f) {
        using Fields = std::decay_t<decltype(f)>;
        if constexpr (std::is_same_v<Fields, KeyboardFields>) {
          line.appendf(",\"modifier_bits\":%u,\"modifiers\":", f.modifiers);
          append_key_names(line, f.modifiers, nullptr, 0);
          line.append(",\"keys\":[");
          bool first = true;
          for (const uint8_t value : f.keys) {
            if (value == 0) continue;
            if (!first) line.append_char(',');
            first = false;
            line.appendf("{\"usage\":%u,\"name\":", value);
            line.append_json_string(key_label(value).c_str());
            line.appendf(",\"shift\":%s}", has_shift_flag(value) ? "true" : "false");
          }
          line.append_char(']');
        } else if constexpr (std::is_same_v<Fields, MouseFields>) {
          line.appendf(",\"button_bits\":%u,\"buttons\":", f.buttons);
          append_button_list(line, f.buttons, false);
          line.appendf(",\"wheel\":%d,\"dx\":%d,\"dy\":%d", f.wheel, f.dx, f.dy);
        } else if constexpr (std::is_same_v<Fields, AbsoluteMouseFields>) {
          line.appendf(",\"button_bits\":%u,\"buttons\":", f.buttons);
          append_button_list(line, f.buttons, false);
          line.appendf(",\"wheel\":%d,\"x\":%u,\"y\":%u", f.wheel, f.x, f.y);
        } else if constexpr (std::is_same_v<Fields, JoystickFields>) {
          line.appendf(",\"button_bits\":%u,\"buttons\":", f.buttons);
          append_button_list(line, f.buttons, true);
        } else if constexpr (std::is_same_v<Fields, ConsumerFields>) {
          line.appendf(",\"usage\":%u,\"name\":", f.usage);
          append_name_or_null(line, consumer_usage_name(f.usage));
        } else if constexpr (std::is_same_v<Fields, SystemControlFields>) {
          line.appendf(",\"request\":%u,\"name\":", f.request);
          append_name_or_null(line, system_request_name(f.request));
        } else if constexpr (std::is_same_v<Fields, TouchFields>) {
          line.appendf(",\"state\":%u,\"contact\":%u,\"x\":%u,\"y\":%u", f.state, f.contact, f.x,
                       f.y);
        } else if constexpr (std::is_same_v<Fields, DeviceCommandFields>) {
          line.appendf(",\"command\":%u,\"complement\":%u,\"name\":", f.command, f.complement);
          append_name_or_null(line, device_command_name(f.command, f.complement));
        }
      },
      frame.fields);
}

void append_change(LineBuffer& line, const Frame& frame, const StateChange& change) {
  switch (frame.type) {
    case ReportType::Keyboard:
      line.append(",\"pressed\":");
      append_key_names(line, change.modifiers_pressed, change.keys_pressed.begin(),
                       change.keys_pressed.count);
      line.append(",\"released\":");
      append_key_names(line, change.modifiers_released, change.keys_released.begin(),
                       change.keys_released.count);
      break;
    case ReportType::Mouse:
    case ReportType::AbsoluteMouse:
    case ReportType::Joystick: {
      const bool joystick = frame.type == ReportType::Joystick;
      line.append(",\"pressed\":");
      append_button_list(line, change.buttons_pressed, joystick);
      line.append(",\"released\":");
      append_button_list(line, change.buttons_released, joystick);
      break;
    }
    case ReportType::Consumer:
      line.append(",\"pressed\":");
      append_consumer_list(line, change.consumer_pressed);
      line.append(",\"released\":");
      append_consumer_list(line, change.consumer_released);
      break;
    case ReportType::Touch:
      line.append(",\"event\":");
      line.append_json_string(touch_event_name(change.touch));
      break;
    case ReportType::SystemControl:
    case ReportType::DeviceCommand:
      break;
  }
}

void append_held(LineBuffer& line, uint8_t channel, const TargetState& target) {
  line.appendf("{\"channel\":%u,\"keys\":", channel);
  append_key_names(line, target.modifiers, target.keys.data(), target.keys.size());
  line.append(",\"mouse_buttons\":");
  append_button_list(line, target.mouse_buttons, false);
  line.append(",\"absolute_buttons\":");
  append_button_list(line, target.absolute_buttons, false);
  line.append(",\"joystick_buttons\":");
  append_button_list(line, target.joystick_buttons, true);
  line.append(",\"consumer\":");
  append_consumer_list(line, target.consumer_usage);
  line.append(",\"contacts\":[");
  const char* separator = "";
  for (size_t c = 0; c < target.contacts.size(); ++c) {
    if (!target.contacts[c].down) continue;
    line.appendf("%s%zu", separator, c);
    separator = ",";
  }
  line.append("]}");
}

}  // namespace

void JsonSink::on_frame(const ReceivedFrame& received) {
  const Frame& frame = received.frame;
  line_.appendf("{\"seq\":%llu,\"time_ms\":%.3f,\"channel\":%u,\"type\":\"%s\",\"type_byte\":\"",
                static_cast<unsigned long long>(received.sequence), received.time_ms, frame.channel,
                report_type_name(static_cast<uint8_t>(frame.type)));
  line_.append_hex(&frame.type_byte, 1, '\0');
  line_.append("\",\"report\":\"");
  line_.append_hex(frame.report.data(), frame.report_length, '\0');
  line_.append_char('"');
  append_fields(line_, frame);
  append_change(line_, frame, received.change);
  line_.append_char('}');
  line_.write_line(out_);
}

void JsonSink::on_rejected(const RejectedDatagram& rejected) {
  line_.appendf("{\"seq\":%llu,\"time_ms\":%.3f,\"error\":",
                static_cast<unsigned long long>(rejected.sequence), rejected.time_ms);
  line_.append_json_string(fault_name(rejected.fault));
  line_.append(",\"detail\":");
  line_.append_json_string(rejected.detail);
  line_.appendf(",\"size\":%zu,\"datagram\":\"", rejected.size);
  line_.append_hex(rejected.data, rejected.kept, '\0');
  line_.append("\"}");
  line_.write_line(out_);
}

void JsonSink::on_leds(const LedReport& report) {
  line_.appendf("{\"time_ms\":%.3f,\"channel\":%u,\"leds\":\"%02x\",\"lit\":[", report.time_ms,
                report.channel, report.leds);
  const char* separator = "";
  for (unsigned bit = 0; led_name(bit) != nullptr; ++bit) {
    if ((report.leds & (1u << bit)) == 0) continue;
    line_.append(separator);
    line_.append_json_string(led_name(bit));
    separator = ",";
  }
  line_.append("]}");
  line_.write_line(out_);
}

void JsonSink::on_finish(const Summary& summary) {
  const Counters& counters = summary.counters;
  line_.appendf(
      "{\"summary\":{\"frames\":%llu,\"bad_frames\":%llu,\"kernel_drops\":%llu,\"types\":{",
      static_cast<unsigned long long>(counters.frames),
      static_cast<unsigned long long>(counters.bad_frames),
      static_cast<unsigned long long>(counters.kernel_drops));
  for (size_t code = 1; code < kReportTypeCount; ++code)
    line_.appendf("%s\"%s\":%llu", code == 1 ? "" : ",",
                  report_type_name(static_cast<uint8_t>(code)),
                  static_cast<unsigned long long>(counters.per_type[code]));
  line_.append("},\"faults\":{");
  for (size_t fault = 0; fault < kFrameFaultCount; ++fault) {
    if (fault != 0) line_.append_char(',');
    line_.append_json_string(fault_name(static_cast<FrameFault>(fault)));
    line_.appendf(":%llu", static_cast<unsigned long long>(counters.per_fault[fault]));
  }
  line_.append("},\"held\":[");
  const char* separator = "";
  for (uint8_t channel = 0; channel < kChannelCount; ++channel) {
    const TargetState& target = summary.state.target(channel);
    if (!target.anything_held()) continue;
    line_.append(separator);
    append_held(line_, channel, target);
    separator = ",";
  }
  line_.append("]}}");
  line_.write_line(out_);
}

}  // namespace tapline::device
