// Request parsing, the JSON text and the MIME lookup, where a connection
// cannot reach every case.
#include "HttpRequest.h"
#include "JsonText.h"
#include "MimeTypes.h"
#include "TestSupport.h"
#include "WebRouter.h"

#include <gtest/gtest.h>

#include <cmath>
#include <fstream>
#include <limits>

using namespace TestSupport;

TEST(RequestParsing, PathIsDecodedAndParamsSplitWithBlanksFromPlus) {
    THttpRequest r;
    ParseRequestTarget("/a%20b+c/%zz%4?x=1+2%2B3&&Start=%C3%A9&x=second&flag&=v&broken=%", r);
    EXPECT_EQ(r.Path, "/a b+c/%zz%4") << "'+' stays in the path; bad escapes stay as they are";
    ASSERT_EQ(r.Params.size(), 6u);
    EXPECT_EQ(r.Param("x"), "1 2+3") << "the first match";
    EXPECT_EQ(r.Param("START"), "\xC3\xA9") << "names ignore case";
    EXPECT_EQ(r.Param("flag"), "");
    EXPECT_EQ(r.Param("broken"), "%");
    EXPECT_EQ(r.Param("missing"), "");

    THttpRequest form;
    AppendParams("command=SLOT+1+START", form.Params);
    ParseRequestTarget("/execute?command=SLOT+2+STOP", form);
    EXPECT_EQ(form.Param("command"), "SLOT 1 START") << "the body comes first";
    EXPECT_TRUE(IsFormContentType("Application/X-WWW-Form-UrlEncoded"));
    EXPECT_FALSE(IsFormContentType("application/x-www-form-urlencoded; charset=UTF-8"));
    EXPECT_FALSE(IsFormContentType("multipart/form-data"));
}

TEST(RequestParsing, BasicCredentialsSplitAtTheFirstColon) {
    THttpRequest r;
    EXPECT_EQ(ParseAuthorization("Basic dXNlcjpwYTpzczo=", r), TAuthorization::Basic); // user:pa:ss:
    EXPECT_TRUE(r.CredentialsGiven);
    EXPECT_EQ(r.CredentialUser, "user");
    EXPECT_EQ(r.CredentialPassword, "pa:ss:");

    THttpRequest noColon;
    EXPECT_EQ(ParseAuthorization("BASIC dXNlcg==", noColon), TAuthorization::Basic);
    EXPECT_EQ(noColon.CredentialUser, "user");
    EXPECT_EQ(noColon.CredentialPassword, "");

    THttpRequest none;
    EXPECT_EQ(ParseAuthorization("", none), TAuthorization::None);
    EXPECT_FALSE(none.CredentialsGiven);
    EXPECT_EQ(ParseAuthorization("Digest username=\"x\"", none), TAuthorization::Foreign);
    EXPECT_EQ(ParseAuthorization("Basicx abc", none), TAuthorization::Foreign);
    EXPECT_FALSE(none.CredentialsGiven);
    EXPECT_EQ(Base64Decode("AAEC/w=="), std::string("\x00\x01\x02\xff", 4));
}

TEST(JsonTextTest, IsPlainAsciiWithEscapes) {
    EXPECT_EQ(JsonString("a\"b\\c/d\b\f\n\r\t\x01\x7f"), "\"a\\\"b\\\\c\\/d\\b\\f\\n\\r\\t\\u0001\x7f\"");
    EXPECT_EQ(JsonString("\xC3\xBC\xE2\x82\xAC\xF0\x9F\x8E\xB5"), "\"\\u00fc\\u20ac\\ud83c\\udfb5\"")
        << "UTF-8 as UTF-16 units, surrogate pairs beyond the BMP";
    EXPECT_EQ(JsonString("\xFC\xC3"), "\"\\u00fc\\u00c3\"") << "bytes that are not UTF-8 read as Latin-1";

    TJson v = TJson::array();
    v.push_back({{"a", 1}, {"b", 0.5f}, {"c", nullptr}, {"d", true}, {"e", TJson::array()},
                 {"f", std::numeric_limits<double>::infinity()}});
    EXPECT_EQ(JsonText(v), "[\r\n {\r\n  \"a\": 1,\r\n  \"b\": 0.5,\r\n  \"c\": null,\r\n  \"d\": true,\r\n"
                           "  \"e\": [],\r\n  \"f\": null\r\n }\r\n]");
    EXPECT_EQ(JsonText(static_cast<double>(3599.98f)), "3599.97998046875") << "15 significant digits";
    EXPECT_EQ(JsonText(TJson::array()), "[]");
}

TEST(DateForms, ParamsCalendarAndIso) {
    EXPECT_EQ(TWebRouter::NormalizeDateParam("2011-3-7"), "2011-03-07");
    EXPECT_EQ(TWebRouter::NormalizeDateParam("11-3-7T00:00"), "0011-03-07");
    EXPECT_EQ(TWebRouter::NormalizeDateParam("2011-3"), "");
    EXPECT_EQ(TWebRouter::NormalizeDateParam(" 2011-3-7"), "");
    EXPECT_THROW(TWebRouter::NormalizeDateParam("2011-3-99999999999"), std::runtime_error);
    EXPECT_EQ(TWebRouter::FormatCalendarDateTime(15040, 14 * 3600 + 5 * 60 + 9), "03/07/2011 14:05:09");
    EXPECT_EQ(TWebRouter::FormatISODateTime(15040, 14 * 3600 + 5 * 60 + 9), "2011-03-07T14:05:09");
    EXPECT_EQ(TWebRouter::FormatISODateTime(-719162, 0), "0001-01-01T00:00:00");
}

TEST(MimeLookup, HostTypesComeFirstThenTheBuiltInList) {
    TTempDir dir;
    std::ofstream(dir.File("mime.types")) << "# comment\naudio/mpeg mpga mp3 # trailing\ntext/x-own css\n\nbad\n";
    const TMimeTypes types(dir.File("mime.types"));
    EXPECT_EQ(types.Lookup("/a/b.MP3"), "audio/mpeg");
    EXPECT_EQ(types.Lookup("x.css"), "text/x-own");
    EXPECT_EQ(types.Lookup("x.png"), "image/x-png");
    EXPECT_EQ(types.Lookup("x.wma"), "audio/x-ms-wma");
    EXPECT_EQ(types.Lookup("x.swf"), "application/x-shockwave-flash");
    EXPECT_EQ(types.Lookup("x.HTM"), "text/html");
    EXPECT_EQ(types.Lookup("x.js"), "application/octet-stream") << "no built-in entry";
    EXPECT_EQ(types.Lookup("x.ogg"), "application/octet-stream") << "no built-in entry";
    EXPECT_EQ(types.Lookup("/dir.d/file"), "application/octet-stream");

    const TMimeTypes builtIn(dir.File("missing"));
    EXPECT_EQ(builtIn.Lookup("x.mp3"), "audio/x-mpg");
}
