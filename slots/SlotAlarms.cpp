#include "SlotInfo.h"

#include "TextTools.h"

#include <algorithm>
#include <cmath>

double TSlotInfo::SilentSeconds() const {
    return static_cast<double>(FMeter->SilentFrames()) / std::max(ActiveSamplerate, 1);
}

std::vector<TAlarm> TSlotInfo::Alarms() const {
    std::vector<TAlarm> alarms;
    {
        std::lock_guard guard(Lock);
        alarms = FAlarms;
    }
    if (auto folder = FolderAlarm()) {
        alarms.push_back(std::move(*folder));
    }
    return alarms;
}

std::optional<TAlarm> TSlotInfo::FolderAlarm() const {
    std::lock_guard guard(FFolderAlarmLock);
    return FFolderAlarm;
}

void TSlotInfo::SetFolderAlarm(bool on, std::uint64_t stuckMs) {
    const auto now = FServices.Now();
    std::optional<TAlarmChange> change;
    {
        std::lock_guard guard(FFolderAlarmLock);
        if (on == FFolderAlarm.has_value()) {
            return;
        }
        const TAlarmKind kind = TAlarmKind::FolderNotAnswering;
        if (on) {
            TAlarm alarm;
            alarm.Kind = kind;
            alarm.Since = now - std::chrono::milliseconds(stuckMs);
            // Folder is changed under Lock, which the stuck work holds: the one it is stuck in.
            alarm.Folder = FFolderInUse;
            alarm.Text = std::string(AlarmKindLabel(kind)) + " since " +
                         FormatTime(ToLocalTime(alarm.Since), "%H:%M:%S") + ": " + alarm.Folder;
            FFolderAlarm = alarm;
            change = TAlarmChange{kind, true, alarm.Text};
        } else {
            // Its event waits for the folder's own catalogue, which answers again now.
            FFolderEventsDue.push_back({*FFolderAlarm, now});
            change = TAlarmChange{kind, false,
                                  std::string(AlarmKindLabel(kind)) + " ended after " +
                                      AlarmDurationText(now - FFolderAlarm->Since)};
            FFolderAlarm.reset();
        }
    }
    Log(change->Text);
    if (OnAlarm) {
        OnAlarm(*this, *change);
    }
}

void TSlotInfo::StoreFolderEvents() {
    std::vector<std::pair<TAlarm, std::chrono::system_clock::time_point>> due;
    {
        std::lock_guard guard(FFolderAlarmLock);
        due.swap(FFolderEventsDue);
    }
    for (auto& [alarm, end] : due) {
        alarm.EventId = StoreEvent(alarm);
        EndEvent(alarm, end);
    }
}

bool TSlotInfo::AlarmActive(TAlarmKind kind) const {
    std::lock_guard guard(Lock);
    return std::any_of(FAlarms.begin(), FAlarms.end(), [&](const TAlarm& a) { return a.Kind == kind; });
}

void TSlotInfo::CheckAlarms() {
    std::lock_guard guard(Lock);
    {
        std::lock_guard folder(FFolderAlarmLock);
        FFolderInUse = Folder;
    }
    StoreFolderEvents();
    const auto now = FServices.Now();
    const std::uint64_t ms = GetMilliseconds();
    using std::chrono::milliseconds;

    const std::uint64_t newlyDropped = FEncoderDropsSeen.Take(FEncoder, DroppedBytes()) +
                                       FInputDropsSeen.Take(FInputStream, InputDroppedBytes());
    if (newlyDropped > 0) {
        DroppedTotal += newlyDropped;
        FLastDropAt = ms;
    }

    // Audio reached a file when the byte count moved with an encoder open; a
    // slot that should record and does not (refused settings, no input, no
    // encoder, whatever the cause) is in alarm after NotRecordingSeconds.
    const bool started = Enabled && Source != TSlotSource::None;
    const std::uint64_t bytes = FCounter->Bytes();
    if (!started || FAudioSeenAt == 0 || (HasEncoder() && bytes != FAudioBytesSeen)) {
        FAudioSeenAt = ms;
    }
    FAudioBytesSeen = bytes;
    const std::uint64_t unrecordedFor = ms - FAudioSeenAt;
    const bool notRecording =
        started && unrecordedFor >= static_cast<std::uint64_t>(std::max(NotRecordingSeconds, 1)) * 1000;

    const bool watched = FMixer && started;
    const int silenceSeconds = std::max(SilenceSeconds, 1);
    bool inputLost = false;
    std::uint64_t lostFor = 0;
    if (watched && Source == TSlotSource::Stream && !StreamConnected()) {
        FStreamDownSince = FStreamDownSince != 0 ? FStreamDownSince : ms;
        lostFor = ms - FStreamDownSince;
        inputLost = lostFor > static_cast<std::uint64_t>(silenceSeconds) * 1000;
    } else {
        FStreamDownSince = 0;
        inputLost = watched && Source == TSlotSource::Soundcard && (AttachedDevice == nullptr || InputLost());
    }

    FMeter->SetSilenceLevel(static_cast<float>(std::pow(10.0, std::clamp(SilenceLevel, -150, 0) / 20.0)));
    const double silent = SilentSeconds();
    const bool silence = watched && SilenceAlarm && HasEncoder() && !inputLost &&
                         (Source != TSlotSource::Stream || StreamConnected()) && silent >= silenceSeconds;

    if (ms >= FDiskCheckAt) {
        FDiskCheckAt = ms + RetryTimes.FreeSpaceCheckMs;
        const auto free = FServices.FreeSpace ? FServices.FreeSpace(Folder) : std::nullopt;
        FFreeBytes = free ? static_cast<std::int64_t>(std::min<std::uint64_t>(*free, INT64_MAX)) : -1;
        FLowDisk = watched && free && *free < static_cast<std::uint64_t>(std::max(MinFreeGB, 0)) << 30;
    }

    SetAlarm(TAlarmKind::Silence, silence, now - milliseconds(static_cast<std::int64_t>(silent * 1000)), now);
    SetAlarm(TAlarmKind::InputLost, inputLost, now - milliseconds(lostFor), now);
    SetAlarm(TAlarmKind::EncoderFailing, watched && FEncoderFault.Active(), now, now);
    SetAlarm(TAlarmKind::LowDisk, watched && FLowDisk, now, now);
    SetAlarm(TAlarmKind::AudioDropped, watched && FLastDropAt != 0 && ms - FLastDropAt < RetryTimes.DropClearMs, now,
             now);
    SetAlarm(TAlarmKind::NotRecording, notRecording, now - milliseconds(unrecordedFor), now);
}

