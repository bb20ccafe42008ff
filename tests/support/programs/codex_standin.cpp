// Plays the agent CLI's app-server over standard input and output, one JSON object per line, so that the agent
// engine can be tested without the real CLI. It insists on the exact command line the engine uses.
//
// The turn is chosen by the input text:
//   FAIL       streams some text, then fails the turn with "simulated model failure"
//   FAILCTRL   fails the turn with a message that carries terminal control sequences
//   WAIT       never completes the turn (after a request of its own, "probe/waiting", to show it got this far)
//   INTERRUPTED streams some text, then ends the turn as "interrupted", without an error object
//   PARTIAL    streams a little, then writes the start of a line that never ends
//   FLOOD      writes 17,000,000 bytes without a line feed, then waits
//   BLANK      streams only white space, then completes
//   INTERLEAVE deltas for two items, interleaved
//   REPLACE    a completed item that differs from its deltas, and one that was never streamed
//   NOTURN     "turn/completed" without a turn object
//   USAGE      token-usage notifications, then the usual answer
//   NOISE      junk, arrays, foreign ids, server requests, CR LF, two messages per write, then the usual answer
//   EXIT       streams a little, then exits
//   TURNERROR_INNER, TURNERROR_KEY, TURNERROR_NOMSG, TURNERROR_INNER_NOMSG: error answers to "turn/start"
//   QUICK...   answers "快:" + the text in one write
//   anything else: "译文：测试", every line written in pieces that split its UTF-8 characters
// The thread is chosen by the model: "no-thread" (no thread id), "string-id" (answered under a string id, then a
// request of its own, "probe/string-id"), "slow-thread" (answered after 400 ms).
// Started under a name beginning with "silent-" it never answers "initialize".
// Environment: CODEX_STANDIN_LOG (append a JSON line per event), CODEX_STANDIN_INIT ("never", "error", "exit"),
// CODEX_STANDIN_PAUSE_MS (pause between split writes, 15 by default), CODEX_STANDIN_GRANDCHILD (start a process
// that keeps standard output open and ignores SIGTERM, logged as "grandchild"), CODEX_STANDIN_IGNORE_EOF (keep
// running when standard input ends), CODEX_STANDIN_STALL (no turn ever completes, as with WAIT).
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <fstream>
#include <nlohmann/json.hpp>
#include <string>
#include <thread>
#include <unistd.h>
#include <vector>

using Json = nlohmann::json;

namespace {

bool silentInitialize = false;
int threadCount = 0;
int turnCount = 0;
std::chrono::milliseconds splitPause{15};

std::string env(const char* name)
{
    const char* value = std::getenv(name);
    return value != nullptr ? value : "";
}

void log(const Json& event)
{
    const std::string path = env("CODEX_STANDIN_LOG");
    if (!path.empty()) {
        std::ofstream(path, std::ios::app) << event.dump() << '\n';
    }
}

void writeRaw(const std::string& bytes)
{
    size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t n = ::write(1, bytes.data() + done, bytes.size() - done);
        if (n <= 0) {
            std::exit(3);
        }
        done += static_cast<size_t>(n);
    }
}

void send(const Json& message)
{
    writeRaw(message.dump() + "\n");
}

// Writes one line in two pieces, cut one byte into the first multi-byte character, with a pause between them.
void sendSplit(const Json& message)
{
    const std::string line = message.dump() + "\n";
    size_t cut = 0;
    while (cut < line.size() && static_cast<unsigned char>(line[cut]) < 0x80) {
        ++cut;
    }
    cut = cut < line.size() ? cut + 1 : line.size() / 2;
    writeRaw(line.substr(0, cut));
    std::this_thread::sleep_for(splitPause);
    writeRaw(line.substr(cut));
    std::this_thread::sleep_for(splitPause);
}

long long nowMs()
{
    using namespace std::chrono;
    return duration_cast<milliseconds>(system_clock::now().time_since_epoch()).count();
}

