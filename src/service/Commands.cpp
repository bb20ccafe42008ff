#include "service/Commands.h"

#include "service/CommandLine.h"
#include "service/Terminal.h"

#include <iostream>

namespace quilvant::service {

int runCommand(const std::vector<std::string>& arguments)
{
    const Arguments parsed = parseArguments(arguments);
    if (!parsed.error.empty()) {
        std::cerr << "quilvant-service: " << parsed.error << "\n\n" << usage;
        return 2;
    }
    if (parsed.has("--version")) {
        std::cout << "quilvant-service " QUILVANT_VERSION "\n";
        return 0;
    }
    const std::string command = parsed.words.empty() ? "" : parsed.words.front();
    if (parsed.has("--help") || command.empty()) {
        std::cout << usage;
        return command.empty() && !parsed.has("--help") ? 2 : 0;
    }
    if (command == "serve" && parsed.words.size() == 1) {
        return serveCommand(parsed);
    }
    if (command == "init" && parsed.words.size() == 1) {
        return initCommand(parsed);
    }
    if (command == "token") {
        return tokenCommand(parsed);
    }
    std::cerr << "quilvant-service: unknown command \"" << printable(command) << "\"\n\n" << usage;
    return 2;
}

} // namespace quilvant::service
