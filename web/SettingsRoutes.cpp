// The settings view's routes: a slot's settings as JSON (read and changed
// with the dialog's lists, limits and rules) and the number of slots.
#include "Controller.h"
#include "JsonText.h"
#include "SlotSettingsRules.h"
#include "TextTools.h"
#include "WebRouter.h"

#include <algorithm>
#include <climits>
#include <map>
#include <memory>
#include <stdexcept>
#include <strings.h>

namespace {

constexpr TSlotFormat Formats[] = {TSlotFormat::mp3, TSlotFormat::ogg, TSlotFormat::wma, TSlotFormat::wmapro};
constexpr TSlotMode Modes[] = {TSlotMode::mono, TSlotMode::stereo, TSlotMode::jointstereo};
constexpr TSlotSource Sources[] = {TSlotSource::None, TSlotSource::Soundcard, TSlotSource::Stream};
// What GET gives besides the settings; a POST may send it back unchanged.
constexpr const char* ReadOnlyKeys[] = {"Slot", "Revision", "DeviceID", "CleanupEstimate", "Choices", "Limits", "Message"};

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
    {"SilenceAlarm", &TSlotSettings::SilenceAlarm}};
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

// The input named `name` (or, failing that, with that ID), as the dialog's list offers them.
std::string DeviceIdOf(const TJson& value, const TWebSlotSettings& current) {
    const std::string name = TextOf(value, "Device");
    if (name.empty()) {
        return {};
    }
    for (const auto& [id, deviceName] : current.Devices) {
        if (deviceName == name) {
            return id;
        }
    }
    for (const auto& [id, deviceName] : current.Devices) {
        if (strcasecmp(id.c_str(), name.c_str()) == 0) {
            return id;
        }
    }
    throw TRefused("There is no input named \"" + name + "\"");
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
        } else if (key == "Device") {
            v.Device = DeviceIdOf(value, current);
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
            throw TRefused("Unknown setting \"" + key + "\"");
        }
    }
}

// What a change restarts, as the page tells it.
std::string ChangeMessage(const TSlotSettings& from, const TSlotSettings& to) {
    const TSettingsChange change = CompareSlotSettings(from, to);
    std::string text = "Saved.";
    if (change.Input) {
        text += " The input was restarted.";
    }
    if (change.Output) {
        text += " A new file was started.";
    }
    if (from.Samplerate != to.Samplerate) {
        text += " The sample rate takes effect at the next start of the program.";
    }
    return text;
}

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
    for (const auto& device : s.Devices) {
        devices.push_back(device.second);
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
            {"SilenceAlarm", v.SilenceAlarm},
            {"SilenceLevel", v.SilenceLevel},
            {"SilenceSeconds", v.SilenceSeconds},
            {"CleanupEstimate", CleanupEstimate(v.Bitrate, v.Format, v.CleanupDays)},
            {"Choices",
             {{"Sources", names[0]},
              {"Devices", devices},
              {"Formats", names[1]},
              {"Modes", names[2]},
              {"Samplerates", samplerates},
              {"Bitrates", bitrates}}},
            {"Limits", Limits()}};
}

namespace {

void SendBusy(THttpResponse& response) {
    response = THttpResponse();
    response.Status = 503;
    SendText(response, "The recorder did not answer in time: try again later.");
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
    auto message = std::make_shared<std::string>();
    if (request.Method == "POST") {
        TJson change;
        try {
            change = ParseBody(request);
        } catch (const TRefused& e) {
            SendRefused(response, e.what());
            return;
        }
        const auto refused = FSlots.ChangeSettings(
            index,
            [change, message](TSlotSettings& values, const TWebSlotSettings& current) -> std::string {
                try {
                    Merge(change, values, current);
                } catch (const TRefused& e) {
                    return e.what();
                }
                *message = ChangeMessage(current.Values, values); // sent only when the values are taken
                return {};
            },
            WebOrigin(request));
        if (!refused) {
            SendBusy(response);
            return;
        }
        if (!refused->empty()) {
            SendRefused(response, *refused);
            return;
        }
    }
    const auto settings = FSlots.ReadSettings(index);
    if (!settings) {
        SendBusy(response);
        return;
    }
    TJson json = SettingsJson(index, *settings);
    if (!message->empty()) {
        json["Message"] = *message;
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
