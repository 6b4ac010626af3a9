// Every row of the routing table, in order, against a real catalogue over
// real connections.
#include "SlotStatus.h"
#include "TextTools.h"
#include "WebFixture.h"

#include <nlohmann/json.hpp>
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <tuple>

using namespace TestSupport;
using nlohmann::json;

namespace {

class WebRoutes : public TWebFixture {
protected:
    json Json(const std::string& path) {
        const auto r = Fetch(path);
        EXPECT_EQ(r.Status, 200) << path << "\n" << r.Body;
        EXPECT_EQ(r.Header("content-type"), "application/json") << path;
        for (unsigned char c : r.Body) {
            EXPECT_LT(c, 128) << "JSON is plain ASCII: " << r.Body;
            if (c >= 128) {
                break;
            }
        }
        return json::parse(r.Body);
    }
    void ExpectNotFound(const std::string& path, const std::string& method = "GET") {
        const auto r = Http({method, Url(path), {}, {}, {}});
        EXPECT_EQ(r.Status, 404) << path;
        EXPECT_EQ(r.Body, "not found") << path;
        EXPECT_EQ(r.Header("content-type"), "text/plain; charset=utf-8") << path;
    }
    void ExpectError(const std::string& path, const std::string& message) {
        const auto r = Fetch(path);
        EXPECT_EQ(r.Status, 501) << path;
        EXPECT_EQ(r.Body, message) << path;
        // Plain text, so that a name in it is never run as a page's script.
        EXPECT_EQ(r.Header("content-type"), "text/plain; charset=utf-8") << path;
        EXPECT_EQ(r.Body.find(SlotFolder(0)), std::string::npos) << "the answer does not tell where recordings lie";
    }
};

std::string ReadSource(const std::string& relative) {
    std::ifstream in(std::string(RUDAZ_SOURCE_DIR) + "/" + relative, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

std::string Form(const std::string& command) { return "command=" + command; }

} // namespace

TEST_F(WebRoutes, RootRedirectsToThePage) {
    Build(1);
    Start();
    const auto r = Fetch("/");
    EXPECT_EQ(r.Status, 302);
    EXPECT_EQ(r.Header("location"), "/index.html");
    EXPECT_EQ(r.Body, "");
}

TEST_F(WebRoutes, TheClientsFilesAreServedFromTheProgramWithoutRegardToCase) {
    Build(1);
    Start();
    const std::string page = ReadSource("web/client/index.html");
    for (const char* path : {"/index.html", "/INDEX.HTML", "/Index.Html"}) {
        const auto r = Fetch(path);
        EXPECT_EQ(r.Status, 200) << path;
        EXPECT_EQ(r.Header("content-type"), "text/html") << path;
        EXPECT_EQ(r.Body, page) << path;
    }
    EXPECT_EQ(Fetch("/css/styles.css").Body, ReadSource("web/client/css/styles.css"));
    EXPECT_EQ(Fetch("/css/styles.css").Header("content-type"), "text/css");
    EXPECT_EQ(Fetch("/js/jquery.weekcalendar.js").Body, ReadSource("web/client/js/jquery.weekcalendar.js"));

    // Every listed path, the unused jPlayer files too; the images are real PNGs of their size.
    const std::vector<std::string> listed = {
        "/css/jquery.weekcalendar.css",
        "/css/custom-theme/images/ui-bg_flat_0_aaaaaa_40x100.png",
        "/css/custom-theme/images/ui-bg_highlight-soft_75_cccccc_1x100.png",
        "/css/custom-theme/images/ui-bg_inset-soft_95_fef1ec_1x100.png",
        "/css/custom-theme/images/ui-icons_cd0a0a_256x240.png",
        "/css/custom-theme/images/ui-bg_glass_75_ffffff_1x400.png",
        "/css/custom-theme/images/ui-icons_888888_256x240.png",
        "/css/custom-theme/images/ui-icons_454545_256x240.png",
        "/css/custom-theme/images/ui-bg_glass_55_fbf9ee_1x400.png",
        "/css/custom-theme/images/ui-bg_glass_65_ffffff_1x400.png",
        "/css/custom-theme/images/ui-bg_glass_75_e6e6e6_1x400.png",
        "/css/custom-theme/images/ui-bg_glass_75_dadada_1x400.png",
        "/css/custom-theme/images/ui-icons_222222_256x240.png",
        "/css/custom-theme/images/ui-icons_2e83ff_256x240.png",
        "/css/custom-theme/jquery-ui-1.8.1.custom.css",
        "/css/styles.css",
        "/js/jquery-1.4.2.min.js",
        "/js/jquery-ui-1.8.1.custom.min.js",
        "/js/jquery.weekcalendar.js",
        "/js/jquery.jplayer.min.js",
        "/js/Jplayer.swf",
        "/index.html"};
    for (const auto& path : listed) {
        const auto r = Fetch(path);
        EXPECT_EQ(r.Status, 200) << path;
        EXPECT_GT(r.Body.size(), 0u) << path;
        if (path.ends_with(".png")) {
            ASSERT_GE(r.Body.size(), 24u) << path;
            EXPECT_EQ(r.Body.substr(1, 3), "PNG") << path;
            const auto size = path.substr(path.rfind('_') + 1, path.size() - path.rfind('_') - 5);
            const auto be32 = [&](std::size_t at) {
                return (static_cast<unsigned char>(r.Body[at]) << 24) | (static_cast<unsigned char>(r.Body[at + 1]) << 16) |
                       (static_cast<unsigned char>(r.Body[at + 2]) << 8) | static_cast<unsigned char>(r.Body[at + 3]);
            };
            EXPECT_EQ(std::to_string(be32(16)) + "x" + std::to_string(be32(20)), size) << path;
        }
    }
    // The theme's style sheet refers only to images that are served.
    const std::string css = Fetch("/css/custom-theme/jquery-ui-1.8.1.custom.css").Body;
    for (std::size_t at = css.find("images/"); at != std::string::npos; at = css.find("images/", at + 1)) {
        const std::string image = css.substr(at, css.find_first_of("\")'", at) - at);
        EXPECT_EQ(Fetch("/css/custom-theme/" + image).Status, 200) << image;
    }
    // The host's types come before the built-in list.
    EXPECT_EQ(Fetch("/css/custom-theme/images/ui-icons_222222_256x240.png").Header("content-type"),
              "image/png");
}

TEST_F(WebRoutes, SlotListGivesEverySlotInIndexOrderWithWhatKeepsItFromRecording) {
    Build(4, {{{"Name", "Studio A"}, {"Source", "Soundcard"}, {"Device", "TEST:0"}},
              {{"Name", "Web"}, {"Source", "Stream"}, {"StreamURL", "file:///etc/passwd"}},
              {{"Name", "Lost"}, {"Source", "Soundcard"}, {"Device", "WDM:99"}},
              {{"Name", "Unplugged"}, {"Source", "Soundcard"}, {"Device", "TEST:1"}}});
    Controller->timTimerTimer(); // the first tick opens the files
    Start();
    json slots = Json("/ws/slots");
    ASSERT_EQ(slots.size(), 4u);
    for (int i = 0; i < 4; ++i) {
        EXPECT_EQ(slots[i]["ID"], i);
        EXPECT_TRUE(slots[i]["ID"].is_number_integer());
        EXPECT_TRUE(slots[i]["Name"].is_string());
        EXPECT_TRUE(slots[i]["Source"].is_string());
        EXPECT_TRUE(slots[i]["Recording"].is_boolean());
        EXPECT_TRUE(slots[i]["Error"].is_string());
    }
    EXPECT_EQ(slots[0]["Source"], "Test: tone");
    EXPECT_EQ(slots[0]["Recording"], true);
    EXPECT_EQ(slots[0]["Error"], "");
    EXPECT_EQ(slots[1]["Source"], "file:///etc/passwd");
    EXPECT_EQ(slots[1]["Recording"], false);
    EXPECT_TRUE(WaitUntil(
        [&] {
            return Json("/ws/slots")[1]["Error"] ==
                   "Scheme \"file\" is not allowed: streams are recorded over http and https only";
        },
        5))
        << "a stream slot opens nothing but http and https: " << Json("/ws/slots")[1]["Error"];
    EXPECT_EQ(slots[2]["Source"], "Error") << "a sound-card slot without a device";
    EXPECT_EQ(slots[2]["Recording"], false);
    EXPECT_EQ(slots[2]["Error"], "Error: Invalid device");
    EXPECT_EQ(slots[3]["Recording"], true);

    // The device goes away while the file is open: the row and the web say so, in red.
    Flaky->RefuseOpen = true;
    Flaky->Lose();
    Controller->timTimerTimer();
    const TSlotInfo& unplugged = *Controller->Slots()[3];
    const TSlotStatus row = DescribeSlot(unplugged, GetMilliseconds());
    EXPECT_EQ(row.Line2, "Input lost: illegal device number (BASS error 23)");
    EXPECT_TRUE(row.Line2Error);
    EXPECT_EQ(row.Image, TSlotStatus::TImage::Error);
    EXPECT_EQ(row.Line3, unplugged.CurrentFile) << "the file waits for the device";
    EXPECT_EQ(row.Line4, "") << "no clock counting as if it recorded";
    slots = Json("/ws/slots");
    EXPECT_EQ(slots[3]["Recording"], false);
    EXPECT_EQ(slots[3]["Error"], "Input lost: illegal device number (BASS error 23)");
    EXPECT_EQ(Fetch("/ws/slot/3/recording").Body, "0");

    // Back again: back to normal.
    Flaky->RefuseOpen = false;
    ASSERT_TRUE(WaitUntil(
        [&] {
            Controller->timTimerTimer();
            return !unplugged.InputLost();
        },
        6.0));
    EXPECT_EQ(DescribeSlot(unplugged, GetMilliseconds()).Image, TSlotStatus::TImage::Ok);
    slots = Json("/ws/slots");
    EXPECT_EQ(slots[3]["Recording"], true);
    EXPECT_EQ(slots[3]["Error"], "");
    ExpectNotFound("/ws/slots/");
    ExpectNotFound("/ws/SLOTS");
}

TEST_F(WebRoutes, NameSourceAndRecordingTakeOneDigit) {
    std::vector<TKeys> sections(13);
    sections[0] = {{"Name", "Caf\xC3\xA9 \"1\"/2"}, {"Source", "Soundcard"}, {"Device", "TEST:0"}};
    sections[1] = {{"Name", "Idle"}, {"Enabled", "off"}, {"Source", "Soundcard"}, {"Device", "TEST:0"}};
    sections[12] = {{"Name", "Twelve"}};
    Build(13, sections);
    Controller->timTimerTimer();
    Start();
    auto text = [&](const std::string& path) {
        const auto r = Fetch(path);
        EXPECT_EQ(r.Status, 200) << path;
        EXPECT_EQ(r.Header("content-type"), "text/plain; charset=utf-8") << path;
        return r.Body;
    };
    EXPECT_EQ(text("/ws/slot/0/name"), "Caf\xC3\xA9 \"1\"/2") << "raw 8-bit text";
    EXPECT_EQ(text("/ws/slot/0/source"), "Test: tone");
    EXPECT_EQ(text("/ws/slot/2/source"), "") << "no source: an empty text body";
    EXPECT_EQ(text("/ws/slot/0/recording"), "1");
    EXPECT_EQ(text("/ws/slot/1/recording"), "0") << "switched off: no file open";
    const auto raw = Fetch("/ws/slots").Body;
    EXPECT_NE(raw.find("\"Caf\\u00e9 \\\"1\\\"\\/2\""), std::string::npos) << raw;
    EXPECT_EQ(json::parse(raw)[0]["Name"], "Caf\xC3\xA9 \"1\"/2");

    ExpectNotFound("/ws/slot/12/name");
    ExpectNotFound("/ws/slot/12/source");
    ExpectNotFound("/ws/slot/12/recording");
    ExpectNotFound("/ws/slot/0/name/");
    ExpectNotFound("/ws/slot/0/NAME");
    EXPECT_EQ(Json("/ws/slot/12/list/2011/3/7"), json::array()) << "the day list takes any number of digits";
    EXPECT_EQ(Json("/ws/slot/12/weekcalendarevents/x?start=2011-3-7&end=2011-3-14"), json::array());
    // Past the last slot: not found, without touching memory outside the list.
    ExpectNotFound("/ws/slot/13/weekcalendarevents");
    ExpectNotFound("/ws/slot/99/list/2011/3/7");
    ExpectNotFound("/ws/slot/2147483647/getfile/1");
}

TEST_F(WebRoutes, CalendarWeekAndDayList) {
    Build(1, {{{"Name", "Studio"}}});
    Start();
    const auto before = AddRow(0, "2011-03-06 23:00:00", 3600, "a.mp3");
    const auto first = AddRow(0, "2011-03-07 00:00:00", 3600, "b.mp3");
    const auto fraction = AddRow(0, "2011-03-09 14:00:00", 3599.98, "c.mp3");
    const auto unclosed = AddRow(0, "2011-03-09 15:00:00", std::nullopt, "d.mp3");
    const auto crossing = AddRow(0, "2011-03-13 23:30:00", 3600, "e.mp3");
    const auto after = AddRow(0, "2011-03-14 00:00:00", 60, "f.mp3");
    const auto damaged = AddRow(0, "2011-03-09 1x:00:00", 60, "g.mp3"); // hides nothing else

    const json week = Json("/ws/slot/0/weekcalendarevents?start=2011-3-7&end=2011-3-14&random=123");
    ASSERT_EQ(week.size(), 3u) << week.dump();
    EXPECT_EQ(week[0], json({{"id", first}, {"start", "03/07/2011 00:00:00"}, {"end", "03/07/2011 01:00:00"},
                             {"title", "Studio"}}));
    EXPECT_EQ(week[1]["id"], fraction);
    EXPECT_EQ(week[1]["end"], "03/09/2011 14:59:59") << "fractions of a second are dropped";
    EXPECT_EQ(week[2]["id"], crossing) << "a row without a duration is left out of the calendar";
    EXPECT_EQ(week[2]["end"], "03/14/2011 00:30:00");

    const json all = Json("/ws/slot/0/weekcalendarevents?end=2011-3-14");
    EXPECT_EQ(all.size(), 4u) << "no start: everything before the end";
    EXPECT_EQ(all[0]["id"], before);
    EXPECT_EQ(Json("/ws/slot/0/weekcalendarevents?start=2011-3-7"), json::array()) << "no end: nothing";
    EXPECT_EQ(Json("/ws/slot/0/weekcalendarevents?start=7.3.2011&end=2011-3-14x").size(), 4u)
        << "a malformed start counts as none; anything may follow the three numbers";
    EXPECT_EQ(Json("/ws/slot/0/weekcalendarevents?START=2011-3-14&End=2011-3-15").size(), 1u)
        << "parameter names ignore case";
    EXPECT_EQ(Json("/ws/slot/0/weekcalendarevents?start=2011-3-14&end=2011-3-15")[0]["id"], after);

    const json day = Json("/ws/slot/0/list/2011/3/9");
    ASSERT_EQ(day.size(), 2u);
    EXPECT_EQ(day[0]["ID"], fraction);
    EXPECT_EQ(day[0]["Time"], "2011-03-09T14:00:00");
    EXPECT_NEAR(day[0]["Duration"].get<double>(), 3599.98, 0.001);
    EXPECT_EQ(day[1]["ID"], unclosed);
    EXPECT_TRUE(day[1]["Duration"].is_null()) << "listed, without a duration";
    EXPECT_EQ(Json("/ws/slot/0/list/2011/03/07/anything").size(), 1u);
    EXPECT_EQ(Json("/ws/slot/0/list/2011/3/14")[0]["Duration"], 60);
    const std::string body = Fetch("/ws/slot/0/list/2011/3/9").Body;
    std::size_t lines = 0;
    for (std::size_t at = body.find('\n'); at != std::string::npos; at = body.find('\n', at + 1), ++lines) {
        EXPECT_TRUE(at > 0 && body[at - 1] == '\r') << "CR LF line breaks";
    }
    EXPECT_GT(lines, 5u);

    Controller->ProcessCommands();
    const std::string told =
        "Studio: Recording " + std::to_string(damaged) +
        " left out of the web calendar: '2011-03-09 1x:00:00' is not a valid date and time";
    std::size_t toldTimes = 0;
    for (const auto& line : Controller->SlotLog()) {
        toldTimes += line.ends_with(told);
    }
    EXPECT_EQ(toldTimes, 1u) << "told once, however often it is asked for";

    ExpectError("/ws/slot/0/list/2011/13/1", "Invalid argument to date encode");
    ExpectError("/ws/slot/0/list/2011/2/29", "Invalid argument to date encode");
    EXPECT_EQ(Json("/ws/slot/0/list/2012/2/29"), json::array());
    ExpectError("/ws/slot/0/list/99999999999/1/1", "'99999999999' is not a valid integer value");
    ExpectError("/ws/slot/0/weekcalendarevents?start=2011-3-7&end=2011-99999999999-1",
                "'99999999999' is not a valid integer value");
    ExpectNotFound("/ws/slot/0/list/2011/3");
    ExpectNotFound("/ws/slot/x/list/2011/3/7");
}

TEST_F(WebRoutes, TheOpenFileShowsItsGrowingDuration) {
    Build(1, {{{"Name", "Studio"}, {"Source", "Soundcard"}, {"Device", "TEST:0"}}});
    Controller->timTimerTimer(); // opens 2011-03-15 14:00:00 (the fake clock)
    Start();
    const auto stale = AddRow(0, "2011-03-15 13:00:00", std::nullopt, "stale.mp3");
    auto calendar = [&] { return Json("/ws/slot/0/weekcalendarevents?start=2011-3-14&end=2011-3-21"); };
    json first;
    ASSERT_TRUE(WaitUntil([&] {
        first = calendar();
        return first.size() == 1 && first[0]["end"] != "03/15/2011 14:00:00";
    }, 20)) << first.dump();
    EXPECT_EQ(first[0]["start"], "03/15/2011 14:00:00");
    json later;
    EXPECT_TRUE(WaitUntil([&] {
        later = calendar();
        return later.size() == 1 && later[0]["end"].get<std::string>() > first[0]["end"].get<std::string>();
    }, 20)) << "the end moves forward: " << first.dump() << later.dump();

    const json day = Json("/ws/slot/0/list/2011/3/15");
    ASSERT_EQ(day.size(), 2u);
    EXPECT_EQ(day[0]["ID"], first[0]["id"]);
    EXPECT_GT(day[0]["Duration"].get<double>(), 0.0) << "the open file with its duration so far";
    EXPECT_EQ(day[1]["ID"], stale);
    EXPECT_TRUE(day[1]["Duration"].is_null());

    // The file being written is not handed out for download; the player gets
    // what it holds so far.
    const std::string id = std::to_string(day[0]["ID"].get<int>());
    const auto r = Fetch("/ws/slot/0/getfile/" + id);
    EXPECT_EQ(r.Status, 501);
    EXPECT_EQ(r.Body.rfind("Cannot open file \"2011/03/15/2011-03-15-14-00-00.mp3\". ", 0), 0u)
        << r.Body;
    const auto sofar = Fetch("/ws/slot/0/play/" + id);
    EXPECT_EQ(sofar.Status, 200);
    EXPECT_EQ(sofar.Header("content-disposition"), "inline; filename=\"2011-03-15-14-00-00.mp3\"");
    EXPECT_GT(sofar.Body.size(), 1000u);
    const auto part = Http({"GET", Url("/ws/slot/0/play/" + id), {"Range: bytes=0-99"}, {}, {}});
    EXPECT_EQ(part.Status, 206);
    EXPECT_TRUE(part.Body == sofar.Body.substr(0, 100));
}

TEST_F(WebRoutes, RecordingsAnswerSingleByteRanges) {
    Build(1);
    Start();
    std::string audio(100000, '\0');
    for (std::size_t i = 0; i < audio.size(); ++i) {
        audio[i] = static_cast<char>(i * 7 + i / 251);
    }
    WriteRecording(0, "a.mp3", audio);
    const std::string id = std::to_string(AddRow(0, "2011-03-07 14:00:00", 3600, "a.mp3"));
    for (const std::string route : {"/ws/slot/0/getfile/", "/ws/slot/0/play/"}) {
        SCOPED_TRACE(route);
        const std::string url = Url(route + id);
        const auto whole = Get(url);
        EXPECT_EQ(whole.Status, 200);
        EXPECT_EQ(whole.Header("accept-ranges"), "bytes");
        EXPECT_TRUE(whole.Body == audio);
        const std::string etag = whole.Header("etag");
        EXPECT_FALSE(etag.empty());
        auto get = [&](std::vector<std::string> headers, const std::string& method = "GET") {
            return Http({method, url, std::move(headers), {}, {}});
        };
        const std::vector<std::tuple<std::string, std::size_t, std::size_t>> ranges{
            {"bytes=0-0", 0, 0},           {"bytes=99999-", 99999, 99999}, {"bytes=1000-1999", 1000, 1999},
            {"bytes=-500", 99500, 99999}, {"bytes=99000-200000", 99000, 99999}, {"BYTES=5-6", 5, 6}};
        for (const auto& [range, first, last] : ranges) {
            const auto r = get({"Range: " + range});
            EXPECT_EQ(r.Status, 206) << range;
            EXPECT_EQ(r.Header("content-range"), Format("bytes %zu-%zu/100000", first, last)) << range;
            EXPECT_EQ(r.Header("content-length"), std::to_string(last - first + 1)) << range;
            EXPECT_TRUE(r.Body == audio.substr(first, last - first + 1)) << range;
        }
        for (const char* range : {"bytes=100000-", "bytes=-0"}) {
            const auto r = get({std::string("Range: ") + range});
            EXPECT_EQ(r.Status, 416) << range;
            EXPECT_EQ(r.Header("content-range"), "bytes */100000") << range;
        }
        for (const char* range : {"bytes=0-1,5-6", "items=0-1", "bytes=9-2", "bytes=x-"}) {
            const auto r = get({std::string("Range: ") + range});
            EXPECT_EQ(r.Status, 200) << range << ": answered whole";
            EXPECT_EQ(r.Body.size(), audio.size()) << range;
        }
        const auto head = get({}, "HEAD");
        EXPECT_EQ(head.Status, 200);
        EXPECT_EQ(head.Header("content-length"), "100000");
        EXPECT_EQ(head.Header("accept-ranges"), "bytes");
        EXPECT_EQ(head.Body, "");
        EXPECT_EQ(get({"Range: bytes=10-19"}, "HEAD").Header("content-range"), "bytes 10-19/100000");
        EXPECT_EQ(get({"Range: bytes=10-19", "If-Range: " + etag}).Status, 206);
        EXPECT_EQ(get({"Range: bytes=10-19", "If-Range: " + whole.Header("last-modified")}).Status, 206);
        const auto stale = get({"Range: bytes=10-19", "If-Range: \"0-0-0\""});
        EXPECT_EQ(stale.Status, 200) << "a stale validator gets the whole file";
        EXPECT_TRUE(stale.Body == audio);
    }
}

TEST_F(WebRoutes, DownloadSendsTheFileAsAnAttachment) {
    Build(1);
    Start();
    std::string audio(3 * 1024 * 1024 + 17, '\0');
    for (std::size_t i = 0; i < audio.size(); ++i) {
        audio[i] = static_cast<char>(i * 7 + i / 251);
    }
    WriteRecording(0, "2011/03/07/2011-03-07-14-00-00.mp3", audio);
    WriteRecording(0, "2011-03-07-15-00-00.OGG", "ogg");
    WriteRecording(0, "old/2011-03-07-16-00-00.wma", "wma");
    WriteRecording(0, "notes.txt", "txt");
    const auto mp3 = AddRow(0, "2011-03-07 14:00:00", 3600, "2011/03/07/2011-03-07-14-00-00.mp3");
    const auto ogg = AddRow(0, "2011-03-07 15:00:00", 3600, "2011-03-07-15-00-00.OGG");
    const auto wma = AddRow(0, "2011-03-07 16:00:00", 3600, "old\\2011-03-07-16-00-00.wma");
    const auto txt = AddRow(0, "2011-03-07 17:00:00", 1, "notes.txt");
    const auto gone = AddRow(0, "2011-03-07 18:00:00", 1, "2011/03/07/deleted.mp3");

    const auto r = Fetch("/ws/slot/0/getfile/" + std::to_string(mp3));
    EXPECT_EQ(r.Status, 200);
    EXPECT_EQ(r.Header("content-type"), "audio/mpeg");
    EXPECT_EQ(r.Header("content-disposition"), "attachment; filename=\"2011-03-07-14-00-00.mp3\"");
    EXPECT_EQ(r.Header("content-length"), std::to_string(audio.size()));
    EXPECT_TRUE(r.Body == audio) << "the file, byte for byte";

    EXPECT_EQ(Fetch("/ws/slot/0/getfile/" + std::to_string(ogg)).Header("content-type"), "audio/ogg");
    const auto w = Fetch("/ws/slot/0/getfile/" + std::to_string(wma) + "/anything");
    EXPECT_EQ(w.Header("content-type"), "audio/x-ms-wma");
    EXPECT_EQ(w.Header("content-disposition"), "attachment; filename=\"2011-03-07-16-00-00.wma\"")
        << "a name stored with '\\' from a Windows installation";
    EXPECT_EQ(w.Body, "wma");
    EXPECT_EQ(Fetch("/ws/slot/0/getfile/" + std::to_string(txt)).Header("content-type"), "text/plain");

    ExpectError("/ws/slot/0/getfile/" + std::to_string(gone),
                "Cannot open file \"2011/03/07/deleted.mp3\". No such file or directory");
    ExpectNotFound("/ws/slot/0/getfile/999");
    ExpectError("/ws/slot/0/getfile/12345678901", "'12345678901' is not a valid integer value");
    EXPECT_EQ(Http({"HEAD", Url("/ws/slot/0/getfile/" + std::to_string(mp3)), {}, {}, {}}).Header("content-length"),
              std::to_string(audio.size()))
        << "HEAD tells a player the file's size";
}

TEST_F(WebRoutes, CatalogueNamesCannotLeaveTheSlotsFolder) {
    Build(1);
    Start();
    const std::string secret = Folder("secret.mp3");
    std::ofstream(secret) << "secret";
    for (const std::string& name : {secret, std::string("../secret.mp3"), std::string("2011/../../secret.mp3"),
                                    std::string("..\\secret.mp3"), std::string("")}) {
        const auto id = AddRow(0, "2011-03-07 14:00:00", 1, name);
        ExpectNotFound("/ws/slot/0/getfile/" + std::to_string(id));
    }
    WriteRecording(0, "a..b.mp3", "dots in a name are fine");
    EXPECT_EQ(Fetch("/ws/slot/0/getfile/" + std::to_string(AddRow(0, "2011-03-07 15:00:00", 1, "a..b.mp3"))).Status,
              200);
}

TEST_F(WebRoutes, AQueryCreatesAMissingFolderAndCatalogue) {
    Build(1, {{{"Folder", Folder("not/yet/there")}}});
    Start();
    EXPECT_EQ(Json("/ws/slot/0/weekcalendarevents?start=2011-3-7&end=2011-3-14"), json::array());
    EXPECT_TRUE(std::filesystem::exists(Folder("not/yet/there/RudazOdudad.db")));
}

TEST_F(WebRoutes, ACatalogueThatCannotBeOpenedGivesTheErrorResponse) {
    std::ofstream(Folder("file")) << "a file where the folder should be";
    Build(1, {{{"Folder", Folder("file/sub")}}});
    Start();
    const auto r = Fetch("/ws/slot/0/list/2011/3/7");
    EXPECT_EQ(r.Status, 501);
    EXPECT_FALSE(r.Body.empty());
}

TEST_F(WebRoutes, OtherPathsAndMethods) {
    Build(1);
    Start();
    ExpectNotFound("/nowhere");
    ExpectNotFound("/execute");
    ExpectNotFound("/ws/slot/0");
    for (const char* path : {"/", "/index.html", "/ws/slots", "/nowhere"}) {
        const auto head = Http({"HEAD", Url(path), {}, {}, {}});
        EXPECT_EQ(head.Status, 200) << path;
        EXPECT_EQ(head.Header("content-length"), "0") << path;
        const auto post = Http({"POST", Url(path), {}, "x=1", {}});
        EXPECT_EQ(post.Status, 200) << path;
        EXPECT_EQ(post.Body, "") << path;
    }
}

TEST_F(WebRoutes, ExecutePostsStartAndStopCommands) {
    Build(3, {{{"Source", "Soundcard"}, {"Device", "TEST:0"}}, {{"Source", "Soundcard"}, {"Device", "TEST:0"}}});
    Controller->timTimerTimer();
    Start();
    auto post = [&](const std::string& body, const std::string& type = "application/x-www-form-urlencoded",
                    const std::string& query = "") {
        const auto r = Http({"POST", Url("/execute" + query), {"Content-Type: " + type}, body, {}});
        EXPECT_EQ(r.Status, 200) << body;
        EXPECT_EQ(r.Body, "") << body;
        Controller->ProcessCommands();
    };
    auto enabled = [&](int i) { return Controller->Slots()[static_cast<std::size_t>(i)]->Enabled; };
    post(Form("SLOT+2+STOP"));
    EXPECT_TRUE(enabled(0));
    EXPECT_FALSE(enabled(1));
    EXPECT_EQ(Fetch("/ws/slot/1/recording").Body, "0");
    post(Form("SLOT%202%20START"));
    EXPECT_TRUE(enabled(1));
    EXPECT_EQ(Fetch("/ws/slot/1/recording").Body, "1");

    for (const std::string& ignored : {Form("slot+1+stop"), Form("SLOT+1+STOP+"), Form("SLOT+A+STOP"),
                                       Form("+SLOT+1+STOP"), std::string("COMMAND=SLOT+1+STOPX"), Form("SLOT+-1+STOP")}) {
        post(ignored);
        EXPECT_TRUE(enabled(0)) << ignored;
    }
    post(Form("SLOT+1+STOP"), "application/x-www-form-urlencoded; charset=UTF-8");
    EXPECT_TRUE(enabled(0)) << "a body of another content type carries no parameters";
    post("", "text/plain", "?command=SLOT+1+STOP");
    EXPECT_FALSE(enabled(0)) << "the query string counts too";
    post(Form("SLOT+1+START"), "APPLICATION/X-WWW-FORM-URLENCODED", "?command=SLOT+1+STOP");
    EXPECT_TRUE(enabled(0)) << "the body comes before the query";
    post(Form("SLOT+9+STOP")); // no such slot: answered the same, ignored by the controller
    post(Form("SLOT+0+STOP"));
    EXPECT_TRUE(enabled(0) && enabled(1));

    const auto tooLong = Http({"POST", Url("/execute"), {"Content-Type: application/x-www-form-urlencoded"},
                               Form("SLOT+1+STOP&pad=" + std::string(100000, 'x')), {}});
    EXPECT_EQ(tooLong.Status, 413) << "a form body is not read into memory without bound";
    const auto r = Http({"POST", Url("/execute"), {"Content-Type: application/x-www-form-urlencoded"},
                         Form("SLOT+12345678901+STOP"), {}});
    EXPECT_EQ(r.Status, 501);
    EXPECT_EQ(r.Body, "'12345678901' is not a valid integer value");
}

TEST_F(WebRoutes, ExecuteDoesNothingWhenCommandsAreOff) {
    Build(1, {{{"Source", "Soundcard"}, {"Device", "TEST:0"}}});
    Server->Start(WebSettings("0", "", false));
    const auto r = Http({"POST", Url("/execute"), {"Content-Type: application/x-www-form-urlencoded"},
                         Form("SLOT+1+STOP"), {}});
    EXPECT_EQ(r.Status, 200);
    EXPECT_EQ(r.Body, "");
    Controller->ProcessCommands();
    EXPECT_TRUE(Controller->Slots()[0]->Enabled);
}
