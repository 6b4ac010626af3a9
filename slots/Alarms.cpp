#include "Alarms.h"

#include "TextTools.h"

#include <algorithm>
#include <iterator>

namespace {

// In the order of TAlarmKind.
struct TKindText {
    const char* Name;
    const char* Label;
};
constexpr TKindText KindTexts[] = {{"silence", "Silence"},
                                   {"input_lost", "Input lost"},
                                   {"encoder_failing", "Encoder failing"},
                                   {"low_disk", "Low disk space"},
                                   {"audio_dropped", "Audio dropped"},
                                   {"not_recording", "Not recording"},
                                   {"folder_not_answering", "Folder not answering"}};
static_assert(std::size(KindTexts) == std::size(AlarmKinds));

} // namespace

const char* AlarmKindName(TAlarmKind kind) { return KindTexts[static_cast<std::size_t>(kind)].Name; }

const char* AlarmKindLabel(TAlarmKind kind) { return KindTexts[static_cast<std::size_t>(kind)].Label; }

TAlarmSettings TAlarmSettings::Read(const TSettingsFile& file) {
    TAlarmSettings s;
    s.MinFreeGB = file.ReadInteger("Alarms", "MinFreeGB", s.MinFreeGB);
    // 0 or less would put every slot in alarm between two blocks.
    s.NotRecordingSeconds = std::max(file.ReadInteger("Alarms", "NotRecordingSeconds", s.NotRecordingSeconds), 1);
    s.Command = file.ReadString("Alarms", "Command", s.Command);
    return s;
}

std::string AlarmDurationText(std::chrono::system_clock::duration d) {
    const auto seconds = std::max<long long>(0, std::chrono::duration_cast<std::chrono::seconds>(d).count());
    return Format("%02lld:%02lld:%02lld", seconds / 3600, seconds / 60 % 60, seconds % 60);
}
