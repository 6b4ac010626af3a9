// The routes that watch the air: every slot's state and alarms as JSON, the
// same as Prometheus metrics, and a slot's alarm events for the calendar.
#include "WebRouter.h"

#include "Alarms.h"
#include "JsonText.h"
#include "SlotServices.h"
#include "TextTools.h"

#include <cmath>
#include <map>
#include <set>

namespace {

double Dbfs(float peak) { return peak > 0 ? 20.0 * std::log10(static_cast<double>(peak)) : -INFINITY; }

// "CET (UTC+01:00)": the zone of the times the web service gives.
std::string ZoneText(std::chrono::system_clock::time_point t) {
    const std::tm local = ToLocalTime(t);
    const std::string o = FormatTime(local, "%z");
    return FormatTime(local, "%Z") + " (UTC" + (o.size() == 5 ? o.substr(0, 3) + ":" + o.substr(3) : o) + ")";
}

bool HasAlarm(const TWebSlotState& state, std::string_view kind) {
    for (const auto& alarm : state.Alarms) {
        if (alarm.Kind == kind) {
            return true;
        }
    }
    return false;
}

// A label value of the text format: backslash, quote and line feed escaped.
std::string LabelValue(const std::string& text) {
    std::string escaped;
    for (char c : text) {
        if (c == '\\' || c == '"') {
            escaped += '\\';
            escaped += c;
        } else if (c == '\n') {
            escaped += "\\n";
        } else {
            escaped += c;
        }
    }
    return escaped;
}

std::string Number(double value) {
    if (std::isinf(value)) {
        return value < 0 ? "-Inf" : "+Inf";
    }
    if (std::isnan(value)) {
        return "NaN";
    }
    return Format("%.17g", value);
}

// One metric family: its help, its type and a line per sample.
class TFamily {
public:
    TFamily(std::string& out, const char* name, const char* type, const char* help) : FOut(out), FName(name) {
        FOut += Format("# HELP %s %s\n# TYPE %s %s\n", name, help, name, type);
    }
    void Add(const std::string& labels, double value) {
        FOut += FName + (labels.empty() ? "" : "{" + labels + "}") + " " + Number(value) + "\n";
    }

private:
    std::string& FOut;
    std::string FName;
};

} // namespace

void TWebRouter::SendStatus(THttpResponse& response) {
    TJson slots = TJson::array();
    // Measured by the slots themselves: a folder that hangs must not hang the answer.
    std::map<std::string, std::optional<std::uint64_t>> folders;
    for (int i = 0; i < FSlots.Count(); ++i) {
        const TWebSlotState state = FSlots.State(i);
        auto& free = folders[state.Folder];
        free = free ? free : state.FreeBytes;
        TJson alarms = TJson::array();
        for (const auto& alarm : state.Alarms) {
            alarms.push_back({{"Kind", alarm.Kind}, {"Since", alarm.Since}, {"Text", alarm.Text}});
        }
        slots.push_back({{"Index", i},
                         {"Name", state.Name},
                         {"State", state.StateName},
                         {"File", state.File},
                         {"Elapsed", state.Elapsed},
                         {"LastError", state.LastError},
                         {"PeakDBFS", {Dbfs(state.PeakLeft), Dbfs(state.PeakRight)}},
                         {"SilenceSeconds", state.SilenceSeconds},
                         {"Alarms", alarms},
                         {"BytesWritten", state.BytesWritten},
                         {"DroppedBytes", state.DroppedBytes},
                         {"FilesStarted", state.FilesStarted},
                         {"EncoderRestarts", state.EncoderRestarts},
                         {"StreamReconnections", state.StreamReconnections}});
    }
    TJson free = TJson::array();
    for (const auto& [folder, bytes] : folders) {
        free.push_back({{"Folder", folder}, {"FreeBytes", bytes ? TJson(*bytes) : TJson(nullptr)}});
    }
    SendJSON(response, {{"Version", FSlots.Version()},
                        {"Uptime", FSlots.UptimeSeconds()},
                        {"AbandonedCaptures", FSlots.AbandonedCaptures()},
                        {"TimeZone", ZoneText(FSlots.Now())},
                        {"Folders", free},
                        {"Slots", slots}});
}

