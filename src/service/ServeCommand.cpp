#include "service/CommandLine.h"
#include "service/Log.h"
#include "service/Moderation.h"
#include "service/Server.h"

#include <csignal>
#include <sys/resource.h>

namespace quilvant::service {

int serveCommand(const Arguments& arguments)
{
    const auto config = configFrom(arguments);
    if (!config) {
        return 1;
    }
    Log::setSecrets({config->upstream.key, config->moderation.key});
    std::signal(SIGPIPE, SIG_IGN);
    // A file-size limit makes a write fail (EFBIG), which the database reports, instead of ending the process.
    std::signal(SIGXFSZ, SIG_IGN);
    // Every stream holds two descriptors (the client's and the upstream's): take all the system allows.
    rlimit files{};
    if (::getrlimit(RLIMIT_NOFILE, &files) == 0 && files.rlim_cur < files.rlim_max) {
        files.rlim_cur = files.rlim_max;
        ::setrlimit(RLIMIT_NOFILE, &files);
    }
    const Moderator::Loaded moderator = Moderator::load(config->moderation, config->upstream, config->limits);
    if (!moderator.moderator) {
        return fail("configuration: " + moderator.error);
    }
    const bool postgres = config->database.rfind("postgresql:", 0) == 0;
    const unsigned databaseThreads = config->databaseThreads > 0 ? config->databaseThreads : postgres ? 8 : 1;
    std::unique_ptr<Store> store;
    try {
        // The service makes its database at the first start (a packaged service has no init).
        store = Store::open(config->database, databaseThreads, Store::Create::Yes);
    } catch (const StoreError& failure) {
        return fail("database: " + Log::redact(failure.what()));
    }
    Database database(std::move(store), databaseThreads);
    Server server(*config, database, *moderator.moderator);
    if (const std::string error = server.prepare(); !error.empty()) {
        return fail(error);
    }
    if (!config->upstreamConfigured()) {
        Log::line("warning: no upstream is configured; translations answer not_configured");
    }
    Log::line("listening on " + config->listen.substr(0, config->listen.rfind(':')) + ":" +
              std::to_string(server.port()) + (config->tlsCertificate.empty() ? " (http)" : " (https)"));
    return server.run();
}

} // namespace quilvant::service
