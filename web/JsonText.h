#pragma once

#include <nlohmann/json.hpp>

#include <string>
#include <string_view>

using TJson = nlohmann::ordered_json;
struct THttpResponse;

// The web service's JSON text: plain ASCII (everything outside 32..127 as \u
// escapes of its UTF-16 units, "/" escaped too), CR LF line breaks, one blank of
// indentation per level, "[]" for an empty array, numbers with a fraction to 15
// significant digits, non-finite numbers as null.
std::string JsonText(const TJson& value);

// Answers with the value's JSON text as "application/json".
void SendJSON(THttpResponse& response, const TJson& value);

// A JSON string literal of UTF-8 text; bytes that are not UTF-8 count as Latin-1.
std::string JsonString(std::string_view utf8);
