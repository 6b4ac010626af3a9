#pragma once

#include "SettingsFile.h"

#include <chrono>
#include <cstdint>
#include <string>

// What a slot can be in alarm for. Each alarm is a state with a start and an end.
// NotRecording catches whatever else keeps a slot that should record from it;
// FolderNotAnswering is raised from outside the slot while its work is stuck.
enum class TAlarmKind { Silence, InputLost, EncoderFailing, LowDisk, AudioDropped, NotRecording, FolderNotAnswering };
inline constexpr TAlarmKind AlarmKinds[] = {TAlarmKind::Silence,        TAlarmKind::InputLost,
                                            TAlarmKind::EncoderFailing, TAlarmKind::LowDisk,
                                            TAlarmKind::AudioDropped,   TAlarmKind::NotRecording,
                                            TAlarmKind::FolderNotAnswering};

// The kind as the catalogue's events, the web service, the metrics and the
// alarm hook name it ("silence", "input_lost", ...).
const char* AlarmKindName(TAlarmKind kind);
// The kind as the log and the window say it ("Silence", "Input lost", ...).
const char* AlarmKindLabel(TAlarmKind kind);

struct TAlarm {
    TAlarmKind Kind = TAlarmKind::Silence;
    std::chrono::system_clock::time_point Since;
    std::string Text; // "Silence since 14:03:12"
    std::string Folder;        // the catalogue that holds its event
    std::int64_t EventId = 0;  // 0: the catalogue refused the event
};

// A raise or a clear, as the alarm hook is told of it.
struct TAlarmChange {
    TAlarmKind Kind = TAlarmKind::Silence;
    bool Raised = false;
    std::string Text; // the log line without the slot's name
};

// Section "Alarms": the free space below which a slot's folder is in alarm,
// how long a slot that should record may get no audio into a file, and the
// program run on every raise and clear ("" for none).
struct TAlarmSettings {
    int MinFreeGB = 2;
    int NotRecordingSeconds = 30;
    std::string Command;

    static TAlarmSettings Read(const TSettingsFile& file);
};

// "hh:mm:ss" of a duration; the hours go on past a day.
std::string AlarmDurationText(std::chrono::system_clock::duration d);
