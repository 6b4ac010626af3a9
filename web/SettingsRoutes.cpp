// The settings view's routes: a slot's settings as JSON (read and changed
// with the dialog's lists, limits and rules) and the number of slots.
#include "Controller.h"
#include "JsonText.h"
#include "SlotSettingsRules.h"
#include "TextTools.h"
#include "WebRouter.h"

#include <algorithm>
#include <climits>
#include <filesystem>
#include <map>
#include <memory>
#include <optional>
#include <stdexcept>
#include <strings.h>

namespace {

constexpr TSlotFormat Formats[] = {TSlotFormat::mp3, TSlotFormat::ogg, TSlotFormat::wma, TSlotFormat::wmapro};
constexpr TSlotMode Modes[] = {TSlotMode::mono, TSlotMode::stereo, TSlotMode::jointstereo};
constexpr TSlotSource Sources[] = {TSlotSource::None, TSlotSource::Soundcard, TSlotSource::Stream};
// What GET gives besides the settings; a POST may send it back unchanged.
constexpr const char* ReadOnlyKeys[] = {"Slot",   "Revision", "CleanupEstimate", "Choices",
                                        "Limits", "Message",  "Written"};

// The fields a POST sets as they come, by type.
const std::map<std::string, std::string TSlotSettings::*> TextFields{
    {"Name", &TSlotSettings::Name},
    {"StreamURL", &TSlotSettings::StreamURL},
    {"Folder", &TSlotSettings::Folder},
    {"EncoderOptions", &TSlotSettings::EncoderOptions}};
const std::map<std::string, bool TSlotSettings::*> BoolFields{
    {"FlatFilenames", &TSlotSettings::FlatFilenames},
    {"NoAutoRotate", &TSlotSettings::NoAutoRotate},
    {"CleanupDaysEnabled", &TSlotSettings::CleanupDaysEnabled},
    {"CleanupSpaceEnabled", &TSlotSettings::CleanupSpaceEnabled},
    {"SilenceAlarm", &TSlotSettings::SilenceAlarm},
    {"CleanupConfirmed", &TSlotSettings::CleanupConfirmed}};
const std::map<std::string, int TSlotSettings::*> IntFields{
    {"RecordDelay", &TSlotSettings::RecordDelay},   {"Bitrate", &TSlotSettings::Bitrate},
    {"Samplerate", &TSlotSettings::Samplerate},     {"CleanupDays", &TSlotSettings::CleanupDays},
    {"CleanupSpace", &TSlotSettings::CleanupSpace}, {"SilenceLevel", &TSlotSettings::SilenceLevel},
    {"SilenceSeconds", &TSlotSettings::SilenceSeconds}};

// A refused request: 400 with the reason.
struct TRefused : std::runtime_error {
    using std::runtime_error::runtime_error;
};

TJson Limits() {
    return {{"NominalLevel", {TSlotLimits::LevelMin, TSlotLimits::LevelMax}},
            {"RecordDelay", {TSlotLimits::DelayMin, TSlotLimits::DelayMax}},
            {"CleanupDays", {TSlotLimits::CleanupMin, TSlotLimits::CleanupMax}},
            {"CleanupSpace", {TSlotLimits::CleanupMin, TSlotLimits::CleanupMax}},
            {"SilenceLevel", {TSlotLimits::SilenceLevelMin, TSlotLimits::SilenceLevelMax}},
            {"SilenceSeconds", {TSlotLimits::SilenceSecondsMin, TSlotLimits::SilenceSecondsMax}}};
}

template <class TEnum, std::size_t N> TEnum EnumOf(const TJson& value, const char* key, const TEnum (&all)[N],
                                                   const char* (*name)(TEnum)) {
    std::string names;
    for (TEnum e : all) {
        if (value.is_string() && value.get<std::string>() == name(e)) {
            return e;
        }
        names += (names.empty() ? "" : ", ") + std::string(name(e));
    }
    throw TRefused(std::string(key) + " must be one of " + names);
}

std::string TextOf(const TJson& value, const char* key) {
    if (!value.is_string()) {
        throw TRefused(std::string(key) + " must be a text");
    }
    // A line break forges log lines, a NUL cuts a path short: no setting needs either.
    if (HasControlCharacters(value.get<std::string>())) {
        throw TRefused(std::string(key) + " must not contain control characters (line breaks, tabs, NUL)");
    }
    return value.get<std::string>();
}

bool BoolOf(const TJson& value, const char* key) {
    if (!value.is_boolean()) {
        throw TRefused(std::string(key) + " must be true or false");
    }
    return value.get<bool>();
}

int IntOf(const TJson& value, const char* key) {
    if (value.is_number_integer() && value.get<long long>() >= INT_MIN && value.get<long long>() <= INT_MAX) {
        return static_cast<int>(value.get<long long>());
    }
    throw TRefused(std::string(key) + " must be a whole number");
}

// The input a POST means. Names need not be unique (two identical USB
// interfaces), so the ID decides; a name alone must fit exactly one input.
std::string DeviceOf(const TJson& change, const TSlotSettings& v, const TWebSlotSettings& current) {
    if (change.contains("DeviceID")) {
        const std::string id = TextOf(change["DeviceID"], "DeviceID");
        if (id.empty() || id == v.Device) {
            return id; // none, or the one set (also while it is unplugged)
        }
        for (const auto& device : current.Devices) {
            if (strcasecmp(device.first.c_str(), id.c_str()) == 0) {
                return device.first;
            }
        }
        throw TRefused("There is no input with the ID \"" + LogSafe(id) + "\"");
    }
    const std::string name = TextOf(change["Device"], "Device");
    if (name.empty()) {
        return {};
    }
    std::vector<std::string> named;
    for (const auto& [id, deviceName] : current.Devices) {
        if (deviceName == name) {
            named.push_back(id);
        }
    }
    if (named.size() == 1) {
        return named.front();
    }
    if (named.size() > 1) {
        std::string ids;
        for (const std::string& id : named) {
            ids += (ids.empty() ? "" : ", ") + LogSafe(id);
        }
        throw TRefused("Several inputs are named \"" + LogSafe(name) + "\": send DeviceID with one of " + ids);
    }
    for (const auto& device : current.Devices) {
        if (strcasecmp(device.first.c_str(), name.c_str()) == 0) {
            return device.first;
        }
    }
    throw TRefused("There is no input named \"" + LogSafe(name) + "\"");
}

// The fields of `change` over `values`; throws TRefused for a key or type it does not take.
void Merge(const TJson& change, TSlotSettings& v, const TWebSlotSettings& current) {
    for (const auto& [key, value] : change.items()) {
        const char* k = key.c_str();
        if (const auto text = TextFields.find(key); text != TextFields.end()) {
            v.*(text->second) = TextOf(value, k);
        } else if (const auto flag = BoolFields.find(key); flag != BoolFields.end()) {
            v.*(flag->second) = BoolOf(value, k);
        } else if (const auto number = IntFields.find(key); number != IntFields.end()) {
            v.*(number->second) = IntOf(value, k);
        } else if (key == "Source") {
            v.Source = EnumOf(value, k, Sources, SlotSourceName);
        } else if (key == "Device" || key == "DeviceID") {
            continue; // below, once both are known
        } else if (key == "NominalLevel") {
            // Checked here: the field is narrower than the number sent.
            const int level = IntOf(value, k);
            if (level < TSlotLimits::LevelMin || level > TSlotLimits::LevelMax) {
                throw TRefused(Format("NominalLevel %d is out of range: %d to %d", level, TSlotLimits::LevelMin,
                                      TSlotLimits::LevelMax));
            }
            v.NominalLevel = static_cast<std::int16_t>(level);
        } else if (key == "Format") {
            v.Format = EnumOf(value, k, Formats, SlotFormatName);
        } else if (key == "Mode") {
            v.Mode = EnumOf(value, k, Modes, SlotModeName);
        } else if (std::find(std::begin(ReadOnlyKeys), std::end(ReadOnlyKeys), key) == std::end(ReadOnlyKeys)) {
            throw TRefused("Unknown setting \"" + LogSafe(key) + "\"");
        }
    }
    if (change.contains("Device") || change.contains("DeviceID")) {
        v.Device = DeviceOf(change, v, current);
    }
}

// What a change did, as the page tells it: only what happened.
std::string ChangeMessage(const TSettingsOutcome& outcome) {
    const TSettingsChange change = CompareSlotSettings(outcome.Before, outcome.After);
    std::vector<std::string> done;
    if (change.Input) {
        done.emplace_back("the input restarts");
    }
    if (change.Output) {
        done.emplace_back("a new file begins");
    }
    if (outcome.Before.Samplerate != outcome.After.Samplerate) {
        done.emplace_back("the sample rate takes effect at the next start of the program");
    }
    std::string text = "Applied";
    for (std::size_t i = 0; i < done.size(); ++i) {
        text += (i == 0 ? ": " : ", ") + done[i];
    }
    text += ".";
    text += outcome.Written ? " Written to the settings file."
                            : " Not written to the settings file: writing it failed (it is tried again with the next "
                              "change).";
    return text;
}

// A folder as compared: normalized, without a trailing '/'.
std::string NormalFolder(const std::string& folder) {
    std::string normal = std::filesystem::path(folder).lexically_normal().string();
    while (normal.size() > 1 && normal.back() == '/') {
        normal.pop_back();
    }
    return normal;
}

bool IsWithin(const std::string& folder, const std::string& outer) {
    return folder == outer || outer == "/" || folder.starts_with(outer + "/");
}

const char* const EncoderOptionsOff =
    "EncoderOptions cannot be changed from the web: that needs [Webserver] WebEncoderOptions=on.";

TJson ParseBody(const THttpRequest& request) {
    TJson body = TJson::parse(request.Body, nullptr, false);
    if (body.is_discarded() || !body.is_object()) {
        throw TRefused("Send a JSON object with the settings to change (Content-Type: application/json)");
    }
    return body;
}

} // namespace