void TWebRouter::SendMetrics(THttpResponse& response) {
    std::vector<TWebSlotState> states;
    std::vector<std::string> labels;
    for (int i = 0; i < FSlots.Count(); ++i) {
        states.push_back(FSlots.State(i));
        labels.push_back(Format("slot=\"%d\",name=\"%s\"", i, LabelValue(states.back().Name).c_str()));
    }
    std::string out;
    auto perSlot = [&](const char* name, const char* type, const char* help, auto value) {
        TFamily family(out, name, type, help);
        for (std::size_t i = 0; i < states.size(); ++i) {
            family.Add(labels[i], static_cast<double>(value(states[i])));
        }
    };
    TFamily(out, "rudazodudad_build_info", "gauge", "The running version.")
        .Add("version=\"" + LabelValue(FSlots.Version()) + "\"", 1);
    TFamily(out, "rudazodudad_uptime_seconds", "gauge", "Seconds since the logger started.")
        .Add("", FSlots.UptimeSeconds());
    perSlot("rudazodudad_recording", "gauge", "1 while the slot records into a file.",
            [](const TWebSlotState& s) { return s.StateName == "recording" ? 1 : 0; });
    {
        TFamily family(out, "rudazodudad_peak_dbfs", "gauge", "Peak level of the last block in dBFS.");
        for (std::size_t i = 0; i < states.size(); ++i) {
            family.Add(labels[i] + ",channel=\"left\"", Dbfs(states[i].PeakLeft));
            family.Add(labels[i] + ",channel=\"right\"", Dbfs(states[i].PeakRight));
        }
    }
    perSlot("rudazodudad_silence_seconds", "gauge", "Seconds the recorded audio has stayed below the silence level.",
            [](const TWebSlotState& s) { return s.SilenceSeconds; });
    perSlot("rudazodudad_input_lost", "gauge", "1 while the slot's input is lost.",
            [](const TWebSlotState& s) { return HasAlarm(s, "input_lost") ? 1 : 0; });
    {
        TFamily family(out, "rudazodudad_alarm_active", "gauge", "1 while the slot is in alarm of that kind.");
        for (std::size_t i = 0; i < states.size(); ++i) {
            for (const TAlarmKind kind : AlarmKinds) {
                const std::string name = AlarmKindName(kind);
                family.Add(labels[i] + ",kind=\"" + name + "\"", HasAlarm(states[i], name) ? 1 : 0);
            }
        }
    }
    {
        TFamily family(out, "rudazodudad_folder_free_bytes", "gauge", "Free bytes in the slot's folder.");
        for (std::size_t i = 0; i < states.size(); ++i) {
            if (const auto free = states[i].FreeBytes) {
                family.Add(labels[i], static_cast<double>(*free));
            }
        }
    }
    perSlot("rudazodudad_bytes_written_total", "counter", "Bytes of audio handed to the slot's encoders.",
            [](const TWebSlotState& s) { return s.BytesWritten; });
    perSlot("rudazodudad_dropped_bytes_total", "counter", "Bytes of audio lost to a full input buffer or encoder pipe.",
            [](const TWebSlotState& s) { return s.DroppedBytes; });
    perSlot("rudazodudad_files_started_total", "counter", "Files the slot has started.",
            [](const TWebSlotState& s) { return s.FilesStarted; });
    perSlot("rudazodudad_encoder_restarts_total", "counter", "New files started after an encoder failed.",
            [](const TWebSlotState& s) { return s.EncoderRestarts; });
    perSlot("rudazodudad_stream_reconnections_total", "counter", "Reconnections of the slot's stream.",
            [](const TWebSlotState& s) { return s.StreamReconnections; });
    response.ContentType = "text/plain; version=0.0.4; charset=utf-8";
    response.Text = std::move(out);
}

void TWebRouter::SendWeekEvents(int index, const THttpRequest& request, THttpResponse& response) {
    const TWebSlotState state = FSlots.State(index);
    const std::string now = FormatTime(ToLocalTime(FSlots.Now()), "%Y-%m-%d %H:%M:%S");
    TJson events = TJson::array();
    try {
        auto db = FSlots.OpenCatalogue(index, state.Folder);
        auto query = db->Prepare("SELECT id, kind, starttime, endtime, text FROM events "
                                 "WHERE starttime < ? AND (endtime IS NULL OR endtime >= ?) ORDER BY id");
        query.Bind(1, NormalizeDateParam(request.Param("end"))).Bind(2, NormalizeDateParam(request.Param("start")));
        while (query.Step()) {
            const std::int64_t id = query.ColumnInt64(0);
            const std::string start = query.ColumnText(2);
            std::string end = query.ColumnText(3);
            if (query.ColumnIsNull(3)) {
                // Still in alarm: up to now. Left open by a crash: a mark at its start.
                bool active = false;
                for (const auto& alarm : state.Alarms) {
                    active = active || alarm.EventId == id;
                }
                end = active ? now : start;
            }
            try {
                const auto from = ParseStoredTime(start);
                const auto to = ParseStoredTime(end);
                events.push_back({{"id", id},
                                  {"kind", query.ColumnText(1)},
                                  {"start", FormatCalendarDateTime(from.first, from.second)},
                                  {"end", FormatCalendarDateTime(to.first, to.second)},
                                  {"text", query.ColumnText(4)}});
            } catch (const std::runtime_error&) {
                // A damaged row hides nothing else.
            }
        }
    } catch (const TCatalogueError&) {
        // A catalogue from before the alarms, that cannot be written: no events.
    }
    SendJSON(response, events);
}
