#include "HttpClient.h"

#include <curl/curl.h>

#include <memory>

namespace TestSupport {

namespace {

struct TCurlDeleter {
    void operator()(CURL* c) const { curl_easy_cleanup(c); }
};
struct TListDeleter {
    void operator()(curl_slist* l) const { curl_slist_free_all(l); }
};

size_t OnBody(char* data, size_t size, size_t count, void* reply) {
    static_cast<THttpReply*>(reply)->Body.append(data, size * count);
    return size * count;
}

size_t OnHeader(char* data, size_t size, size_t count, void* reply) {
    const std::string line(data, size * count);
    const auto colon = line.find(':');
    if (colon != std::string::npos) {
        std::string name = line.substr(0, colon);
        for (char& c : name) {
            c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        }
        std::string value = line.substr(colon + 1);
        value.erase(0, value.find_first_not_of(' '));
        while (!value.empty() && (value.back() == '\r' || value.back() == '\n')) {
            value.pop_back();
        }
        static_cast<THttpReply*>(reply)->Headers[name] = value;
    }
    return size * count;
}

} // namespace

THttpReply Http(const THttpCall& call) {
    static const bool initialised = curl_global_init(CURL_GLOBAL_DEFAULT) == CURLE_OK;
    (void)initialised;
    THttpReply reply;
    std::unique_ptr<CURL, TCurlDeleter> curl(curl_easy_init());
    std::unique_ptr<curl_slist, TListDeleter> headers;
    for (const auto& h : call.Headers) {
        headers.reset(curl_slist_append(headers.release(), h.c_str()));
    }
    curl_easy_setopt(curl.get(), CURLOPT_URL, call.Url.c_str());
    curl_easy_setopt(curl.get(), CURLOPT_NOPROXY, "*");
    curl_easy_setopt(curl.get(), CURLOPT_TIMEOUT, 30L);
    curl_easy_setopt(curl.get(), CURLOPT_FORBID_REUSE, 1L);
    curl_easy_setopt(curl.get(), CURLOPT_WRITEFUNCTION, &OnBody);
    curl_easy_setopt(curl.get(), CURLOPT_WRITEDATA, &reply);
    curl_easy_setopt(curl.get(), CURLOPT_HEADERFUNCTION, &OnHeader);
    curl_easy_setopt(curl.get(), CURLOPT_HEADERDATA, &reply);
    if (call.Method == "HEAD") {
        curl_easy_setopt(curl.get(), CURLOPT_NOBODY, 1L);
    } else if (call.Method == "POST") {
        curl_easy_setopt(curl.get(), CURLOPT_POST, 1L);
        curl_easy_setopt(curl.get(), CURLOPT_POSTFIELDS, call.Body.c_str());
        curl_easy_setopt(curl.get(), CURLOPT_POSTFIELDSIZE, static_cast<long>(call.Body.size()));
    } else if (call.Method != "GET") {
        curl_easy_setopt(curl.get(), CURLOPT_CUSTOMREQUEST, call.Method.c_str());
    }
    if (!call.UserPassword.empty()) {
        curl_easy_setopt(curl.get(), CURLOPT_HTTPAUTH, CURLAUTH_BASIC);
        curl_easy_setopt(curl.get(), CURLOPT_USERPWD, call.UserPassword.c_str());
    }
    if (!call.CaFile.empty()) {
        curl_easy_setopt(curl.get(), CURLOPT_CAINFO, call.CaFile.c_str());
    }
    if (!call.From.empty()) {
        curl_easy_setopt(curl.get(), CURLOPT_INTERFACE, call.From.c_str());
    }
    if (headers) {
        curl_easy_setopt(curl.get(), CURLOPT_HTTPHEADER, headers.get());
    }
    reply.CurlCode = curl_easy_perform(curl.get());
    curl_easy_getinfo(curl.get(), CURLINFO_RESPONSE_CODE, &reply.Status);
    return reply;
}

} // namespace TestSupport