bool TWebRouter::SettingsRefused(THttpResponse& response) const {
    if (FWebConfiguration && !FWebServerUser.empty()) {
        return false;
    }
    response.Status = 403;
    SendText(response, "Settings from the web are off: they need [Webserver] Configuration=on and a user.");
    return true;
}

std::string TWebRouter::WebOrigin(const THttpRequest& request) const {
    return "from the web by " + LogSafe(FWebServerUser) + " at " + LogSafe(request.Peer);
}

TJson TWebRouter::SettingsJson(int index, const TWebSlotSettings& s) const {
    const TSlotSettings& v = s.Values;
    TJson devices = TJson::array();
    TJson deviceIds = TJson::array(); // in the same order: names may repeat, IDs do not
    for (const auto& device : s.Devices) {
        devices.push_back(device.second);
        deviceIds.push_back(device.first);
    }
    TJson bitrates = TJson::object();
    TJson samplerates = TJson::object();
    for (TSlotFormat f : Formats) {
        bitrates[SlotFormatName(f)] = FSlots.OfferedBitrates(f, v.Samplerate, v.Mode);
        samplerates[SlotFormatName(f)] = FSlots.OfferedSamplerates(f);
    }
    TJson names[3] = {TJson::array(), TJson::array(), TJson::array()};
    for (TSlotSource e : Sources) {
        names[0].push_back(SlotSourceName(e));
    }
    for (TSlotFormat e : Formats) {
        names[1].push_back(SlotFormatName(e));
    }
    for (TSlotMode e : Modes) {
        names[2].push_back(SlotModeName(e));
    }
    return {{"Slot", index + 1},
            {"Revision", s.Revision},
            {"Name", v.Name},
            {"Source", SlotSourceName(v.Source)},
            {"Device", s.DeviceName},
            {"DeviceID", v.Device},
            {"StreamURL", v.StreamURL},
            {"NominalLevel", v.NominalLevel},
            {"RecordDelay", v.RecordDelay},
            {"Folder", v.Folder},
            {"FlatFilenames", v.FlatFilenames},
            {"NoAutoRotate", v.NoAutoRotate},
            {"Format", SlotFormatName(v.Format)},
            {"Bitrate", v.Bitrate},
            {"Mode", SlotModeName(v.Mode)},
            {"Samplerate", v.Samplerate},
            {"EncoderOptions", v.EncoderOptions},
            {"CleanupDaysEnabled", v.CleanupDaysEnabled},
            {"CleanupDays", v.CleanupDays},
            {"CleanupSpaceEnabled", v.CleanupSpaceEnabled},
            {"CleanupSpace", v.CleanupSpace},
            {"CleanupConfirmed", v.CleanupConfirmed},
            {"SilenceAlarm", v.SilenceAlarm},
            {"SilenceLevel", v.SilenceLevel},
            {"SilenceSeconds", v.SilenceSeconds},
            {"CleanupEstimate", CleanupEstimate(v.Bitrate, v.Format, v.CleanupDays)},
            {"Choices",
             {{"Sources", names[0]},
              {"Devices", devices},
              {"DeviceIDs", deviceIds},
              {"Formats", names[1]},
              {"Modes", names[2]},
              {"Samplerates", samplerates},
              {"Bitrates", bitrates}}},
            {"Limits", Limits()}};
}

