#include "core/Diagnostics.h"

#include <cstdio>
#include <mutex>

namespace {
std::mutex g_mutex; // keeps the lines of several threads apart
std::function<void(const std::string&)> g_sink;
std::function<void(const std::string&, const std::string&)> g_log;
} // namespace

void Warning(const std::string& text) {
    std::function<void(const std::string&)> sink;
    std::function<void(const std::string&, const std::string&)> log;
    {
        const std::lock_guard<std::mutex> guard(g_mutex);
        sink = g_sink;
        log = g_log;
    }
    if (sink) {
        sink(text);
        return;
    }
    if (log)
        log("warning", text);
    const std::lock_guard<std::mutex> guard(g_mutex);
    std::fwrite(text.data(), 1, text.size(), stderr);
    std::fputc('\n', stderr);
    std::fflush(stderr);
}

void SetDiagnosticLog(std::function<void(const std::string& kind, const std::string& text)> log) {
    const std::lock_guard<std::mutex> guard(g_mutex);
    g_log = std::move(log);
}

void SetDiagnosticSink(std::function<void(const std::string& text)> sink) {
    const std::lock_guard<std::mutex> guard(g_mutex);
    g_sink = std::move(sink);
}
