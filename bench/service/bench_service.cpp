// Run on demand: build with -DQUILVANT_BENCH=ON (a Release build) and run bench/service/bench_service.
//
// Measures the service as a client and an operator see it, on loopback, bounded in count and time:
//   latency    the time the service adds: its first "delta" at the client minus the moment the provider stand-in
//              wrote its first byte, with 100 streams open at once;
//   open       1,000 streams open at once on one process: the process's resident memory;
//   throughput short translations per second end to end, on SQLite and on PostgreSQL;
// with the service's CPU time per translation beside the wall time. The provider stand-in and the clients run
// in this process (one clock for both ends); the service is the real program in a child process.
#include <algorithm>
#include <atomic>
#include <boost/asio.hpp>
#include <boost/asio/experimental/awaitable_operators.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <fcntl.h>
#include <fstream>
#include <mutex>
#include <nlohmann/json.hpp>
#include <spawn.h>
#include <sstream>
#include <string>
#include <sys/resource.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

extern char** environ;

namespace {

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;
using asio::awaitable;
using asio::use_awaitable;
using tcp = asio::ip::tcp;
using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

std::string chatEvent(const std::string& content, bool last)
{
    nlohmann::json choice = {{"index", 0}, {"delta", {{"content", content}}}};
    if (last) {
        choice["finish_reason"] = "stop";
    }
    return "data: " + nlohmann::json({{"choices", {choice}}}).dump() + "\n\n";
}

// --- The provider stand-in: answers every chat request with a short stream; the source text names the
// request ("id=N") and whether to hold the stream open after its first event ("hold").
class Provider
{
public:
    explicit Provider(asio::io_context& context)
        : m_acceptor(context, tcp::endpoint(asio::ip::address_v4::loopback(), 0))
        , m_release(context, Clock::time_point::max())
    {
        asio::co_spawn(context, accept(), asio::detached);
    }

    unsigned short port() const { return m_acceptor.local_endpoint().port(); }
    void setFirstBytes(std::vector<Clock::time_point>* times) { m_firstBytes = times; }
    void release()
    {
        asio::post(m_release.get_executor(), [this] {
            m_released = true;
            m_release.cancel();
        });
    }
    void rearm()
    {
        asio::post(m_release.get_executor(), [this] {
            m_released = false;
            m_release.expires_at(Clock::time_point::max());
        });
    }

private:
    awaitable<void> accept()
    {
        for (;;) {
            tcp::socket socket = co_await m_acceptor.async_accept(use_awaitable);
            socket.set_option(tcp::no_delay(true));
            asio::co_spawn(m_acceptor.get_executor(), serve(std::move(socket)), asio::detached);
        }
    }

    awaitable<void> serve(tcp::socket socket)
    {
        beast::tcp_stream stream(std::move(socket));
        beast::flat_buffer buffer;
        try {
            for (;;) {
                http::request<http::string_body> request;
                co_await http::async_read(stream, buffer, request, use_awaitable);
                const auto body = nlohmann::json::parse(request.body(), nullptr, false);
                const std::string source = body.is_object() ? body["messages"][1]["content"].get<std::string>() : "";
                const std::size_t idAt = source.find("id=");
                const long id = idAt == std::string::npos ? -1 : std::stol(source.substr(idAt + 3));
                http::response<http::empty_body> head(http::status::ok, 11);
                head.set(http::field::content_type, "text/event-stream");
                head.chunked(true);
                head.keep_alive(request.keep_alive());
                http::response_serializer<http::empty_body> serializer(head);
                co_await http::async_write_header(stream, serializer, use_awaitable);
                const std::string first = chatEvent("Bon", false);
                if (m_firstBytes != nullptr && id >= 0 && static_cast<std::size_t>(id) < m_firstBytes->size()) {
                    (*m_firstBytes)[static_cast<std::size_t>(id)] = Clock::now();
                }
                co_await asio::async_write(stream, http::make_chunk(asio::buffer(first)), use_awaitable);
                if (source.find("hold") != std::string::npos && !m_released) {
                    co_await m_release.async_wait(asio::as_tuple(use_awaitable));
                }
                const std::string rest = chatEvent("jour", true) + "data: [DONE]\n\n";
                co_await asio::async_write(stream, http::make_chunk(asio::buffer(rest)), use_awaitable);
                co_await asio::async_write(stream, http::make_chunk_last(), use_awaitable);
                if (!request.keep_alive()) {
                    break;
                }
            }
        } catch (const boost::system::system_error&) { // NOLINT(bugprone-empty-catch): the service left
        }
    }

