#include "service/Log.h"

#include <mutex>
#include <regex>
#include <unistd.h>

namespace quilvant::service::Log {

namespace {

struct State
{
    std::mutex lock;
    std::vector<std::string> secrets;
};

State& state()
{
    static State instance;
    return instance;
}

void replaceAll(std::string& text, std::string_view what, std::string_view with)
{
    for (std::size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + with.size())) {
        text.replace(at, what.size(), with);
    }
}

} // namespace

void setSecrets(std::vector<std::string> secrets)
{
    std::erase_if(secrets, [](const std::string& secret) { return secret.size() < 4; });
    const std::lock_guard guard(state().lock);
    state().secrets = std::move(secrets);
}

std::string redact(std::string_view text, std::size_t limit)
{
    std::string result(text);
    {
        const std::lock_guard guard(state().lock);
        for (const std::string& secret : state().secrets) {
            replaceAll(result, secret, "[redacted]");
        }
    }
    // Our own tokens, bearer values, and the key shapes providers commonly use (echoed in their error bodies).
    static const std::regex patterns(R"((qvs_)[0-9A-Za-z]+|(Bearer\s+)[^\s"',;]+|(sk-)[0-9A-Za-z_\-]{6,})",
                                     std::regex::icase);
    result = std::regex_replace(result, patterns, "$1$2$3[redacted]");
    for (char& c : result) {
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f) {
            c = ' ';
        }
    }
    if (result.size() > limit) {
        std::size_t cut = limit;
        while (cut > 0 && (static_cast<unsigned char>(result[cut]) & 0xC0) == 0x80) {
            --cut;
        }
        result.resize(cut);
        result += "…";
    }
    return result;
}

void line(std::string_view text)
{
    std::string whole = "quilvant-service: ";
    whole.append(text);
    whole += '\n';
    const std::lock_guard guard(state().lock);
    std::size_t written = 0;
    while (written < whole.size()) {
        const ssize_t n = ::write(STDERR_FILENO, whole.data() + written, whole.size() - written);
        if (n <= 0) {
            return; // a log that cannot be written is not a reason to stop serving
        }
        written += static_cast<std::size_t>(n);
    }
}

} // namespace quilvant::service::Log