// Notifications carry more than the engine reads, as the real CLI's do.
Json notification(const std::string& method, Json params, const std::string& thread, const std::string& turn)
{
    params["threadId"] = thread;
    params["turnId"] = turn;
    return {{"method", method}, {"params", std::move(params)}, {"emittedAtMs", nowMs()}};
}

Json delta(const std::string& thread, const std::string& turn, const std::string& item, const std::string& text)
{
    return notification("item/agentMessage/delta", {{"itemId", item}, {"delta", text}}, thread, turn);
}

Json itemCompleted(const std::string& thread, const std::string& turn, const std::string& item, const std::string& text)
{
    return notification("item/completed",
                        {{"item", {{"type", "agentMessage"}, {"id", item}, {"text", text}, {"phase", "final"}}}},
                        thread, turn);
}

Json turnCompleted(const std::string& thread, const std::string& turn, const std::string& status, Json error)
{
    return notification(
        "turn/completed",
        {{"turn", {{"id", turn}, {"status", status}, {"error", std::move(error)}, {"items", Json::array()}}}}, thread,
        turn);
}

void answer(const std::string& thread, const std::string& turn)
{
    const std::string item = "msg_" + turn;
    for (const char* piece : {"译", "文：", "测试"}) {
        sendSplit(delta(thread, turn, item, piece));
    }
    sendSplit(itemCompleted(thread, turn, item, "译文：测试"));
    sendSplit(turnCompleted(thread, turn, "completed", nullptr));
}

void noise(const std::string& thread, const std::string& turn)
{
    writeRaw("this is not json\n");
    writeRaw("[1,2,3]\n");
    writeRaw("\n");
    send({{"id", 999999}, {"result", Json::object()}});
    send({{"id", "1"}, {"result", {{"thread", {{"id", "bogus"}}}}}});
    send({{"id", "srv-1"}, {"method", "item/commandExecution/requestApproval"}, {"params", {{"threadId", thread}}}});
    send({{"id", 77}, {"method", "item/fileChange/requestApproval"}, {"params", Json::object()}});
    send(delta("thr_other", turn, "foreign", "别的线程"));
    send({{"method", "item/agentMessage/delta"}, {"params", {{"itemId", "x"}, {"delta", "无线程"}}}});
    send(notification("item/completed", {{"item", {{"type", "userMessage"}, {"id", "user_1"}, {"text", "NOISE"}}}},
                      thread, turn));
    send(notification("item/agentMessage/delta", {{"itemId", 5}, {"delta", "错误类型"}}, thread, turn));
    // Two messages in one write, the second ending in CR LF, then a message split across writes.
    const std::string item = "msg_" + turn;
    writeRaw(delta(thread, turn, item, "译").dump() + "\n" + delta(thread, turn, item, "文：").dump() + "\r\n");
    sendSplit(delta(thread, turn, item, "测试"));
    sendSplit(turnCompleted(thread, turn, "completed", nullptr));
}

