#include "transfer/Https.h"

#include <curl/curl.h>

#include <mutex>

namespace lume {

namespace {

std::mutex trustMutex;
std::string extraCa;  // under trustMutex

bool startsWithNoCase(std::string_view text, std::string_view prefix) {
    if (text.size() < prefix.size()) {
        return false;
    }
    for (size_t i = 0; i < prefix.size(); ++i) {
        const char c = text[i] >= 'A' && text[i] <= 'Z' ? static_cast<char>(text[i] + 32) : text[i];
        if (c != prefix[i]) {
            return false;
        }
    }
    return true;
}

}  // namespace

std::string serverUrl(std::string_view host) {
    if (startsWithNoCase(host, "http://") || startsWithNoCase(host, "https://")) {
        return std::string(host);
    }
    return "http://" + std::string(host);
}

void setExtraCaFile(std::string nativePath) {
    std::lock_guard<std::mutex> lock(trustMutex);
    extraCa = std::move(nativePath);
}

std::string extraCaFile() {
    std::lock_guard<std::mutex> lock(trustMutex);
    return extraCa;
}

void applyTlsTrust(void* handle) {
    CURL* curl = static_cast<CURL*>(handle);
    curl_easy_setopt(curl, CURLOPT_SSL_VERIFYPEER, 1L);
    curl_easy_setopt(curl, CURLOPT_SSL_VERIFYHOST, 2L);
    // The extra file takes the place of libcurl's CA bundle file; the system's certificate
    // directory (libcurl's CA path, /etc/ssl/certs on Debian) stays in force beside it.
    const std::string file = extraCaFile();
    if (!file.empty()) {
        curl_easy_setopt(curl, CURLOPT_CAINFO, file.c_str());
    }
}

}  // namespace lume
