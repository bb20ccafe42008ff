#include "service/UserUnit.h"

#include "service/Files.h"
#include "service/Processes.h"

#include <cstdlib>
#include <sys/stat.h>

namespace quilvant::service {

std::string unitWord(const std::string& word)
{
    std::string quoted = "\"";
    for (const char c : word) {
        if (c == '\\' || c == '"') {
            quoted += '\\';
        } else if (c == '%' || c == '$') {
            quoted += c;
        }
        quoted += c;
    }
    return quoted + "\"";
}

std::string installUserUnit(const std::string& configPath)
{
    const char* runtime = std::getenv("XDG_RUNTIME_DIR");
    struct stat info = {};
    if (runtime == nullptr || ::stat((std::string(runtime) + "/systemd/private").c_str(), &info) != 0) {
        return "no systemd user session here: start the service with\n  quilvant-service serve";
    }
    const char* configHome = std::getenv("XDG_CONFIG_HOME");
    const std::string home =
        configHome != nullptr && configHome[0] == '/' ? configHome : std::string(std::getenv("HOME")) + "/.config";
    const std::string directory = home + "/systemd/user";
    if (const std::string error = makeDirectories(directory, 0755); !error.empty()) {
        return "could not install the user unit (" + error + "): start the service with\n  quilvant-service serve";
    }
    const std::string unit = "[Unit]\n"
                             "Description=Quilvant translation service\n"
                             "After=network-online.target\n\n"
                             "[Service]\n"
                             "ExecStart=" +
                             unitWord(selfPath()) + " --config " + unitWord(configPath) +
                             " serve\n"
                             "Restart=on-failure\n"
                             "TimeoutStopSec=45\n\n"
                             "[Install]\n"
                             "WantedBy=default.target\n";
    if (const std::string error = writeFileAtomically(directory + "/quilvant-service.service", unit, 0644);
        !error.empty()) {
        return "could not install the user unit (" + error + "): start the service with\n  quilvant-service serve";
    }
    if (runProgram({"systemctl", "--user", "daemon-reload"}) != 0 ||
        runProgram({"systemctl", "--user", "enable", "quilvant-service.service"}) != 0 ||
        runProgram({"systemctl", "--user", "restart", "quilvant-service.service"}) != 0) {
        return "the user unit is installed but systemctl failed; start it with\n"
               "  systemctl --user enable --now quilvant-service.service";
    }
    return "the service runs now and after every login (systemctl --user status quilvant-service)";
}

} // namespace quilvant::service