void runTurn(const std::string& thread, const std::string& text)
{
    const std::string turn = "turn_" + std::to_string(++turnCount);
    const std::string item = "msg_" + turn;
    if (text == "FAIL") {
        sendSplit(delta(thread, turn, item, "部分译文"));
        sendSplit(turnCompleted(thread, turn, "failed", {{"message", "simulated model failure"}}));
    } else if (text == "FAILCTRL") {
        send(turnCompleted(thread, turn, "failed", {{"message", "model\x1b]0;owned\x07 failed\r"}}));
    } else if (text == "WAIT" || !env("CODEX_STANDIN_STALL").empty()) {
        send(notification("error", {{"error", {{"message", "stream disconnected"}}}, {"willRetry", true}}, thread,
                          turn));
        send({{"id", "probe"}, {"method", "probe/waiting"}, {"params", Json::object()}});
    } else if (text == "INTERRUPTED") {
        send(delta(thread, turn, item, "半截"));
        send(turnCompleted(thread, turn, "interrupted", nullptr));
    } else if (text == "FLOOD") {
        writeRaw(std::string(17'000'000, ' '));
    } else if (text == "PARTIAL") {
        writeRaw(delta(thread, turn, item, "半截").dump() + "\n{\"method\":\"item/agentMessage/delta\",");
    } else if (text == "BLANK") {
        send(delta(thread, turn, item, "  \n\t "));
        send(turnCompleted(thread, turn, "completed", nullptr));
    } else if (text == "INTERLEAVE") {
        send(delta(thread, turn, "a", "甲一"));
        send(delta(thread, turn, "b", "乙"));
        send(delta(thread, turn, "a", "甲二"));
        send(turnCompleted(thread, turn, "completed", nullptr));
    } else if (text == "REPLACE") {
        send(delta(thread, turn, "a", "草稿"));
        send(itemCompleted(thread, turn, "a", "定稿"));
        send(itemCompleted(thread, turn, "c", "附言"));
        send(turnCompleted(thread, turn, "completed", nullptr));
    } else if (text == "NOTURN") {
        send(delta(thread, turn, item, "半截"));
        send(notification("turn/completed", Json::object(), thread, turn));
    } else if (text == "USAGE") {
        send(notification(
            "thread/tokenUsage/updated",
            {{"tokenUsage",
              {{"last", {{"inputTokens", 1234}, {"outputTokens", 56}}}, {"total", {{"inputTokens", 9999}}}}}},
            thread, turn));
        send(notification("thread/tokenUsage/updated", {{"tokenUsage", {{"last", {{"inputTokens", 7}}}}}}, thread,
                          turn));
        answer(thread, turn);
    } else if (text == "NOISE") {
        noise(thread, turn);
    } else if (text == "EXIT") {
        send(delta(thread, turn, item, "半截"));
        std::exit(0);
    } else if (text.rfind("QUICK", 0) == 0) {
        writeRaw(delta(thread, turn, item, "快:" + text).dump() + "\n" +
                 turnCompleted(thread, turn, "completed", nullptr).dump() + "\n");
    } else {
        answer(thread, turn);
    }
}

Json errorReply(const Json& id, Json error)
{
    return {{"id", id}, {"error", std::move(error)}};
}

void request(const Json& message)
{
    const Json& id = message["id"];
    const std::string method = message["method"].get<std::string>();
    const Json params = message.value("params", Json::object());

    if (method == "initialize") {
        const std::string mode = env("CODEX_STANDIN_INIT");
        if (mode == "never" || silentInitialize) {
            return;
        }
        if (mode == "error") {
            send(errorReply(id, {{"code", -32600}, {"message", "initialize refused"}}));
            return;
        }
        send({{"id", id}, {"result", {{"userAgent", "standin/0.1"}, {"platformFamily", "unix"}}}});
    } else if (method == "thread/start") {
        const std::string model = params.value("model", "");
        const std::string thread = "thr_" + std::to_string(++threadCount);
        const Json result = {{"thread", {{"id", thread}, {"preview", ""}, {"ephemeral", true}}}, {"model", model}};
        if (model == "no-thread") {
            send({{"id", id}, {"result", {{"thread", Json::object()}}}});
        } else if (model == "string-id") {
            send({{"id", std::to_string(id.get<long long>())}, {"result", result}});
            send({{"id", "probe"}, {"method", "probe/string-id"}, {"params", Json::object()}});
        } else {
            if (model == "slow-thread") {
                std::this_thread::sleep_for(std::chrono::milliseconds(400));
            }
            send({{"id", id}, {"result", result}});
        }
    } else if (method == "turn/start") {
        const std::string thread = params.value("threadId", "");
        std::string text;
        if (params.contains("input") && params["input"].is_array() && !params["input"].empty()) {
            text = params["input"][0].value("text", "");
        }
        if (text == "TURNERROR_INNER") {
            send(errorReply(
                id, {{"code", -32600}, {"message", R"({"error":{"message":"inner upstream failure","type":"x"}})"}}));
        } else if (text == "TURNERROR_KEY") {
            send(errorReply(id, {{"code", -32600}, {"message", "Codex 未连接，请重试。"}}));
        } else if (text == "TURNERROR_NOMSG") {
            send(errorReply(id, {{"code", -32600}}));
        } else if (text == "TURNERROR_INNER_NOMSG") {
            send(errorReply(id, {{"code", -32600}, {"message", R"({"error":{"code":5}})"}}));
        } else {
            send({{"id", id}, {"result", {{"turn", {{"id", "turn_pending"}, {"status", "inProgress"}}}}}});
            runTurn(thread, text);
        }
    } else if (method == "thread/unsubscribe") {
        send({{"id", id}, {"result", {{"status", "unsubscribed"}}}});
    } else {
        send(errorReply(id, {{"code", -32601}, {"message", "unknown method " + method}}));
    }
}

