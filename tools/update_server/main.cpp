// update_server: the reference update server. Serves the query protocol on
// /cgi/u from a directory of BIRD files (see README.md), prints one READY
// line with its port, logs every request as a JSON line, and stops on
// SIGTERM/SIGINT or after --max-seconds.
#include <httplib.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "Catalog.h"
#include "JsonLog.h"
#include "Protocol.h"

namespace {

const char* kUsage =
    "usage: update_server --root DIR [--host ADDR] [--port N] [--log FILE]\n"
    "                     [--max-seconds N] [--fault MODE[:OP]]...\n"
    "                     [--tls-cert FILE --tls-key FILE]\n"
    "  --host         address to bind (default 127.0.0.1)\n"
    "  --port         port to bind (default 0: any free port)\n"
    "  --max-seconds  stop after N seconds (default 3600)\n"
    "  --fault        stall | slow | not-ok | http-500 | empty | truncated | absurd |\n"
    "                 bad-base64 | bad-length | not-bird, optionally for one\n"
    "                 operation OP (hi, qu, bird, builds, fix)\n";

struct Options {
    std::string root, host = "127.0.0.1", log, cert, key;
    int port = 0;
    long maxSeconds = 3600;
    std::vector<Fault> faults;
};

bool parseNumber(const char* text, long max, long& value) {
    char* end = nullptr;
    errno = 0;
    const long v = std::strtol(text, &end, 10);
    if (errno || end == text || *end || v < 0 || v > max) return false;
    value = v;
    return true;
}

bool parseOptions(int argc, char** argv, Options& o) {
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        const char* value = i + 1 < argc ? argv[i + 1] : nullptr;
        if (!value) {
            fprintf(stderr, "update_server: %s needs a value\n", arg.c_str());
            return false;
        }
        ++i;
        long n = 0;
        std::string error;
        if (arg == "--root") {
            o.root = value;
        } else if (arg == "--host") {
            o.host = value;
        } else if (arg == "--log") {
            o.log = value;
        } else if (arg == "--tls-cert") {
            o.cert = value;
        } else if (arg == "--tls-key") {
            o.key = value;
        } else if (arg == "--port" && parseNumber(value, 65535, n)) {
            o.port = static_cast<int>(n);
        } else if (arg == "--max-seconds" && parseNumber(value, 24 * 3600, n) && n > 0) {
            o.maxSeconds = n;
        } else if (arg == "--fault") {
            Fault f;
            if (!ParseFault(value, f, error)) {
                fprintf(stderr, "update_server: %s\n", error.c_str());
                return false;
            }
            o.faults.push_back(f);
        } else {
            fprintf(stderr, "update_server: bad option %s %s\n", arg.c_str(), value);
            return false;
        }
    }
    if (o.root.empty() || o.cert.empty() != o.key.empty()) return false;
    return true;
}

// Wakes the handlers that hold a stalled request when the server stops.
struct StopSignal {
    std::mutex mutex;
    std::condition_variable cv;
    bool stopping = false;

    void Wait(std::chrono::steady_clock::time_point deadline) {
        std::unique_lock<std::mutex> lock(mutex);
        cv.wait_until(lock, deadline, [this] { return stopping; });
    }
    void Stop() {
        std::lock_guard<std::mutex> lock(mutex);
        stopping = true;
        cv.notify_all();
    }
};

}  // namespace

int main(int argc, char** argv) {
    Options options;
    if (!parseOptions(argc, argv, options)) {
        fputs(kUsage, stderr);
        return 2;
    }

    // SIGTERM and SIGINT are taken by sigtimedwait below, in this thread only.
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGTERM);
    sigaddset(&stopSignals, SIGINT);
    pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);
    signal(SIGPIPE, SIG_IGN);

    JsonLog log;
    if (!options.log.empty() && !log.Open(options.log)) {
        fprintf(stderr, "update_server: cannot open log %s\n", options.log.c_str());
        return 1;
    }

    std::unique_ptr<httplib::Server> server;
    const bool tls = !options.cert.empty();
    if (tls) {
        auto ssl = std::make_unique<httplib::SSLServer>(options.cert.c_str(), options.key.c_str());
        if (!ssl->is_valid()) {
            fprintf(stderr, "update_server: cannot load the TLS certificate or key\n");
            return 1;
        }
        server = std::move(ssl);
    } else {
        server = std::make_unique<httplib::Server>();
    }

    const auto deadline =
        std::chrono::steady_clock::now() + std::chrono::seconds(options.maxSeconds);
    Catalog catalog(options.root);
    StopSignal stop;

    server->set_keep_alive_max_count(1);
    server->set_read_timeout(5, 0);
    server->set_write_timeout(5, 0);
    // Requests on /cgi/u are logged before the answer goes out, so the log is
    // complete once the client has its answer; other paths (404) afterwards.
    static thread_local bool loggedByHandler = false;
    server->Get("/cgi/u", [&](const httplib::Request& req, httplib::Response& res) {
        Params params(req.params.begin(), req.params.end());
        Answer a = Respond(params, catalog, options.faults);
        log.Write({req.method,
                   req.path,
                   req.target,
                   {req.params.begin(), req.params.end()},
                   a.status,
                   a.Summary()});
        loggedByHandler = true;
        if (a.stall) {
            stop.Wait(deadline);  // never answers while the server runs
            res.status = 503;
            return;
        }
        res.status = a.status;
        if (a.body.size() < 65536) {
            res.set_content(a.body, "text/plain");
            return;
        }
        // A large answer (a BIRD file) is sent from its buffer, not copied.
        auto body = std::make_shared<std::string>(std::move(a.body));
        res.set_content_provider(body->size(), "text/plain",
                                 [body](size_t offset, size_t length, httplib::DataSink& sink) {
                                     return sink.write(body->data() + offset,
                                                       std::min<size_t>(length, 1 << 20));
                                 });
    });
    server->set_logger([&](const httplib::Request& req, const httplib::Response& res) {
        if (loggedByHandler) {
            loggedByHandler = false;
            return;
        }
        log.Write({req.method,
                   req.path,
                   req.target,
                   {req.params.begin(), req.params.end()},
                   res.status,
                   res.body.substr(0, res.body.find('\n'))});
    });

    const int port = options.port == 0
                         ? server->bind_to_any_port(options.host)
                         : (server->bind_to_port(options.host, options.port) ? options.port : -1);
    if (port <= 0) {
        fprintf(stderr, "update_server: cannot bind %s:%d\n", options.host.c_str(), options.port);
        return 1;
    }
    std::thread listener([&] { server->listen_after_bind(); });

    printf("READY {\"port\":%d,\"url\":\"%s://%s:%d/cgi/u\",\"pid\":%d}\n", port,
           tls ? "https" : "http", options.host.c_str(), port, static_cast<int>(getpid()));
    fflush(stdout);

    // Wait for a stop signal or the deadline, in steps of at most one second.
    while (std::chrono::steady_clock::now() < deadline) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        const long ms = std::max<long>(1, std::min<long>(1000, static_cast<long>(left.count())));
        timespec step{ms / 1000, (ms % 1000) * 1000000L};
        if (sigtimedwait(&stopSignals, nullptr, &step) > 0) break;
    }
    stop.Stop();
    server->stop();
    listener.join();
    return 0;
}