namespace {

void SendBusy(THttpResponse& response,
              const std::string& reason = "The recorder did not answer in time: try again later.") {
    response = THttpResponse();
    response.Status = 503;
    SendText(response, reason);
}

void SendRefused(THttpResponse& response, const std::string& reason) {
    response = THttpResponse();
    response.Status = 400;
    SendText(response, reason);
}

} // namespace

void TWebRouter::SendSettings(int index, const THttpRequest& request, THttpResponse& response) {
    if (SettingsRefused(response)) {
        return;
    }
    std::optional<TSettingsOutcome> applied;
    if (request.Method == "POST") {
        TJson change;
        try {
            change = ParseBody(request);
        } catch (const TRefused& e) {
            SendRefused(response, e.what());
            return;
        }
        // Options that reach the encoder's command line are the machine's owner's to set.
        if (!FWebEncoderOptions && change.contains("EncoderOptions")) {
            const auto current = FSlots.ReadSettings(index);
            if (!current) {
                SendBusy(response);
                return;
            }
            if (change["EncoderOptions"] != current->Values.EncoderOptions) {
                response = THttpResponse();
                response.Status = 403;
                SendText(response, EncoderOptionsOff);
                return;
            }
        }
        std::vector<std::pair<std::string, std::string>> others;
        for (int i = 0; i < FSlots.Count(); ++i) {
            if (i != index) {
                const TWebSlotState state = FSlots.State(i);
                others.emplace_back(state.Folder, state.Name);
            }
        }
        TSettingsOutcome outcome = FSlots.ChangeSettings(
            index,
            [this, change, others](TSlotSettings& values, const TWebSlotSettings& current) -> std::string {
                try {
                    Merge(change, values, current);
                } catch (const TRefused& e) {
                    return e.what();
                }
                return WebRuleRefusal(current.Values, values, others);
            },
            WebOrigin(request));
        switch (outcome.Kind) {
        case TSettingsOutcome::TKind::Busy:
            SendBusy(response, outcome.Reason);
            return;
        case TSettingsOutcome::TKind::Refused:
            SendRefused(response, outcome.Reason);
            return;
        case TSettingsOutcome::TKind::Applied:
            applied = std::move(outcome);
            break;
        }
    }
    const auto settings = FSlots.ReadSettings(index);
    if (!settings && !applied) {
        SendBusy(response);
        return;
    }
    // Applied but not read back in time: the answer still says what was done.
    TJson json = settings ? SettingsJson(index, *settings) : TJson{{"Slot", index + 1}};
    if (applied) {
        json["Message"] = ChangeMessage(*applied);
        json["Written"] = applied->Written;
    }
    SendJSON(response, json);
}

