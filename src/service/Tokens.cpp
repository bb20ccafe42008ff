#include "service/Tokens.h"

#include <array>
#include <openssl/evp.h>
#include <openssl/rand.h>
#include <stdexcept>

namespace quilvant::service::Tokens {

namespace {

std::string hex(const unsigned char* bytes, std::size_t size)
{
    static constexpr char digits[] = "0123456789abcdef";
    std::string text(size * 2, '0');
    for (std::size_t i = 0; i < size; ++i) {
        text[2 * i] = digits[bytes[i] >> 4];
        text[2 * i + 1] = digits[bytes[i] & 0x0f];
    }
    return text;
}

std::string randomHex(std::size_t bytes)
{
    std::array<unsigned char, 32> buffer{};
    if (bytes > buffer.size() || RAND_bytes(buffer.data(), static_cast<int>(bytes)) != 1) {
        throw std::runtime_error("the system's random source failed");
    }
    return hex(buffer.data(), bytes);
}

} // namespace

std::string generate()
{
    return "qvs_" + randomHex(32);
}

std::string generateId()
{
    return "t" + randomHex(6);
}

std::string generateRequestId()
{
    return randomHex(16);
}

std::string digest(std::string_view token)
{
    std::array<unsigned char, EVP_MAX_MD_SIZE> out{};
    unsigned int size = 0;
    if (EVP_Digest(token.data(), token.size(), out.data(), &size, EVP_sha256(), nullptr) != 1) {
        throw std::runtime_error("SHA-256 failed");
    }
    return hex(out.data(), size);
}

} // namespace quilvant::service::Tokens
