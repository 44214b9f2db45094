// Server answers as the agent reads them: deciphered and parsed as the start and the pop-up
// answer, and the same bytes parsed as plain text.
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <string>

#include "agent/answer_text.h"
#include "agent/crypto/answer_cipher.h"
#include "agent/popup_schedule.h"
#include "agent/query_cycle.h"
#include "agent/update_response.h"
#include "platform/folders.h"

namespace {

std::u16string DataFolder() {
  static const std::u16string folder = [] {
    auto path = std::filesystem::temp_directory_path() / "vexo-answer-fuzzer" / "vexo";
    std::filesystem::create_directories(path);
    return path.u16string() + vexo::platform::PathSeparator();
  }();
  return folder;
}

void ReadAsBothAnswers(const std::u16string& text) {
  vexo::StartAnswer start;
  vexo::ParseUpdateResponse(text, DataFolder, start);
  vexo::PopupSchedule schedule;
  vexo::PopupContext context{DataFolder, [] { return vexo::platform::LocalDate{2026, 12, 8}; }};
  schedule.ParsePopupResponse(text, context);
  schedule.ParsePopupResponse(text, context);  // the same stamp again
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size > vexo::ANSWER_BUFFER_SIZE)
    size = vexo::ANSWER_BUFFER_SIZE;
  ReadAsBothAnswers(vexo::WidenAnsi(vexo::DecipherAnswer(data, static_cast<uint32_t>(size))));
  ReadAsBothAnswers(vexo::WidenAnsi(std::string(reinterpret_cast<const char*>(data), size)));
  return 0;
}
