#include "WebServer.h"

#include <openssl/evp.h>

#include <cstdio>

std::string HashWebServerPassword(const std::string& password) {
    const std::string text = "DededuvAdiroRovodav" + password;
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    EVP_Digest(text.data(), text.size(), digest, &length, EVP_md5(), nullptr);
    std::string hex;
    for (unsigned int i = 0; i < length; ++i) {
        char byte[3];
        std::snprintf(byte, sizeof byte, "%02X", digest[i]);
        hex += byte;
    }
    return hex;
}