void TWebRouter::SendSlotCount(const THttpRequest& request, THttpResponse& response) {
    if (SettingsRefused(response)) {
        return;
    }
    std::string message;
    if (request.Method == "POST") {
        int count = 0;
        try {
            const TJson body = ParseBody(request);
            if (!body.contains("Slots")) {
                throw TRefused("Send {\"Slots\": <number>}");
            }
            count = IntOf(body["Slots"], "Slots");
            if (count < 0 || count > TController::MaxSlots) {
                throw TRefused(Format("Slots %d is out of range: 0 to %d", count, TController::MaxSlots));
            }
        } catch (const TRefused& e) {
            SendRefused(response, e.what());
            return;
        }
        if (!FSlots.SetNextSlotCount(count, WebOrigin(request))) {
            SendBusy(response);
            return;
        }
        message = Format("Saved. The program has %d slots from its next start.", count);
    }
    const auto next = FSlots.NextSlotCount();
    if (!next) {
        SendBusy(response);
        return;
    }
    TJson json{{"Slots", FSlots.Count()}, {"SlotsAtNextStart", *next}, {"MaxSlots", TController::MaxSlots}};
    if (!message.empty()) {
        json["Message"] = message;
    }
    SendJSON(response, json);
}

std::string TWebRouter::WebRuleRefusal(const TSlotSettings& from, const TSlotSettings& to,
                                       const std::vector<std::pair<std::string, std::string>>& others) const {
    if (to.EncoderOptions != from.EncoderOptions && !FWebEncoderOptions) {
        return EncoderOptionsOff;
    }
    if (to.Folder == from.Folder) {
        return {};
    }
    if (to.Folder.empty() || to.Folder.front() != '/') {
        return "Folder must be an absolute path";
    }
    for (const auto& part : std::filesystem::path(to.Folder)) {
        if (part == "..") {
            return "Folder must not contain \"..\"";
        }
    }
    const std::string folder = NormalFolder(to.Folder);
    if (std::none_of(FFolderRoots.begin(), FFolderRoots.end(),
                     [&](const std::string& root) { return IsWithin(folder, NormalFolder(root)); })) {
        std::string roots;
        for (const std::string& root : FFolderRoots) {
            roots += (roots.empty() ? "" : "; ") + LogSafe(root);
        }
        return "Folder must lie inside one of the folders set in [Webserver] FolderRoots: " +
               (roots.empty() ? std::string("none") : roots);
    }
    for (const auto& [other, name] : others) {
        const std::string normal = NormalFolder(other);
        if (IsWithin(folder, normal) || IsWithin(normal, folder)) {
            return "Folder overlaps the folder of slot \"" + LogSafe(name) +
                   "\": two slots would clean each other's recordings";
        }
    }
    return {};
}
