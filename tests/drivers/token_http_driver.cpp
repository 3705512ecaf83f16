// Posts one token request for the end-to-end tests and prints what came back:
//   token_http_driver.exe URL BODY [--ca-file=PATH] [--receive-ms=N]
// URL: http[s]://host[:port]/path. Prints "STATUS n" and "BODY text", or
// "ERROR n reason" (n: the TokenHttpError value); exit code 0 for an answer,
// 1 for an error, 2 for a bad command line.
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

#include "engine/win32/auth/token_http.h"

namespace {

bool option(std::string_view arg, std::string_view name, std::string& value) {
    if (arg.substr(0, name.size()) != name || arg.size() <= name.size() || arg[name.size()] != '=') return false;
    value = arg.substr(name.size() + 1);
    return true;
}

struct Url {
    bool secure = false;
    std::string host;
    unsigned port = 0;
    std::string path;
};

bool parseUrl(const std::string& text, Url& url) {
    std::string rest;
    if (text.rfind("https://", 0) == 0) {
        url.secure = true;
        url.port = 443;
        rest = text.substr(8);
    } else if (text.rfind("http://", 0) == 0) {
        url.port = 80;
        rest = text.substr(7);
    } else {
        return false;
    }
    const std::size_t slash = rest.find('/');
    const std::string authority = rest.substr(0, slash);
    url.path = slash == std::string::npos ? "/" : rest.substr(slash);
    const std::size_t colon = authority.find(':');
    url.host = authority.substr(0, colon);
    if (colon != std::string::npos) url.port = static_cast<unsigned>(std::strtoul(authority.c_str() + colon + 1, nullptr, 10));
    return !url.host.empty();
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 3) {
        std::fprintf(stderr, "usage: token_http_driver URL BODY [--ca-file=PATH] [--receive-ms=N]\n");
        return 2;
    }
    Url url;
    if (!parseUrl(argv[1], url)) {
        std::fprintf(stderr, "token_http_driver: not a URL: %s\n", argv[1]);
        return 2;
    }
    rvo::TokenHttpLimits limits;
    limits.resolveMs = limits.connectMs = limits.sendMs = limits.receiveMs = 10000;
    std::string caFile;
    for (int i = 3; i < argc; ++i) {
        std::string value;
        if (option(argv[i], "--ca-file", value)) caFile = value;
        else if (option(argv[i], "--receive-ms", value)) limits.receiveMs = std::atoi(value.c_str());
        else {
            std::fprintf(stderr, "token_http_driver: unknown argument %s\n", argv[i]);
            return 2;
        }
    }
    rvo::TrustedRoots roots;
    if (!caFile.empty()) {
        std::string error;
        if (!roots.load(caFile, error)) {
            std::printf("ERROR CA_FILE %s\n", error.c_str());
            return 1;
        }
    }
    const rvo::TokenHttpClient client(limits, caFile.empty() ? nullptr : &roots);
    const rvo::TokenHttpAnswer answer =
        client.post(url.secure, url.host, url.port, url.path, "application/x-www-form-urlencoded", argv[2]);
    if (!answer.ok()) {
        std::printf("ERROR %d %s\n", static_cast<int>(answer.error), answer.reason.c_str());
        return 1;
    }
    std::printf("STATUS %d\nBODY %s\n", answer.status, answer.body.c_str());
    return 0;
}
