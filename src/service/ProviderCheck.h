#pragma once

#include "service/Config.h"

#include <string>

// One short request to the configured chat-completions provider, so that a person setting up a service learns
// at once when the key, the model or the address is refused.
namespace quilvant::service {

// Empty when the provider accepted the request; else what went wrong and how to fix it, in a sentence.
std::string checkProvider(const UpstreamConfig& upstream);

} // namespace quilvant::service