std::uint64_t TSlotInfo::TDropsSeen::Take(const std::shared_ptr<const void>& source, std::uint64_t count) {
    const bool same = !Source.owner_before(source) && !source.owner_before(Source);
    // A new file or input counts from zero; one that went back all the same
    // (never expected) is taken as new rather than as a huge jump.
    const std::uint64_t added = same && count >= Count ? count - Count : count;
    Source = source;
    Count = count;
    return added;
}

void TSlotInfo::SetAlarm(TAlarmKind kind, bool on, std::chrono::system_clock::time_point since,
                         std::chrono::system_clock::time_point now) {
    const auto it = std::find_if(FAlarms.begin(), FAlarms.end(), [&](const TAlarm& a) { return a.Kind == kind; });
    if (on == (it != FAlarms.end())) {
        return;
    }
    if (on) {
        TAlarm alarm;
        alarm.Kind = kind;
        alarm.Since = since;
        alarm.Text = std::string(AlarmKindLabel(kind)) + " since " + FormatTime(ToLocalTime(since), "%H:%M:%S");
        alarm.Folder = Folder;
        alarm.EventId = StoreEvent(alarm);
        FAlarms.push_back(alarm);
        Log(alarm.Text);
        if (OnAlarm) {
            OnAlarm(*this, TAlarmChange{kind, true, alarm.Text});
        }
        return;
    }
    const TAlarm alarm = *it;
    FAlarms.erase(it);
    const std::string text = std::string(AlarmKindLabel(kind)) + " ended after " + AlarmDurationText(now - alarm.Since);
    EndEvent(alarm, now);
    Log(text);
    if (OnAlarm) {
        OnAlarm(*this, TAlarmChange{kind, false, text});
    }
}

std::int64_t TSlotInfo::StoreEvent(const TAlarm& alarm) {
    TPendingRow row;
    row.Folder = alarm.Folder;
    row.EventKind = AlarmKindName(alarm.Kind);
    row.StartTime = FormatTime(ToLocalTime(alarm.Since), "%Y-%m-%d %H:%M:%S");
    row.EventText = alarm.Text;
    try {
        auto db = OpenCatalogue(alarm.Folder);
        db->Prepare("INSERT INTO events (kind, starttime, text) VALUES (?,?,?)")
            .Bind(1, row.EventKind)
            .Bind(2, row.StartTime)
            .Bind(3, row.EventText)
            .Run();
        auto id = db->Prepare("SELECT last_insert_rowid()");
        return id.Step() ? id.ColumnInt64(0) : 0;
    } catch (const TCatalogueError& e) {
        ReportCatalogueError(e.what());
    }
    // Waits with the refused rows; until it is in, the alarm holds its ticket.
    row.Ticket = ++FLastTicket;
    FPendingRows.push_back(row);
    return -row.Ticket;
}

void TSlotInfo::EndEvent(const TAlarm& alarm, std::chrono::system_clock::time_point now) {
    const std::string end = FormatTime(ToLocalTime(now), "%Y-%m-%d %H:%M:%S");
    if (alarm.EventId < 0) {
        for (TPendingRow& row : FPendingRows) {
            if (row.Ticket == -alarm.EventId) {
                row.EndTime = end; // goes in with its insert
            }
        }
        return;
    }
    if (alarm.EventId == 0) {
        return;
    }
    TPendingRow row;
    row.Folder = alarm.Folder;
    row.Id = alarm.EventId;
    row.EventKind = AlarmKindName(alarm.Kind);
    row.EndTime = end;
    FinishRow(row);
}
