// What a hostile backend message costs the connection thread: refused messages of growing size,
// made of secret keys without values (the worst case of the excerpt redaction), must cost time in
// proportion to their size (Complexity should read O(N)), and the redaction itself must be one
// pass over its text.
#include <benchmark/benchmark.h>

#include <spdlog/sinks/null_sink.h>
#include <spdlog/spdlog.h>

#include <asio/io_context.hpp>

#include "backend/connector/saas_connector.hpp"
#include "backend/diagnostics/log_text.hpp"
#include "backend/messages/messages.hpp"

namespace {

std::string keys_without_values(std::size_t bytes) {
    std::string out;
    out.reserve(bytes + 32);
    while (out.size() < bytes) {
        out.append(R"("password","encryption_key",)");
    }
    return out;
}

void BM_RedactSecrets(benchmark::State& state) {
    const std::string text = keys_without_values(static_cast<std::size_t>(state.range(0)));
    for (auto _ : state) {
        benchmark::DoNotOptimize(vx::network::log_text::redact_secrets(text));
    }
    state.SetComplexityN(state.range(0));
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * state.range(0));
}

void BM_HandleRefusedMessage(benchmark::State& state) {
    spdlog::set_default_logger(
        std::make_shared<spdlog::logger>("bench", std::make_shared<spdlog::sinks::null_sink_mt>()));
    asio::io_context io;
    vx::network::SaasConfig config;
    config.host = "127.0.0.1";
    config.port = 9;
    vx::network::SaasConnector connector(io, config);
    // Not an object: parsed, then refused with a logged excerpt.
    const std::string text =
        "[" + keys_without_values(static_cast<std::size_t>(state.range(0))) + "0]";
    for (auto _ : state) {
        connector.handle_message(text);
    }
    state.SetComplexityN(state.range(0));
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * state.range(0));
}

BENCHMARK(BM_RedactSecrets)->RangeMultiplier(4)->Range(1 << 12, 1 << 20)->Complexity();
BENCHMARK(BM_HandleRefusedMessage)->RangeMultiplier(4)->Range(1 << 12, 1 << 20)->Complexity();

}  // namespace