    tcp::acceptor m_acceptor;
    asio::steady_timer m_release;
    bool m_released = false;
    std::vector<Clock::time_point>* m_firstBytes = nullptr;
};

// --- The service as a child process.
struct Usage
{
    double cpuSeconds = 0;
    long rssKilobytes = 0;
};

Usage usageOf(pid_t pid)
{
    Usage usage;
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string line;
    std::getline(stat, line);
    std::istringstream fields(line.substr(line.rfind(')') + 2));
    std::string skip;
    for (int i = 3; i < 14; ++i) {
        fields >> skip;
    }
    long user = 0;
    long system = 0;
    fields >> user >> system;
    usage.cpuSeconds = static_cast<double>(user + system) / static_cast<double>(sysconf(_SC_CLK_TCK));
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    while (std::getline(status, line)) {
        if (line.rfind("VmRSS:", 0) == 0) {
            usage.rssKilobytes = std::stol(line.substr(6));
        }
    }
    return usage;
}

std::string run(const std::vector<std::string>& command)
{
    // Close-on-exec: a daemon the command leaves running (the PostgreSQL server) must not keep the pipe open.
    int pipes[2];
    if (pipe2(pipes, O_CLOEXEC) != 0) {
        return {};
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, pipes[1], 1);
    posix_spawn_file_actions_addclose(&actions, pipes[0]);
    std::vector<char*> argv;
    for (const std::string& word : command) {
        argv.push_back(const_cast<char*>(word.c_str()));
    }
    argv.push_back(nullptr);
    pid_t child = 0;
    posix_spawnp(&child, argv[0], &actions, nullptr, argv.data(), environ);
    close(pipes[1]);
    std::string out;
    char buffer[4096];
    for (ssize_t n; (n = read(pipes[0], buffer, sizeof buffer)) > 0;) {
        out.append(buffer, static_cast<std::size_t>(n));
    }
    close(pipes[0]);
    int status = 0;
    waitpid(child, &status, 0);
    posix_spawn_file_actions_destroy(&actions);
    return out;
}

class Service
{
public:
    Service(const std::string& directory, const std::string& database, unsigned short providerPort)
        : m_config(directory + "/config.json")
    {
        nlohmann::json config = {{"listen", "127.0.0.1:0"},
                                 {"database", database},
                                 {"accessLog", false},
                                 {"upstream",
                                  {{"url", "http://127.0.0.1:" + std::to_string(providerPort) + "/v1/chat/completions"},
                                   {"model", "bench"}}}};
        std::ofstream(m_config) << config.dump();
        const std::string log = directory + "/service.log";
        std::vector<std::string> words = {QUILVANT_SERVICE_BINARY, "--config", m_config, "serve"};
        std::vector<char*> argv;
        for (std::string& word : words) {
            argv.push_back(word.data());
        }
        argv.push_back(nullptr);
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, 2, log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        posix_spawn(&m_pid, argv[0], &actions, nullptr, argv.data(), environ);
        posix_spawn_file_actions_destroy(&actions);
        const auto deadline = Clock::now() + 60s;
        while (m_port == 0 && Clock::now() < deadline) {
            std::this_thread::sleep_for(20ms);
            std::ifstream in(log);
            std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
            const std::size_t at = text.find("listening on 127.0.0.1:");
            if (at != std::string::npos) {
                m_port = static_cast<unsigned short>(std::stoi(text.substr(at + 23)));
            }
        }
    }
    ~Service()
    {
        kill(m_pid, SIGTERM);
        int status = 0;
        waitpid(m_pid, &status, 0);
    }