std::vector<std::string> expectedArguments()
{
    std::vector<std::string> arguments;
    for (const char* value : {"mcp_servers={}", "plugins={}", "project_doc_max_bytes=0", "skills.max_context_tokens=1",
                              "web_search=\"disabled\""}) {
        arguments.insert(arguments.end(), {"-c", value});
    }
    for (const char* feature :
         {"shell_tool", "apps", "plugins", "multi_agent", "hooks", "browser_use", "computer_use", "tool_suggest",
          "remote_plugin", "view_image", "code_mode_host", "goals", "sleep_tool", "workspace_dependencies"}) {
        arguments.insert(arguments.end(), {"-c", std::string("features.") + feature + "=false"});
    }
    arguments.insert(arguments.end(), {"app-server", "--listen", "stdio://"});
    return arguments;
}

} // namespace

int main(int argc, char** argv)
{
    const std::vector<std::string> arguments(argv + 1, argv + argc);
    char cwd[4096] = {};
    log({{"event", "start"},
         {"pid", static_cast<long long>(::getpid())},
         {"argv0", argv[0]},
         {"arguments", arguments},
         {"cwd", ::getcwd(cwd, sizeof cwd) != nullptr ? cwd : ""},
         {"path", env("PATH")}});
    if (arguments != expectedArguments()) {
        const std::string complaint = "codex_standin: unexpected command line\n";
        (void)::write(2, complaint.data(), complaint.size());
        return 2;
    }
    const std::string name = argv[0];
    silentInitialize = name.substr(name.rfind('/') + 1).rfind("silent-", 0) == 0;
    if (!env("CODEX_STANDIN_GRANDCHILD").empty()) {
        const pid_t grandchild = ::fork();
        if (grandchild == 0) {
            ::signal(SIGTERM, SIG_IGN);
            while (true) {
                ::pause();
            }
        }
        log({{"event", "grandchild"}, {"pid", static_cast<long long>(grandchild)}});
    }
    if (env("CODEX_STANDIN_INIT") == "exit") {
        return 0;
    }
    if (const std::string value = env("CODEX_STANDIN_PAUSE_MS"); !value.empty()) {
        splitPause = std::chrono::milliseconds(std::atoi(value.c_str()));
    }

    std::string buffer;
    char chunk[4096];
    while (true) {
        const ssize_t n = ::read(0, chunk, sizeof chunk);
        if (n <= 0) {
            while (!env("CODEX_STANDIN_IGNORE_EOF").empty()) {
                ::pause();
            }
            return 0;
        }
        buffer.append(chunk, static_cast<size_t>(n));
        size_t end = 0;
        while ((end = buffer.find('\n')) != std::string::npos) {
            const std::string line = buffer.substr(0, end);
            buffer.erase(0, end + 1);
            const Json message = Json::parse(line, nullptr, false);
            if (!message.is_object()) {
                log({{"event", "junk"}, {"line", line}});
                continue;
            }
            log({{"event", "recv"}, {"message", message}});
            if (message.contains("method") && message.contains("id")) {
                request(message);
            }
        }
    }
}
