#include "MimeTypes.h"

#include "TextTools.h"

#include <fstream>
#include <sstream>

TMimeTypes::TMimeTypes(const std::string& hostFile)
    : FBuiltIn{{"html", "text/html"},
               {"htm", "text/html"},
               {"css", "text/css"},
               {"png", "image/x-png"},
               {"gif", "image/gif"},
               {"jpg", "image/jpeg"},
               {"jpeg", "image/jpeg"},
               {"txt", "text/plain"},
               {"xml", "text/xml"},
               {"swf", "application/x-shockwave-flash"},
               {"mp3", "audio/x-mpg"},
               {"wav", "audio/x-wav"},
               {"wma", "audio/x-ms-wma"},
               {"zip", "application/x-zip-compressed"},
               {"pdf", "application/pdf"}} {
    std::ifstream in(hostFile);
    std::string line;
    while (std::getline(in, line)) {
        if (const auto hash = line.find('#'); hash != std::string::npos) {
            line.erase(hash);
        }
        std::istringstream words(line);
        std::string type;
        std::string ext;
        if (!(words >> type)) {
            continue;
        }
        while (words >> ext) {
            FHost.emplace(LowerAscii(ext), type); // the first mention of an extension holds
        }
    }
}

std::string TMimeTypes::Lookup(std::string_view path) const {
    const auto dot = path.rfind('.');
    const auto slash = path.rfind('/');
    if (dot == std::string_view::npos || (slash != std::string_view::npos && slash > dot)) {
        return "application/octet-stream";
    }
    const std::string ext = LowerAscii(path.substr(dot + 1));
    if (const auto it = FHost.find(ext); it != FHost.end()) {
        return it->second;
    }
    if (const auto it = FBuiltIn.find(ext); it != FBuiltIn.end()) {
        return it->second;
    }
    return "application/octet-stream";
}

const TMimeTypes& TMimeTypes::System() {
    static const TMimeTypes types;
    return types;
}