    unsigned short port() const { return m_port; }
    pid_t pid() const { return m_pid; }
    std::string token()
    {
        std::string secret = run({QUILVANT_SERVICE_BINARY, "--config", m_config, "token", "create", "--label", "bench",
                                  "--characters", "1000000000", "--per-minute", "0"});
        secret.erase(secret.find_last_not_of("\n") + 1);
        return secret;
    }

private:
    std::string m_config;
    pid_t m_pid = 0;
    unsigned short m_port = 0;
};

// --- Clients.
struct Client
{
    std::string token;
    unsigned short port;
    std::vector<Clock::time_point>* firstDeltas;
    std::atomic<int>* opened = nullptr;
    // Milliseconds from sending a request to its first delta and to its "done", by id.
    std::vector<double>* toFirstDelta = nullptr;
    std::vector<double>* toDone = nullptr;
};

double millisecondsSince(Clock::time_point start)
{
    return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

// Runs `count` translations one after another on one kept-alive connection; the source of the i-th names
// id `first + i`. Returns how many ended with a "done" event.
awaitable<int> translations(Client client, long first, int count, std::string mode)
{
    int done = 0;
    beast::tcp_stream stream(co_await asio::this_coro::executor);
    co_await stream.async_connect(tcp::endpoint(asio::ip::address_v4::loopback(), client.port), use_awaitable);
    stream.socket().set_option(tcp::no_delay(true));
    beast::flat_buffer buffer;
    for (int i = 0; i < count; ++i) {
        const long id = first + i;
        http::request<http::string_body> request(http::verb::post, "/v1/translate", 11);
        request.set(http::field::host, "127.0.0.1");
        request.set(http::field::authorization, "Bearer " + client.token);
        request.set("X-Quilvant-Privacy", "norvel-sift-1");
        request.set(http::field::content_type, "application/json");
        request.body() = nlohmann::json({{"source", mode + " id=" + std::to_string(id)}, {"target", "fr"}}).dump();
        request.prepare_payload();
        // A translation that stalls fails the run's count instead of holding it forever.
        stream.expires_after(120s);
        const auto sent = Clock::now();
        co_await http::async_write(stream, request, use_awaitable);
        http::response_parser<http::buffer_body> parser;
        parser.body_limit(boost::none);
        co_await http::async_read_header(stream, buffer, parser, use_awaitable);
        std::string body;
        bool sawDelta = false;
        while (!parser.is_done()) {
            char chunk[4096];
            parser.get().body().data = chunk;
            parser.get().body().size = sizeof chunk;
            auto [error, ignored] =
                co_await http::async_read_some(stream, buffer, parser, asio::as_tuple(use_awaitable));
            if (error && error != http::error::need_buffer) {
                co_return done;
            }
            body.append(chunk, sizeof chunk - parser.get().body().size);
            if (!sawDelta && body.find("event: delta") != std::string::npos) {
                sawDelta = true;
                if (client.firstDeltas != nullptr) {
                    (*client.firstDeltas)[static_cast<std::size_t>(id)] = Clock::now();
                }
                if (client.toFirstDelta != nullptr) {
                    (*client.toFirstDelta)[static_cast<std::size_t>(id)] = millisecondsSince(sent);
                }
                if (client.opened != nullptr) {
                    ++*client.opened;
                }
            }
        }
        if (body.find("event: done") != std::string::npos) {
            ++done;
            if (client.toDone != nullptr) {
                (*client.toDone)[static_cast<std::size_t>(id)] = millisecondsSince(sent);
            }
        }
    }
    co_return done;
}

double percentile(std::vector<double> values, double p)
{
    std::sort(values.begin(), values.end());
    return values.empty() ? 0 : values[std::min(values.size() - 1, static_cast<std::size_t>(p * values.size()))];
}

// Runs `connections` clients at once, each doing `each` translations, on `threads` threads; the count that
// ended with "done".
int runClients(const Client& client, int connections, int each, const std::string& mode, int threads = 1)
{
    asio::io_context context;
    std::atomic<int> done = 0;
    for (int c = 0; c < connections; ++c) {
        asio::co_spawn(context, translations(client, static_cast<long>(c) * each, each, mode),
                       [&done](const std::exception_ptr& error, int ok) { done += error ? 0 : ok; });
    }
    std::vector<std::thread> pool;
    for (int t = 1; t < threads; ++t) {
        pool.emplace_back([&context] { context.run(); });
    }
    context.run();
    for (std::thread& thread : pool) {
        thread.join();
    }
    return done;
}

void raiseDescriptorLimit()
{
    rlimit limit{};
    if (getrlimit(RLIMIT_NOFILE, &limit) == 0) {
        limit.rlim_cur = limit.rlim_max;
        setrlimit(RLIMIT_NOFILE, &limit);
    }
}

} // namespace

int main(int argc, char** argv)
{
    raiseDescriptorLimit();
    std::signal(SIGPIPE, SIG_IGN);
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    const bool withPostgres = !(argc > 1 && std::string(argv[1]) == "--sqlite-only");
    char scratch[] = "/tmp/quilvant-bench.XXXXXX";
    const std::string directory = mkdtemp(scratch);

    asio::io_context providerContext;
    Provider provider(providerContext);
    std::thread providerThread([&providerContext] {
        auto guard = asio::make_work_guard(providerContext);
        providerContext.run();
    });

    std::printf("quilvant-service on loopback, %u cores\n\n", std::thread::hardware_concurrency());
    {
        Service service(directory, "sqlite:" + directory + "/latency.db", provider.port());
        Client client{service.token(), service.port(), nullptr};
        runClients(client, 20, 5, "warm"); // connections and pools warm

        // Added latency, 100 streams at once, 20 translations each.
        constexpr int streams = 100;
        constexpr int each = 20;
        std::vector<Clock::time_point> firstBytes(streams * each);
        std::vector<Clock::time_point> firstDeltas(streams * each);
        std::vector<double> toFirstDelta(streams * each, -1);
        std::vector<double> toDone(streams * each, -1);
        provider.setFirstBytes(&firstBytes);
        client.firstDeltas = &firstDeltas;
        client.toFirstDelta = &toFirstDelta;
        client.toDone = &toDone;
        const Usage before = usageOf(service.pid());
        const auto start = Clock::now();
        const int done = runClients(client, streams, each, "latency");
        const double wall = std::chrono::duration<double>(Clock::now() - start).count();
        const Usage after = usageOf(service.pid());
        provider.setFirstBytes(nullptr);
        std::vector<double> added;
        for (std::size_t i = 0; i < firstBytes.size(); ++i) {
            if (firstBytes[i] != Clock::time_point() && firstDeltas[i] != Clock::time_point()) {
                added.push_back(std::chrono::duration<double, std::milli>(firstDeltas[i] - firstBytes[i]).count());
            }
        }
        std::printf("latency     %d streams at once, %zu measured: added p50 %.2f ms, p99 %.2f ms, max %.2f ms; "
                    "%d done in %.2f s; service CPU %.0f us per translation\n",
                    streams, added.size(), percentile(added, 0.5), percentile(added, 0.99), percentile(added, 1.0),
                    done, wall, 1e6 * (after.cpuSeconds - before.cpuSeconds) / std::max(1, done));
        const auto measured = [](std::vector<double> values) {
            std::erase_if(values, [](double value) { return value < 0; });
            return values;
        };
        std::printf("            at the client, from the request: first delta p50 %.2f ms, p99 %.2f ms; whole "
                    "translation p50 %.2f ms, p99 %.2f ms\n",
                    percentile(measured(toFirstDelta), 0.5), percentile(measured(toFirstDelta), 0.99),
                    percentile(measured(toDone), 0.5), percentile(measured(toDone), 0.99));
        client.toFirstDelta = nullptr;
        client.toDone = nullptr;

        // 1,000 streams open at once: the memory of the one process holding them.
        constexpr int open = 1000;
        std::atomic<int> opened = 0;
        client.firstDeltas = nullptr;
        client.opened = &opened;
        provider.rearm();
        const Usage idle = usageOf(service.pid());
        std::thread holder([&] { runClients(client, open, 1, "hold", 2); });
        const auto deadline = Clock::now() + 120s;
        while (opened < open && Clock::now() < deadline) {
            std::this_thread::sleep_for(50ms);
        }
        const Usage holding = usageOf(service.pid());
        provider.release();
        holder.join();
        std::printf("open        %d of %d streams open at once: service RSS %.1f MB (%.1f MB before)\n", opened.load(),
                    open, holding.rssKilobytes / 1024.0, idle.rssKilobytes / 1024.0);
        client.opened = nullptr;
    }

    std::vector<std::pair<std::string, std::string>> databases = {{"SQLite", "sqlite:" + directory + "/rate.db"}};
    if (withPostgres) {
        const std::string state = directory + "/postgres";
        run({QUILVANT_POSTGRES_CLUSTER, "start", state});
        std::ifstream conninfo(state + "/conninfo");
        std::string info;
        std::getline(conninfo, info);
        if (!info.empty()) {
            databases.emplace_back("PostgreSQL", "postgresql:" + info);
        }
    }
    for (const auto& [name, database] : databases) {
        Service service(directory, database, provider.port());
        Client client{service.token(), service.port(), nullptr};
        runClients(client, 16, 10, "warm");
        constexpr int connections = 64;
        constexpr int each = 80;
        const Usage before = usageOf(service.pid());
        const auto start = Clock::now();
        const int done = runClients(client, connections, each, "short");
        const double wall = std::chrono::duration<double>(Clock::now() - start).count();
        const Usage after = usageOf(service.pid());
        std::printf("throughput  %-10s %d clients: %d translations in %.2f s = %.0f per second; service CPU %.0f us "
                    "per translation\n",
                    name.c_str(), connections, done, wall, done / wall,
                    1e6 * (after.cpuSeconds - before.cpuSeconds) / std::max(1, done));
    }
    if (withPostgres) {
        run({QUILVANT_POSTGRES_CLUSTER, "stop", directory + "/postgres"});
    }
    providerContext.stop();
    providerThread.join();
    run({"rm", "-rf", directory});
    return 0;
}
