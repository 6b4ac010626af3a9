// The settings view: a slot's settings as the slot dialog offers them, and
// the number of slots. Shown only when the server answers /ws/settings, that
// is with Configuration on and a user logged in.
"use strict";

var settingsView = (function () {
    var FORMAT_NAMES = { mp3: "MP3", ogg: "Ogg Vorbis", wma: "WMA", wmapro: "WMA Pro" };
    var SOURCE_NAMES = { None: "Disabled", Soundcard: "Sound card", Stream: "Stream URL" };
    var MODE_NAMES = { mono: "mono", stereo: "stereo", jointstereo: "joint stereo" };
    var current = null; // the settings last read

    function field(key) { return $("#set-" + key); }

    function fillSelect(select, values, names, value) {
        select.empty();
        $.each(values, function (i, v) {
            $("<option>").val(v).text(names ? names[v] || v : v).appendTo(select);
        });
        if (value !== undefined && $.inArray(value, values) < 0) {
            // A stored value the list lacks stays visible, so that saving must change it.
            $("<option>").val(value).text(value + " (not offered)").appendTo(select);
        }
        select.val(String(value));
    }

    // Inputs by ID: names repeat when two identical interfaces are plugged in,
    // so a repeated name shows its ID too.
    function fillDevices(settings) {
        var select = field("Device"), names = settings.Choices.Devices, ids = settings.Choices.DeviceIDs || [];
        var count = {};
        $.each(names, function (i, name) { count[name] = (count[name] || 0) + 1; });
        select.empty();
        $("<option>").val("").text("(none)").appendTo(select);
        $.each(ids, function (i, id) {
            $("<option>").val(id).text(count[names[i]] > 1 ? names[i] + " (" + id + ")" : names[i]).appendTo(select);
        });
        if (settings.DeviceID && $.inArray(settings.DeviceID, ids) < 0) {
            // The input set is not present now: kept until another is chosen.
            $("<option>").val(settings.DeviceID).text((settings.Device || settings.DeviceID) + " (not present)")
                .appendTo(select);
        }
        select.val(settings.DeviceID || "");
    }

    function fillSamplerates(value) {
        fillSelect(field("Samplerate"), current.Choices.Samplerates[field("Format").val()] || [], null, value);
    }

    function fillBitrates() {
        var format = field("Format").val();
        var rates = current.Choices.Bitrates[format] || [];
        var value = Number(field("Bitrate").val() || current.Bitrate);
        fillSelect(field("Bitrate"), rates, null, value);
        updateEstimate();
    }

    // As the dialog computes it: kbit/s (bit/s for WMA) for the days kept.
    function updateEstimate() {
        var b = Number(field("Bitrate").val()) || 0, days = Number(field("CleanupDays").val()) || 0;
        var wma = /^wma/.test(field("Format").val());
        var text = "days";
        if (b !== 0 && !(wma && b < 100)) {
            if (wma) { b = Math.floor(b / 1000); }
            text = "days (~" + Math.floor(b * 1024 / 8 * 86400 * days / 1073741824) + " GB)";
        }
        $("#set-estimate").text(text);
    }

    function show(settings) {
        current = settings;
        $("#settingsslot").text("Slot " + settings.Slot);
        $.each(["Name", "StreamURL", "Folder", "EncoderOptions"], function (i, key) { field(key).val(settings[key]); });
        $.each(["NominalLevel", "RecordDelay", "CleanupDays", "CleanupSpace", "SilenceLevel", "SilenceSeconds"],
            function (i, key) {
                var limits = settings.Limits[key];
                field(key).attr({ min: limits[0], max: limits[1] }).val(settings[key]);
            });
        $.each(["FlatFilenames", "NoAutoRotate", "CleanupDaysEnabled", "CleanupSpaceEnabled", "SilenceAlarm"],
            function (i, key) { field(key).prop("checked", settings[key]); });
        $("#set-CleanupWaiting").toggle(settings.CleanupConfirmed === false);
        fillSelect(field("Source"), settings.Choices.Sources, SOURCE_NAMES, settings.Source);
        fillDevices(settings);
        fillSelect(field("Format"), settings.Choices.Formats, FORMAT_NAMES, settings.Format);
        fillSelect(field("Mode"), settings.Choices.Modes, MODE_NAMES, settings.Mode);
        fillSamplerates(settings.Samplerate);
        field("Bitrate").empty();
        fillBitrates();
    }

    function collect() {
        var values = {};
        $.each(["Name", "Source", "StreamURL", "Folder", "Format", "Mode", "EncoderOptions"],
            function (i, key) { values[key] = field(key).val(); });
        values.DeviceID = field("Device").val() || "";
        $.each(["NominalLevel", "RecordDelay", "Bitrate", "Samplerate", "CleanupDays", "CleanupSpace",
                "SilenceLevel", "SilenceSeconds"], function (i, key) { values[key] = Number(field(key).val()); });
        $.each(["FlatFilenames", "NoAutoRotate", "CleanupDaysEnabled", "CleanupSpaceEnabled", "SilenceAlarm"],
            function (i, key) { values[key] = field(key).prop("checked"); });
        return values;
    }

    function say(element, text, failed) {
        $(element).text(text).toggleClass("failed", !!failed);
    }

    function post(url, values, done) {
        return $.ajax({ type: "POST", url: url, contentType: "application/json", data: JSON.stringify(values),
                        dataType: "json" }).done(done);
    }

    function load(slot) {
        say("#settingsmessage", "");
        $.getJSON("/ws/slot/" + slot + "/settings", { random: new Date().getTime() }, show);
        $.getJSON("/ws/settings", { random: new Date().getTime() }, function (count) {
            field("Slots").attr({ min: 0, max: count.MaxSlots }).val(count.SlotsAtNextStart);
            say("#slotsmessage", count.SlotsAtNextStart !== count.Slots
                ? "The program has " + count.SlotsAtNextStart + " slots from its next start." : "");
        });
    }

    return {
        // `changed` runs after a save, so that the slot list and the calendar follow.
        init: function (slotOf, changed) {
            $.ajax({ url: "/ws/settings", data: { random: new Date().getTime() }, dataType: "json" })
                .done(function () { $("#settingsbutton").show(); });
            $("#settingsbutton").click(function () {
                var open = !$("#settings").is(":visible");
                $("#settings").toggle(open);
                $("#calendar").toggle(!open);
                $(this).text(open ? "Calendar" : "Settings");
                if (open) {
                    load(slotOf());
                } else {
                    $("#calendar").weekCalendar("refresh");
                }
            });
            // The dialog's rules: choosing a device picks the sound card, typing a URL the stream.
            field("Device").change(function () { field("Source").val("Soundcard"); });
            field("StreamURL").on("input", function () { field("Source").val("Stream"); });
            field("Format").change(function () {
                fillSamplerates(Number(field("Samplerate").val()));
                fillBitrates();
            });
            field("Bitrate").change(updateEstimate);
            field("CleanupDays").on("input change", updateEstimate);
            $("#settingssave").click(function () {
                say("#settingsmessage", "Saving\u2026");
                post("/ws/slot/" + slotOf() + "/settings", collect(), function (settings) {
                    if (settings.Choices) {
                        show(settings);
                    }
                    say("#settingsmessage", settings.Message, settings.Written === false);
                    changed();
                }).fail(function (xhr) { say("#settingsmessage", xhr.responseText || "Not saved", true); });
            });
            $("#settingsconfirmcleanup").click(function () {
                post("/ws/slot/" + slotOf() + "/settings", { CleanupConfirmed: true }, function (settings) {
                    if (settings.Choices) {
                        show(settings);
                    }
                    say("#settingsmessage", settings.Message, settings.Written === false);
                }).fail(function (xhr) { say("#settingsmessage", xhr.responseText || "Not saved", true); });
            });
            $("#slotssave").click(function () {
                post("/ws/settings", { Slots: Number(field("Slots").val()) }, function (count) {
                    say("#slotsmessage", count.Message);
                }).fail(function (xhr) { say("#slotsmessage", xhr.responseText || "Not saved", true); });
            });
        },
        // Another slot chosen while the view is open.
        slotChanged: function (slot) {
            if ($("#settings").is(":visible")) {
                load(slot);
            }
        }
    };
}());
