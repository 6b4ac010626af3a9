#include "Controller.h"

#include <algorithm>
#include <system_error>
#include <thread>
#include <utility>

int TController::ReadSlotCount(const TSettingsFile& settings) {
    return std::clamp(settings.ReadInteger("General", "Slots", DefaultSlots), 0, MaxSlots);
}

void TController::WriteSlotCount(TSettingsStore& settings, int count) {
    settings.WriteInteger("General", "Slots", count);
}

TController::TController(TSettingsFile& settings, TDeviceCatalogue& devices, int slotCount, TSlotServices services,
                         TLogSink sink)
    : FServices(std::move(services)), FSettings(settings), FDevices(devices), FSink(std::move(sink)),
      FNextSlotCount(slotCount) {
    const TAlarmSettings alarms = TAlarmSettings::Read(settings);
    if (!alarms.Command.empty()) {
        FHook = std::make_unique<TAlarmHook>(
            alarms.Command, [this](int slot, const std::string& line) { PostSlotLog(slot, line); });
    }
    FSlots.reserve(static_cast<std::size_t>(std::max(slotCount, 0)));
    for (int i = 0; i < slotCount; ++i) {
        auto slot = std::make_unique<TSlotInfo>(settings, i, devices, FServices);
        slot->OnLog = [this](TSlotInfo& s, const std::string& text) { LogSlotMessage(s, text); };
        slot->OnPostLog = [this](TSlotInfo& s, const std::string& text) { PostSlotLog(s.Index, text); };
        slot->MinFreeGB = alarms.MinFreeGB;
        slot->OnAlarm = [this](TSlotInfo& s, const TAlarmChange& change) {
            if (FHook) {
                FHook->Run(s.Index, s.Name, change);
            }
        };
        for (const std::string& note : slot->SettingsNotes) {
            slot->Log(note);
        }
        slot->StartInput();
        TSlotInfo& added = *slot;
        FSlots.push_back(std::move(slot));
        // Rows a stop had to keep, and the durations and rows a crash lost.
        Guarded(added, [&] { added.RecoverCatalogue(); });
    }
}

TController::~TController() {
    // Every slot's encoder finishes its file at the same time, by one deadline:
    // an encoder that hangs costs the shutdown FinishTimeout once, not once a slot.
    const auto deadline = std::chrono::steady_clock::now() + FinishTimeout;
    std::vector<std::thread> finishing;
    for (auto& slot : FSlots) {
        TSlotInfo* s = slot.get();
        try {
            finishing.emplace_back([s, deadline] { s->FinishRecordingBy(deadline); });
        } catch (const std::system_error&) {
            s->FinishRecordingBy(deadline); // no thread to be had: in turn
        }
    }
    for (auto& thread : finishing) {
        thread.join();
    }
    for (auto& slot : FSlots) {
        slot.reset();
    }
}

bool TController::Guarded(TSlotInfo& slot, const std::function<void()>& operation) {
    try {
        operation();
        return true;
    } catch (const std::exception& e) {
        // One slot's failure (a catalogue on a missing drive) must not stop the others.
        slot.Log(e.what());
        return false;
    }
}

void TController::timTimerTimer() {
    for (auto& slot : FSlots) {
        Guarded(*slot, [&] {
            slot->CheckInput();
            slot->CheckPull();
            slot->CheckEncoder();
        });
        Guarded(*slot, [&] { slot->CheckAlarms(); });
    }
    const std::int64_t hour = HourNumber(ToLocalTime(FServices.Now()));
    if (hour == FLastHour) {
        return;
    }
    FLastHour = hour;
    for (auto& slot : FSlots) {
        Guarded(*slot, [&] {
            if (!slot->NoAutoRotate) {
                slot->RestartEncoder();
            }
        });
        Guarded(*slot, [&] { slot->CleanupByAge(); });
        UpdateSlotButtons();
    }
    // Free-space passes: one recording at a time, always from the lowest-index
    // slot still short of space, until a pass deletes nothing.
    for (bool deleted = true; deleted;) {
        deleted = false;
        for (auto& slot : FSlots) {
            bool removed = false;
            Guarded(*slot, [&] { removed = slot->CleanupBySpace(); });
            if (removed) {
                deleted = true;
                break;
            }
        }
    }
}

void TController::SetRecording(int index, bool on) {
    if (index < 0 || static_cast<std::size_t>(index) >= FSlots.size()) {
        return;
    }
    TSlotInfo& slot = *FSlots[static_cast<std::size_t>(index)];
    Guarded(slot, [&] { slot.SetRecording(on); });
    UpdateSlotButtons();
}

void TController::PostSlotLog(int index, const std::string& message) {
    std::lock_guard guard(FPostedLogLock);
    if (FPostedLog.size() < MaxLogLines) {
        FPostedLog.emplace_back(index, message);
    } else {
        ++FPostedDropped;
    }
}

