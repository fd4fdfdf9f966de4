#pragma once

#include <mutex>

#include <spdlog/sinks/base_sink.h>

#include "diag/diagnostics_store.hpp"

namespace vx::diag {

// Feeds every formatted log line (without its line ending) to a DiagnosticsStore.
class diagnostic_sink final : public spdlog::sinks::base_sink<std::mutex> {
  public:
    explicit diagnostic_sink(DiagnosticsStore& store = diagnostics_store()) : store_(store) {}

  protected:
    void sink_it_(const spdlog::details::log_msg& msg) override;
    void flush_() override {}

  private:
    DiagnosticsStore& store_;
};

}  // namespace vx::diag