void TController::ProcessCommands() {
    std::vector<std::pair<int, std::string>> lines;
    std::uint64_t dropped = 0;
    {
        std::lock_guard guard(FPostedLogLock);
        lines.swap(FPostedLog);
        dropped = std::exchange(FPostedDropped, 0);
    }
    for (const auto& [index, message] : lines) {
        if (index == WebServerLogIndex) {
            LogWebServerMessage(message);
        } else if (index >= 0 && static_cast<std::size_t>(index) < FSlots.size()) {
            FSlots[static_cast<std::size_t>(index)]->Log(message);
        }
    }
    if (dropped > 0) {
        // A flood (refused requests, a chatty hook): the log says how much it left out.
        LogWebServerMessage(std::to_string(dropped) + " log lines from other threads left out");
    }
    std::vector<std::function<void()>> tasks;
    {
        std::lock_guard guard(FTaskLock);
        tasks.swap(FTasks);
    }
    for (auto& task : tasks) {
        task();
    }
    while (auto command = FCommands.Take()) {
        if (command->Message == WM_STARTSLOT) {
            SetRecording(command->Index, true);
        } else if (command->Message == WM_STOPSLOT) {
            SetRecording(command->Index, false);
        }
    }
}

void TController::ApplySlotSettings(int index, bool inputChanged, bool outputChanged, const std::string& origin) {
    if (index < 0 || static_cast<std::size_t>(index) >= FSlots.size()) {
        return;
    }
    TSlotInfo& slot = *FSlots[static_cast<std::size_t>(index)];
    if (!origin.empty()) {
        LogSlotMessage(slot, "Settings of slot " + std::to_string(index + 1) + " changed " + origin);
    }
    slot.SaveSettings();
    Guarded(slot, [&] {
        if (inputChanged) {
            slot.StartInput();
        }
        if (outputChanged || !slot.HasEncoder()) {
            slot.RestartEncoder();
        }
    });
    UpdateSlotButtons();
}

void TController::ChangeSlotSettings(int index, const TSlotSettings& values, const std::string& origin) {
    if (index < 0 || static_cast<std::size_t>(index) >= FSlots.size()) {
        return;
    }
    const TSettingsChange change = FSlots[static_cast<std::size_t>(index)]->TakeSettings(values);
    ApplySlotSettings(index, change.Input, change.Output, origin);
}

void TController::SetNextSlotCount(int count, const std::string& origin) {
    FNextSlotCount = std::clamp(count, 0, MaxSlots);
    FSettings.WriteSection("General", {{"Slots", std::to_string(FNextSlotCount)}});
    AppendLog(TLogKind::Slots, FSlotLog,
              "Number of slots set to " + std::to_string(FNextSlotCount) + " " + origin +
                  "; it takes effect at the next start");
}

bool TController::PostTask(std::function<void()> task) {
    std::lock_guard guard(FTaskLock);
    if (FTasks.size() >= MaxTasks) {
        return false;
    }
    FTasks.push_back(std::move(task));
    return true;
}

void TController::AppendLog(TLogKind kind, std::deque<std::string>& log, const std::string& text) {
    while (log.size() > MaxLogLines - 1) {
        log.pop_front();
    }
    const std::string line = FormatTime(ToLocalTime(FServices.Now()), "%x %X") + ": " + text;
    log.push_back(line);
    if (FSink) {
        FSink(kind, line);
    }
}

void TController::GuideNewcomer(const std::string& settingsFile, const TDeviceCatalogue& devices) {
    for (const auto& slot : FSlots) {
        if (slot->Source != TSlotSource::None) {
            return;
        }
    }
    auto say = [this](const std::string& text) { AppendLog(TLogKind::Slots, FSlotLog, text); };
    say("No slot has an input yet. The settings are in " + settingsFile + ".");
    say(devices.Count() == 0 ? "Inputs found: none" : "Inputs found (ID, name):");
    for (std::size_t i = 0; i < devices.Count(); ++i) {
        say("  " + devices.Id(i) + "\t" + devices.Entry(i).Name);
    }
    say("To record, give a slot an input in the window (Configure), or stop the program and set in its "
        "section, for example [Slot0]: Source=Soundcard with Device=<ID>, or Source=Stream with StreamURL=<URL>. "
        "On a server, [Webserver] Configuration=on with a User and Password opens a Settings view on the web page.");
}

void TController::LogSlotMessage(TSlotInfo&, const std::string& text) { AppendLog(TLogKind::Slots, FSlotLog, text); }

void TController::LogWebServerMessage(const std::string& text) {
    AppendLog(TLogKind::WebServer, FWebServerLog, text);
}

void TController::UpdateSlotButtons() {
    if (OnUpdateSlotButtons) {
        OnUpdateSlotButtons();
    }
}
